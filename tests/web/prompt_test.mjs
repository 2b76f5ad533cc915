// Firefox ESR's Local Network Access, over WebDriver BiDi: a page that the
// browser treats as public (network.lna.address_space.public.override names
// its address and port) with blocking on, where Firefox holds a connection to
// this computer until the person answers its prompt. Cases: check() says
// 'prompt' and null; connect() tells the page while the prompt waits and
// connects when the permission is granted (through the automation protocol),
// after which sign() resolves; denied meanwhile rejects with 'blocked'; no
// answer within promptTimeoutMs rejects with 'blocked'; the policy file that
// scripts/install-browser-policy.sh writes (mounted over Firefox's
// distribution folder in a private mount namespace) lets the page sign without a prompt. The pages
// are served on loopback; the signer is played from outside the browser with
// python3-websockets. The pages are served over http on 127.0.0.1, and one
// over https under a public-looking name. Each case's outcome and time are
// printed.
//
// Usage: node prompt_test.mjs <penmora-demo> <output folder> <web folder>
// Needs root for the private mount namespace of the policy case.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import os from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import { FIREFOX, launchBrowser } from './browsers.mjs';
import { makeCertificate } from './certificate.mjs';
import { LAUNCHER, accepts, demos, endRun, runCases, startDemoTrusting } from './demo_process.mjs';
import { PythonWebSocket } from './python_socket.mjs';
import { makeSigner } from './signer.js';

const [demoPath, outDir, webDir] = process.argv.slice(2);
if (!demoPath || !outDir || !webDir) {
  console.error('usage: node prompt_test.mjs <penmora-demo> <output folder> <web folder>');
  process.exit(2);
}

const TEST_DIR = path.dirname(fileURLToPath(import.meta.url));
const TIMEOUT = 30000;
// The host of the pages that play public sites: the origins the service is
// asked from are http://PAGE_HOST:PORT, one port a case.
const PAGE_HOST = '127.0.0.1';
const SITES = ['granted', 'denied', 'unanswered', 'policy'];
// A site under a public-looking name, over https with a certificate made for
// the run; Firefox resolves every name to 127.0.0.1 (network.dns.forceResolve).
// Its origin is https://SHOP:PORT.
const SHOP = 'shop.test';
const ports = {};

function check(condition, what) {
  if (!condition) throw new Error(what);
}

function serve(request, response) {
  const files = {
    '/promise.html': [path.join(TEST_DIR, 'promise.html'), 'text/html; charset=utf-8'],
    '/promise_page.js': [path.join(TEST_DIR, 'promise_page.js'), 'text/javascript; charset=utf-8'],
    '/signer.js': [path.join(TEST_DIR, 'signer.js'), 'text/javascript; charset=utf-8'],
    '/penmora.js': [path.join(webDir, 'penmora.js'), 'text/javascript; charset=utf-8'],
  };
  const file = files[new URL(request.url, 'http://x').pathname];
  if (!file) {
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, { 'Content-Type': file[1], 'Cache-Control': 'no-store' });
  response.end(fs.readFileSync(file[0]));
}

const origin = (site) => (site === 'shop' ? `https://${SHOP}:${ports.shop}` : `http://${PAGE_HOST}:${ports[site]}`);

// Blocking on, every site's address public: the service is then a local one
// that the pages may reach only when allowed.
function prefs() {
  return {
    'network.lna.enabled': true,
    'network.lna.blocking': true,
    'network.lna.websocket.enabled': true,
    'network.lna.address_space.public.override':
      [...SITES, 'shop'].map((site) => `127.0.0.1:${ports[site]}`).join(','),
    'network.dns.forceResolve': '127.0.0.1',
  };
}

