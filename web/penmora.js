// penmora.js: a small dependency-free client for the Penmora service, which
// drives a USB signature pad and a fingerprint reader for a web page.
//
//   import { connect } from './penmora.js';
//   const pad = await connect();                 // ws://127.0.0.1:10001
//   const { png } = await pad.sign({ penWidth: 3 });
//   img.src = URL.createObjectURL(png);
//
// The calls sign, signWithFingerprint and fingerprint resolve with the image
// ({ png: Blob, base64 }) and reject with a PenmoraError whose code says why:
// 'cancelled', 'start-failed', 'closed', 'superseded' or 'timeout'. One call
// is in flight at a time, since the service runs one pad session. connect()
// rejects with 'blocked' when the browser does not let the page reach this
// computer (Local Network Access), else with 'unreachable'; without WebSocket
// (Node before 22) everything that would connect rejects with 'unsupported'.
// Where the browser holds the connection while it asks the person (Firefox's
// prompt), the page is told at once ('prompt' event, onPrompt option), and
// connect() resolves when the person allows, or rejects with 'blocked' when
// they block or give no answer within promptTimeoutMs.
//
// The service sends the pad's messages to the newest page still connected to
// it; a page that is left (reloaded, closed) with a call in flight ends the
// pad session first, so the pad waits for nobody.
//
// The same messages raise events (handler arguments in brackets):
//   open, close [{code, reason, wasClean}]      the connection to the service
//   prompt [text]                               the browser asks the person
//                                               before the page may connect
//   reconnect [attempts]                        connected again (reconnect: true)
//   sent [text], message [text, object|null]    every message out and in
//   clear, ok, cancel                           the pad's Clear, OK and Cancel
//   unsign [text]                               OK pressed with nothing drawn
//   error [text]                                the pad could not start signing
//   signature, fingerprint, signatureWithFingerprint [Blob, base64]
//                                               images as PNG Blobs
//   unknown [text, object|null]                 any other message
//   pen [samples, text]                         pen samples as they are written
//   signData [record, text]                     the signature's record, at OK
//
// Pen data is opt-in: sign({ penData: true, onPen }) and
// signWithFingerprint({ penData: true, onPen }) pass each live batch of
// samples to onPen and resolve with { png, base64, penData }, penData the
// record of the signature (its samples since the start or the last Clear).
// startSign(penWidth, { penData: true }) and startSignFinger(...) ask for it
// in the event style. A sample is { t, x, y, pressure }: milliseconds since
// the session started and the pad's raw values.
//
// Sealed evidence is opt-in too: sign({ evidence: { sealTo, document, who,
// why } }) and signWithFingerprint({ evidence }) resolve with the evidence,
// a compact JWE that only the holder of sealTo's private key can open, in
// `evidence`; the 'signEvidence' event [text] brings it in the event style,
// where startSign(penWidth, { evidence: await evidenceMembers(...) }) asks.

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
  TavoPenData: 'pen',
  TavoSignData: 'signData',
  TavoDenied: 'denied',
  TavoSignEvidence: 'signEvidence',
  TavoEvidenceError: 'evidenceError',
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

// ---- Pen data ------------------------------------------------------------------

function penDataError(what) {
  return new Error(`Penmora: the pen data is malformed (${what})`);
}

const SAMPLE = /^(\d+),(\d+),(\d+),(\d+)$/;

// The samples of a "TavoPenData" message, or of a record: "t,x,y,p" joined by
// ";", each a decimal number: milliseconds since the session started, the
// pad's raw x (0 to 10206 across), y (0 to 7422 down) and pressure (0: the pen
// is lifted).
export function parsePenSamples(text) {
  const samples = [];
  if (text === '') return samples;
  for (const item of String(text).split(';')) {
    const match = SAMPLE.exec(item);
    if (!match) throw penDataError(`sample "${item.slice(0, 40)}"`);
    samples.push({ t: Number(match[1]), x: Number(match[2]), y: Number(match[3]),
                   pressure: Number(match[4]) });
  }
  return samples;
}

function size(text, name) {
  const match = /^(\d+)x(\d+)$/.exec(text || '');
  if (!match) throw penDataError(name);
  return { width: Number(match[1]), height: Number(match[2]) };
}

