// The JavaScript client's sealed evidence in Node, against the running
// penmora-demo: sign({ evidence }) with keys made by WebCrypto (RSA-OAEP 2048
// and 3072, ECDH P-256), the evidence opened by the `jose` package, every
// plaintext field and the picture's hash checked; a refused member rejects
// with 'evidence-refused'; signWithFingerprint({ evidence }) too. The
// page's WebSocket is python3-websockets in a child process (Node 20 has
// none); the signer plays the pad through the demo's control endpoint.
// Usage: node evidence_test.mjs PENMORA_DEMO OUT_DIR WEB_DIR
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { pathToFileURL } from 'node:url';

import { accepts, demos, startDemo, stopDemo, waitForDemo } from './demo_process.mjs';
import { PythonWebSocket } from './python_socket.mjs';
import { makeSigner } from './signer.js';

const [demoPath, outDir, webDir] = process.argv.slice(2);
const { connect, evidenceMembers, PenmoraError } =
  await import(pathToFileURL(path.join(webDir, 'penmora.js')).href);
// jose, pinned in web/package-lock.json, as web/ resolves it.
const jose = await import(pathToFileURL(
  createRequire(path.resolve(webDir, 'package.json')).resolve('jose')).href);

// The client's WebSocket: the Python one with the browser's readyState.
class ClientSocket extends PythonWebSocket {
  static CONNECTING = 0;
  static OPEN = 1;
  static CLOSING = 2;
  static CLOSED = 3;

  constructor(url) {
    super(url);
    this.readyState = ClientSocket.CONNECTING;
  }

  set onopen(handler) { this.openHandler = handler; }
  get onopen() {
    return (event) => {
      this.readyState = ClientSocket.OPEN;
      if (this.openHandler) this.openHandler(event);
    };
  }

  set onclose(handler) { this.closeHandler = handler; }
  get onclose() {
    return (event) => {
      this.readyState = ClientSocket.CLOSED;
      if (this.closeHandler) this.closeHandler({ code: 1006, reason: '', wasClean: false, ...event });
    };
  }
}
globalThis.WebSocket = ClientSocket;

const CONTENT_TYPE = 'vnd.penmora.evidence+json';
const DOCUMENT = new TextEncoder().encode('Lease agreement, 12 pages, final');
const WHO = 'Zoë Müller 张三';
const WHY = 'I agree';

const sha256 = (bytes) => createHash('sha256').update(bytes).digest('hex');

// The delivered PNG without its evidence chunk, and that chunk's text.
function splitPng(png) {
  const keyword = Buffer.from('penmora-evidence\0', 'latin1');
  const kept = [png.subarray(0, 8)];
  const texts = [];
  for (let at = 8; at < png.length;) {
    const length = png.readUInt32BE(at);
    const whole = png.subarray(at, at + 12 + length);
    const data = whole.subarray(8, 8 + length);
    if (whole.toString('latin1', 4, 8) === 'iTXt' && data.subarray(0, keyword.length).equals(keyword)) {
      // Compression flag and method, empty language and translated keyword.
      texts.push(data.subarray(keyword.length + 4).toString('utf8'));
    } else {
      kept.push(whole);
    }
    at += 12 + length;
  }
  return { sealed: Buffer.concat(kept), texts };
}

async function until(test, what) {
  for (let i = 0; i < 600; i++) {
    if (test()) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`timed out waiting for ${what}`);
}

// Plays the signer once the call has opened the pad: a stroke, then OK.
async function signWhenAsked(signer) {
  const before = signer.count('SignCommand accepted');
  await until(() => signer.count('SignCommand accepted') > before, 'the pad to be asked to sign');
  signer.draw();
  await signer.sync();
  signer.send({ button: 'OK' });
}

async function keyPair(kind) {
  if (kind === 'P-256') {
    return crypto.subtle.generateKey({ name: 'ECDH', namedCurve: 'P-256' }, true, ['deriveBits']);
  }
  return crypto.subtle.generateKey({ name: 'RSA-OAEP', modulusLength: Number(kind.slice(3)),
                                     publicExponent: new Uint8Array([1, 0, 1]), hash: 'SHA-256' },
                                   true, ['encrypt', 'decrypt']);
}

async function pem(publicKey) {
  const der = Buffer.from(await crypto.subtle.exportKey('spki', publicKey)).toString('base64');
  return `-----BEGIN PUBLIC KEY-----\n${der.match(/.{1,64}/g).join('\n')}\n-----END PUBLIC KEY-----\n`;
}

async function checkEvidence(jwe, keys, png, alg) {
  const { plaintext, protectedHeader } = await jose.compactDecrypt(jwe, keys.privateKey);
  assert.equal(protectedHeader.alg, alg);
  assert.equal(protectedHeader.enc, 'A256GCM');
  assert.equal(protectedHeader.cty, CONTENT_TYPE);
  assert.equal(protectedHeader.kid,
               await jose.calculateJwkThumbprint(await jose.exportJWK(keys.publicKey)));
  const plain = JSON.parse(new TextDecoder().decode(plaintext));
  assert.equal(plain.format, 'penmora-evidence');
  assert.equal(plain.version, 1);
  assert.equal(plain.document, sha256(DOCUMENT));
  assert.equal(plain.who, WHO);
  assert.equal(plain.why, WHY);
  assert.ok(Math.abs(Date.parse(plain.time) - Date.now()) < 120000, plain.time);
  assert.deepEqual(plain.pad, { vendorId: '3f72', productId: '0a01', serial: null });
  assert.equal(plain.service.name, 'Penmora');
  const [header, samples] = plain.record.split('|');
  assert.match(header, /^v=1,start=\S+Z,xmax=10206,ymax=7422,plane=600x400,canvas=600x355,n=32,cut=0$/);
  assert.equal(samples.split(';').length, 32);
  if (png) {
    const { sealed, texts } = splitPng(png);
    assert.deepEqual(texts, [jwe]);
    assert.equal(plain.pngSha256, sha256(sealed));
  }
  return plain;
}

