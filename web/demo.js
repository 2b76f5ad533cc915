// The demo page. The left side is what an integrator's page does with
// penmora.js; the right side plays the signer on the virtual pad and reader
// through the demo's control endpoint (the same origin that served this page).
import { Penmora, DEFAULT_URL, evidenceMembers, base64ToBytes } from './penmora.js';

const $ = (selector) => document.querySelector(selector);

// ---- The pad's geometry, in the service's scaled plane ----------------------
const WIDTH = 600;
const HEIGHT = 400;
const DRAW_ROWS = 355;    // rows 0..354 are drawn on the signature
const STRIP_TOP = 385;    // rows 385..399 are the pad's button strip
const RAW_X = 10206;      // raw pad units across the 600 columns
const RAW_Y = 7422;       // raw pad units down the 400 rows
const MAX_PRESSURE = 1023;
// Mice and most touch screens report no real pressure: a firm, even stroke.
const FIXED_PRESSURE = 768;
const PAD_BUTTONS = [
  { code: 'CL', label: 'Clear', left: 40, right: 180 },
  { code: 'OK', label: 'OK', left: 230, right: 370 },
  { code: 'CNCL', label: 'Cancel', left: 420, right: 560 },
];
const COMMAND_NAMES = { 0x01: 'SignCommand', 0x04: 'CloseCommand', 0x05: 'FingerCommand' };

// The raw value whose scaled value is the pixel, taken from the middle of the
// pixel so that the service's truncation lands on it.
export function rawX(column) {
  return Math.min(RAW_X - 1, Math.max(1, Math.round((column + 0.5) * RAW_X / WIDTH)));
}
export function rawY(row) {
  return Math.min(RAW_Y - 1, Math.max(1, Math.round((row + 0.5) * RAW_Y / HEIGHT)));
}

// ---- The integrator's side --------------------------------------------------
let service = null;

function setServiceState(state) {
  const badge = $('#service-state');
  badge.dataset.state = state;
  badge.textContent = state;
  const connected = state === 'connected';
  for (const id of ['start-sign', 'start-sign-finger', 'start-finger', 'close-sign', 'close-socket']) {
    $('#' + id).disabled = !connected;
  }
  $('#connect').textContent = connected ? 'Disconnect' : 'Connect';
  $('#connect').disabled = state === 'connecting';
}

function setStatus(text, isError = false) {
  $('#status').textContent = text;
  $('#status').classList.toggle('error', isError);
}