// The record of a "TavoSignData" message: a header of name=value pairs joined
// by ",", a "|", then the samples.
export function parsePenRecord(text) {
  const bar = String(text).indexOf('|');
  if (bar < 0) throw penDataError('no "|" after the header');
  const header = {};
  for (const field of String(text).slice(0, bar).split(',')) {
    const eq = field.indexOf('=');
    if (eq <= 0) throw penDataError(`header field "${field.slice(0, 40)}"`);
    header[field.slice(0, eq)] = field.slice(eq + 1);
  }
  const number = (name) => {
    if (!/^\d+$/.test(header[name] || '')) throw penDataError(name);
    return Number(header[name]);
  };
  const start = new Date(header.start);
  if (Number.isNaN(start.getTime())) throw penDataError('start');
  const samples = parsePenSamples(String(text).slice(bar + 1));
  if (number('n') !== samples.length) throw penDataError('n is not the number of samples');
  return {
    version: number('v'),
    start,
    xMax: number('xmax'),
    yMax: number('ymax'),
    plane: size(header.plane, 'plane'),
    canvas: size(header.canvas, 'canvas'),
    cut: number('cut') === 1,
    samples,
  };
}

// The service reads its parameters as strings of decimal digits.
function decimal(value, name) {
  const number = Number(value);
  if (!Number.isFinite(number)) throw new TypeError(`Penmora: ${name} must be a number`);
  return String(Math.trunc(number));
}


// A duration in milliseconds from an option; `fallback` when it is absent.
function milliseconds(value, name, fallback) {
  if (value === undefined || value === null) return fallback;
  const number = Number(value);
  if (!Number.isFinite(number) || number < 0) {
    throw new TypeError(`Penmora: ${name} must be a number of milliseconds`);
  }
  return number;
}

// The names of this computer's loopback address, where the service listens.
const LOOPBACK_HOSTS = new Set(['127.0.0.1', 'localhost', '[::1]']);

// Addresses that differ only in the loopback name ("ws://127.0.0.1:10001/",
// "ws://localhost:10001", "ws://[::1]:10001") or the path name the same
// service: it listens on one port and reads no path.
function sameService(a, b) {
  const normal = (url) => {
    try {
      const parsed = new URL(url);
      const host = LOOPBACK_HOSTS.has(parsed.hostname) ? 'loopback' : parsed.hostname;
      return `${parsed.protocol}//${host}:${parsed.port}`;
    } catch (e) {
      return String(url);
    }
  };
  return normal(a) === normal(b);
}

// ---- Local Network Access ------------------------------------------------
//
// Browsers let a page on a public site open ws://127.0.0.1 only once the user
// (or a policy of IT's) allowed it. A page cannot see why a WebSocket failed,
// but it can ask the permission's state, under its name since Chromium 145
// and under the older one before.
const ACCESS_PERMISSIONS = ['loopback-network', 'local-network-access'];
const ACCESS_STATES = new Set(['granted', 'prompt', 'denied']);

// 'granted', 'prompt' or 'denied' as the browser says; 'unknown' where it
// knows neither name. The current name decides where the browser knows it:
// in a frame allowed only "loopback-network" the older name says 'denied'
// while the connection works.
async function permissionState() {
  const permissions = globalThis.navigator && globalThis.navigator.permissions;
  if (!permissions || typeof permissions.query !== 'function') return 'unknown';
  for (const name of ACCESS_PERMISSIONS) {
    try {
      const { state } = await permissions.query({ name });
      if (ACCESS_STATES.has(state)) return state;
    } catch (e) {
      // A browser that does not know this name: try the next one.
    }
  }
  return 'unknown';
}

// The browser's PermissionStatus of the access, under the first name it
// knows; null where it knows neither. Its 'change' event follows the
// person's answer, the site settings and a policy.
async function permissionStatus() {
  const permissions = globalThis.navigator && globalThis.navigator.permissions;
  if (!permissions || typeof permissions.query !== 'function') return null;
  for (const name of ACCESS_PERMISSIONS) {
    try {
      const status = await permissions.query({ name });
      if (ACCESS_STATES.has(status.state)) return status;
    } catch (e) {
      // A browser that does not know this name: try the next one.
    }
  }
  return null;
}

// A page served from this computer's loopback address, where nothing is
// refused (whatever its permission says).
function onLoopbackPage() {
  const host = globalThis.location ? globalThis.location.hostname : '';
  return LOOPBACK_HOSTS.has(host) || /^127\.\d+\.\d+\.\d+$/.test(host) || host.endsWith('.localhost');
}

// Whether this page may reach the service: as the browser says, and
// 'granted' on a loopback page.
async function localAccess() {
  return onLoopbackPage() ? 'granted' : permissionState();
}

// The sentence for a page inside a frame, which its parent must allow too.
function frameHint() {
  let framed = false;
  try {
    framed = globalThis.window !== undefined && globalThis.window !== globalThis.window.top;
  } catch (e) {
    framed = true;  // a parent of another origin
  }
  return framed ? ' This page is inside a frame: the page around it must allow it too, with ' +
    'allow="loopback-network" on the <iframe>.' : '';
}

