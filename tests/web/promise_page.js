// An integrator's page that signs and takes fingerprints with the promise
// calls of penmora.js only; the browser test drives it through
// window.promisePage and plays the signer through signer.js.
import { Penmora, PenmoraError, connect } from './penmora.js';

const $ = (selector) => document.querySelector(selector);
const calls = [];         // the outcome of every call, in the order started
const controllers = [];   // their AbortControllers, where the test asked for one
let pad = null;
let reconnects = 0;

function setConnection(state) {
  $('#connection').dataset.state = state;
  $('#connection').textContent = state;
}

// Whether the service answers, and how long the answer took.
async function checkService(url, options) {
  const started = performance.now();
  const running = await Penmora.isRunning(url, options);
  const ms = performance.now() - started;
  if (url === undefined) {
    $('#banner').dataset.running = String(running);
    $('#banner').textContent = running ? 'The service is running.'
      : 'The service is not running: install or start it.';
  }
  return { running, ms };
}

// What Penmora.check() finds, and how long it took.
async function check(url, options) {
  const started = performance.now();
  const found = await Penmora.check(url, options);
  return { ...found, ms: performance.now() - started };
}

// Connects as open() does, or says why not: the rejection's code and message.
async function tryOpen(options) {
  const started = performance.now();
  try {
    await open(options);
    return { connected: true, ms: performance.now() - started };
  } catch (e) {
    return { connected: false, ms: performance.now() - started, name: e.name, code: e.code,
             message: e.message, isPenmoraError: e instanceof PenmoraError };
  }
}

// Starts tryOpen(options) without waiting for it: its outcome, and what the
// page was told while the browser's prompt held the connection (the text and
// when), land in `opening`.
let opening = null;
function startOpen(options = {}) {
  const record = { state: 'pending', prompts: [] };
  const started = performance.now();
  opening = record;
  const onPrompt = (text) => record.prompts.push({ text, ms: performance.now() - started });
  tryOpen({ ...options, onPrompt }).then((result) => Object.assign(record, result, { state: 'done' }));
}

async function open(options) {
  pad = await connect(undefined, options);
  pad.on('close', () => setConnection('reconnecting'));
  pad.on('reconnect', () => {
    reconnects++;
    setConnection('connected');
  });
  setConnection('connected');
}

function describe(record) {
  const item = document.createElement('li');
  item.dataset.state = record.state;
  item.textContent = `${record.kind}: ${record.state}` +
    (record.code ? ` (${record.code}: ${record.message})` : '') +
    (record.width ? ` ${record.width} x ${record.height}` : '');
  $('#calls').append(item);
}

// Starts pad[kind](options); the outcome lands in calls[id].
function start(kind, options = {}, abortable = false) {
  const id = calls.length;
  const record = { kind, state: 'pending', started: performance.now() };
  calls.push(record);
  if (abortable) {
    controllers[id] = new AbortController();
    options = { ...options, signal: controllers[id].signal };
  }
  pad[kind](options).then(async ({ png, base64 }) => {
    const bitmap = await createImageBitmap(png);
    Object.assign(record, { width: bitmap.width, height: bitmap.height, type: png.type,
                            bytes: png.size, base64Length: base64.length });
    const img = document.createElement('img');
    img.src = URL.createObjectURL(png);
    $('#images').append(img);
    record.state = 'resolved';
  }, (e) => {
    Object.assign(record, {
      name: e.name, message: e.message, isPenmoraError: e instanceof PenmoraError,
      code: e.code, serviceText: e.serviceText, cause: e.cause ? e.cause.name : undefined,
    });
    record.state = 'rejected';
  }).finally(() => {
    record.ms = performance.now() - record.started;
    describe(record);
  });
  return id;
}

// Starts pad[kind](options) with an onPen that keeps every batch; the
// batches, the record the call resolves with (penData) and the number of
// 'pen' and 'signData' events seen meanwhile land in calls[id].
function startWithPen(kind, options = {}) {
  const id = calls.length;
  const record = { kind, state: 'pending', started: performance.now(), batches: [],
                   events: { pen: 0, signData: 0 } };
  calls.push(record);
  const onPenEvent = () => record.events.pen++;
  const onSignData = () => record.events.signData++;
  pad.on('pen', onPenEvent).on('signData', onSignData);
  const onPen = options.penData === false ? undefined : (samples) => record.batches.push(samples);
  pad[kind]({ ...options, onPen }).then((result) => {
    Object.assign(record, { hasPenData: 'penData' in result, type: result.png.type });
    if (result.penData) {
      const { samples, start, cut, canvas, plane, xMax, yMax, version } = result.penData;
      Object.assign(record, { samples, start: start.toISOString(), cut, canvas, plane, xMax, yMax,
                              version });
    }
    record.state = 'resolved';
  }, (e) => {
    Object.assign(record, { name: e.name, message: e.message, code: e.code });
    record.state = 'rejected';
  }).finally(() => {
    pad.off('pen', onPenEvent).off('signData', onSignData);
    record.ms = performance.now() - record.started;
    describe(record);
  });
  return id;
}

window.promisePage = {
  checkService,
  check,
  open,
  tryOpen,
  startOpen,
  get opening() { return opening; },
  start,
  startWithPen,
  abort: (id) => controllers[id].abort(),
  closeSign: () => pad.closeSign(),
  outcome: (id) => calls[id],
  get reconnects() { return reconnects; },
  get connected() { return pad !== null && pad.connected; },
  get pad() { return pad; },
};
