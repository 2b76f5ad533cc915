// Pages on public sites in Chromium, which applies Local Network Access to
// their WebSockets: the client must tell "not running" from "not allowed".
// Everything runs on loopback: the test serves its page over https with a
// certificate made now, under public-looking names (shop.test, pay.test)
// that Chromium maps to 127.0.0.1 and treats as public addresses. Cases: the
// page with nothing granted, with the permission denied, granted, or given by
// a managed policy (a policy folder mounted over /etc/chromium in a private
// mount namespace); the page over plain http; a frame of another public site
// with and without allow="loopback-network"; the demo's own page with the
// service stopped. The signer is played from outside the browser, through the
// demo's control endpoint. Each case's outcome and time are printed.
//
// Usage: node access_test.mjs <penmora-demo> <output folder> <web folder>
// Needs root for the private mount namespace of the policy cases.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { makeCertificate } from './certificate.mjs';
import { BROWSER, FLAGS, loadChromium } from './chromium.mjs';
import { LAUNCHER, accepts, demos, endRun, runCases, startDemoTrusting, stopDemo } from './demo_process.mjs';
import { PythonWebSocket } from './python_socket.mjs';
import { makeSigner } from './signer.js';

const [demoPath, outDir, webDir] = process.argv.slice(2);
if (!demoPath || !outDir || !webDir) {
  console.error('usage: node access_test.mjs <penmora-demo> <output folder> <web folder>');
  process.exit(2);
}

const chromium = loadChromium(webDir);
const TEST_DIR = path.dirname(fileURLToPath(import.meta.url));
const TIMEOUT = 30000;
const SHOP = 'shop.test';  // the integrator's site
const PAY = 'pay.test';    // another site, whose page the shop frames

function check(condition, what) {
  if (!condition) throw new Error(what);
}

// ---- The sites -------------------------------------------------------------

// `unlisted` is the shop's name on another port: another site, which IT did
// not list for the service.
const sites = { shop: 0, pay: 0, plain: 0, unlisted: 0 };  // their ports

// The promise page and its scripts, and /frame.html: the promise page of
// the other site in an <iframe>, with the allow attribute ?allow= gives.
function serve(request, response) {
  const url = new URL(request.url, 'http://x');
  if (url.pathname === '/frame.html') {
    const allow = url.searchParams.get('allow');
    response.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8', 'Cache-Control': 'no-store' });
    response.end(`<!doctype html><meta charset="utf-8"><title>Frame</title>
      <iframe src="https://${PAY}:${sites.pay}/promise.html" width="600" height="400"
              ${allow === null ? '' : `allow="${allow}"`}></iframe>`);
    return;
  }
  const files = {
    '/promise.html': [path.join(TEST_DIR, 'promise.html'), 'text/html; charset=utf-8'],
    '/promise_page.js': [path.join(TEST_DIR, 'promise_page.js'), 'text/javascript; charset=utf-8'],
    '/signer.js': [path.join(TEST_DIR, 'signer.js'), 'text/javascript; charset=utf-8'],
    '/penmora.js': [path.join(webDir, 'penmora.js'), 'text/javascript; charset=utf-8'],
  };
  const file = files[url.pathname];
  if (!file) {
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, { 'Content-Type': file[1], 'Cache-Control': 'no-store' });
  response.end(fs.readFileSync(file[0]));
}

function listen(server) {
  return new Promise((resolve) => server.listen(0, '127.0.0.1', () => resolve(server)));
}

// The browser's flags: the sites' ports are public addresses, their names
// lead to 127.0.0.1, and the test's certificate is taken.
function browserFlags() {
  const overrides = Object.values(sites).map((port) => `127.0.0.1:${port}=public`).join(',');
  return [...FLAGS, '--ignore-certificate-errors', `--ip-address-space-overrides=${overrides}`,
    `--host-resolver-rules=MAP ${SHOP} 127.0.0.1, MAP ${PAY} 127.0.0.1`];
}

const shopPage = () => `https://${SHOP}:${sites.shop}/promise.html`;
const shopOrigin = () => `https://${SHOP}:${sites.shop}`;