// Why a connection to `url` could not be made, as far as the page can tell.
async function unreachable(url) {
  const access = await localAccess();
  if (access === 'granted') {
    return new PenmoraError('unreachable', `Penmora: the service is not running at ${url} ` +
                            '(start it, or check that nothing else holds the port)');
  }
  const secure = globalThis.isSecureContext;
  if (secure === true && access === 'denied') {
    return new PenmoraError('blocked', 'Penmora: the browser did not let this page reach the ' +
      `Penmora service on this computer (${url}). Allow this site to access apps and services ` +
      'on this device in the browser\'s site settings (the icon left of the address), or ask IT ' +
      'to list this site in the browser policy LocalNetworkAccessAllowedForUrls.' + frameHint());
  }
  return new PenmoraError('unreachable', `Penmora: cannot reach the service at ${url}: either it ` +
    'is not running on this computer (install or start it), or the browser did not let this ' +
    'page reach it (allow this site to access apps and services on this device in the ' +
    'browser\'s site settings, or ask IT to list it in the policy ' +
    'LocalNetworkAccessAllowedForUrls).' +
    (secure === false ? ' This page is not served over https: a page on a public site must be, ' +
                        'or the browser refuses it outright.' : '') + frameHint());
}

// The sentence the page is given while the browser's prompt waits.
const PROMPT_TEXT = 'The browser asks whether this site may reach apps and services on this ' +
  'device: choose Allow in the browser\'s prompt (by the address bar) to use the signature pad.';

const POLICY_NAMES = 'LocalNetworkAccessAllowedForUrls in Chromium and Chrome, LocalNetworkAccess ' +
  'with SkipDomains in Firefox';

// Why a connection held by the browser's prompt failed: the person blocked it
// (whatever the permission says now, short of 'granted': a block for this
// visit only leaves it at 'prompt'), or allowed it and the service did not
// answer.
async function refusedAfterPrompt(url) {
  const state = await permissionState();
  if (state === 'granted') return unreachable(url);
  return new PenmoraError('blocked', 'Penmora: the browser\'s prompt did not let this page reach ' +
    `the Penmora service on this computer (${url}). Allow this site to access apps and services ` +
    'on this device in the browser\'s site settings (the icon left of the address), or ask IT to ' +
    `list this site in the browser policy (${POLICY_NAMES}).` + frameHint());
}

// Node before version 22, and other environments without WebSocket, cannot
// reach the service; they are told so rather than "not running".
function noWebSocket() {
  if (typeof WebSocket === 'function') return null;
  return new PenmoraError('unsupported', 'Penmora: this environment has no WebSocket; ' +
                          'penmora.js runs in a web browser (or Node 22 and later)');
}

// Why a call ended without its image: `code` is one of 'cancelled',
// 'start-failed', 'denied' (the service does not trust this page; the
// service's words in `serviceText` and the message), 'closed', 'superseded'
// or 'timeout'; why connect() failed:
// 'blocked' (the browser's Local Network Access), 'unreachable', or
// 'unsupported' where there is no WebSocket. For
// 'start-failed', `serviceText` holds the service's own words.
export class PenmoraError extends Error {
  constructor(code, message, { cause, serviceText } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = 'PenmoraError';
    this.code = code;
    if (serviceText !== undefined) this.serviceText = serviceText;
  }
}

// The clients of this page with an open connection. The service sends the
// pad's messages to its newest connection, so a probe by isRunning would take
// them away from such a client: isRunning asks these first.
const openClients = new Set();

const RECONNECT_DELAY_MS = 500;
const MAX_RECONNECT_DELAY_MS = 10000;
const IS_RUNNING_TIMEOUT_MS = 2000;
// A connection the browser has neither opened nor refused after this long,
// while its permission says 'prompt', waits for the person's answer.
const PROMPT_NOTICE_MS = 250;
const PROMPT_TIMEOUT_MS = 60000;

export class Penmora {
  #reconnect;
  #reconnectDelayMs;
  #maxReconnectDelayMs;
  #stopped = false;          // close() was called: no reconnection
  #reconnectTimer = null;
  #nextAttempt = 0;          // the reconnection attempt the timer starts
  #call = null;              // the promise call in flight
  #socket = null;            // the WebSocket, from connect() until it closes
  #listeners = new Map();    // event name -> Set of handlers
  #promptTimeoutMs;
  #onPrompt;

