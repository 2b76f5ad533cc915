// penmora.js: a small dependency-free client for the Penmora service, which
// drives a USB signature pad and a fingerprint reader for a web page.
//
//   import { connect } from './penmora.js';
//   const pad = await connect();                 // ws://127.0.0.1:10001
//   pad.on('signature', (png) => { img.src = URL.createObjectURL(png); });
//   pad.on('ok', () => console.log('the signer confirmed'));
//   pad.startSign(3);
//
// Events (handler arguments in brackets):
//   open, close [{code, reason, wasClean}]      the connection to the service
//   sent [text], message [text, object|null]    every message out and in
//   clear, ok, cancel                           the pad's Clear, OK and Cancel
//   unsign [text]                               OK pressed with nothing drawn
//   error [text]                                the pad could not start signing
//   signature, fingerprint, signatureWithFingerprint [Blob, base64]
//                                               images as PNG Blobs
//   unknown [text, object|null]                 any other message

export const DEFAULT_URL = 'ws://127.0.0.1:10001';

// The messages of the service, by typeName, and the events they raise.
const EVENTS = {
  TavoClear: 'clear',
  TavoOK: 'ok',
  TavoUnSign: 'unsign',
  TavoCancel: 'cancel',
  TavoError: 'error',
  TavoSignBase64: 'signature',
  TavoFingerBase64: 'fingerprint',
  TavoSignFBase64: 'signatureWithFingerprint',
};
const IMAGE_EVENTS = new Set(['signature', 'fingerprint', 'signatureWithFingerprint']);

// The service sends Base64 without its "=" padding; atob wants it back.
export function base64ToBytes(text) {
  let clean = String(text).replace(/\s+/g, '');
  if (clean.length % 4 === 1) throw new Error('Penmora: the image text is not Base64');
  while (clean.length % 4 !== 0) clean += '=';
  const binary = atob(clean);
  const bytes = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; i++) bytes[i] = binary.charCodeAt(i);
  return bytes;
}

export function base64ToPngBlob(text) {
  return new Blob([base64ToBytes(text)], { type: 'image/png' });
}

// The service reads its parameters as strings of decimal digits.
function decimal(value, name) {
  const number = Number(value);
  if (!Number.isFinite(number)) throw new TypeError(`Penmora: ${name} must be a number`);
  return String(Math.trunc(number));
}

export class Penmora {
  constructor(url = DEFAULT_URL) {
    this.url = url;
    this.socket = null;
    this.listeners = new Map();
  }

  get connected() {
    return this.socket !== null && this.socket.readyState === WebSocket.OPEN;
  }

  on(event, handler) {
    if (!this.listeners.has(event)) this.listeners.set(event, new Set());
    this.listeners.get(event).add(handler);
    return this;
  }

  off(event, handler) {
    const handlers = this.listeners.get(event);
    if (handlers) handlers.delete(handler);
    return this;
  }

  emit(event, ...args) {
    for (const handler of [...(this.listeners.get(event) || [])]) {
      try {
        handler(...args);
      } catch (e) {
        // One faulty handler must not keep the others from their message.
        setTimeout(() => { throw e; });
      }
    }
  }

  // Resolves once connected; rejects with a clear error when the service does
  // not answer (not running, or another program holds the port).
  connect() {
    if (this.socket) return Promise.reject(new Error('Penmora: already connected or connecting'));
    return new Promise((resolve, reject) => {
      let socket;
      try {
        socket = new WebSocket(this.url);
      } catch (e) {
        reject(new Error(`Penmora: cannot connect to ${this.url}: ${e.message}`));
        return;
      }
      this.socket = socket;
      let opened = false;
      socket.onopen = () => {
        opened = true;
        this.emit('open');
        resolve(this);
      };
      socket.onclose = (event) => {
        if (this.socket === socket) this.socket = null;
        if (!opened) {
          reject(new Error(`Penmora: the service is not running at ${this.url} ` +
                           '(start it, or check that nothing else holds the port)'));
          return;
        }
        this.emit('close', { code: event.code, reason: event.reason, wasClean: event.wasClean });
      };
      socket.onmessage = (event) => this.receive(event.data);
    });
  }

  close() {
    if (this.socket) this.socket.close();
  }

  receive(data) {
    if (typeof data !== 'string') return;  // the service sends text only
    let object = null;
    try {
      object = JSON.parse(data);
    } catch (e) {
      object = null;
    }
    this.emit('message', data, object);
    const event = object && typeof object === 'object' ? EVENTS[object.typeName] : undefined;
    if (!event) {
      this.emit('unknown', data, object);
    } else if (IMAGE_EVENTS.has(event)) {
      const text = typeof object.message === 'string' ? object.message : '';
      let blob;
      try {
        blob = base64ToPngBlob(text);
      } catch (e) {
        this.emit('unknown', data, object);
        return;
      }
      this.emit(event, blob, text);
    } else if (event === 'unsign' || event === 'error') {
      this.emit(event, typeof object.message === 'string' ? object.message : '');
    } else {
      this.emit(event);
    }
  }

  send(typeName, message) {
    if (!this.connected) {
      throw new Error('Penmora: not connected to the service (call connect() first)');
    }
    const command = message === undefined ? { typeName } : { typeName, message };
    const text = JSON.stringify(command);
    this.socket.send(text);
    this.emit('sent', text);
  }

  // Starts a signature; penWidth scales the pen's pressure into pixels.
  startSign(penWidth = 3) {
    this.send('TavoStartSign', { penwidth: decimal(penWidth, 'penWidth') });
  }

  // Ends the signing session and releases the pad.
  closeSign() {
    this.send('TavoCloseSign');
  }

  // Asks the service to close its newest connection (usually this one).
  closeSocket() {
    this.send('TavoCloseSocket');
  }

  // Takes a fingerprint alone; quality is the score an image must exceed (0 to 300).
  startFinger(quality = 50) {
    this.send('TavoStartFinger', { quality: decimal(quality, 'quality') });
  }

  // A signature followed by a fingerprint, delivered as one combined image.
  startSignFinger(penWidth = 3, quality = 50) {
    this.send('TavoStartSignFinger', {
      quality: decimal(quality, 'quality'),
      penwidth: decimal(penWidth, 'penWidth'),
    });
  }
}

export async function connect(url = DEFAULT_URL) {
  const client = new Penmora(url);
  await client.connect();
  return client;
}