// Firefox in a mount namespace of its own, where a copy of its distribution
// folder, with the policy that scripts/install-browser-policy.sh writes for
// the policy site, lies over the system's
// (/usr/lib/firefox-esr/distribution is a link to it).
const DISTRIBUTION = fs.realpathSync('/usr/lib/firefox-esr/distribution');
function policyFirefox(scratch) {
  const distribution = path.join(scratch, 'distribution');
  fs.cpSync(DISTRIBUTION, distribution, { recursive: true });
  check(!fs.lstatSync(distribution).isSymbolicLink(), `${distribution} is a link`);
  const script = path.join(path.resolve(webDir), '..', 'scripts', 'install-browser-policy.sh');
  const written = spawnSync('bash', [script, origin('policy')], {
    encoding: 'utf8',
    env: { ...process.env, PENMORA_CHROMIUM_POLICY_DIR: path.join(scratch, 'chromium-policy'),
           PENMORA_CHROME_POLICY_DIR: path.join(scratch, 'chrome-policy'),
           PENMORA_FIREFOX_POLICY_DIR: distribution },
  });
  if (written.status !== 0) throw new Error(`install-browser-policy.sh: ${written.stderr || written.error}`);
  const wrapper = path.join(scratch, 'firefox-with-policy');
  fs.writeFileSync(wrapper, '#!/bin/sh\n' +
    `exec unshare -m sh -c 'mount --bind "$0" ${DISTRIBUTION} && exec ${FIREFOX} "$@"' '${distribution}' "$@"\n`);
  fs.chmodSync(wrapper, 0o755);
  return wrapper;
}

// ---- Driving the pages -----------------------------------------------------

let signer = null;

async function openPage(browser, site) {
  const page = await browser.newPage();
  page.setDefaultTimeout(TIMEOUT);
  await page.goto(`${origin(site)}/promise.html`);
  await page.waitForFunction(() => window.promisePage);
  return page;
}

const opening = (page) => page.evaluate(() => window.promisePage.opening);

