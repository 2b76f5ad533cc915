// The demo page in a real browser: headless Chromium, driven by Playwright,
// against a running penmora-demo; or the same steps in Firefox ESR, driven
// over WebDriver BiDi by puppeteer-core (tests/web/browsers.mjs). It connects, signs with the mouse on the
// virtual pad, takes a fingerprint alone and a signature with a fingerprint,
// and checks the images the page shows. Then a page of its own, served from
// another origin, signs with the promise calls of penmora.js alone, through
// cancels, refusals, timeouts and a restart of the demo. Screenshots go to
// the folder given.
//
// Usage: node browser_test.mjs <penmora-demo> <screenshot folder> <web folder> [chromium|firefox]
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import http from 'node:http';
import net from 'node:net';
import { fileURLToPath } from 'node:url';
import { BROWSER_NAMES, launchBrowser } from './browsers.mjs';
import { LAUNCHER, accepts, demos, startDemo, stopDemo, waitForDemo } from './demo_process.mjs';

const [demoPath, shotDir, webDir, browserName = 'chromium'] = process.argv.slice(2);
if (!demoPath || !shotDir || !webDir || !BROWSER_NAMES.includes(browserName)) {
  console.error('usage: node browser_test.mjs <penmora-demo> <screenshot folder> <web folder> [chromium|firefox]');
  process.exit(2);
}

const PAGE = 'http://127.0.0.1:10002/';
const TIMEOUT = 30000;
const TEST_DIR = path.dirname(fileURLToPath(import.meta.url));

function check(condition, what) {
  if (!condition) throw new Error(what);
}

// Size and alpha census of the image a figure shows, read back from its pixels.
async function imageCensus(page, figure) {
  const img = page.locator(`#${figure} img`);
  await img.waitFor({ state: 'visible' });
  await page.waitForFunction((id) => {
    const element = document.querySelector(`#${id} img`);
    return element.complete && element.naturalWidth > 0;
  }, figure);
  return page.evaluate((id) => {
    const element = document.querySelector(`#${id} img`);
    const canvas = document.createElement('canvas');
    canvas.width = element.naturalWidth;
    canvas.height = element.naturalHeight;
    const context = canvas.getContext('2d');
    context.drawImage(element, 0, 0);
    const data = context.getImageData(0, 0, canvas.width, canvas.height).data;
    let transparent = 0;
    let opaque = 0;
    let inked = 0;
    for (let i = 3; i < data.length; i += 4) {
      if (data[i] === 0) transparent++;
      else inked++;
      if (data[i] === 255) opaque++;
    }
    return { width: canvas.width, height: canvas.height, transparent, opaque, inked,
             download: document.querySelector(`#${id} a.download`).href };
  }, figure);
}

// A stroke across the pad's drawing area, in page coordinates of its pixels.
async function drawOnPad(page) {
  const box = await page.locator('#pad').boundingBox();
  const at = (x, y) => [box.x + 1 + x, box.y + 1 + y];  // inside the 1-pixel border
  await page.mouse.move(...at(80, 200));
  await page.mouse.down();
  for (let i = 1; i <= 30; i++) {
    await page.mouse.move(...at(80 + i * 12, 200 + Math.round(60 * Math.sin(i / 3))), { steps: 2 });
  }
  await page.mouse.up();
  return at;
}

async function pressPadButton(page, at, centreX) {
  await page.mouse.click(...at(centreX, 392));  // the strip is rows 385 to 399
}

async function signCommandsSeen(page) {
  return page.locator('#pad-commands li', { hasText: 'SignCommand accepted' }).count();
}

async function startAndWaitForPad(page, button) {
  const before = await signCommandsSeen(page);
  await page.click(button);
  await page.waitForFunction((n) => [...document.querySelectorAll('#pad-commands li')]
    .filter((li) => li.textContent.includes('SignCommand accepted')).length > n, before);
  await page.locator('#pad-state[data-state=open]').waitFor();
}