const cases = [
  ['RSA 2048 as a CryptoKey, the document as bytes', async (pad, signer) => {
    const keys = await keyPair('RSA2048');
    const events = [];
    const onEvidence = (text) => events.push(text);
    pad.on('signEvidence', onEvidence);
    const call = pad.sign({ penWidth: 3, evidence: { sealTo: keys.publicKey, document: DOCUMENT,
                                                     who: WHO, why: WHY } });
    await signWhenAsked(signer);
    const result = await call;
    pad.off('signEvidence', onEvidence);
    assert.deepEqual(events, [result.evidence]);
    assert.equal(result.penData, undefined);
    await checkEvidence(result.evidence, keys, Buffer.from(await result.png.arrayBuffer()),
                        'RSA-OAEP-256');
  }],
  ['RSA 3072 as SPKI PEM text, the document as a hex hash', async (pad, signer) => {
    const keys = await keyPair('RSA3072');
    const call = pad.sign({ evidence: { sealTo: await pem(keys.publicKey),
                                        document: sha256(DOCUMENT), who: WHO, why: WHY } });
    await signWhenAsked(signer);
    const result = await call;
    await checkEvidence(result.evidence, keys, Buffer.from(result.base64, 'base64'), 'RSA-OAEP-256');
  }],
  ['P-256 with pen data too', async (pad, signer) => {
    const keys = await keyPair('P-256');
    let batches = 0;
    const call = pad.sign({ onPen: () => { batches++; },
                            evidence: { sealTo: keys.publicKey, document: new Blob([DOCUMENT]),
                                        who: WHO, why: WHY } });
    await signWhenAsked(signer);
    const result = await call;
    assert.ok(batches > 0);
    assert.equal(result.penData, null, 'no plaintext record with evidence asked');
    await checkEvidence(result.evidence, keys, Buffer.from(await result.png.arrayBuffer()),
                        'ECDH-ES+A256KW');
  }],
  ['signWithFingerprint with evidence', async (pad, signer) => {
    const keys = await keyPair('P-256');
    signer.send({ finger: 'place' });
    await signer.sync();
    const call = pad.signWithFingerprint({ quality: 20, evidence: {
      sealTo: keys.publicKey, document: DOCUMENT, who: WHO, why: WHY } });
    await signWhenAsked(signer);
    const result = await call;
    signer.send({ finger: 'lift' });
    await signer.sync();
    await checkEvidence(result.evidence, keys, null, 'ECDH-ES+A256KW');
  }],
  ['a refused member rejects, and starts nothing', async (pad, signer) => {
    const before = signer.commands.length;
    const keys = await crypto.subtle.generateKey({ name: 'ECDH', namedCurve: 'P-384' }, true,
                                                 ['deriveBits']);
    await assert.rejects(pad.sign({ evidence: { sealTo: keys.publicKey } }), (e) => {
      assert.ok(e instanceof PenmoraError);
      assert.equal(e.code, 'evidence-refused');
      assert.match(e.serviceText, /^sealto: an EC key on the curve secp384r1/);
      return true;
    });
    await assert.rejects(pad.sign({ evidence: { sealTo: 'x', document: 'abc' } }), TypeError);
    await assert.rejects(pad.sign({ evidence: { sealTo: {} } }), TypeError);
    await signer.sync();
    assert.equal(signer.commands.length, before, 'a refused request opened the pad');
  }],
  ['evidenceMembers makes the command members', async () => {
    const members = await evidenceMembers({ sealTo: 'MFkw', document: DOCUMENT, who: 'a' });
    assert.deepEqual(members, { sealto: 'MFkw', document: sha256(DOCUMENT), who: 'a' });
  }],
];

async function main() {
  fs.mkdirSync(outDir, { recursive: true });
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'penmora-evidence-'));
  const env = { ...process.env };
  for (const name of ['DISPLAY', 'WAYLAND_DISPLAY', 'DBUS_SESSION_BUS_ADDRESS']) delete env[name];
  env.XDG_CONFIG_HOME = path.join(scratch, 'config');
  Object.assign(demos, { env, path: demoPath, outDir });
  let passed = 0;
  let failed = 0;
  let pad = null;
  let signer = null;
  try {
    if ((await accepts(10001)) || (await accepts(10002))) throw new Error('the ports are held by another program');
    startDemo();
    const problem = await waitForDemo(demos.current);
    if (problem) throw new Error(problem);
    signer = makeSigner((url) => new PythonWebSocket(url));
    await signer.connect();
    pad = await connect();
    for (const [name, run] of cases) {
      try {
        await run(pad, signer);
        passed++;
        console.log(`ok      ${name}`);
      } catch (e) {
        failed++;
        console.log(`FAILED  ${name}\n${e.stack}`);
      }
    }
  } catch (e) {
    failed = cases.length - passed;
    console.log(`FAILED  ${e.stack}`);
  } finally {
    if (pad) pad.close();
    if (signer) signer.close();
    if (demos.current) await stopDemo();
    for (const problem of demos.problems) {
      failed++;
      console.log(`FAILED  ${problem}`);
    }
    fs.rmSync(scratch, { recursive: true, force: true });
  }
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
}

await main();