// Chromium started in a mount namespace of its own, where a folder of the
// test's lies over /etc/chromium: its managed policy, written by
// scripts/install-browser-policy.sh as an administrator would, lets the shop's
// origin reach this computer. The system's folder is left as it is.
function policyBrowser(scratch) {
  const etc = path.join(scratch, 'etc-chromium');
  fs.mkdirSync(etc);
  for (const name of fs.readdirSync('/etc/chromium')) {
    const from = path.join('/etc/chromium', name);
    if (fs.statSync(from).isFile()) fs.copyFileSync(from, path.join(etc, name));
  }
  const script = path.join(path.resolve(webDir), '..', 'scripts', 'install-browser-policy.sh');
  const written = spawnSync('bash', [script, shopOrigin()], {
    encoding: 'utf8',
    env: { ...process.env, PENMORA_CHROMIUM_POLICY_DIR: path.join(etc, 'policies', 'managed'),
           PENMORA_CHROME_POLICY_DIR: path.join(scratch, 'chrome-policy'),
           PENMORA_FIREFOX_POLICY_DIR: path.join(scratch, 'firefox-policy') },
  });
  if (written.status !== 0) throw new Error(`install-browser-policy.sh: ${written.stderr || written.error}`);
  const wrapper = path.join(scratch, 'chromium-with-policy');
  fs.writeFileSync(wrapper, '#!/bin/sh\n' +
    `exec unshare -m sh -c 'mount --bind "$0" /etc/chromium && exec ${BROWSER} "$@"' '${etc}' "$@"\n`);
  fs.chmodSync(wrapper, 0o755);
  return wrapper;
}

// ---- Driving the pages -----------------------------------------------------

// The signer, outside the browser: python3-websockets on the demo's control
// port.
let signer = null;

// Opens `url` in the context's page; the promise page in it, or with
// `framed`, in its frame.
async function openPage(context, url, framed = false) {
  const page = context.pages()[0] || (await context.newPage());
  page.setDefaultTimeout(TIMEOUT);
  await page.goto(url);
  let target = page;
  if (framed) {
    await page.waitForFunction(() => document.querySelector('iframe'));
    target = await (await page.$('iframe')).contentFrame();
  }
  await target.waitForFunction(() => window.promisePage);
  return target;
}

const tryOpen = (target) => target.evaluate(() => window.promisePage.tryOpen());
const checkAccess = (target) => target.evaluate(() => window.promisePage.check());

// A signature through sign() on a connected page: the pad is signed from
// outside the browser. Resolves with the image's size.
async function signThere(target) {
  const before = signer.count('SignCommand accepted');
  const id = await target.evaluate(() => window.promisePage.start('sign', { timeoutMs: 20000 }));
  for (let i = 0; signer.count('SignCommand accepted') === before; i++) {
    check(i < 200, 'the pad never started');
    await new Promise((r) => setTimeout(r, 50));
  }
  signer.draw();
  signer.send({ button: 'OK' });
  await target.waitForFunction((n) => window.promisePage.outcome(n).state !== 'pending', id);
  const result = await target.evaluate((n) => window.promisePage.outcome(n), id);
  check(result.state === 'resolved', `sign() ${result.state}: ${result.code} ${result.message}`);
  check(result.type === 'image/png' && result.width === 600 && result.height === 355,
        `sign() gave ${result.type} ${result.width} x ${result.height}`);
  await target.evaluate(() => window.promisePage.pad.close());
  return result;
}

// A page the browser lets through: check() finds the service, connect()
// connects and sign() resolves.
async function allowedAndSigns(target) {
  const found = await checkAccess(target);
  check(found.running === true && found.access === 'granted', `check() gave ${JSON.stringify(found)}`);
  const opened = await tryOpen(target);
  check(opened.connected, `connect() failed: ${opened.code} ${opened.message}`);
  const image = await signThere(target);
  return `check() true/granted; connected in ${opened.ms.toFixed(0)} ms, signed in ${image.ms.toFixed(0)} ms`;
}

function expectRefused(result, codes, within = 2000) {
  check(!result.connected, 'connect() succeeded');
  check(result.isPenmoraError && codes.includes(result.code),
        `connect() rejected with ${result.name} "${result.code}", not ${codes.join(' or ')}: ${result.message}`);
  check(result.ms < within, `connect() took ${result.ms.toFixed(0)} ms`);
}

// Both causes named: not running, or the browser's permission.
const namesBothCauses = (message) => /not running/.test(message) && /browser did not let this page/.test(message);

// ---- The cases -------------------------------------------------------------

async function inContext(browser, options, body) {
  const context = await browser.newContext({ ignoreHTTPSErrors: true, ...options });
  try {
    return await body(context);
  } finally {
    await context.close();
  }
}