  constructor(url = DEFAULT_URL, options) {
    const { reconnect, reconnectDelayMs, maxReconnectDelayMs } = options || {};
    const { promptTimeoutMs, onPrompt } = options || {};
    if (onPrompt !== undefined && onPrompt !== null && typeof onPrompt !== 'function') {
      throw new TypeError('Penmora: onPrompt must be a function');
    }
    this.#promptTimeoutMs = milliseconds(promptTimeoutMs, 'promptTimeoutMs', PROMPT_TIMEOUT_MS);
    this.#onPrompt = typeof onPrompt === 'function' ? onPrompt : null;
    this.url = url;
    this.#reconnect = Boolean(reconnect);
    this.#reconnectDelayMs = milliseconds(reconnectDelayMs, 'reconnectDelayMs', RECONNECT_DELAY_MS);
    this.#maxReconnectDelayMs = Math.max(this.#reconnectDelayMs, milliseconds(
      maxReconnectDelayMs, 'maxReconnectDelayMs', MAX_RECONNECT_DELAY_MS));
  }

  get connected() {
    return this.#socket !== null && this.#socket.readyState === WebSocket.OPEN;
  }

  on(event, handler) {
    if (!this.#listeners.has(event)) this.#listeners.set(event, new Set());
    this.#listeners.get(event).add(handler);
    return this;
  }

  off(event, handler) {
    const handlers = this.#listeners.get(event);
    if (handlers) handlers.delete(handler);
    return this;
  }

  #emit(event, ...args) {
    for (const handler of [...(this.#listeners.get(event) || [])]) {
      try {
        handler(...args);
      } catch (e) {
        // One faulty handler must not keep the others from their message.
        setTimeout(() => { throw e; });
      }
    }
  }

  // Resolves once connected; rejects with a PenmoraError when the service
  // does not answer (not running, or another program holds the port).
  connect() {
    if (this.#socket) return Promise.reject(new Error('Penmora: already connected or connecting'));
    const unsupported = noWebSocket();
    if (unsupported) return Promise.reject(unsupported);
    this.#stopped = false;
    const attempt = this.#nextAttempt;  // 0 unless a reconnection was waiting
    this.#cancelReconnect();
    return this.#open(attempt).catch((e) => {
      if (attempt > 0) this.#scheduleReconnect(attempt + 1);
      throw e;
    });
  }

  // One connection attempt; `attempt` counts reconnections (0: the first).
  #open(attempt) {
    return new Promise((resolve, reject) => {
      let socket;
      try {
        socket = new WebSocket(this.url);
      } catch (e) {
        reject(new PenmoraError('unreachable', `Penmora: cannot connect to ${this.url}: ${e.message}`,
                                { cause: e }));
        return;
      }
      this.#socket = socket;
      let opened = false;
      const held = this.#watchPrompt(socket, attempt, resolve, reject);
      socket.onopen = () => {
        opened = true;
        held.stop();
        openClients.add(this);
        this.#emit('open');
        if (attempt > 0) this.#emit('reconnect', attempt);
        resolve(this);
      };
      socket.onclose = (event) => {
        if (this.#socket === socket) this.#socket = null;
        if (!opened) {
          held.stop();
          (held.shown ? refusedAfterPrompt : unreachable)(this.url).then(reject, reject);
          return;
        }
        openClients.delete(this);
        this.#settle(new PenmoraError('closed', 'Penmora: the connection to the service ended'));
        this.#emit('close', { code: event.code, reason: event.reason, wasClean: event.wasClean });
        if (this.#reconnect && !this.#stopped && !this.#socket) this.#scheduleReconnect(1);
      };
      socket.onmessage = (event) => this.#receive(event.data);
    });
  }

  // Follows a connection that the browser may hold while it asks the person.
  // When its permission says 'prompt' and the connection is still waiting
  // after PROMPT_NOTICE_MS, the page is told ('prompt', onPrompt). The
  // person's answer opens or fails the connection; a change of the
  // permission meanwhile (site settings, a policy) gives the held connection
  // up, and connects anew when it is 'granted' or rejects with 'blocked'; so
  // does no answer within promptTimeoutMs. Returns { shown, stop() }.
  #watchPrompt(socket, attempt, resolve, reject) {
    let noticeTimer = null;
    let limitTimer = null;
    let status = null;
    const watch = { shown: false, done: false };
    const onChange = () => {
      if (status.state === 'granted') giveUp(null);
      else if (status.state === 'denied') refusedAfterPrompt(this.url).then(giveUp, giveUp);
    };
    watch.stop = () => {
      watch.done = true;
      if (noticeTimer !== null) clearTimeout(noticeTimer);
      if (limitTimer !== null) clearTimeout(limitTimer);
      noticeTimer = limitTimer = null;
      if (status) status.removeEventListener('change', onChange);
    };
    const giveUp = (error) => {
      if (watch.done) return;
      watch.stop();
      socket.onopen = socket.onclose = socket.onmessage = null;
      socket.close();
      if (this.#socket === socket) this.#socket = null;
      if (error) reject(error);
      else this.#open(attempt).then(resolve, reject);
    };
    noticeTimer = setTimeout(async () => {
      noticeTimer = null;
      if (watch.done) return;
      const found = await permissionStatus();
      if (watch.done || !found || found.state !== 'prompt' ||
          socket.readyState !== WebSocket.CONNECTING) {
        return;
      }
      status = found;
      watch.shown = true;
      status.addEventListener('change', onChange);
      limitTimer = setTimeout(() => giveUp(new PenmoraError('blocked', 'Penmora: nobody answered ' +
        `the browser's prompt within ${this.#promptTimeoutMs} ms, so this page could not reach ` +
        `the Penmora service on this computer (${this.url}). ` + PROMPT_TEXT)),
      this.#promptTimeoutMs);
      if (this.#onPrompt) {
        try {
          this.#onPrompt(PROMPT_TEXT);
        } catch (e) {
          setTimeout(() => { throw e; });
        }
      }
      this.#emit('prompt', PROMPT_TEXT);
    }, PROMPT_NOTICE_MS);
    return watch;
  }

  // Waits longer after each failed attempt, doubling up to the cap.
  #scheduleReconnect(attempt) {
    if (this.#stopped) return;
    this.#cancelReconnect();
    const delay = Math.min(this.#maxReconnectDelayMs, this.#reconnectDelayMs * 2 ** (attempt - 1));
    this.#nextAttempt = attempt;
    this.#reconnectTimer = setTimeout(() => {
      this.#reconnectTimer = null;
      this.#nextAttempt = 0;
      if (this.#stopped || this.#socket) return;
      this.#open(attempt).catch(() => {
        if (!this.#socket) this.#scheduleReconnect(attempt + 1);
      });
    }, delay);
  }

  #cancelReconnect() {
    if (this.#reconnectTimer !== null) clearTimeout(this.#reconnectTimer);
    this.#reconnectTimer = null;
    this.#nextAttempt = 0;
  }

  // Closes the connection and ends any reconnection.
  close() {
    this.#stopped = true;
    this.#cancelReconnect();
    if (this.#socket) this.#socket.close();
  }

  #receive(data) {
    if (typeof data !== 'string') return;  // the service sends text only
    let object = null;
    try {
      object = JSON.parse(data);
    } catch (e) {
      object = null;
    }
    this.#emit('message', data, object);
    const event = object && typeof object === 'object' ? EVENTS[object.typeName] : undefined;
    if (!event) {
      this.#emit('unknown', data, object);
    } else if (IMAGE_EVENTS.has(event)) {
      const text = typeof object.message === 'string' ? object.message : '';
      let blob;
      try {
        blob = base64ToPngBlob(text);
      } catch (e) {
        this.#emit('unknown', data, object);
        return;
      }
      // The call ends before the handlers run, so that a handler may start
      // the next one.
      const call = this.#call;
      if (call && call.image === object.typeName) {
        const result = call.penData ? { png: blob, base64: text, penData: call.record }
                                    : { png: blob, base64: text };
        if (call.evidence) result.evidence = call.sealed;
        this.#settle(null, result);
      }
      this.#emit(event, blob, text);
    } else if (event === 'pen' || event === 'signData') {
      this.#penData(event, data, object);
    } else if (event === 'signEvidence' || event === 'evidenceError') {
      this.#evidence(event, object);
    } else if (event === 'unsign' || event === 'error' || event === 'denied') {
      const text = typeof object.message === 'string' ? object.message : '';
      if (event === 'error') {
        this.#settle(new PenmoraError('start-failed', `Penmora: the pad could not start: ${text}`,
                                      { serviceText: text }));
      } else if (event === 'denied') {
        // The service does not trust this page (an unknown site, one the
        // person at the desk blocked, another user of the computer); its
        // text says why and how to allow it.
        this.#settle(new PenmoraError('denied', text || 'Penmora: the service refused this page',
                                      { serviceText: text }));
      }
      this.#emit(event, text);
    } else {
      if (event === 'cancel') {
        this.#settle(new PenmoraError('cancelled', 'Penmora: the signer cancelled'));
      }
      this.#emit(event);
    }
  }

  // A batch of samples or the record: to the call that asked, then the events.
  #penData(event, data, object) {
    const text = typeof object.message === 'string' ? object.message : '';
    let parsed;
    try {
      parsed = event === 'pen' ? parsePenSamples(text) : parsePenRecord(text);
    } catch (e) {
      this.#emit('unknown', data, object);
      return;
    }
    const call = this.#call;
    if (call && call.penData) {
      if (event === 'signData') {
        call.record = parsed;
      } else if (call.onPen) {
        try {
          call.onPen(parsed);
        } catch (e) {
          setTimeout(() => { throw e; });
        }
      }
    }
    this.#emit(event, parsed, text);
  }

  // The sealed evidence to the call that asked, then the event; a refused
  // request ends the call.
  #evidence(event, object) {
    const text = typeof object.message === 'string' ? object.message : '';
    const call = this.#call;
    if (event === 'signEvidence') {
      if (call && call.evidence) call.sealed = text;
    } else {
      this.#settle(new PenmoraError('evidence-refused',
                                    `Penmora: the service refused the evidence request: ${text}`,
                                    { serviceText: text }));
    }
    this.#emit(event, text);
  }

  send(typeName, message) {
    if (!this.connected) {
      throw new Error('Penmora: not connected to the service (call connect() first)');
    }
    const command = message === undefined ? { typeName } : { typeName, message };
    const text = JSON.stringify(command);
    this.#socket.send(text);
    this.#emit('sent', text);
  }

  // A command that starts or ends a pad session ends the call in flight.
  #command(typeName, message, why) {
    if (this.connected) this.#settle(new PenmoraError('superseded', `Penmora: ${why}`));
    this.send(typeName, message);
  }

  // Starts a signature; penWidth scales the pen's pressure into pixels. With
  // { penData: true } the pen's samples come too ('pen' and 'signData').
  // With { evidence } (the members evidenceMembers() makes) the sealed
  // evidence comes ('signEvidence').
  startSign(penWidth = 3, { penData = false, evidence } = {}) {
    const message = withEvidence(withPenData({ penwidth: decimal(penWidth, 'penWidth') }, penData),
                                 evidence);
    this.#command('TavoStartSign', message, 'another call started');
  }

  // Ends the signing session and releases the pad.
  closeSign() {
    this.#command('TavoCloseSign', undefined, 'closeSign() ended the call');
  }

  // Asks the service to close its newest connection (usually this one).
  closeSocket() {
    this.send('TavoCloseSocket');
  }

  // Takes a fingerprint alone; quality is the score an image must exceed (0 to 300).
  startFinger(quality = 50) {
    this.#command('TavoStartFinger', { quality: decimal(quality, 'quality') },
                  'another call started');
  }

  // A signature followed by a fingerprint, delivered as one combined image.
  startSignFinger(penWidth = 3, quality = 50, { penData = false, evidence } = {}) {
    this.#command('TavoStartSignFinger', withEvidence(withPenData({
      quality: decimal(quality, 'quality'),
      penwidth: decimal(penWidth, 'penWidth'),
    }, penData), evidence), 'another call started');
  }

  // ---- Promise calls --------------------------------------------------------

  // A signature: resolves with { png, base64 } when the signer confirms, and
  // with penData, the signature's record, when asked for with penData.
  sign({ penWidth = 3, penData, onPen, evidence, timeoutMs, signal } = {}) {
    if (evidence !== undefined) {
      return evidenceMembers(evidence).then((members) => this.#begin(
        'TavoSignBase64', (pen) => this.startSign(penWidth, { ...pen, evidence: members }),
        timeoutMs, signal, { penData, onPen, evidence: true }));
    }
    return this.#begin('TavoSignBase64', (pen) => this.startSign(penWidth, pen), timeoutMs, signal,
                       { penData, onPen });
  }

  // A signature and then a fingerprint, resolving with the combined image.
  signWithFingerprint({ penWidth = 3, quality = 50, penData, onPen, evidence, timeoutMs,
                        signal } = {}) {
    if (evidence !== undefined) {
      return evidenceMembers(evidence).then((members) => this.#begin(
        'TavoSignFBase64',
        (pen) => this.startSignFinger(penWidth, quality, { ...pen, evidence: members }),
        timeoutMs, signal, { penData, onPen, evidence: true }));
    }
    return this.#begin('TavoSignFBase64', (pen) => this.startSignFinger(penWidth, quality, pen),
                       timeoutMs, signal, { penData, onPen });
  }

  // A fingerprint alone.
  fingerprint({ quality = 50, timeoutMs, signal } = {}) {
    return this.#begin('TavoFingerBase64', () => this.startFinger(quality), timeoutMs, signal);
  }

  // Starts a call that the image message `image` ends. A timeout, an abort or
  // the page being left ends the pad session too, so the pad does not wait for
  // a page that gave up: a reloaded page would otherwise find the pad still
  // open, and receive a signature it never asked for.
  #begin(image, start, timeoutMs, signal, penAsked = {}) {
    return new Promise((resolve, reject) => {
      const limit = milliseconds(timeoutMs, 'timeoutMs', null);
      const pen = penOptions(penAsked.penData, penAsked.onPen);
      const aborted = () => new PenmoraError('superseded', 'Penmora: the call was aborted',
                                             { cause: signal.reason });
      if (signal && signal.aborted) {
        reject(aborted());
        return;
      }
      if (!this.connected) {
        reject(new PenmoraError('closed',
                                'Penmora: not connected to the service (call connect() first)'));
        return;
      }
      start(pen);  // ends the call in flight, if any
      const call = { image, resolve, reject, timer: null, signal, onAbort: null, onPageHide: null,
                     penData: pen.penData, onPen: pen.onPen, record: null,
                     evidence: Boolean(penAsked.evidence), sealed: null };
      const giveUp = (error) => {
        if (this.#call !== call) return;
        this.#settle(error);
        if (this.connected) this.send('TavoCloseSign');
      };
      if (limit !== null) {
        call.timer = setTimeout(() => giveUp(new PenmoraError(
          'timeout', `Penmora: no image arrived within ${limit} ms of the call's start`)), limit);
      }
      if (signal) {
        call.onAbort = () => giveUp(aborted());
        signal.addEventListener('abort', call.onAbort, { once: true });
      }
      // "pagehide" comes while the page's connection is still open in
      // Chromium; Firefox closes it before "pagehide" on a reload, and only
      // "beforeunload" still finds it open there.
      if (typeof globalThis.addEventListener === 'function') {
        call.onPageHide = () => giveUp(new PenmoraError('closed',
                                                        'Penmora: the page was left during the call'));
        globalThis.addEventListener('pagehide', call.onPageHide);
        globalThis.addEventListener('beforeunload', call.onPageHide);
      }
      this.#call = call;
    });
  }

  // Ends the call in flight with `error`, or resolves it with `value`.
  #settle(error, value) {
    const call = this.#call;
    if (!call) return;
    this.#call = null;
    if (call.timer !== null) clearTimeout(call.timer);
    if (call.onAbort) call.signal.removeEventListener('abort', call.onAbort);
    if (call.onPageHide) {
      globalThis.removeEventListener('pagehide', call.onPageHide);
      globalThis.removeEventListener('beforeunload', call.onPageHide);
    }
    if (error) call.reject(error);
    else call.resolve(value);
  }

  // ---- Service check --------------------------------------------------------

  // True when the service answers at `url`, false otherwise; rejects only
  // where there is no WebSocket at all ('unsupported'). A client of this page
  // connected to the same service (127.0.0.1, localhost or [::1], same port)
  // answers for it. Otherwise a short connection probes the service; while it
  // lasts the service sends the pad's messages to it, not to the clients of
  // other pages, so probe before connect().
  static isRunning(url = DEFAULT_URL, { timeoutMs } = {}) {
    const unsupported = noWebSocket();
    if (unsupported) return Promise.reject(unsupported);
    if (connectedTo(url)) return Promise.resolve(true);
    return probe(url, timeoutMs);
  }

  // For a page's banner: { running, access }. `access` is the browser's Local
  // Network Access for this page ('granted', 'prompt', 'denied', or 'unknown'
  // where the browser has no answer; 'granted' on a loopback page). `running`
  // is true when the service answered, false when it did not although
  // nothing stood in the way, and null where the page cannot tell. A secure
  // page still to be asked is not probed: the probe would raise the
  // browser's prompt before the page has said why.
  static async check(url = DEFAULT_URL, { timeoutMs } = {}) {
    const unsupported = noWebSocket();
    if (unsupported) throw unsupported;
    const access = await localAccess();
    if (connectedTo(url)) return { running: true, access };
    if (access === 'prompt' && globalThis.isSecureContext === true) return { running: null, access };
    const answer = await probeAnswer(url, timeoutMs);
    if (answer === 'open') return { running: true, access };
    // A probe that neither opened nor failed while the browser's permission
    // says 'prompt' may be held by its prompt (Firefox asks even a page served
    // from this computer, where a policy or a setting makes it public).
    if (answer === 'timeout' && access === 'granted' && (await permissionState()) === 'prompt') {
      return { running: null, access: 'prompt' };
    }
    return { running: access === 'granted' ? false : null, access };
  }
}