function shorten(text) {
  // Image messages carry tens of kilobytes of Base64, pen data many samples:
  // show the start only.
  return text
    .replace(/("message":")([A-Za-z0-9+/=]{64})([A-Za-z0-9+/=]*)"/,
      (all, head, start, rest) => `${head}${start}… (${start.length + rest.length} characters)"`)
    .replace(/^(\{"typeName":"Tavo(?:Pen|Sign)Data","message":")([^"]{80})([^"]+)"/,
      (all, head, start, rest) => `${head}${start}… (${start.length + rest.length} characters)"`);
}

function log(direction, text) {
  const item = document.createElement('li');
  item.className = direction;
  const arrow = direction === 'out' ? '→ ' : direction === 'in' ? '← ' : '· ';
  item.textContent = `${new Date().toLocaleTimeString()} ${arrow}${shorten(text)}`;
  const list = $('#log');
  list.append(item);
  list.scrollTop = list.scrollHeight;
}

function showImage(figureId, blob) {
  const figure = $('#' + figureId);
  const img = figure.querySelector('img');
  const link = figure.querySelector('a.download');
  if (img.dataset.url) URL.revokeObjectURL(img.dataset.url);
  const url = URL.createObjectURL(blob);
  img.dataset.url = url;
  img.onload = () => {
    figure.querySelector('.size').textContent =
      `${img.naturalWidth} × ${img.naturalHeight}, ${blob.size} bytes`;
  };
  img.src = url;
  img.hidden = false;
  link.href = url;
  link.hidden = false;
}

// ---- Pen data: the live mirror and the record's plot ------------------------
// Both are drawn from what the service sends ("TavoPenData" while the signer
// writes, "TavoSignData" at OK), not from the virtual pad's own drawing.
const mirror = { last: null, samples: 0 };

// The Canvas pixel of a raw sample, the service's way; null when the sample
// is not drawn (outside the signature's rows, or the pen lifted).
function canvasPoint(sample) {
  if (sample.pressure === 0 || sample.x === 0 || sample.y === 0) return null;
  const x = Math.trunc((sample.x / RAW_X) * WIDTH);
  const y = Math.trunc((sample.y / RAW_Y) * HEIGHT);
  if (y < 1 || y >= DRAW_ROWS || x >= WIDTH) return null;
  return { x: x + 0.5, y: y + 0.5 };
}

function clearMirror() {
  const canvas = $('#pen-live canvas');
  canvas.getContext('2d').clearRect(0, 0, canvas.width, canvas.height);
  mirror.last = null;
  mirror.samples = 0;
  $('#pen-live').dataset.samples = '0';
  $('#pen-live .count').textContent = '';
}

function mirrorPen(samples) {
  const context = $('#pen-live canvas').getContext('2d');
  context.strokeStyle = '#1b2a6b';
  context.fillStyle = '#1b2a6b';
  context.lineCap = 'round';
  for (const sample of samples) {
    const point = canvasPoint(sample);
    const width = Math.max(1, (numberFrom('pen-width') * sample.pressure) / 1024);
    if (point && mirror.last) {
      context.lineWidth = width;
      context.beginPath();
      context.moveTo(mirror.last.x, mirror.last.y);
      context.lineTo(point.x, point.y);
      context.stroke();
    } else if (point) {
      context.fillRect(point.x - width / 2, point.y - width / 2, width, width);
    }
    mirror.last = point;
  }
  mirror.samples += samples.length;
  $('#pen-live').dataset.samples = String(mirror.samples);
  $('#pen-live .count').textContent = `${mirror.samples} samples`;
}

function clearRecord() {
  const canvas = $('#pen-plot canvas');
  canvas.getContext('2d').clearRect(0, 0, canvas.width, canvas.height);
  $('#pen-plot').dataset.samples = '0';
  $('#pen-plot .summary').textContent = '';
  const link = $('#pen-plot a.download');
  if (link.href.startsWith('blob:')) URL.revokeObjectURL(link.href);
  link.removeAttribute('href');
  link.hidden = true;
}

// Pressure and speed of each sample, for the plot: speed in Canvas pixels a
// second along the pen's path, 0 where the pen was lifted.
export function penCurves(samples) {
  const curves = [];
  for (let i = 0; i < samples.length; i++) {
    const s = samples[i];
    const previous = samples[i - 1];
    let speed = 0;
    if (previous && s.pressure > 0 && previous.pressure > 0) {
      const dx = ((s.x - previous.x) / RAW_X) * WIDTH;
      const dy = ((s.y - previous.y) / RAW_Y) * HEIGHT;
      speed = (Math.hypot(dx, dy) * 1000) / Math.max(1, s.t - previous.t);
    }
    curves.push({ t: s.t, pressure: s.pressure, speed });
  }
  return curves;
}

function plotRecord(record) {
  const canvas = $('#pen-plot canvas');
  const context = canvas.getContext('2d');
  const left = 36;
  const bottom = canvas.height - 18;
  const top = 8;
  const right = canvas.width - 8;
  context.clearRect(0, 0, canvas.width, canvas.height);
  context.strokeStyle = '#999';
  context.lineWidth = 1;
  context.beginPath();
  context.moveTo(left, top);
  context.lineTo(left, bottom);
  context.lineTo(right, bottom);
  context.stroke();
  const curves = penCurves(record.samples);
  if (curves.length === 0) return;
  const t0 = curves[0].t;
  const span = Math.max(1, curves[curves.length - 1].t - t0);
  context.fillStyle = '#555';
  context.font = '11px system-ui, sans-serif';
  context.textBaseline = 'top';
  context.textAlign = 'left';
  context.fillText('0 s', left, bottom + 3);
  context.textAlign = 'right';
  context.fillText(`${(span / 1000).toFixed(2)} s`, right, bottom + 3);
  // Pressure against the pad's usual full scale (or the highest value, when
  // above it), speed against its own highest value.
  const line = (value, colour, fullScale) => {
    const highest = Math.max(fullScale, ...curves.map(value));
    context.strokeStyle = colour;
    context.lineWidth = 1.5;
    context.beginPath();
    curves.forEach((point, i) => {
      const x = left + ((point.t - t0) / span) * (right - left);
      const y = bottom - (value(point) / highest) * (bottom - top);
      if (i === 0) context.moveTo(x, y);
      else context.lineTo(x, y);
    });
    context.stroke();
    return highest;
  };
  const fastest = line((point) => point.speed, '#c25e00', 1);
  line((point) => point.pressure, '#1b2a6b', MAX_PRESSURE + 1);
  context.fillStyle = '#c25e00';
  context.textAlign = 'left';
  context.fillText(`top: ${Math.round(fastest)} px/s`, left + 4, top);
}

function showRecord(record) {
  clearRecord();
  plotRecord(record);
  const samples = record.samples;
  const seconds = samples.length ? (samples[samples.length - 1].t - samples[0].t) / 1000 : 0;
  $('#pen-plot').dataset.samples = String(samples.length);
  $('#pen-plot').dataset.cut = String(record.cut);
  $('#pen-plot .summary').textContent = `${samples.length} samples over ${seconds.toFixed(2)} s` +
    (record.cut ? ', cut at its bound' : '');
  const link = $('#pen-plot a.download');
  link.href = URL.createObjectURL(new Blob([JSON.stringify(record)], { type: 'application/json' }));
  link.hidden = false;
}

// ---- Sealed evidence: sealed to a key of the demo's, opened in the page -----
// The examiner's side, played by this page: an RSA-OAEP key pair made once
// with WebCrypto, the private half never leaving it. Opening the compact JWE
// (RSA-OAEP-256, A256GCM) takes two WebCrypto calls: unwrap the content key,
// then decrypt with the protected header as the additional data.
const DEMO_DOCUMENT = new TextEncoder().encode('The demo contract: the signer agrees to try Penmora.');
let demoKeys = null;

async function demoKeyPair() {
  if (!demoKeys) {
    demoKeys = await crypto.subtle.generateKey(
      { name: 'RSA-OAEP', modulusLength: 2048, publicExponent: new Uint8Array([1, 0, 1]),
        hash: 'SHA-256' }, false, ['decrypt']);
  }
  return demoKeys;
}

function base64UrlToBytes(text) {
  return base64ToBytes(text.replace(/-/g, '+').replace(/_/g, '/'));
}

function hex(buffer) {
  return Array.from(new Uint8Array(buffer), (b) => b.toString(16).padStart(2, '0')).join('');
}

// The PNG as sealed: the delivered one without its "penmora-evidence" chunk.
function withoutEvidenceChunk(png) {
  const keyword = new TextEncoder().encode('penmora-evidence\0');
  const view = new DataView(png.buffer, png.byteOffset, png.byteLength);
  const parts = [png.subarray(0, 8)];
  for (let at = 8; at + 12 <= png.length;) {
    const end = at + 12 + view.getUint32(at);
    const type = String.fromCharCode(...png.subarray(at + 4, at + 8));
    const data = png.subarray(at + 8, at + 8 + keyword.length);
    if (!(type === 'iTXt' && data.every((b, i) => b === keyword[i]))) parts.push(png.subarray(at, end));
    at = end;
  }
  return new Uint8Array(parts.flatMap((part) => [...part]));
}

async function openEvidence(jwe) {
  const [header, wrapped, iv, ciphertext, tag] = jwe.split('.');
  const { privateKey } = await demoKeyPair();
  const contentKey = await crypto.subtle.decrypt({ name: 'RSA-OAEP' }, privateKey,
                                                 base64UrlToBytes(wrapped));
  const key = await crypto.subtle.importKey('raw', contentKey, 'AES-GCM', false, ['decrypt']);
  const sealed = new Uint8Array([...base64UrlToBytes(ciphertext), ...base64UrlToBytes(tag)]);
  const plain = await crypto.subtle.decrypt(
    { name: 'AES-GCM', iv: base64UrlToBytes(iv), additionalData: new TextEncoder().encode(header) },
    key, sealed);
  return JSON.parse(new TextDecoder().decode(plain));
}

let lastEvidence = null;

async function showEvidence(jwe) {
  const figure = $('#evidence');
  lastEvidence = { jwe, plain: null, opened: openEvidence(jwe) };
  figure.dataset.state = 'sealed';
  figure.querySelector('.jwe').textContent = jwe;
  try {
    const plain = await lastEvidence.opened;
    lastEvidence.plain = plain;
    const { record, ...facts } = plain;
    figure.querySelector('.plain').textContent =
      JSON.stringify({ ...facts, record: `${record.slice(0, 160)}…` }, null, 2);
    figure.dataset.state = 'opened';
    figure.querySelector('.summary').textContent =
      `${plain.who}, "${plain.why}", ${plain.time}; the picture is checked when it arrives`;
  } catch (e) {
    figure.dataset.state = 'failed';
    figure.querySelector('.summary').textContent = `it did not open: ${e.message}`;
  }
}

async function checkEvidencePicture(base64) {
  if (!lastEvidence) return;
  try {
    await lastEvidence.opened;
  } catch (e) {
    return;  // showEvidence says why
  }
  const digest = hex(await crypto.subtle.digest('SHA-256', withoutEvidenceChunk(base64ToBytes(base64))));
  const matches = digest === lastEvidence.plain.pngSha256;
  $('#evidence').dataset.picture = matches ? 'matches' : 'differs';
  $('#evidence .summary').textContent = `${lastEvidence.plain.who}, "${lastEvidence.plain.why}", ` +
    `${lastEvidence.plain.time}; the picture ${matches ? 'matches' : 'DOES NOT match'} its hash`;
}

// The evidence members of a start command, when the page seals.
async function sealMembers() {
  if (!$('#seal-evidence').checked) return undefined;
  const { publicKey } = await demoKeyPair();
  return evidenceMembers({ sealTo: publicKey, document: DEMO_DOCUMENT, who: 'Demo Signer',
                           why: 'Trying the demo' });
}

function startedSigning() {
  clearMirror();
  clearRecord();
  lastEvidence = null;
  $('#evidence').dataset.state = 'none';
  delete $('#evidence').dataset.picture;
  $('#evidence .summary').textContent = '';
}

function numberFrom(id) {
  const value = Number($('#' + id).value);
  return Number.isFinite(value) ? Math.trunc(value) : 0;
}

function command(action) {
  try {
    action();
  } catch (e) {
    setStatus(e.message, true);
  }
}

async function toggleConnection() {
  if (service && service.connected) {
    service.close();
    return;
  }
  const client = new Penmora($('#service-url').value.trim() || DEFAULT_URL);
  client
    .on('sent', (text) => log('out', text))
    .on('message', (text) => log('in', text))
    .on('close', (event) => {
      setServiceState('disconnected');
      log('note', `connection closed (${event.code})`);
    })
    .on('clear', () => {
      clearMirror();
      setStatus('The signer cleared the pad.');
    })
    .on('pen', (samples) => mirrorPen(samples))
    .on('signData', (record) => showRecord(record))
    .on('signEvidence', (jwe) => { showEvidence(jwe); })
    .on('evidenceError', (text) => setStatus(`The evidence request was refused: ${text}`, true))
    .on('ok', () => setStatus('The signer confirmed.'))
    .on('unsign', (text) => setStatus(`Nothing signed yet: ${text}`))
    .on('cancel', () => setStatus('The signer cancelled.'))
    .on('error', (text) => setStatus(`The pad could not start: ${text}`, true))
    .on('signature', (png, base64) => {
      showImage('signature-result', png);
      checkEvidencePicture(base64);
    })
    .on('fingerprint', (png) => showImage('fingerprint-result', png))
    .on('signatureWithFingerprint', (png) => showImage('composite-result', png));
  setServiceState('connecting');
  try {
    await client.connect();
    service = client;
    setServiceState('connected');
    setStatus('Connected to the service.');
  } catch (e) {
    setServiceState('failed');
    setStatus(e.message, true);
  }
}

$('#connect').addEventListener('click', toggleConnection);
$('#start-sign').addEventListener('click', async () => {
  const evidence = await sealMembers();
  command(() => {
    startedSigning();
    service.startSign(numberFrom('pen-width'), { penData: $('#pen-data').checked, evidence });
  });
});
$('#start-sign-finger').addEventListener('click', async () => {
  const evidence = await sealMembers();
  command(() => {
    startedSigning();
    service.startSignFinger(numberFrom('pen-width'), numberFrom('quality'),
                            { penData: $('#pen-data').checked, evidence });
  });
});
$('#start-finger').addEventListener('click', () =>
  command(() => service.startFinger(numberFrom('quality'))));
$('#close-sign').addEventListener('click', () => command(() => service.closeSign()));
$('#close-socket').addEventListener('click', () => command(() => service.closeSocket()));
$('#clear-log').addEventListener('click', () => { $('#log').textContent = ''; });
setServiceState('disconnected');

// ---- The virtual pad ----------------------------------------------------------
const canvas = $('#pad');
const ink = canvas.getContext('2d');
let control = null;
let padOpen = false;
let padScreen = 'idle';   // idle, signing or finger: what the pad shows
const strokes = [];       // the strokes on the pad's screen: arrays of {x, y, width}
let stroke = null;        // the stroke being drawn
let pressedButton = null; // the strip button under a pointer that went down on it
let fingerPlaced = false;

function sendControl(message) {
  if (!control || control.readyState !== WebSocket.OPEN) {
    setStatus('The virtual pad is not connected to the demo.', true);
    return false;
  }
  control.send(JSON.stringify(message));
  return true;
}

function drawPad() {
  ink.clearRect(0, 0, WIDTH, HEIGHT);
  ink.fillStyle = '#fff';
  ink.fillRect(0, 0, WIDTH, DRAW_ROWS);
  ink.fillStyle = '#e9ebee';
  ink.fillRect(0, DRAW_ROWS, WIDTH, HEIGHT - DRAW_ROWS);
  ink.fillStyle = '#c9ccd1';
  ink.fillRect(0, STRIP_TOP, WIDTH, HEIGHT - STRIP_TOP);
  ink.font = '11px system-ui, sans-serif';
  ink.textAlign = 'center';
  ink.textBaseline = 'middle';
  for (const button of PAD_BUTTONS) {
    ink.fillStyle = pressedButton === button ? '#5b6b80' : '#37475c';
    ink.fillRect(button.left, STRIP_TOP + 1, button.right - button.left, HEIGHT - STRIP_TOP - 2);
    ink.fillStyle = '#fff';
    ink.fillText(button.label, (button.left + button.right) / 2, (STRIP_TOP + HEIGHT) / 2);
  }
  ink.strokeStyle = '#1b2a6b';
  ink.lineCap = 'round';
  ink.lineJoin = 'round';
  for (const points of strokes) {
    for (let i = 1; i < points.length; i++) {
      ink.lineWidth = points[i].width;
      ink.beginPath();
      ink.moveTo(points[i - 1].x, points[i - 1].y);
      ink.lineTo(points[i].x, points[i].y);
      ink.stroke();
    }
  }
  if (padScreen !== 'signing') {
    ink.fillStyle = 'rgba(255,255,255,0.85)';
    ink.fillRect(0, 0, WIDTH, DRAW_ROWS);
    ink.fillStyle = '#555';
    ink.font = '16px system-ui, sans-serif';
    const text = padScreen === 'finger'
      ? 'Place your finger on the reader'
      : padOpen ? 'Pad open' : 'Pad idle: start a signature on the left';
    ink.fillText(text, WIDTH / 2, DRAW_ROWS / 2);
  }
}

function clearInk() {
  strokes.length = 0;
  stroke = null;
}

function surfacePoint(event) {
  const rect = canvas.getBoundingClientRect();
  const x = (event.clientX - rect.left - canvas.clientLeft) * (WIDTH / canvas.clientWidth);
  const y = (event.clientY - rect.top - canvas.clientTop) * (HEIGHT / canvas.clientHeight);
  return {
    x: Math.min(WIDTH - 1, Math.max(0, Math.floor(x))),
    y: Math.min(HEIGHT - 1, Math.max(0, Math.floor(y))),
  };
}

function pressureOf(event) {
  if (event.pointerType === 'pen' && event.pressure > 0) {
    return Math.max(1, Math.round(event.pressure * MAX_PRESSURE));
  }
  return FIXED_PRESSURE;
}

function buttonAt(point) {
  if (point.y < STRIP_TOP) return null;
  return PAD_BUTTONS.find((b) => point.x >= b.left && point.x < b.right) || null;
}

function sendPen(point, pressure) {
  sendControl({ pen: [rawX(point.x), rawY(point.y), pressure] });
  if (pressure === 0) {
    stroke = null;
    return;
  }
  if (point.y >= STRIP_TOP) {
    stroke = null;  // the strip breaks the stroke on the pad, too
    return;
  }
  if (!stroke) {
    stroke = [];
    strokes.push(stroke);
  }
  const width = Math.max(1, (numberFrom('pen-width') * pressure) / 1024);
  stroke.push({ x: point.x + 0.5, y: point.y + 0.5, width });
}

canvas.addEventListener('pointerdown', (event) => {
  if (event.button !== 0 || !padOpen) return;
  event.preventDefault();
  canvas.setPointerCapture(event.pointerId);
  const point = surfacePoint(event);
  const button = buttonAt(point);
  if (button) {
    pressedButton = button;
  } else {
    stroke = null;
    sendPen(point, pressureOf(event));
    canvas.dataset.drawing = 'yes';
  }
  drawPad();
});

canvas.addEventListener('pointermove', (event) => {
  if (canvas.dataset.drawing !== 'yes') return;
  const events = event.getCoalescedEvents ? event.getCoalescedEvents() : [];
  for (const e of events.length ? events : [event]) sendPen(surfacePoint(e), pressureOf(e));
  drawPad();
});

function endPointer(event) {
  if (canvas.dataset.drawing === 'yes') {
    canvas.dataset.drawing = 'no';
    sendPen(surfacePoint(event), 0);  // pressure 0: the pen left the surface
  } else if (pressedButton) {
    const button = pressedButton;
    pressedButton = null;
    if (event.type === 'pointerup' && buttonAt(surfacePoint(event)) === button) {
      if (sendControl({ button: button.code }) && button.code === 'CL') clearInk();
    }
  }
  drawPad();
}
canvas.addEventListener('pointerup', endPointer);
canvas.addEventListener('pointercancel', endPointer);

function setBadge(id, name, state) {
  const badge = $('#' + id);
  badge.dataset.state = state;
  badge.textContent = `${name}: ${state}`;
}

function padCommand(event) {
  const bytes = event.feature.split(' ').map((pair) => parseInt(pair, 16));
  const name = COMMAND_NAMES[bytes[1]] || 'command';
  const item = document.createElement('li');
  item.textContent = `${event.feature}  ${name} ${event.accepted ? 'accepted' : 'refused'}`;
  item.className = event.accepted ? 'accepted' : 'refused';
  const list = $('#pad-commands');
  list.append(item);
  list.scrollTop = list.scrollHeight;
  if (!event.accepted) return;
  // What the pad's screen shows after each command it accepts.
  if (bytes[1] === 0x01) {
    clearInk();
    padScreen = 'signing';
  } else if (bytes[1] === 0x04) {
    clearInk();
    padScreen = 'idle';
  } else if (bytes[1] === 0x05) {
    padScreen = 'finger';
  }
}

function onControlEvent(text) {
  let event;
  try {
    event = JSON.parse(text);
  } catch (e) {
    return;
  }
  if ('feature' in event) {
    padCommand(event);
  } else if ('pad' in event) {
    padOpen = event.pad === 'open';
    if (!padOpen) {
      padScreen = 'idle';
      clearInk();
    }
    setBadge('pad-state', 'pad', event.pad);
  } else if ('reader' in event) {
    setBadge('reader-state', 'reader', event.reader);
  } else if ('error' in event) {
    setStatus(`Virtual pad: ${event.error}`, true);
  }
  drawPad();
}

function connectControl() {
  const url = location.protocol === 'http:' || location.protocol === 'https:'
    ? `ws://${location.host}/`
    : 'ws://127.0.0.1:10002/';
  const socket = new WebSocket(url);
  socket.onopen = () => {
    control = socket;
    setBadge('control-state', 'control', 'connected');
    // The devices take the state that this page shows (a reload keeps the
    // form's values while the demo may have other ones).
    sendControl({ plugged: $('#plugged').checked });
    sendControl({ finger: $('#reader-present').checked ? 'present' : 'absent' });
    sendControl({ finger: fingerPlaced ? 'place' : 'lift' });
    sendControl({ refuse: refusedCodes() });
  };
  socket.onmessage = (event) => onControlEvent(event.data);
  socket.onclose = () => {
    if (control === socket) control = null;
    setBadge('control-state', 'control', 'disconnected');
  };
}

$('#finger').addEventListener('click', () => {
  if (!sendControl({ finger: fingerPlaced ? 'lift' : 'place' })) return;
  fingerPlaced = !fingerPlaced;
  $('#finger').textContent = fingerPlaced ? 'Lift finger' : 'Place finger';
  $('#finger').setAttribute('aria-pressed', String(fingerPlaced));
});
$('#plugged').addEventListener('change', (event) => {
  sendControl({ plugged: event.target.checked });
});
$('#reader-present').addEventListener('change', (event) => {
  sendControl({ finger: event.target.checked ? 'present' : 'absent' });
});
function refusedCodes() {
  return [...document.querySelectorAll('input.refuse:checked')].map((box) => Number(box.value));
}
for (const box of document.querySelectorAll('input.refuse')) {
  box.addEventListener('change', () => sendControl({ refuse: refusedCodes() }));
}

drawPad();
connectControl();
