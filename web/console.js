// The browser console: a terminal that is a client of velkor's protocol
// over the WebSocket at /ws, and controls that type the commands for the
// user.  Every byte the server sends is shown in the terminal; until a
// bridge begins the replies are also read line by line, to know the state
// and the list of ports.
(function () {
  'use strict';
  const stateView = document.getElementById('state');
  const identifierField = document.getElementById('identifier');
  const userField = document.getElementById('user');
  const loginButton = document.getElementById('login');
  const baudField = document.getElementById('baud');
  const watchBox = document.getElementById('watch');
  const portList = document.getElementById('ports');

  const term = new Terminal({ cursorBlink: true, convertEol: false, scrollback: 5000 });
  const fit = new FitAddon.FitAddon();
  term.loadAddon(fit);
  term.open(document.getElementById('terminal'));
  fit.fit();
  window.addEventListener('resize', () => fit.fit());

  const encoder = new TextEncoder();
  const decoder = new TextDecoder('latin1');
  let state = 'connecting';
  let lineText = '';
  // What each reply still to come answers, in the order the commands went.
  const awaiting = [];
  let listing = [];
  let typed = '';

  function setState(s) {
    state = s;
    stateView.textContent = s;
    stateView.dataset.state = s;
  }

  const ws = new WebSocket((location.protocol === 'https:' ? 'wss://' : 'ws://') + location.host + '/ws');
  ws.binaryType = 'arraybuffer';

  function send(bytes) {
    if (ws.readyState === WebSocket.OPEN) ws.send(bytes);
  }

  // Bridged or watching: what comes is the port's, no longer replies.
  function raw() {
    return state === 'bridged' || state === 'watching';
  }

  function sendCommand(line, kind) {
    awaiting.push(kind);
    send(encoder.encode(line + '\n'));
  }

  function showPorts(entries) {
    portList.replaceChildren();
    for (const entry of entries) {
      // The registry's values are stored with their NUL: not for the eye.
      const text = entry.replace(/\0/g, '').trim();
      const words = text.split(/\s+/);
      const port = words[words.length - 1];
      if (!/^COM\d+$/.test(port)) continue;
      const b = document.createElement('button');
      b.textContent = port;
      b.dataset.port = port;
      b.title = text;
      b.addEventListener('click', () => {
        // Watching: every byte the port sends, beside its writer, whose
        // keys alone reach the port.
        if (watchBox.checked) sendCommand('w ' + port, 'watch');
        else sendCommand('p ' + port + ' ' + (parseInt(baudField.value, 10) || 9600), 'bridge');
        term.focus();
      });
      portList.appendChild(b);
    }
  }

  // One reply line while commands are answered.
  function takeLine(line) {
    if (state === 'connecting') {
      // The greeting: the identifier comes next.
      setState('identifier');
      return;
    }
    const kind = awaiting[0];
    if (kind === 'identifier') {
      awaiting.shift();
      if (line === '.') {
        setState('logged in');
        sendCommand('r', 'list');
      } else {
        setState('wrong identifier');
      }
    } else if (kind === 'list') {
      if (line.startsWith(':')) {
        listing.push(line.slice(1));
      } else if (line === '.' || line.startsWith('!')) {
        awaiting.shift();
        showPorts(listing);
        listing = [];
      }
    } else if (line === '.' || line.startsWith('!')) {
      awaiting.shift();
      if (kind === 'bridge' && line === '.') setState('bridged');
      if (kind === 'watch' && line === '.') setState('watching');
    }
  }

  ws.onmessage = (event) => {
    const bytes = new Uint8Array(event.data);
    term.write(bytes);
    if (raw()) return;
    const text = decoder.decode(bytes);
    for (let i = 0; i < text.length; i++) {
      const c = text[i];
      if (c === '\n') {
        takeLine(lineText.replace(/\r$/, ''));
        lineText = '';
        // The rest of this message may already be bridged data: it was
        // shown whole above.
        if (raw()) return;
      } else {
        lineText += c;
      }
    }
  };
  ws.onclose = () => setState('closed');
  ws.onerror = () => setState('closed');

  // A server with named users takes "<name> <password>" as the first line.
  loginButton.addEventListener('click', () => {
    const user = userField.value.trim();
    sendCommand(user ? user + ' ' + identifierField.value : identifierField.value, 'identifier');
    term.focus();
  });
  // Enter logs in as the button does; it is kept from the terminal, which
  // has the focus by the time the key would reach it.
  for (const field of [userField, identifierField]) {
    field.addEventListener('keydown', (e) => {
      if (e.key !== 'Enter') return;
      e.preventDefault();
      loginButton.click();
    });
  }

  // Keys go to the server as they are.  Before a bridge there is no echo
  // from the other side, so commands typed by hand are echoed here, and
  // the kind of each is noted so that its reply is read correctly.
  term.onData((data) => {
    send(encoder.encode(data));
    if (raw() || state === 'connecting') return;
    for (const c of data) {
      if (c === '\r') {
        const word = typed.trim().split(/\s+/)[0];
        awaiting.push(state === 'identifier' || state === 'wrong identifier' ? 'identifier'
                      : word === 'p' || word === 'c' ? 'bridge' : word === 'w' ? 'watch'
                      : word === 'r' ? 'list' : 'other');
        typed = '';
        term.write('\r\n');
      } else if (c === '\x7f') {
        if (typed.length) {
          typed = typed.slice(0, -1);
          term.write('\b \b');
        }
      } else if (c >= ' ') {
        typed += c;
        term.write(state === 'identifier' || state === 'wrong identifier' ? '*' : c);
      }
    }
  });
})();