// Starts connect() and waits until the page is told of the browser's prompt.
async function heldByPrompt(page, options = {}) {
  await page.evaluate((o) => window.promisePage.startOpen(o), options);
  await page.waitForFunction(() => window.promisePage.opening.prompts.length > 0 ||
                                   window.promisePage.opening.state !== 'pending');
  const held = await opening(page);
  check(held.state === 'pending', `connect() ended without a prompt: ${held.code} ${held.message}`);
  check(/Allow in the browser's prompt/.test(held.prompts[0].text), `the page was told "${held.prompts[0].text}"`);
  return held.prompts[0].ms;
}

async function outcomeOfOpen(page) {
  await page.waitForFunction(() => window.promisePage.opening.state !== 'pending');
  return opening(page);
}

// A signature through sign() on the connected page, the pad signed from
// outside the browser.
async function signThere(page) {
  const before = signer.count('SignCommand accepted');
  const id = await page.evaluate(() => window.promisePage.start('sign', { timeoutMs: 20000 }));
  for (let i = 0; signer.count('SignCommand accepted') === before; i++) {
    check(i < 200, 'the pad never started');
    await new Promise((r) => setTimeout(r, 50));
  }
  signer.draw();
  signer.send({ button: 'OK' });
  await page.waitForFunction((n) => window.promisePage.outcome(n).state !== 'pending', id);
  const result = await page.evaluate((n) => window.promisePage.outcome(n), id);
  check(result.state === 'resolved', `sign() ${result.state}: ${result.code} ${result.message}`);
  check(result.type === 'image/png' && result.width === 600 && result.height === 355,
        `sign() gave ${result.type} ${result.width} x ${result.height}`);
  await page.evaluate(() => window.promisePage.pad.close());
  return result.ms;
}

// ---- The cases -------------------------------------------------------------

const cases = [
  ['check() says prompt/null; connect() tells the page, connects once granted, and sign() resolves',
    'plain', async (browser) => {
      const page = await openPage(browser, 'granted');
      const found = await page.evaluate(() => window.promisePage.check());
      check(found.running === null && found.access === 'prompt', `check() gave ${JSON.stringify(found)}`);
      const toldAfter = await heldByPrompt(page);
      await browser.setPermission(origin('granted'), 'granted');
      const opened = await outcomeOfOpen(page);
      check(opened.connected, `connect() after the grant: ${opened.code} ${opened.message}`);
      const signed = await signThere(page);
      await page.close();
      return `check() null/prompt in ${found.ms.toFixed(0)} ms; told in ${toldAfter.toFixed(0)} ms; ` +
             `connected ${opened.ms.toFixed(0)} ms after connect(); signed in ${signed.toFixed(0)} ms`;
    }],
  ['a public https page under its own name: check() says prompt/null without a probe; granted, it signs',
    'plain', async (browser) => {
      const page = await openPage(browser, 'shop');
      const found = await page.evaluate(() => window.promisePage.check());
      check(found.running === null && found.access === 'prompt' && found.ms < 500,
            `check() gave ${JSON.stringify(found)}`);
      const toldAfter = await heldByPrompt(page);
      await browser.setPermission(origin('shop'), 'granted');
      const opened = await outcomeOfOpen(page);
      check(opened.connected, `connect() after the grant: ${opened.code} ${opened.message}`);
      const signed = await signThere(page);
      await page.close();
      return `check() null/prompt in ${found.ms.toFixed(0)} ms; told in ${toldAfter.toFixed(0)} ms; ` +
             `connected ${opened.ms.toFixed(0)} ms after connect(); signed in ${signed.toFixed(0)} ms`;
    }],
  ['denied while the prompt waits: connect() rejects with "blocked"',
    'plain', async (browser) => {
      const page = await openPage(browser, 'denied');
      const toldAfter = await heldByPrompt(page);
      await browser.setPermission(origin('denied'), 'denied');
      const refused = await outcomeOfOpen(page);
      check(!refused.connected && refused.isPenmoraError && refused.code === 'blocked',
            `connect() gave ${refused.code}: ${refused.message}`);
      check(/site settings/.test(refused.message) && /SkipDomains/.test(refused.message), refused.message);
      await page.close();
      return `told in ${toldAfter.toFixed(0)} ms; blocked ${refused.ms.toFixed(0)} ms after connect()`;
    }],
  ['nobody answers within promptTimeoutMs: connect() rejects with "blocked" after it',
    'plain', async (browser) => {
      const page = await openPage(browser, 'unanswered');
      const toldAfter = await heldByPrompt(page, { promptTimeoutMs: 1500 });
      const refused = await outcomeOfOpen(page);
      check(refused.code === 'blocked' && /nobody answered/.test(refused.message),
            `connect() gave ${refused.code}: ${refused.message}`);
      check(refused.ms >= 1500 && refused.ms < 5000, `blocked after ${refused.ms} ms`);
      await page.close();
      return `told in ${toldAfter.toFixed(0)} ms; blocked after ${refused.ms.toFixed(0)} ms`;
    }],
  ['the policy that install-browser-policy.sh writes lets the page sign without a prompt',
    'policy', async (browser) => {
      const page = await openPage(browser, 'policy');
      const opened = await page.evaluate(() => window.promisePage.tryOpen());
      check(opened.connected, `connect() failed: ${opened.code} ${opened.message}`);
      const signed = await signThere(page);
      await page.close();
      return `connected in ${opened.ms.toFixed(0)} ms; signed in ${signed.toFixed(0)} ms`;
    }],
];

// ---- The run ---------------------------------------------------------------

async function main() {
  fs.mkdirSync(outDir, { recursive: true });
  const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'penmora-prompt-'));
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
    const certificate = makeCertificate(scratch, [SHOP]);
    for (const site of [...SITES, 'shop']) {
      const server = site === 'shop' ? https.createServer(certificate, serve) : http.createServer(serve);
      await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
      servers.push(server);
      ports[site] = server.address().port;
    }
    await startDemoTrusting(scratch, [origin('shop')]);
    signer = makeSigner((url) => new PythonWebSocket(url));
    await signer.connect();
    ({ passed, failed } = await runCases(cases, browsers, async (kind) => {
      if (kind === 'policy' && process.getuid && process.getuid() !== 0) {
        throw new Error('the policy case needs root, for a private mount namespace');
      }
      return launchBrowser('firefox', {
        webDir, profile: path.join(scratch, `profile-${kind}`), prefs: prefs(),
        executablePath: kind === 'policy' ? policyFirefox(scratch) : undefined,
      });
    }));
  } catch (e) {
    failed = cases.length - passed;
    console.log(`FAILED  ${e.message.split('\n')[0]}`);
  } finally {
    failed += await endRun({ browsers, signer, servers, scratch });
  }
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
}

if (LAUNCHER.length > 0) console.log(`the demo runs through ${LAUNCHER.join(' ')}`);
main();