// A client of this page connected to the service at `url`.
function connectedTo(url) {
  for (const client of openClients) {
    if (client.connected && sameService(client.url, url)) return true;
  }
  return false;
}

// True when a short connection to `url` opens within `timeoutMs`.
async function probe(url, timeoutMs) {
  return (await probeAnswer(url, timeoutMs)) === 'open';
}

// 'open' when a short connection to `url` opens within `timeoutMs`, 'failed'
// when it fails, 'timeout' when neither happens in time.
function probeAnswer(url, timeoutMs) {
  let limit;
  try {
    limit = milliseconds(timeoutMs, 'timeoutMs', IS_RUNNING_TIMEOUT_MS);
  } catch (e) {
    limit = IS_RUNNING_TIMEOUT_MS;
  }
  return new Promise((resolve) => {
    let socket;
    try {
      socket = new WebSocket(url);
    } catch (e) {
      resolve('failed');
      return;
    }
    let timer = null;
    const finish = (answer) => {
      if (timer === null) return;
      clearTimeout(timer);
      timer = null;
      socket.onopen = socket.onclose = socket.onerror = null;
      socket.close();
      resolve(answer);
    };
    timer = setTimeout(() => finish('timeout'), limit);
    socket.onopen = () => finish('open');
    socket.onclose = () => finish('failed');
    socket.onerror = () => finish('failed');
  });
}

