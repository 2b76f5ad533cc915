// A page written against penmora.d.ts: every export, event and handler is
// used as an integrator would, and each @ts-expect-error line is a misuse the
// declarations must refuse. Checked with tsc --noEmit, never run.
import {
  DEFAULT_URL,
  Penmora,
  PenmoraError,
  base64ToBytes,
  base64ToPngBlob,
  connect,
  type CloseInfo,
  type PenmoraErrorCode,
  type PenmoraEvent,
  type PenmoraImage,
  type LocalAccess,
  type ServiceCheck,
  parsePenRecord,
  parsePenSamples,
  type PenRecord,
  type PenSample,
  type PenmoraSignature,
  evidenceMembers,
} from '../../web/penmora.js';

function show(image: PenmoraImage): string {
  const size: number = image.png.size + image.base64.length;
  return `${URL.createObjectURL(image.png)} ${size}`;
}

function explain(e: unknown): string {
  if (!(e instanceof PenmoraError)) return String(e);
  const code: PenmoraErrorCode = e.code;
  switch (code) {
    case 'cancelled': return 'The signer cancelled.';
    case 'start-failed': return `The pad could not start: ${e.serviceText ?? ''}`;
    case 'denied': return `The service does not trust this page: ${e.serviceText ?? ''}`;
    case 'closed': return 'The service went away.';
    case 'superseded': return 'Another call took over.';
    case 'timeout': return 'Nobody signed in time.';
    case 'unreachable': return 'Install or start the service, or allow this site to reach it.';
    case 'blocked': return 'Allow this site to reach the service in your browser.';
    case 'unsupported': return 'This page needs a web browser.';
    case 'evidence-refused': return `The evidence request was refused: ${e.serviceText ?? ''}`;
  }
}

export async function page(): Promise<string[]> {
  const lines: string[] = [];
  if (!(await Penmora.isRunning())) lines.push('Install the service.');
  const installed: boolean = await Penmora.isRunning(DEFAULT_URL, { timeoutMs: 500 });
  lines.push(String(installed));
  const found: ServiceCheck = await Penmora.check(undefined, { timeoutMs: undefined });
  const access: LocalAccess = found.access;
  if (found.running === null) lines.push(`Allow this site to reach the service (${access}).`);
  else if (!found.running) lines.push('Install the service.');

  const pad: Penmora = await connect(DEFAULT_URL, { reconnect: true, reconnectDelayMs: 250 });

  // Options passed on from a caller's own optional settings may be undefined,
  // also under exactOptionalPropertyTypes.
  const settings: { width?: number; deadline?: number; signal?: AbortSignal } = {};
  await Penmora.isRunning(undefined, { timeoutMs: settings.deadline });
  await connect(undefined, { reconnect: undefined, reconnectDelayMs: settings.deadline,
                             maxReconnectDelayMs: undefined });
  // A page under the browser's Local Network Access prompt shows what it is told.
  await connect(undefined, { promptTimeoutMs: 30000, onPrompt: (text: string) => lines.push(text) });
  await connect(undefined, { promptTimeoutMs: settings.deadline, onPrompt: undefined });
  // @ts-expect-error: onPrompt gets the text to show, not a boolean
  await connect(undefined, { onPrompt: (shown: boolean) => shown });
  await pad.sign({ penWidth: settings.width, timeoutMs: settings.deadline, signal: settings.signal });
  await pad.signWithFingerprint({ penWidth: undefined, quality: settings.width });
  await pad.fingerprint({ quality: undefined, timeoutMs: undefined, signal: undefined });
  new PenmoraError('start-failed', 'text', { serviceText: undefined, cause: undefined });
  const controller = new AbortController();
  try {
    lines.push(show(await pad.sign({ penWidth: 3, timeoutMs: 60000, signal: controller.signal })));
    lines.push(show(await pad.signWithFingerprint({ penWidth: 2, quality: 60 })));
    lines.push(show(await pad.fingerprint({ quality: 50 })));
    lines.push(show(await pad.sign()));
    const examiner = await crypto.subtle.generateKey(
      { name: 'ECDH', namedCurve: 'P-256' }, true, ['deriveBits']);
    const sealed: PenmoraSignature = await pad.sign({ evidence: {
      sealTo: examiner.publicKey, document: new Uint8Array([1, 2]), who: 'A. Signer', why: undefined } });
    const jwe: string | null | undefined = sealed.evidence;
    lines.push(jwe ?? '');
    pad.on('signEvidence', (text: string) => lines.push(text));
    pad.on('evidenceError', (text: string) => lines.push(text));
    pad.startSign(3, { evidence: await evidenceMembers({ sealTo: 'MFkw', document: 'ab'.repeat(32) }) });
  } catch (e) {
    lines.push(explain(e));
  }
  controller.abort();

  pad
    .on('open', () => lines.push('open'))
    .on('close', (info: CloseInfo) => lines.push(`${info.code} ${info.reason} ${info.wasClean}`))
    .on('reconnect', (attempts: number) => lines.push(`back after ${attempts}`))
    .on('prompt', (text: string) => lines.push(text))
    .on('sent', (text: string) => lines.push(text))
    .on('message', (text: string, object: unknown) => lines.push(text, typeof object))
    .on('clear', () => lines.push('clear'))
    .on('ok', () => lines.push('ok'))
    .on('cancel', () => lines.push('cancel'))
    .on('unsign', (text: string) => lines.push(text))
    .on('error', (text: string) => lines.push(text))
    .on('signature', (png: Blob, base64: string) => lines.push(png.type, base64))
    .on('fingerprint', (png: Blob) => lines.push(png.type))
    .on('signatureWithFingerprint', (png: Blob, base64: string) => lines.push(png.type, base64))
    .on('unknown', (text: string, object: unknown) => lines.push(text, String(object)));
  const onOk = (): void => {};
  pad.on('ok', onOk).off('ok', onOk);
  lines.push(base64ToPngBlob('iVBORw0KGgo').type);

  pad.startSign(3);
  pad.startSign();
  pad.startSignFinger(3, 50);
  pad.startFinger(50);
  pad.closeSign();
  pad.closeSocket();
  pad.send('TavoStartSign', { penwidth: '3' });
  const bytes: Uint8Array = base64ToBytes('YQ');
  lines.push(`${bytes.length} ${pad.url} ${pad.connected}`);
  const events: PenmoraEvent[] = ['open', 'signatureWithFingerprint'];
  lines.push(...events);

  const other = new Penmora();
  await other.connect();
  other.close();
  pad.close();

  // Misuses the declarations refuse:
  // @ts-expect-error: no such event
  pad.on('signed', () => {});
  // @ts-expect-error: the signature handler gets a Blob, not a string
  pad.on('signature', (png: string) => lines.push(png));
  // @ts-expect-error: the pen width is a number
  pad.startSign('3');
  // @ts-expect-error: fingerprints take no pen width
  await pad.fingerprint({ penWidth: 3 });
  // @ts-expect-error: a call resolves with an image, not a Blob
  const blob: Blob = await pad.sign();
  // @ts-expect-error: no such error code
  const code: PenmoraErrorCode = 'aborted';
  // @ts-expect-error: isRunning answers a boolean
  const text: string = await Penmora.isRunning();
  // @ts-expect-error: check() may not know whether the service runs
  const surely: boolean = (await Penmora.check()).running;
  // @ts-expect-error: no such access state
  const allowed: LocalAccess = 'allowed';
  lines.push(String(surely), allowed);
  // @ts-expect-error: the address is fixed once the client is made
  pad.url = 'ws://127.0.0.1:10002';
  // @ts-expect-error: the connection is the client's own
  lines.push(String(pad.socket));
  // @ts-expect-error: so are its handlers
  lines.push(String(pad.listeners));
  // @ts-expect-error: events come from the service only
  pad.emit('ok');
  // @ts-expect-error: and so do messages
  pad.receive('{"typeName":"TavoOK"}');
  lines.push(String(blob), code, text);
  return lines;
}

