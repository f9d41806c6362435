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
  // Whether the log shows its newest line, so that new lines and a
  // smaller log (a phone's keyboard, a notice) keep it in view; false
  // while the reader has scrolled up.
  let following = true;
  // The input as it was when a line went out, until the gateway answers.
  let pendingInput = null;

  function render() {
    joinButton.disabled = !connected || joined;
    sendButton.disabled = !connected || !joined;
    leaveButton.disabled = !connected;
    nameField.readOnly = joined;
    document.body.dataset.state = !connected ? 'disconnected' : joined ? 'joined' : 'not-joined';
  }

  // The notice is a live region: it stays in the page, empty when there is
  // nothing to say, so that screen readers announce what appears in it.
  function showNotice(text, kind) {
    notice.textContent = text;
    notice.dataset.kind = kind;
  }

  function showNewest() {
    log.scrollTop = log.scrollHeight;
  }

  // Lines heard wait for the next frame and go into the log together: a
  // long log costs about a millisecond of layout each time it is measured,
  // so one measurement a frame keeps up however fast the room talks. A tab
  // in the background has no frames; it keeps only what the log would.
  let heardLines = [];
  let framePending = false;

  function addLine(text) {
    heardLines.push(text);
    if (heardLines.length >= 2 * MAX_LOG_LINES) heardLines = heardLines.slice(-MAX_LOG_LINES);
    if (!framePending) {
      framePending = true;
      requestAnimationFrame(showHeardLines);
    }
  }

  function showHeardLines() {
    framePending = false;
    const lines = heardLines.slice(-MAX_LOG_LINES);
    heardLines = [];
    const entries = document.createDocumentFragment();
    for (const text of lines) {
      const entry = document.createElement('div');
      entry.className = 'entry';
      entry.textContent = text.replace(/\r\n?/g, '\n');
      entries.appendChild(entry);
    }
    if (lines.length === MAX_LOG_LINES) log.textContent = '';
    log.appendChild(entries);
    while (log.childElementCount > MAX_LOG_LINES) log.removeChild(log.firstElementChild);
    if (following) showNewest();
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

  // A scroll is the reader's only while the log keeps its size: a log that
  // changes size (a phone turned, a notice shown, another kind of scroll
  // bar) may move or reset its scroll position before the resize is
  // reported, and that says nothing about where the reader wants to be.
  let logWidth = -1;
  let logHeight = -1;
  log.addEventListener('scroll', () => {
    if (log.clientWidth !== logWidth || log.clientHeight !== logHeight) return;
    following = log.scrollTop + log.clientHeight >= log.scrollHeight - 8;
  });
  new ResizeObserver(() => {
    logWidth = log.clientWidth;
    logHeight = log.clientHeight;
    if (following) showNewest();
  }).observe(log);

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