const cases = [
  ['a public https page, nothing granted: refused in 2 s, "unreachable" naming both causes or "blocked"; check() never false',
    'plain', async (browser) => inContext(browser, {}, async (context) => {
      const page = await openPage(context, shopPage());
      const before = await checkAccess(page);
      check(before.running === null && before.access === 'prompt', `check() gave ${JSON.stringify(before)}`);
      const refused = await tryOpen(page);
      expectRefused(refused, ['unreachable', 'blocked']);
      if (refused.code === 'unreachable') check(namesBothCauses(refused.message), refused.message);
      // Headless, the attempt's prompt is dismissed at once.
      const found = await checkAccess(page);
      check(found.running === null, `check() after the attempt gave ${JSON.stringify(found)}`);
      return `check() ${JSON.stringify(before.running)}/${before.access}; ${refused.code} in ` +
             `${refused.ms.toFixed(0)} ms; then check() ${JSON.stringify(found.running)}/${found.access}`;
    })],
  ['a public https page the user denied: "blocked", saying how to allow it',
    'denied', async (context) => {
      const page = await openPage(context, shopPage());
      const refused = await tryOpen(page);
      expectRefused(refused, ['blocked']);
      check(/site settings/.test(refused.message) && /LocalNetworkAccessAllowedForUrls/.test(refused.message),
            refused.message);
      const found = await checkAccess(page);
      check(found.running === null && found.access === 'denied', `check() gave ${JSON.stringify(found)}`);
      return `${refused.code} in ${refused.ms.toFixed(0)} ms; check() ${JSON.stringify(found.running)}/${found.access}`;
    }],
  ['a public https page granted the permission: sign() resolves with a PNG',
    'plain', async (browser) => inContext(browser, {}, async (context) => {
      await context.grantPermissions(['local-network-access'], { origin: shopOrigin() });
      return allowedAndSigns(await openPage(context, shopPage()));
    })],
  ['a public https page the browser lets through but the service does not trust: sign() rejects with "denied" and the service\'s words',
    'plain', async (browser) => inContext(browser, {}, async (context) => {
      const unlisted = `https://${SHOP}:${sites.unlisted}`;
      await context.grantPermissions(['local-network-access'], { origin: unlisted });
      const page = await openPage(context, `${unlisted}/promise.html`);
      const opened = await tryOpen(page);
      check(opened.connected, `connect() failed: ${opened.code} ${opened.message}`);
      const before = signer.count('SignCommand accepted');
      // Under Wine the service asks the person in a box on the prefix's
      // desktop, which nobody answers: refused after the question's 60 s.
      const timeoutMs = LAUNCHER.length > 0 ? 90000 : 20000;
      const id = await page.evaluate((ms) => window.promisePage.start('sign', { timeoutMs: ms }), timeoutMs);
      await page.waitForFunction((n) => window.promisePage.outcome(n).state !== 'pending', id,
                                 { timeout: timeoutMs + 10000 });
      const result = await page.evaluate((n) => window.promisePage.outcome(n), id);
      check(result.state === 'rejected' && result.isPenmoraError && result.code === 'denied',
            `sign() ${result.state}: ${result.code} ${result.message}`);
      check(result.serviceText.includes(unlisted) && result.message === result.serviceText,
            `"${result.serviceText}", "${result.message}"`);
      check(signer.count('SignCommand accepted') === before, 'the pad started for a site nobody allowed');
      await page.evaluate(() => window.promisePage.pad.close());
      return `connected in ${opened.ms.toFixed(0)} ms; "denied" in ${result.ms.toFixed(0)} ms, the pad untouched`;
    })],
  ['a public https page allowed by the managed policy: sign() resolves without a grant',
    'policy', async (context) => allowedAndSigns(await openPage(context, shopPage()))],
  ['a frame of another public site without allow="loopback-network": refused, saying so',
    'policy', async (context) => {
      const frame = await openPage(context, `${shopOrigin()}/frame.html`, true);
      const refused = await tryOpen(frame);
      expectRefused(refused, ['blocked', 'unreachable']);
      check(refused.message.includes('allow="loopback-network"'), refused.message);
      return `${refused.code} in ${refused.ms.toFixed(0)} ms`;
    }],
  ['a frame of another public site with allow="loopback-network": sign() resolves',
    'policy', async (context) => {
      return allowedAndSigns(await openPage(context, `${shopOrigin()}/frame.html?allow=loopback-network`, true));
    }],
  ['a public http page: refused, saying that it must be https',
    'plain', async (browser) => inContext(browser, {}, async (context) => {
      const page = await openPage(context, `http://${SHOP}:${sites.plain}/promise.html`);
      const refused = await tryOpen(page);
      expectRefused(refused, ['unreachable', 'blocked']);
      check(/https/.test(refused.message), refused.message);
      const found = await checkAccess(page);
      check(found.running !== false, `check() gave ${JSON.stringify(found)}`);
      return `${refused.code} in ${refused.ms.toFixed(0)} ms; check() ${JSON.stringify(found.running)}/${found.access}`;
    })],
  ['the demo\'s own page with the service stopped: "unreachable", not running; check() says false',
    'plain', async (browser) => inContext(browser, {}, async (context) => {
      const page = context.pages()[0] || (await context.newPage());
      page.setDefaultTimeout(TIMEOUT);
      await page.goto('http://127.0.0.1:10002/');
      // The module is loaded while the demo still serves it.
      await page.evaluate(async () => { window.penmora = await import('./penmora.js'); });
      signer.close();
      await stopDemo();
      const result = await page.evaluate(async () => {
        const { Penmora, connect } = window.penmora;
        const started = performance.now();
        const refused = await connect().then(() => null, (e) => ({ code: e.code, message: e.message }));
        const ms = performance.now() - started;
        return { refused, ms, found: await Penmora.check() };
      });
      check(result.refused && result.refused.code === 'unreachable' &&
            /not running/.test(result.refused.message) && !namesBothCauses(result.refused.message),
            `connect() gave ${JSON.stringify(result.refused)}`);
      check(result.ms < 2000, `connect() took ${result.ms} ms`);
      check(result.found.running === false && result.found.access === 'granted',
            `check() gave ${JSON.stringify(result.found)}`);
      return `${result.refused.code} in ${result.ms.toFixed(0)} ms; check() false/granted`;
    })],
];