// The command's "message" with "pendata":"1" when pen data is wanted; without
// it the command is exactly what it always was.
function withPenData(message, penData) {
  return penData ? { ...message, pendata: '1' } : message;
}

// The pen data options of a call: onPen implies penData.
function penOptions(penData, onPen) {
  if (onPen !== undefined && onPen !== null && typeof onPen !== 'function') {
    throw new TypeError('Penmora: onPen must be a function');
  }
  const handler = typeof onPen === 'function' ? onPen : null;
  return { penData: Boolean(penData) || handler !== null, onPen: handler };
}

// ---- Sealed evidence -------------------------------------------------------

// The members of a start command that ask for sealed evidence, as strings:
// "sealto" the recipient's SubjectPublicKeyInfo (a CryptoKey is exported
// with WebCrypto, a text is taken as PEM or Base64 DER), "document" the
// document's SHA-256 in hex (bytes, an ArrayBuffer, a typed array or a Blob
// are hashed with WebCrypto; a text must be the 64 hex digits), "who" and
// "why" as given. Rejects with a TypeError for a member it cannot use.
export async function evidenceMembers({ sealTo, document, who, why } = {}) {
  const members = { sealto: await spkiText(sealTo) };
  if (document !== undefined) members.document = await documentHash(document);
  for (const [name, value] of [['who', who], ['why', why]]) {
    if (value === undefined) continue;
    if (typeof value !== 'string') throw new TypeError(`Penmora: evidence.${name} must be a string`);
    members[name] = value;
  }
  return members;
}

