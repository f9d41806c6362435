// The conference page: one WebSocket to the gateway at /ws, whose messages
// are described in web/README.md. Text from the room is only ever set with
// textContent; the only elements made from it are links to http and https
// addresses, built with DOM calls.
'use strict';

(function () {
  const MAX_LOG_LINES = 2000;
  // The gateway takes the first 1023 bytes of a line, and every character
  // is at least one byte: no need to send more, nor to risk the size limit.
  const MAX_SENT_CHARACTERS = 1023;
  const TITLE = document.title;
  // A phone's connection comes and goes: try again soon, then less often,
  // and at once when the network or the page comes back.
  const FIRST_RETRY_MS = 1000;
  const LAST_RETRY_MS = 30000;
  // A connection that lasted this long was a good one: the next drop
  // starts again from the first delay.
  const STEADY_MS = 10000;
  // Close code of a connection whose participant another connection took.
  const REPLACED = 4000;
  const POLICY_VIOLATION = 1008;
  const TOKEN_KEY = 'conf.token';
  const NAME_KEY = 'conf.name';
  const SOUND_KEY = 'conf.sound';
  const NOTIFY_KEY = 'conf.notify';

  const byId = (id) => document.getElementById(id);
  const nameField = byId('name');
  const joinButton = byId('join');
  const log = byId('log');
  const newerButton = byId('newer');
  const greeting = byId('greeting');
  const greetingText = byId('greeting-text');
  const greetButton = byId('greet');
  const line = byId('line');
  const sendButton = byId('send');
  const leaveButton = byId('leave');
  const relay = byId('relay');
  const notice = byId('notice');
  const connection = byId('connection');
  const connectionText = byId('connection-text');
  const reconnectButton = byId('reconnect');
  const soundBox = byId('sound');
  const notifyOption = byId('notify-option');
  const notifyBox = byId('notify');
  const favicon = document.querySelector('link[rel="icon"]');
  const plainIcon = favicon.href;

  let socket = null;
  let connected = false;
  let joined = false;
  // The first line went out: the participant is in the room as the relay
  // sees it. Until then the page offers to say it.
  let entered = false;
  // Whether the log shows its newest line, so that new lines and a
  // smaller log (a phone's keyboard, a notice) keep it in view; false
  // while the reader has scrolled up.
  let following = true;
  // The field whose text went out and that text, until the gateway answers.
  let pending = null;
  // This connection asked to resume and has had no answer yet.
  let resuming = false;
  let openedAt = 0;
  let retryDelay = FIRST_RETRY_MS;
  let retryTimer = null;
  // Another connection took the participant, or the page is going away:
  // nothing reconnects by itself.
  let stopped = false;
  let unread = 0;

  // Storage can be switched off or full; the page works without it, it
  // only forgets more.
  function stored(storage, key) {
    try {
      return storage.getItem(key);
    } catch (error) {
      return null;
    }
  }
  function store(storage, key, value) {
    try {
      if (value === null) storage.removeItem(key);
      else storage.setItem(key, value);
    } catch (error) {
      // Nothing to do: see above.
    }
  }

  const touchScreen = window.matchMedia('(pointer: coarse)');

  function render() {
    joinButton.disabled = !connected || joined || resuming;
    sendButton.disabled = !connected || !joined;
    leaveButton.disabled = !connected;
    nameField.readOnly = joined;
    greeting.hidden = !connected || !joined || entered;
    greetButton.disabled = pending !== null;
    line.enterKeyHint = touchScreen.matches ? 'enter' : 'send';
    document.body.dataset.state = !connected ? 'disconnected' : !joined ? 'not-joined' : entered ? 'entered' : 'joined';
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

  // Links ---------------------------------------------------------------------

  // An address ends at the first character a URL does not hold unescaped:
  // Japanese text written straight after it stays text.
  const URL_PATTERN = /https?:\/\/[A-Za-z0-9\-._~:/?#[\]@!$&'()*+,;=%]+/gi;
  const TRAILING = '.,:;!?\'*';

  function count(text, character) {
    return text.split(character).length - 1;
  }

  // Punctuation that ends a sentence is not part of the address before it,
  // nor a closing bracket whose opening one is outside it.
  function trimAddress(text) {
    for (;;) {
      const last = text[text.length - 1];
      if (TRAILING.includes(last) ||
          (last === ')' && count(text, '(') < count(text, ')')) ||
          (last === ']' && count(text, '[') < count(text, ']'))) {
        text = text.slice(0, -1);
      } else {
        return text;
      }
    }
  }

  // The address as a link target, or null: only http and https with a
  // host ever become links.
  function linkTarget(text) {
    let url;
    try {
      url = new URL(text);
    } catch (error) {
      return null;
    }
    if ((url.protocol !== 'http:' && url.protocol !== 'https:') || url.hostname === '') return null;
    return url.href;
  }

  function appendText(parent, text) {
    if (text !== '') parent.appendChild(document.createTextNode(text));
  }

  function appendWithLinks(parent, text) {
    let done = 0;
    for (const match of text.matchAll(URL_PATTERN)) {
      const start = match.index;
      // "xhttp://" is a word that happens to hold the letters.
      if (start < done || (start > 0 && /[A-Za-z0-9]/.test(text[start - 1]))) continue;
      const address = trimAddress(match[0]);
      const target = linkTarget(address);
      if (target === null) continue;
      appendText(parent, text.slice(done, start));
      const link = document.createElement('a');
      link.href = target;
      link.target = '_blank';
      link.rel = 'noopener noreferrer';
      link.textContent = address;
      parent.appendChild(link);
      done = start + address.length;
    }
    appendText(parent, text.slice(done));
  }

  // The log -------------------------------------------------------------------

  const twoDigits = (number) => String(number).padStart(2, '0');

  // The gateway's receive time when it sent one; the page's own otherwise.
  function timeOf(milliseconds) {
    const time = new Date(typeof milliseconds === 'number' ? milliseconds : NaN);
    return Number.isNaN(time.getTime()) ? new Date() : time;
  }

  function entryFor(item) {
    const entry = document.createElement('div');
    entry.className = 'entry' + (item.own ? ' own' : '') + (item.marker ? ' marker' : '');
    const time = document.createElement('time');
    time.dateTime = item.time.toISOString();
    time.textContent = twoDigits(item.time.getHours()) + ':' + twoDigits(item.time.getMinutes());
    const text = document.createElement('span');
    text.className = 'text';
    if (item.marker) appendText(text, item.text);
    else appendWithLinks(text, item.text.replace(/\r\n?/g, '\n'));
    entry.append(time, text);
    return entry;
  }

  // Lines heard wait for the next frame and go into the log together: a
  // long log costs about a millisecond of layout each time it is measured,
  // so one measurement a frame keeps up however fast the room talks. A tab
  // in the background has no frames; it keeps only what the log would.
  let waiting = [];
  let framePending = false;

  function addEntry(item) {
    waiting.push(item);
    if (waiting.length >= 2 * MAX_LOG_LINES) waiting = waiting.slice(-MAX_LOG_LINES);
    if (!framePending) {
      framePending = true;
      requestAnimationFrame(showWaiting);
    }
  }

  function addMarker(text) {
    addEntry({ text, time: new Date(), own: false, marker: true });
  }

  function showWaiting() {
    framePending = false;
    const items = waiting.slice(-MAX_LOG_LINES);
    waiting = [];
    const entries = document.createDocumentFragment();
    for (const item of items) entries.appendChild(entryFor(item));
    if (items.length === MAX_LOG_LINES) log.textContent = '';
    log.appendChild(entries);
    while (log.childElementCount > MAX_LOG_LINES) log.removeChild(log.firstElementChild);
    if (following) showNewest();
  }

  // What is new -------------------------------------------------------------

  function reading() {
    return !document.hidden && following;
  }

  // The count on the tab's icon: the page's own icon with a badge, drawn
  // once the icon has loaded.
  const iconImage = new Image();
  iconImage.src = plainIcon;

  // The icon is drawn at most a few times a second: a busy room in a
  // background tab would otherwise draw and encode it for every line.
  let iconTimer = null;

  function showUnread() {
    document.title = unread > 0 ? '(' + unread + ') ' + TITLE : TITLE;
    newerButton.hidden = following || unread === 0;
    if (iconTimer === null) iconTimer = setTimeout(drawIcon, 200);
  }

  function drawIcon() {
    iconTimer = null;
    if (unread === 0) {
      favicon.href = plainIcon;
      return;
    }
    const size = 64;
    const canvas = document.createElement('canvas');
    canvas.width = size;
    canvas.height = size;
    const context = canvas.getContext('2d');
    if (iconImage.complete && iconImage.naturalWidth > 0) context.drawImage(iconImage, 0, 0, size, size);
    context.fillStyle = '#d40000';
    context.beginPath();
    context.arc(size - 22, 22, 22, 0, 2 * Math.PI);
    context.fill();
    context.fillStyle = '#ffffff';
    context.font = 'bold 30px sans-serif';
    context.textAlign = 'center';
    context.textBaseline = 'middle';
    context.fillText(unread > 99 ? '99' : String(unread), size - 22, 23);
    favicon.href = canvas.toDataURL('image/png');
  }

  function clearUnread() {
    if (unread === 0 && newerButton.hidden) return;
    unread = 0;
    showUnread();
  }

  let audio = null;
  let lastSound = 0;

  // A short tone made here: the page loads no sound file.
  function chime() {
    const now = Date.now();
    if (!soundBox.checked || audio === null || now - lastSound < 2000) return;
    lastSound = now;
    const start = audio.currentTime;
    const tone = audio.createOscillator();
    const volume = audio.createGain();
    tone.frequency.value = 880;
    volume.gain.setValueAtTime(0.08, start);
    volume.gain.exponentialRampToValueAtTime(0.0001, start + 0.25);
    tone.connect(volume).connect(audio.destination);
    tone.start(start);
    tone.stop(start + 0.3);
  }

  // Sound needs a click before it may play; the click that switches it on
  // (or any later one) gives it.
  function wakeAudio() {
    if (!soundBox.checked) return;
    const Context = window.AudioContext || window.webkitAudioContext;
    if (audio === null && Context) audio = new Context();
    if (audio !== null && audio.state === 'suspended') audio.resume();
  }

  const canNotify = window.isSecureContext && 'Notification' in window;

  let lastNotified = 0;

  function notify(text) {
    const now = Date.now();
    if (!notifyBox.checked || !document.hidden || Notification.permission !== 'granted') return;
    if (now - lastNotified < 2000) return;
    lastNotified = now;
    try {
      // One notification stands for all: each new line replaces it.
      new Notification(TITLE, { body: text, tag: 'conf-line', lang: 'ja' });
    } catch (error) {
      // Some browsers allow notifications from a service worker only.
    }
  }

  function heard(text) {
    if (reading()) return;
    unread += 1;
    showUnread();
    chime();
    notify(text);
  }

  // Talking to the gateway ----------------------------------------------------

  function request(message) {
    if (socket !== null && socket.readyState === WebSocket.OPEN) socket.send(JSON.stringify(message));
  }

  function join() {
    if (!connected || joined) return;
    request({ type: 'join', name: nameField.value });
  }

  function sendFrom(field) {
    if (!connected || !joined || pending !== null) return;
    pending = { field, text: field.value };
    render();
    request({ type: 'send', text: Array.from(field.value).slice(0, MAX_SENT_CHARACTERS).join('') });
  }

  function leave() {
    request({ type: 'leave' });
  }

  // The line went out: the input is emptied, as the Windows client does,
  // but what was typed since stays. The first line after a join enters the
  // room, whichever field it came from.
  function lineSent() {
    if (pending !== null && pending.field === line) {
      if (line.value === pending.text) line.value = '';
      else if (line.value.startsWith(pending.text)) line.value = line.value.slice(pending.text.length);
    }
    pending = null;
    entered = true;
    showNotice('', 'info');
    render();
    line.focus();
  }

  // A field the gateway left out shows as nothing rather than "undefined".
  function textOf(value) {
    return typeof value === 'string' ? value : '';
  }

  function forgetParticipant() {
    store(sessionStorage, TOKEN_KEY, null);
  }

  function handle(message) {
    switch (message.type) {
      case 'hello':
        relay.textContent = textOf(message.relay);
        break;
      case 'state':
        joined = message.state === 'joined';
        resuming = false;
        if (joined) {
          entered = false;
          nameField.value = textOf(message.name);
          store(sessionStorage, NAME_KEY, nameField.value);
          if (typeof message.token === 'string') store(sessionStorage, TOKEN_KEY, message.token);
          showNotice('', 'info');
        } else {
          entered = false;
          pending = null;
          forgetParticipant();
          if (nameField.value === '') nameField.value = stored(sessionStorage, NAME_KEY) || '';
        }
        // After render(): a disabled button takes no focus.
        render();
        (joined ? line : joinButton).focus();
        break;
      case 'resumed':
        resuming = false;
        joined = true;
        entered = message.entered === true;
        if (typeof message.name === 'string') {
          nameField.value = message.name;
          store(sessionStorage, NAME_KEY, message.name);
        }
        if (typeof message.token === 'string') store(sessionStorage, TOKEN_KEY, message.token);
        addMarker('（再接続しました）');
        if (Number.isInteger(message.missed) && message.missed > 0) {
          addMarker('（' + message.missed + '行を受信できませんでした）');
        }
        render();
        break;
      case 'entered':
        entered = true;
        render();
        break;
      case 'line':
        if (typeof message.text !== 'string') break;
        addEntry({ text: message.text, time: timeOf(message.time), own: message.own === true, marker: false });
        if (message.own !== true) heard(message.text);
        break;
      case 'sent':
        lineSent();
        break;
      case 'unsent':
        pending = null;
        render();
        showNotice(textOf(message.text), 'error');
        break;
      case 'notice':
        // The participant left while the page was away: the name stays to
        // join again with.
        if (message.code === 'left' || message.code === 'enter_timeout') forgetParticipant();
        showNotice(textOf(message.text), 'error');
        break;
      default:
        break;
    }
  }

  function scheduleRetry() {
    clearTimeout(retryTimer);
    retryTimer = setTimeout(connect, retryDelay);
    retryDelay = Math.min(retryDelay * 2, LAST_RETRY_MS);
  }

  function showConnectionLost(text) {
    connectionText.textContent = text;
    connection.hidden = false;
    // Only a focus that the closing took away moves to the button: someone
    // typing a line keeps typing.
    const focused = document.activeElement;
    if (focused === null || focused === document.body || focused.disabled) reconnectButton.focus();
  }

  function connect() {
    clearTimeout(retryTimer);
    retryTimer = null;
    if (socket !== null) return;
    stopped = false;
    const token = stored(sessionStorage, TOKEN_KEY);
    if (connection.hidden) showNotice('会議ゲートウェイに接続しています…', 'info');
    const scheme = location.protocol === 'https:' ? 'wss://' : 'ws://';
    const current = new WebSocket(scheme + location.host + '/ws');
    socket = current;
    current.addEventListener('open', () => {
      connected = true;
      joined = false;
      entered = false;
      pending = null;
      openedAt = Date.now();
      connection.hidden = true;
      showNotice('', 'info');
      if (token !== null) {
        resuming = true;
        request({ type: 'resume', token });
      }
      render();
      if (token === null) nameField.focus();
    });
    current.addEventListener('message', (event) => {
      if (socket !== current) return;
      let message;
      try {
        message = JSON.parse(event.data);
      } catch (error) {
        return;
      }
      if (message !== null && typeof message === 'object') handle(message);
    });
    current.addEventListener('close', (event) => {
      if (socket !== current) return;
      const wasConnected = connected;
      const wasResuming = resuming;
      socket = null;
      connected = false;
      joined = false;
      entered = false;
      pending = null;
      resuming = false;
      render();
      showNotice('', 'info');
      if (event.code === REPLACED) {
        stopped = true;
        forgetParticipant();
        showConnectionLost('別のタブ・接続で再開されました。');
        return;
      }
      // A gateway that does not know resuming refuses the request as a
      // policy violation: join afresh, at once.
      if (wasResuming && event.code === POLICY_VIOLATION) {
        forgetParticipant();
        retryDelay = FIRST_RETRY_MS;
      }
      if (stopped) return;
      if (wasConnected && Date.now() - openedAt >= STEADY_MS) retryDelay = FIRST_RETRY_MS;
      let text = wasConnected ? '会議ゲートウェイとの接続が切れました' : '会議ゲートウェイに接続できません';
      if (event.reason) text += '（' + event.reason + '）';
      text += '。自動で再接続します。';
      showConnectionLost(text);
      scheduleRetry();
    });
  }

  // Whatever wakes a sleeping connection tries at once, not at the end of
  // the current wait.
  function retryNow() {
    if (socket === null && !stopped && retryTimer !== null) connect();
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
    if (reading()) clearUnread();
  });
  new ResizeObserver(() => {
    logWidth = log.clientWidth;
    logHeight = log.clientHeight;
    if (following) showNewest();
  }).observe(log);

  newerButton.addEventListener('click', () => {
    following = true;
    showNewest();
    clearUnread();
    log.focus();
  });
  document.addEventListener('visibilitychange', () => {
    if (document.hidden) return;
    if (following) clearUnread();
    retryNow();
  });
  window.addEventListener('online', retryNow);
  // Closing the tab leaves at once; a page kept for the back button stays.
  window.addEventListener('pagehide', (event) => {
    if (event.persisted) return;
    stopped = true;
    if (joined) request({ type: 'leave' });
    forgetParticipant();
  });
  // A page back from the back-forward cache lost its connection there.
  window.addEventListener('pageshow', (event) => {
    if (!event.persisted) return;
    stopped = false;
    if (socket !== null && socket.readyState !== WebSocket.OPEN) socket = null;
    if (socket === null) connect();
  });

  joinButton.addEventListener('click', join);
  sendButton.addEventListener('click', () => sendFrom(line));
  greetButton.addEventListener('click', () => sendFrom(greetingText));
  leaveButton.addEventListener('click', leave);
  reconnectButton.addEventListener('click', () => {
    retryDelay = FIRST_RETRY_MS;
    connect();
  });

  const isComposing = (event) => event.isComposing || event.keyCode === 229;
  nameField.addEventListener('keydown', (event) => {
    if (event.key === 'Enter' && !isComposing(event)) {
      event.preventDefault();
      join();
    }
  });
  greetingText.addEventListener('keydown', (event) => {
    if (event.key === 'Enter' && !isComposing(event)) {
      event.preventDefault();
      sendFrom(greetingText);
    }
  });
  // Enter sends; Shift+Enter is a new line; the Enter that ends an IME
  // composition only ends it. A soft keyboard has no Shift: on a touch
  // screen Enter is a new line and the 送信 button sends.
  line.addEventListener('keydown', (event) => {
    if (event.key !== 'Enter' || event.shiftKey || isComposing(event) || touchScreen.matches) return;
    event.preventDefault();
    sendFrom(line);
  });
  touchScreen.addEventListener('change', render);

  soundBox.checked = stored(localStorage, SOUND_KEY) === 'on';
  soundBox.addEventListener('change', () => {
    store(localStorage, SOUND_KEY, soundBox.checked ? 'on' : null);
    wakeAudio();
  });
  document.addEventListener('pointerdown', wakeAudio);
  document.addEventListener('keydown', wakeAudio);

  // Asked only when the person ticks the box, never unprompted.
  if (canNotify) {
    notifyOption.hidden = false;
    notifyBox.checked = stored(localStorage, NOTIFY_KEY) === 'on' && Notification.permission === 'granted';
    notifyBox.addEventListener('change', () => {
      if (!notifyBox.checked) {
        store(localStorage, NOTIFY_KEY, null);
        return;
      }
      Notification.requestPermission().then((permission) => {
        notifyBox.checked = permission === 'granted';
        store(localStorage, NOTIFY_KEY, notifyBox.checked ? 'on' : null);
      });
    });
  }

  // The page's own files kept for when the gateway cannot be reached; the
  // browser allows it in a secure context only.
  if ('serviceWorker' in navigator) {
    window.addEventListener('load', () => {
      navigator.serviceWorker.register('/sw.js').catch(() => {});
    });
  }

  nameField.value = stored(sessionStorage, NAME_KEY) || '';
  render();
  connect();
})();