const steps = [
  ['the page loads and reaches the virtual pad', async (page) => {
    await page.goto(PAGE);
    await page.locator('#control-state[data-state=connected]').waitFor();
    check(await page.locator('#start-sign').isDisabled(), 'commands are enabled before connecting');
  }],
  ['the client restores Base64 padding and reports a missing service', async (page) => {
    const result = await page.evaluate(async () => {
      const { base64ToBytes, connect } = await import('./penmora.js');
      const decoded = [[...base64ToBytes('YQ')], [...base64ToBytes('YWI')], [...base64ToBytes('YWJj')]];
      let badLength = '';
      try { base64ToBytes('YWJjZ'); } catch (e) { badLength = e.message; }
      let refused = '';
      let code = '';
      try { await connect('ws://127.0.0.1:9'); } catch (e) { refused = e.message; code = e.code; }
      return { decoded, badLength, refused, code };
    });
    check(JSON.stringify(result.decoded) === '[[97],[97,98],[97,98,99]]',
      `decoded ${JSON.stringify(result.decoded)}`);
    check(result.badLength.includes('not Base64'), `bad length: "${result.badLength}"`);
    check(result.refused.includes('not running') && result.code === 'unreachable',
      `refused connection: ${result.code} "${result.refused}"`);
  }],
  ['the page connects to the service', async (page) => {
    await page.click('#connect');
    await page.locator('#service-state[data-state=connected]').waitFor();
  }],
  ['a signature drawn with the mouse arrives as a 600 x 355 transparent PNG', async (page) => {
    await startAndWaitForPad(page, '#start-sign');
    const at = await drawOnPad(page);
    await pressPadButton(page, at, 300);  // OK
    const image = await imageCensus(page, 'signature-result');
    check(image.width === 600 && image.height === 355, `size ${image.width} x ${image.height}`);
    check(image.transparent > 600 * 355 / 2, `only ${image.transparent} transparent pixels`);
    check(image.opaque > 20, `only ${image.opaque} opaque pixels`);
    check(image.download.startsWith('blob:'), 'no download link');
    await page.locator('#log li', { hasText: '{"typeName":"TavoOK"}' }).first().waitFor();
    await page.locator('#log li', { hasText: 'TavoStartSign' }).first().waitFor();
    await page.locator('#pad-commands li', { hasText: 'CloseCommand accepted' }).first().waitFor();
    await page.screenshot({ path: path.join(shotDir, 'signature.png'), fullPage: true });
  }],
  ['a fingerprint alone arrives as a red-ink PNG', async (page) => {
    await page.locator('#pad-state[data-state=closed]').waitFor();
    await page.click('#finger');  // place the finger on the reader
    await page.click('#start-finger');
    const image = await imageCensus(page, 'fingerprint-result');
    check(image.width === 128 && image.height === 144, `size ${image.width} x ${image.height}`);
    check(image.transparent > 0 && image.inked > 0,
      `${image.transparent} transparent, ${image.inked} inked pixels`);
    await page.locator('#pad-commands li', { hasText: 'FingerCommand accepted' }).first().waitFor();
    await page.screenshot({ path: path.join(shotDir, 'fingerprint.png'), fullPage: true });
  }],
  ['a signature with a fingerprint arrives as one combined PNG', async (page) => {
    await page.locator('#pad-state[data-state=closed]').waitFor();
    await page.locator('#reader-state[data-state=closed]').waitFor();
    await startAndWaitForPad(page, '#start-sign-finger');
    const at = await drawOnPad(page);
    await pressPadButton(page, at, 300);  // OK
    const image = await imageCensus(page, 'composite-result');
    check(image.width === 600 && image.height === 355, `size ${image.width} x ${image.height}`);
    check(image.transparent > 600 * 355 / 2, `only ${image.transparent} transparent pixels`);
    check(image.inked > 128 * 144 / 4, `only ${image.inked} inked pixels`);
    await page.locator('#pad-state[data-state=closed]').waitFor();
    await page.screenshot({ path: path.join(shotDir, 'signature-fingerprint.png'), fullPage: true });
  }],
  ['the pad buttons and a refused start reach the page as events', async (page) => {
    const status = page.locator('#status');
    await page.locator('#pad-state[data-state=closed]').waitFor();
    await startAndWaitForPad(page, '#start-sign');
    const at = await drawOnPad(page);
    await pressPadButton(page, at, 110);  // Clear
    await status.filter({ hasText: 'The signer cleared the pad.' }).waitFor();
    await pressPadButton(page, at, 300);  // OK, with nothing drawn since Clear
    await status.filter({ hasText: 'Nothing signed yet: \u8bf7\u786e\u8ba4\u662f\u5426\u7b7e\u5b57' }).waitFor();
    await pressPadButton(page, at, 490);  // Cancel
    await status.filter({ hasText: 'The signer cancelled.' }).waitFor();
    await page.locator('#pad-state[data-state=closed]').waitFor();

    await page.check('input.refuse[value="1"]');  // the pad refuses SignCommand
    await page.click('#start-sign');
    await status.filter({ hasText: 'The pad could not start: \u5f00\u59cb\u7b7e\u5b57\u5931\u8d25' }).waitFor();
    await page.locator('#pad-commands li', { hasText: 'SignCommand refused' }).first().waitFor();
    await page.click('#close-sign');
    await page.locator('#pad-state[data-state=closed]').waitFor();
    await page.uncheck('input.refuse[value="1"]');
    await page.screenshot({ path: path.join(shotDir, 'events.png'), fullPage: true });
  }],
];