function subtle() {
  const crypto = globalThis.crypto;
  if (!crypto || !crypto.subtle) {
    throw new TypeError('Penmora: WebCrypto is not available here (a secure page has it)');
  }
  return crypto.subtle;
}

function bytesToBase64(bytes) {
  let binary = '';
  for (let i = 0; i < bytes.length; i += 0x8000) {
    binary += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
  }
  return btoa(binary);
}

async function spkiText(key) {
  if (typeof key === 'string' && key.trim() !== '') return key;
  if (key && typeof key === 'object' && key.type === 'public' && key.algorithm) {
    return bytesToBase64(new Uint8Array(await subtle().exportKey('spki', key)));
  }
  throw new TypeError('Penmora: evidence.sealTo must be a public CryptoKey or SPKI text ' +
                      '(PEM or Base64 DER)');
}

async function documentHash(document) {
  if (typeof document === 'string') {
    if (/^[0-9a-fA-F]{64}$/.test(document)) return document;
    throw new TypeError('Penmora: evidence.document as text must be a SHA-256 in hex (64 digits)');
  }
  let bytes;
  if (document instanceof ArrayBuffer) bytes = document;
  else if (ArrayBuffer.isView(document)) bytes = document;
  else if (document && typeof document.arrayBuffer === 'function') bytes = await document.arrayBuffer();
  else throw new TypeError('Penmora: evidence.document must be bytes, a Blob or a hex SHA-256');
  const digest = new Uint8Array(await subtle().digest('SHA-256', bytes));
  return Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
}

// The command's "message" with the evidence's members; without them the
// command is exactly what it always was.
function withEvidence(message, evidence) {
  if (evidence === undefined || evidence === null) return message;
  if (typeof evidence !== 'object' || typeof evidence.sealto !== 'string') {
    throw new TypeError('Penmora: evidence must be the members evidenceMembers() makes');
  }
  return { ...message, ...evidence };
}

export async function connect(url = DEFAULT_URL, options) {
  const client = new Penmora(url, options);
  await client.connect();
  return client;
}