// ---- The run ---------------------------------------------------------------

async function main() {
  fs.mkdirSync(outDir, { recursive: true });
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'penmora-access-'));
  const env = { ...process.env };
  for (const name of ['DISPLAY', 'WAYLAND_DISPLAY', 'DBUS_SESSION_BUS_ADDRESS']) delete env[name];
  env.XDG_CONFIG_HOME = path.join(scratch, 'service-config');
  Object.assign(demos, { env, path: demoPath, outDir });
  const servers = [];
  const browsers = {};
  let passed = 0;
  let failed = 0;
  try {
    if ((await accepts(10001)) || (await accepts(10002))) throw new Error('the ports are held by another program');
    const certificate = makeCertificate(scratch, [SHOP, PAY]);
    for (const [name, secure] of [['shop', true], ['pay', true], ['plain', false], ['unlisted', true]]) {
      const server = await listen(secure ? https.createServer(certificate, serve) : http.createServer(serve));
      servers.push(server);
      sites[name] = server.address().port;
    }
    await startDemoTrusting(scratch, [`https://${SHOP}:${sites.shop}`, `https://${PAY}:${sites.pay}`,
      `http://${SHOP}:${sites.plain}`]);
    signer = makeSigner((url) => new PythonWebSocket(url));
    await signer.connect();
    ({ passed, failed } = await runCases(cases, browsers, (kind) => launch(kind, scratch)));
  } catch (e) {
    failed = cases.length - passed;
    console.log(`FAILED  ${e.message.split('\n')[0]}`);
  } finally {
    failed += await endRun({ browsers, signer, servers, scratch });
  }
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
}

// The browser of a kind of case: 'plain' (a context per case), 'denied' (a
// persistent context whose permission is set to denied over DevTools) or
// 'policy' (a persistent context in its own mount namespace, with the
// managed policy).
async function launch(kind, scratch) {
  const args = browserFlags();
  if (kind === 'plain') return chromium.launch({ executablePath: BROWSER, headless: true, args });
  let executablePath = BROWSER;
  if (kind === 'policy') {
    if (process.getuid && process.getuid() !== 0) {
      throw new Error('the policy cases need root, for a private mount namespace');
    }
    executablePath = policyBrowser(scratch);
  }
  const context = await chromium.launchPersistentContext(path.join(scratch, `profile-${kind}`), {
    executablePath, headless: true, args, ignoreHTTPSErrors: true,
  });
  if (kind === 'policy') return context;
  const page = context.pages()[0] || (await context.newPage());
  const devtools = await context.newCDPSession(page);
  for (const name of ['loopback-network', 'local-network-access']) {
    await devtools.send('Browser.setPermission', { permission: { name }, setting: 'denied', origin: shopOrigin() });
  }
  return context;
}

if (LAUNCHER.length > 0) console.log(`the demo runs through ${LAUNCHER.join(' ')}`);
main();