// Pen data, live and as a record.
export async function penPage(pad: Penmora): Promise<string[]> {
  const lines: string[] = [];
  const live: PenSample[] = [];
  const signed: PenmoraSignature = await pad.sign({
    penWidth: 3, penData: true, onPen: (samples: PenSample[]) => live.push(...samples),
  });
  const record: PenRecord | null | undefined = signed.penData;
  if (record) {
    const last: PenSample = record.samples[record.samples.length - 1];
    lines.push(`${record.version} ${record.start.toISOString()} ${record.xMax} ${record.yMax}`,
               `${record.plane.width} x ${record.canvas.height} ${record.cut}`,
               `${last.t} ${last.x} ${last.y} ${last.pressure} ${live.length}`);
  }
  const composite = await pad.signWithFingerprint({ quality: 50, onPen: () => {} });
  lines.push(show(composite), String(composite.penData?.samples.length));
  pad
    .on('pen', (samples: PenSample[], text: string) => lines.push(String(samples.length), text))
    .on('signData', (r: PenRecord, text: string) => lines.push(String(r.cut), text));
  pad.startSign(3, { penData: true });
  pad.startSignFinger(3, 50, { penData: false });
  lines.push(String(parsePenSamples('0,1,2,3').length), String(parsePenRecord('').cut));

  // Misuses the declarations refuse:
  // @ts-expect-error: onPen gets samples, not a text
  await pad.sign({ onPen: (text: string) => lines.push(text) });
  // @ts-expect-error: fingerprints alone have no pen data
  await pad.fingerprint({ penData: true });
  // @ts-expect-error: a sample's pressure is named in full
  lines.push(String(live[0].p));
  // @ts-expect-error: the record's start is a Date
  const start: string = record!.start;
  lines.push(start);
  return lines;
}
