// The signer's side of the promise page: a control connection to the demo
// (ws://127.0.0.1:10002/) that presses the virtual pad's buttons, draws, places
// a finger, and records the pad commands and device states the demo reports.
// In a page it uses the browser's WebSocket; a test in Node, playing the
// signer from outside the browser, gives it a WebSocket of its own.
const COMMANDS = { 0x01: 'SignCommand', 0x04: 'CloseCommand', 0x05: 'FingerCommand' };

// A signer whose connection `openSocket(url)` makes: an object with the
// WebSocket's send(), close() and onopen, onerror, onmessage, onclose.
export function makeSigner(openSocket) {
  return {
    socket: null,
    commands: [],      // "SignCommand accepted", ... in the order the pad got them
    pad: 'unknown',    // open / closed
    padChangedAt: 0,   // Date.now() when the demo last reported the pad's state
    errors: [],        // answers to malformed control messages
    synced: [],        // resolvers of sync() calls, in order

    connect() {
      return new Promise((resolve, reject) => {
        const socket = openSocket('ws://127.0.0.1:10002/');
        socket.onopen = () => {
          this.socket = socket;
          resolve();
        };
        socket.onerror = () => reject(new Error('no control connection to the demo'));
        socket.onmessage = (event) => this.receive(JSON.parse(event.data));
        socket.onclose = () => {
          if (this.socket === socket) this.socket = null;
        };
      });
    },

    receive(event) {
      if ('feature' in event) {
        const code = parseInt(event.feature.split(' ')[1], 16);
        this.commands.push(`${COMMANDS[code] || code} ${event.accepted ? 'accepted' : 'refused'}`);
      } else if ('pad' in event) {
        this.pad = event.pad;
        this.padChangedAt = Date.now();
      } else if ('error' in event) {
        this.errors.push(event.error);
        const resolve = this.synced.shift();
        if (resolve) resolve();
      }
    },

    close() {
      if (this.socket) this.socket.close();
    },

    count(command) {
      return this.commands.filter((c) => c === command).length;
    },

    send(message) {
      if (!this.socket) throw new Error('the control connection to the demo is closed');
      this.socket.send(JSON.stringify(message));
    },

    // Resolves once the demo has applied every message sent before: it answers
    // the malformed one that follows them.
    sync() {
      return new Promise((resolve) => {
        this.synced.push(resolve);
        this.send({ sync: 0 });
      });
    },

    // A wavy stroke across the drawing area, in raw pad units.
    draw() {
      for (let i = 0; i <= 30; i++) {
        this.send({ pen: [1500 + i * 230, 3000 + Math.round(900 * Math.sin(i / 3)), 700] });
      }
      this.send({ pen: [1500 + 30 * 230, 3000, 0] });
    },
  };
}

if (typeof window !== 'undefined') window.signer = makeSigner((url) => new WebSocket(url));
