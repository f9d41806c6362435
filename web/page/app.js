// The conference page: one WebSocket to the gateway at /ws, whose messages
// are described in web/README.md. Text from the room is only ever set with
// textContent, never parsed as markup.
'use strict';

(function () {
  const MAX_LOG_LINES = 2000;
  // The gateway takes the first 1023 bytes of a line, and every character
  // is at least one byte: no need to send more, nor to risk the size limit.
  const MAX_SENT_CHARACTERS = 1023;

  const byId = (id) => document.getElementById(id);
  const nameField = byId('name');
  const joinButton = byId('join');
  const log = byId('log');
  const line = byId('line');
  const sendButton = byId('send');
  const leaveButton = byId('leave');
  const relay = byId('relay');
  const notice = byId('notice');
  const connection = byId('connection');
  const connectionText = byId('connection-text');
  const reconnectButton = byId('reconnect');

  let socket = null;
  let connected = false;
  let joined = false;
  // The input as it was when a line went out, until the gateway answers.
  let pendingInput = null;

  function render() {
    joinButton.disabled = !connected || joined;
    sendButton.disabled = !connected || !joined;
    leaveButton.disabled = !connected;
    nameField.readOnly = joined;
    document.body.dataset.state = !connected ? 'disconnected' : joined ? 'joined' : 'not-joined';
  }

  function showNotice(text, kind) {
    notice.textContent = text;
    notice.dataset.kind = kind;
    notice.hidden = text === '';
  }

  function addLine(text) {
    const following = log.scrollTop + log.clientHeight >= log.scrollHeight - 8;
    const entry = document.createElement('div');
    entry.className = 'entry';
    entry.textContent = text.replace(/\r\n?/g, '\n');
    log.appendChild(entry);
    while (log.childElementCount > MAX_LOG_LINES) log.removeChild(log.firstElementChild);
    if (following) log.scrollTop = log.scrollHeight;
  }

  function request(message) {
    if (socket !== null && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
  }

  function join() {
    if (!connected || joined) return;
    request({ type: 'join', name: nameField.value });
  }

  function sendLine() {
    if (!connected || !joined || pendingInput !== null) return;
    pendingInput = line.value;
    request({ type: 'send', text: Array.from(line.value).slice(0, MAX_SENT_CHARACTERS).join('') });
  }

  function leave() {
    request({ type: 'leave' });
  }

  // The line went out: the input is emptied, as the Windows client does,
  // but what was typed since stays.
  function lineSent() {
    if (pendingInput !== null) {
      if (line.value === pendingInput) line.value = '';
      else if (line.value.startsWith(pendingInput)) line.value = line.value.slice(pendingInput.length);
    }
    pendingInput = null;
    showNotice('', 'info');
    line.focus();
  }

  function handle(message) {
    switch (message.type) {
      case 'hello':
        relay.textContent = message.relay;
        break;
      case 'state':
        joined = message.state === 'joined';
        if (joined) {
          nameField.value = message.name;
          showNotice('', 'info');
        } else {
          pendingInput = null;
        }
        // After render(): a disabled button takes no focus.
        render();
        (joined ? line : joinButton).focus();
        break;
      case 'line':
        addLine(message.text);
        break;
      case 'sent':
        lineSent();
        break;
      case 'unsent':
        pendingInput = null;
        showNotice(message.text, 'error');
        break;
      case 'notice':
        showNotice(message.text, 'error');
        break;
      default:
        break;
    }
  }

  function connect() {
    if (socket !== null) return;
    connection.hidden = true;
    showNotice('会議ゲートウェイに接続しています…', 'info');
    const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
    socket = new WebSocket(scheme + location.host + '/ws');
    socket.addEventListener('open', () => {
      connected = true;
      joined = false;
      pendingInput = null;
      showNotice('', 'info');
      render();
      nameField.focus();
    });
    socket.addEventListener('message', (event) => {
      let message;
      try {
        message = JSON.parse(event.data);
      } catch (error) {
        return;
      }
      handle(message);
    });
    socket.addEventListener('close', (event) => {
      const wasConnected = connected;
      const wasJoined = joined;
      socket = null;
      connected = false;
      joined = false;
      pendingInput = null;
      render();
      showNotice('', 'info');
      let text = wasConnected ? '会議ゲートウェイとの接続が切れました' : '会議ゲートウェイに接続できません';
      if (event.reason) text += '（' + event.reason + '）';
      text += '。';
      if (wasJoined) text += '会議からは退室しました。';
      connectionText.textContent = text;
      connection.hidden = false;
      reconnectButton.focus();
    });
  }

  joinButton.addEventListener('click', join);
  sendButton.addEventListener('click', sendLine);
  leaveButton.addEventListener('click', leave);
  reconnectButton.addEventListener('click', connect);
  nameField.addEventListener('keydown', (event) => {
    if (event.key === 'Enter' && !event.isComposing && event.keyCode !== 229) {
      event.preventDefault();
      join();
    }
  });
  // Enter sends; Shift+Enter is a new line; the Enter that ends an IME
  // composition only ends it.
  line.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter' || event.shiftKey || event.isComposing || event.keyCode === 229) return;
    event.preventDefault();
    sendLine();
  });

  render();
  connect();
})();