// ---- The promise page ----------------------------------------------------------

// Serves the promise page from an origin of its own, with penmora.js beside it.
function servePromisePage() {
  const files = {
    '/promise.html': [path.join(TEST_DIR, 'promise.html'), 'text/html; charset=utf-8'],
    '/promise_page.js': [path.join(TEST_DIR, 'promise_page.js'), 'text/javascript; charset=utf-8'],
    '/signer.js': [path.join(TEST_DIR, 'signer.js'), 'text/javascript; charset=utf-8'],
    '/penmora.js': [path.join(webDir, 'penmora.js'), 'text/javascript; charset=utf-8'],
  };
  const server = http.createServer((request, response) => {
    const file = files[new URL(request.url, 'http://127.0.0.1').pathname];
    if (!file) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': file[1], 'Cache-Control': 'no-store' });
    response.end(fs.readFileSync(file[0]));
  });
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// A listener that accepts connections and never answers: a service that hangs.
function silentListener() {
  const server = net.createServer(() => {});
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

const local = { pageUrl: null, silentPort: 0 };

// How long each isRunning answer took, and how long after a reload the pad
// was released, printed at the end.
const isRunningTimes = [];
const padReleaseTimes = [];

async function checkService(page, url, options) {
  const answer = await page.evaluate(([u, o]) => window.promisePage.checkService(u ?? undefined, o),
                                     [url, options]);
  isRunningTimes.push(`${answer.running} in ${answer.ms.toFixed(1)} ms`);
  return answer;
}

const sendToPad = (page, message) => page.evaluate((m) => window.signer.send(m), message);
const syncPad = (page) => page.evaluate(() => window.signer.sync());
const commandCount = (page, command) => page.evaluate((c) => window.signer.count(c), command);

async function waitForCommand(page, command, before) {
  await page.waitForFunction(([c, n]) => window.signer.count(c) > n, [command, before]);
}

// Starts pad[kind](options) on the page. waitForPad() waits until the pad
// has accepted the call's SignCommand.
async function startCall(page, kind, options = {}, abortable = false) {
  const before = await commandCount(page, 'SignCommand accepted');
  const id = await page.evaluate(([k, o, a]) => window.promisePage.start(k, o, a),
                                 [kind, options, abortable]);
  return { id, waitForPad: () => waitForCommand(page, 'SignCommand accepted', before) };
}

async function outcome(page, { id }) {
  await page.waitForFunction((n) => window.promisePage.outcome(n).state !== 'pending', id);
  return page.evaluate((n) => window.promisePage.outcome(n), id);
}

function checkImage(result, width, height) {
  check(result.state === 'resolved', `${result.kind} ${result.state}: ${result.code} ${result.message}`);
  check(result.width === width && result.height === height,
    `${result.kind} gave ${result.width} x ${result.height}, not ${width} x ${height}`);
  check(result.type === 'image/png' && result.bytes > 0 && result.base64Length > result.bytes,
    `${result.kind}: ${result.type}, ${result.bytes} bytes from ${result.base64Length} characters`);
}

function checkRejected(result, code) {
  check(result.state === 'rejected', `${result.kind} ${result.state}, not rejected with "${code}"`);
  check(result.isPenmoraError && result.name === 'PenmoraError' && result.code === code,
    `${result.kind} rejected with ${result.name} "${result.code}" (${result.message}), not "${code}"`);
}

// Waits until the pad was released after `closesBefore` CloseCommands.
async function waitForRelease(page, closesBefore) {
  await page.waitForFunction((n) => window.signer.count('CloseCommand accepted') > n &&
                                    window.signer.pad === 'closed', closesBefore);
}

async function signOnPad(page, call) {
  await call.waitForPad();
  await page.evaluate(() => window.signer.draw());
  await sendToPad(page, { button: 'OK' });
}

// A signature with sign(), within a deadline, until the pad is released.
async function signToTheEnd(page) {
  const call = await startCall(page, 'sign', { timeoutMs: 15000 });
  await signOnPad(page, call);
  checkImage(await outcome(page, call), 600, 355);
  await page.waitForFunction(() => window.signer.pad === 'closed');
}

const promiseSteps = [
  ['a page on another origin finds the service with isRunning, in well under a second', async (page) => {
    await page.goto(local.pageUrl);
    await page.waitForFunction(() => window.promisePage && window.signer);
    await page.evaluate(() => window.signer.connect());
    const up = await checkService(page);
    check(up.running === true && up.ms < 1000, `with the demo up: ${up.running} in ${up.ms} ms`);
    await page.locator('#banner[data-running=true]').waitFor();
    const nobody = await checkService(page, 'ws://127.0.0.1:9');
    check(nobody.running === false && nobody.ms < 1000, `nothing on port 9: ${nobody.running} in ${nobody.ms} ms`);
    const silent = await checkService(page, `ws://127.0.0.1:${local.silentPort}/`, { timeoutMs: 300 });
    check(silent.running === false && silent.ms >= 250 && silent.ms < 1000,
      `a listener that never answers: ${silent.running} in ${silent.ms} ms with timeoutMs 300`);
    const bad = await checkService(page, 'not a url');
    check(bad.running === false, `a malformed address gave ${bad.running}`);
  }],
  ['sign() resolves with the signature, and ok still fires', async (page) => {
    await page.evaluate(() => window.promisePage.open({ reconnect: true }));
    // With a connection open, isRunning must not probe: the probe would become
    // the service's newest connection and take the pad's messages.
    const connected = await checkService(page);
    check(connected.running === true && connected.ms < 1000, `connected: ${connected.running} in ${connected.ms} ms`);
    await page.evaluate(() => {
      window.oks = 0;
      window.promisePage.pad.on('ok', () => window.oks++);
    });
    const call = await startCall(page, 'sign', { penWidth: 3 });
    await signOnPad(page, call);
    checkImage(await outcome(page, call), 600, 355);
    await page.waitForFunction(() => window.oks === 1);
    await page.waitForFunction(() => window.signer.pad === 'closed');
  }],
  ['isRunning() answers from the open client for every name of the service, without a probe', async (page) => {
    // The service listens on IPv4 only: a probe of [::1] would find nothing.
    for (const url of ['ws://localhost:10001', 'ws://[::1]:10001/', 'ws://127.0.0.1:10001/any/path']) {
      const answer = await checkService(page, url);
      check(answer.running === true && answer.ms < 100, `${url}: ${answer.running} in ${answer.ms} ms`);
    }
    const elsewhere = await checkService(page, 'ws://127.0.0.1:9');
    check(elsewhere.running === false, `another port: ${elsewhere.running}`);
    await signToTheEnd(page);
  }],
  ['a second tab\'s isRunning() leaves this tab\'s next sign() working', async (page) => {
    const tab = await page.context().newPage();
    try {
      await tab.goto(local.pageUrl);
      await tab.waitForFunction(() => window.promisePage);
      // The second tab has no client of its own: it probes, a connection that
      // comes and goes while this tab stays connected.
      const answer = await tab.evaluate(() => window.promisePage.checkService());
      isRunningTimes.push(`second tab: ${answer.running} in ${answer.ms.toFixed(1)} ms`);
      check(answer.running === true, `the second tab's isRunning() gave ${answer.running}`);
    } finally {
      await tab.close();
    }
    await signToTheEnd(page);
  }],
  ['a reload in the middle of a signature releases the pad within a second', async (page) => {
    // The signer in another tab watches the pad while this one reloads.
    const watcher = await page.context().newPage();
    try {
      await watcher.goto(local.pageUrl);
      await watcher.waitForFunction(() => window.signer);
      await watcher.evaluate(() => window.signer.connect());
      const call = await startCall(page, 'sign');
      await call.waitForPad();
      await watcher.waitForFunction(() => window.signer.pad === 'open');
      const reloaded = Date.now();
      await page.reload();
      const closed = await watcher.waitForFunction(
        (since) => window.signer.pad === 'closed' && window.signer.padChangedAt >= since
          ? window.signer.padChangedAt : false, reloaded, { timeout: 5000 })
        .then((handle) => handle.jsonValue(), () => null);
      check(closed !== null, 'the pad was still open 5 s after the reload');
      padReleaseTimes.push(closed - reloaded);
      check(closed - reloaded < 1000, `the pad was released ${closed - reloaded} ms after the reload`);
    } finally {
      await watcher.close();
    }
    // The reloaded page connects again for the steps that follow.
    await page.waitForFunction(() => window.promisePage && window.signer);
    await page.evaluate(() => window.signer.connect());
    await page.evaluate(() => window.promisePage.open({ reconnect: true }));
  }],
  ['fingerprint() resolves with the fingerprint', async (page) => {
    await sendToPad(page, { finger: 'place' });
    await syncPad(page);
    const call = await startCall(page, 'fingerprint', { quality: 50 });
    checkImage(await outcome(page, call), 128, 144);
    await page.waitForFunction(() => window.signer.pad === 'closed');
  }],
  ['signWithFingerprint() resolves with the combined image', async (page) => {
    const call = await startCall(page, 'signWithFingerprint', { penWidth: 3, quality: 50 });
    await signOnPad(page, call);
    checkImage(await outcome(page, call), 600, 355);
    await page.waitForFunction(() => window.signer.pad === 'closed');
  }],
  ['Cancel on the pad rejects with "cancelled"', async (page) => {
    const call = await startCall(page, 'sign');
    await call.waitForPad();
    const closes = await commandCount(page, 'CloseCommand accepted');
    await sendToPad(page, { button: 'CNCL' });
    checkRejected(await outcome(page, call), 'cancelled');
    await waitForRelease(page, closes);
  }],
  ['a refused start rejects with "start-failed" and the service\'s text', async (page) => {
    await sendToPad(page, { refuse: [1] });
    await syncPad(page);
    const result = await outcome(page, await startCall(page, 'sign'));
    checkRejected(result, 'start-failed');
    check(result.serviceText === '\u5f00\u59cb\u7b7e\u5b57\u5931\u8d25' &&
          result.message.includes(result.serviceText), `"${result.serviceText}", "${result.message}"`);
    const closes = await commandCount(page, 'CloseCommand accepted');
    await page.evaluate(() => window.promisePage.closeSign());  // the pad stays open until then
    await waitForRelease(page, closes);
    await sendToPad(page, { refuse: [] });
    await syncPad(page);
  }],
  ['a newer call, closeSign() and an AbortSignal end a call with "superseded"', async (page) => {
    const first = await startCall(page, 'sign');
    await first.waitForPad();
    const second = await startCall(page, 'sign');
    checkRejected(await outcome(page, first), 'superseded');
    await second.waitForPad();
    let closes = await commandCount(page, 'CloseCommand accepted');
    await page.evaluate(() => window.promisePage.closeSign());
    checkRejected(await outcome(page, second), 'superseded');
    await waitForRelease(page, closes);

    const third = await startCall(page, 'sign', {}, true);
    await third.waitForPad();
    closes = await commandCount(page, 'CloseCommand accepted');
    await page.evaluate((id) => window.promisePage.abort(id), third.id);
    const aborted = await outcome(page, third);
    checkRejected(aborted, 'superseded');
    check(aborted.cause === 'AbortError', `the abort's cause is ${aborted.cause}`);
    await waitForRelease(page, closes);  // the abort sent "TavoCloseSign"
  }],
  ['a timeout rejects with "timeout" and releases the pad', async (page) => {
    const call = await startCall(page, 'sign', { timeoutMs: 1500 });
    await call.waitForPad();
    const closes = await commandCount(page, 'CloseCommand accepted');
    const result = await outcome(page, call);
    checkRejected(result, 'timeout');
    check(result.ms >= 1400 && result.ms < 10000, `timed out after ${result.ms} ms, not 1500`);
    await waitForRelease(page, closes);
  }],
  ['after a restart of the demo, reconnect: true connects again and sign() works', async (page) => {
    const reconnects = await page.evaluate(() => window.promisePage.reconnects);
    const cut = await startCall(page, 'sign');
    await cut.waitForPad();
    await stopDemo();
    checkRejected(await outcome(page, cut), 'closed');
    const down = await checkService(page);
    check(down.running === false && down.ms < 1000, `with the demo down: ${down.running} in ${down.ms} ms`);
    await page.locator('#connection[data-state=reconnecting]').waitFor();

    const problem = await waitForDemo(startDemo());
    if (problem) throw new Error(problem);
    // The client waits 0.5 s, 1 s, 2 s, ... between attempts.
    await page.waitForFunction((n) => window.promisePage.reconnects > n && window.promisePage.connected,
                               reconnects, { timeout: 2 * TIMEOUT });
    await page.evaluate(() => window.signer.connect());
    const up = await checkService(page);
    check(up.running === true && up.ms < 1000, `with the demo back: ${up.running} in ${up.ms} ms`);
    const call = await startCall(page, 'sign');
    await signOnPad(page, call);
    checkImage(await outcome(page, call), 600, 355);
    await page.screenshot({ path: path.join(shotDir, 'promises.png'), fullPage: true });
  }],
];
steps.push(...promiseSteps);

// ---- Pen data --------------------------------------------------------------------

// The samples signer.draw() sends, as raw [x, y, pressure].
const DRAWN = [...Array(31).keys()]
  .map((i) => [1500 + i * 230, 3000 + Math.round(900 * Math.sin(i / 3)), 700])
  .concat([[1500 + 30 * 230, 3000, 0]]);

function checkSamples(samples, what) {
  check(samples.length === DRAWN.length, `${what}: ${samples.length} samples, not ${DRAWN.length}`);
  samples.forEach((s, i) => {
    const [x, y, pressure] = DRAWN[i];
    check(s.x === x && s.y === y && s.pressure === pressure,
      `${what}: sample ${i} is ${JSON.stringify(s)}, not ${DRAWN[i]}`);
    check(i === 0 || s.t >= samples[i - 1].t, `${what}: time goes back at sample ${i}`);
  });
}

const penSteps = [
  ['the client parses pen data and refuses what is malformed', async (page) => {
    const result = await page.evaluate(async () => {
      const { parsePenSamples, parsePenRecord } = await import('./penmora.js');
      const refused = (f) => { try { f(); return ''; } catch (e) { return e.message; } };
      const record = parsePenRecord('v=1,start=2024-02-29T23:59:59.999Z,xmax=10206,ymax=7422,' +
                                    'plane=600x400,canvas=600x355,n=2,cut=1|0,1,2,3;16,65535,7422,0');
      return {
        none: parsePenSamples(''),
        two: parsePenSamples('5,10206,7422,1023;21,0,0,0'),
        record: { ...record, start: record.start.toISOString() },
        badSample: refused(() => parsePenSamples('5,1,2')),
        negative: refused(() => parsePenSamples('5,-1,2,3')),
        noBar: refused(() => parsePenRecord('v=1,n=0')),
        wrongCount: refused(() => parsePenRecord(
          'v=1,start=2024-01-01T00:00:00.000Z,xmax=1,ymax=1,plane=1x1,canvas=1x1,n=3,cut=0|0,1,2,3')),
        badStart: refused(() => parsePenRecord(
          'v=1,start=soon,xmax=1,ymax=1,plane=1x1,canvas=1x1,n=0,cut=0|')),
      };
    });
    check(JSON.stringify(result.none) === '[]', `empty batch: ${JSON.stringify(result.none)}`);
    check(JSON.stringify(result.two) === JSON.stringify([
      { t: 5, x: 10206, y: 7422, pressure: 1023 }, { t: 21, x: 0, y: 0, pressure: 0 }]),
    `two samples: ${JSON.stringify(result.two)}`);
    const r = result.record;
    check(r.version === 1 && r.start === '2024-02-29T23:59:59.999Z' && r.xMax === 10206 &&
          r.yMax === 7422 && r.plane.width === 600 && r.plane.height === 400 &&
          r.canvas.width === 600 && r.canvas.height === 355 && r.cut === true &&
          r.samples.length === 2 && r.samples[1].x === 65535, `record: ${JSON.stringify(r)}`);
    for (const what of ['badSample', 'negative', 'noBar', 'wrongCount', 'badStart']) {
      check(result[what].includes('pen data is malformed'), `${what}: "${result[what]}"`);
    }
  }],
  ['sign({ penData }) passes every sample to onPen and resolves with the record', async (page) => {
    await page.waitForFunction(() => window.promisePage.connected);
    const started = Date.now();
    const before = await commandCount(page, 'SignCommand accepted');
    const id = await page.evaluate(() => window.promisePage.startWithPen('sign', { penData: true }));
    await waitForCommand(page, 'SignCommand accepted', before);
    await page.evaluate(() => window.signer.draw());
    await sendToPad(page, { button: 'OK' });
    const result = await outcome(page, { id });
    check(result.state === 'resolved', `sign with pen data ${result.state}: ${result.message}`);
    checkSamples(result.samples, 'the record');
    checkSamples(result.batches.flat(), 'the batches onPen got');
    check(result.events.pen === result.batches.length && result.events.signData === 1,
      `events: ${JSON.stringify(result.events)} for ${result.batches.length} batches`);
    check(result.cut === false && result.version === 1 && result.canvas.width === 600 &&
          result.canvas.height === 355 && result.plane.height === 400 && result.xMax === 10206,
    `header: ${JSON.stringify({ ...result, samples: undefined, batches: undefined })}`);
    const start = Date.parse(result.start);
    check(start >= started - 2000 && start <= Date.now() + 2000, `the session started at ${result.start}`);
    await page.waitForFunction(() => window.signer.pad === 'closed');
  }],
  ['signWithFingerprint({ onPen }) resolves with the composite and the record', async (page) => {
    await sendToPad(page, { finger: 'place' });
    await syncPad(page);
    const before = await commandCount(page, 'SignCommand accepted');
    const id = await page.evaluate(
      () => window.promisePage.startWithPen('signWithFingerprint', { quality: 50 }));
    await waitForCommand(page, 'SignCommand accepted', before);
    await page.evaluate(() => window.signer.draw());
    await sendToPad(page, { button: 'OK' });
    const result = await outcome(page, { id });
    check(result.state === 'resolved' && result.type === 'image/png',
      `signWithFingerprint with onPen ${result.state}: ${result.message}`);
    checkSamples(result.samples, 'the record');
    checkSamples(result.batches.flat(), 'the batches onPen got');
    await page.waitForFunction(() => window.signer.pad === 'closed');
  }],
  ['a call without penData gets no pen data, as before', async (page) => {
    const before = await commandCount(page, 'SignCommand accepted');
    const id = await page.evaluate(
      () => window.promisePage.startWithPen('sign', { penData: false }));
    await waitForCommand(page, 'SignCommand accepted', before);
    await page.evaluate(() => window.signer.draw());
    await sendToPad(page, { button: 'OK' });
    const result = await outcome(page, { id });
    check(result.state === 'resolved' && result.hasPenData === false,
      `plain sign: ${result.state}, penData ${result.hasPenData ? 'present' : 'absent'}`);
    check(result.events.pen === 0 && result.events.signData === 0 && result.batches.length === 0,
      `plain sign raised ${JSON.stringify(result.events)}`);
    await page.waitForFunction(() => window.signer.pad === 'closed');
  }],
  ['the demo page mirrors the pen live and plots the record after OK', async (page) => {
    await page.goto(PAGE);
    await page.locator('#control-state[data-state=connected]').waitFor();
    await page.click('#connect');
    await page.locator('#service-state[data-state=connected]').waitFor();
    check(await page.locator('#pen-data').isChecked(), 'the demo does not ask for pen data');
    await startAndWaitForPad(page, '#start-sign');
    const at = await drawOnPad(page);
    await page.waitForFunction(() => Number(document.querySelector('#pen-live').dataset.samples) > 20);
    const inked = (selector) => page.evaluate((s) => {
      const canvas = document.querySelector(s);
      const data = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
      let count = 0;
      for (let i = 3; i < data.length; i += 4) if (data[i] > 0) count++;
      return count;
    }, selector);
    check(await inked('#pen-live canvas') > 200, 'the live mirror shows no stroke');
    await pressPadButton(page, at, 300);  // OK
    await page.waitForFunction(() => Number(document.querySelector('#pen-plot').dataset.samples) > 0);
    const live = Number(await page.locator('#pen-live').getAttribute('data-samples'));
    const recorded = Number(await page.locator('#pen-plot').getAttribute('data-samples'));
    check(live === recorded, `the mirror got ${live} samples, the record holds ${recorded}`);
    check(await inked('#pen-plot canvas') > 300, 'the plot is empty');
    const download = await page.evaluate(async () => {
      const link = document.querySelector('#pen-plot a.download');
      const record = await (await fetch(link.href)).json();
      return { hidden: link.hidden, name: link.download, samples: record.samples.length,
               first: record.samples[0], start: record.start, cut: record.cut };
    });
    check(!download.hidden && download.name === 'pen-data.json' && download.samples === recorded &&
          typeof download.first.t === 'number' && typeof download.first.pressure === 'number' &&
          download.cut === false && !Number.isNaN(Date.parse(download.start)),
    `download: ${JSON.stringify(download)}`);
    await page.locator('#log li', { hasText: 'TavoSignData' }).first().waitFor();
    await page.screenshot({ path: path.join(shotDir, 'pen-data.png'), fullPage: true });

    // Clear empties the mirror, as it does the pad.
    await page.locator('#pad-state[data-state=closed]').waitFor();
    await startAndWaitForPad(page, '#start-sign');
    check(await page.locator('#pen-plot').getAttribute('data-samples') === '0',
      'the record of the last signature is still shown after a new start');
    await drawOnPad(page);
    await page.waitForFunction(() => Number(document.querySelector('#pen-live').dataset.samples) > 20);
    await pressPadButton(page, at, 110);  // Clear
    await page.locator('#status', { hasText: 'The signer cleared the pad.' }).waitFor();
    check(await page.locator('#pen-live').getAttribute('data-samples') === '0' &&
          await inked('#pen-live canvas') === 0, 'Clear left the mirror drawn');
    await pressPadButton(page, at, 490);  // Cancel
    await page.locator('#pad-state[data-state=closed]').waitFor();
  }],
  ['the demo seals to its demo key and opens the evidence in the page', async (page) => {
    await page.check('#seal-evidence');
    await startAndWaitForPad(page, '#start-sign');
    const at = await drawOnPad(page);
    await pressPadButton(page, at, 300);  // OK
    await page.locator('#evidence[data-picture=matches]').waitFor();
    const shown = await page.evaluate(() => {
      const figure = document.querySelector('#evidence');
      return { state: figure.dataset.state, jwe: figure.querySelector('.jwe').textContent,
               plain: JSON.parse(figure.querySelector('.plain').textContent),
               recordShown: document.querySelector('#pen-plot').dataset.samples };
    });
    check(shown.state === 'opened', `the evidence is ${shown.state}`);
    check(shown.jwe.split('.').length === 5, 'not a compact JWE');
    check(shown.plain.who === 'Demo Signer' && shown.plain.why === 'Trying the demo' &&
          /^[0-9a-f]{64}$/.test(shown.plain.document), `plaintext: ${JSON.stringify(shown.plain)}`);
    check(shown.recordShown === '0', 'a plaintext record came although the evidence was asked for');
    await page.screenshot({ path: path.join(shotDir, 'evidence.png'), fullPage: true });
    await page.locator('#pad-state[data-state=closed]').waitFor();
    await page.uncheck('#seal-evidence');
  }],
];
steps.push(...penSteps);

async function main() {
  fs.mkdirSync(shotDir, { recursive: true });
  const env = { ...process.env };
  for (const name of ['DISPLAY', 'WAYLAND_DISPLAY', 'DBUS_SESSION_BUS_ADDRESS']) delete env[name];
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'penmora-browser-'));
  // The service registers itself to start at logon: not the tester's session.
  env.XDG_CONFIG_HOME = path.join(profile, 'service-config');
  demos.env = env;
  demos.path = demoPath;
  demos.outDir = shotDir;
  if (LAUNCHER.length > 0 && ((await accepts(10001)) || (await accepts(10002)))) {
    console.log('FAILED  the ports are held by another program');
    process.exit(1);
  }
  startDemo();
  const pageServer = await servePromisePage();
  const silent = await silentListener();
  local.pageUrl = `http://127.0.0.1:${pageServer.address().port}/promise.html`;
  local.silentPort = silent.address().port;
  let passed = 0;
  let failed = 0;
  let context = null;
  try {
    const problem = await waitForDemo(demos.current);
    if (problem) throw new Error(problem);
    context = await launchBrowser(browserName, { webDir, profile: path.join(profile, 'browser') });
    const page = await context.firstPage();
    page.setDefaultTimeout(TIMEOUT);
    const problems = [];
    page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
    for (const [name, step] of steps) {
      const started = Date.now();
      try {
        await step(page);
        check(problems.length === 0, problems.join('; '));
        passed++;
        console.log(`ok      ${name} (${Date.now() - started} ms)`);
      } catch (e) {
        failed++;
        console.log(`FAILED  ${name}\n        ${e.message.split('\n')[0]}`);
        await page.screenshot({ path: path.join(shotDir, 'failure.png'), fullPage: true })
          .catch(() => {});
        break;  // later steps build on this one
      }
    }
    const remaining = steps.length - passed - failed;
    if (remaining > 0) console.log(`(${remaining} later steps not run)`);
    failed += remaining;
  } catch (e) {
    console.log(`FAILED  ${e.message}`);
    failed = steps.length - passed;
  } finally {
    if (context) await context.close().catch(() => {});
    if (demos.current) await stopDemo();
    for (const problem of demos.problems) {
      console.log(problem);
      failed++;
    }
    pageServer.closeAllConnections();
    pageServer.close();
    silent.close();
    fs.rmSync(profile, { recursive: true, force: true });
  }
  if (isRunningTimes.length) console.log(`isRunning answers: ${isRunningTimes.join(', ')}`);
  if (padReleaseTimes.length) console.log(`pad released ${padReleaseTimes.join(', ')} ms after a reload`);
  console.log(`${browserName}: screenshots in ${shotDir}`);
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
}

main();
