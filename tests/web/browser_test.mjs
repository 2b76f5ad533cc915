// The demo page in a real browser: headless Chromium, driven by Playwright,
// against a running penmora-demo. It connects, signs with the mouse on the
// virtual pad, takes a fingerprint alone and a signature with a fingerprint,
// and checks the images the page shows. Screenshots go to the folder given.
//
// Usage: node browser_test.mjs <penmora-demo> <screenshot folder> <web folder>
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const [demoPath, shotDir, webDir] = process.argv.slice(2);
if (!demoPath || !shotDir || !webDir) {
  console.error('usage: node browser_test.mjs <penmora-demo> <screenshot folder> <web folder>');
  process.exit(2);
}

let chromium;
try {
  ({ chromium } = createRequire(path.join(path.resolve(webDir), 'package.json'))('playwright-core'));
} catch (e) {
  console.error(`playwright-core is not installed in ${webDir}/node_modules: ` +
                'run scripts/setup.sh (it runs "npm ci" in web/).');
  process.exit(1);
}

const BROWSER = '/usr/bin/chromium';
const FLAGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
  '--disable-background-networking', '--disable-component-update', '--disable-sync'];
const PAGE = 'http://127.0.0.1:10002/';
const TIMEOUT = 30000;

// Socket inodes of the TCP listeners on `port`, and of a process.
function listenerInodes(port) {
  const rows = fs.readFileSync('/proc/net/tcp', 'utf8').trim().split('\n').slice(1);
  return rows.map((line) => line.trim().split(/\s+/))
    .filter((row) => row[3] === '0A' && parseInt(row[1].split(':')[1], 16) === port)
    .map((row) => row[9]);
}

function processSockets(pid) {
  const found = new Set();
  try {
    for (const fd of fs.readdirSync(`/proc/${pid}/fd`)) {
      try {
        const link = fs.readlinkSync(`/proc/${pid}/fd/${fd}`);
        if (link.startsWith('socket:[')) found.add(link.slice(8, -1));
      } catch (e) { /* closed meanwhile */ }
    }
  } catch (e) { /* the process ended */ }
  return found;
}

const listensOn = (pid, port) => listenerInodes(port).some((inode) => processSockets(pid).has(inode));

// Waits until the demo listens on its control port, which it opens after the
// service's ports; then the service's port must be the demo's too, not that
// of another program (a service left running would answer in its place).
// A Windows build runs through PENMORA_LAUNCHER (Wine): its sockets belong to
// the wineserver, so the ports are known to be the demo's only because no
// other program held them before it started.
const LAUNCHER = (process.env.PENMORA_LAUNCHER || '').split(' ').filter((part) => part !== '');

function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port }, () => { socket.destroy(); resolve(true); });
    socket.on('error', () => resolve(false));
  });
}

async function waitForPorts(demo) {
  for (let i = 0; !(await accepts(10002)); i++) {
    if (demo.exitCode !== null) return `penmora-demo ended with ${demo.exitCode} (is another instance running?)`;
    if (i > 600) return 'penmora-demo did not open port 10002';
    await new Promise((r) => setTimeout(r, 100));
  }
  return (await accepts(10001)) ? null : 'penmora-demo does not listen on port 10001';
}

async function waitForDemo(demo) {
  if (LAUNCHER.length > 0) return waitForPorts(demo);
  for (let i = 0; !listensOn(demo.pid, 10002); i++) {
    if (demo.exitCode !== null) return `penmora-demo ended with ${demo.exitCode} (is another instance running?)`;
    if (i > 600) return 'penmora-demo did not open port 10002';
    await new Promise((r) => setTimeout(r, 100));
  }
  if (!listensOn(demo.pid, 10001)) return 'penmora-demo does not listen on port 10001: another program holds it';
  return null;
}

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
      try { await connect('ws://127.0.0.1:9'); } catch (e) { refused = e.message; }
      return { decoded, badLength, refused };
    });
    check(JSON.stringify(result.decoded) === '[[97],[97,98],[97,98,99]]',
      `decoded ${JSON.stringify(result.decoded)}`);
    check(result.badLength.includes('not Base64'), `bad length: "${result.badLength}"`);
    check(result.refused.includes('not running'), `refused connection: "${result.refused}"`);
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

async function main() {
  fs.mkdirSync(shotDir, { recursive: true });
  const output = fs.openSync(path.join(shotDir, 'penmora-demo.out'), 'w');
  const env = { ...process.env };
  for (const name of ['DISPLAY', 'WAYLAND_DISPLAY', 'DBUS_SESSION_BUS_ADDRESS']) delete env[name];
  const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'penmora-browser-'));
  // The service registers itself to start at logon: not the tester's session.
  env.XDG_CONFIG_HOME = path.join(profile, 'service-config');
  if (LAUNCHER.length > 0 && ((await accepts(10001)) || (await accepts(10002)))) {
    console.log('FAILED  the ports are held by another program');
    process.exit(1);
  }
  const command = [...LAUNCHER, demoPath];
  const demo = spawn(command[0], command.slice(1), { stdio: ['ignore', output, output], env });
  let passed = 0;
  let failed = 0;
  let context = null;
  try {
    const problem = await waitForDemo(demo);
    if (problem) throw new Error(problem);
    context = await chromium.launchPersistentContext(path.join(profile, 'browser'), {
      executablePath: BROWSER, headless: true, args: FLAGS, viewport: { width: 1400, height: 1000 },
    });
    const page = context.pages()[0] || (await context.newPage());
    page.setDefaultTimeout(TIMEOUT);
    const problems = [];
    page.on('pageerror', (e) => problems.push(`page error: ${e.message}`));
    for (const [name, step] of steps) {
      try {
        await step(page);
        check(problems.length === 0, problems.join('; '));
        passed++;
        console.log(`ok      ${name}`);
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
    // Wine hands SIGINT to the program as Ctrl+C; SIGTERM would end Wine itself.
    demo.kill(LAUNCHER.length > 0 ? 'SIGINT' : 'SIGTERM');
    const code = await new Promise((resolve) => {
      if (demo.exitCode !== null) resolve(demo.exitCode);
      else demo.on('exit', (c) => resolve(c));
    });
    if (code !== 0) {
      console.log(`penmora-demo ended with ${code}`);
      failed++;
    }
    // Sanitizer builds report a race or a memory fault without ending the
    // demo: such a report fails the test all the same.
    const lines = fs.readFileSync(path.join(shotDir, 'penmora-demo.out'), 'utf8').split('\n');
    const first = lines.findIndex((line) => /WARNING: ThreadSanitizer|ERROR: AddressSanitizer|runtime error:/.test(line));
    if (first >= 0) {
      console.log('penmora-demo reported a sanitizer finding:');
      console.log(lines.slice(first, first + 60).join('\n'));
      failed++;
    }
    fs.rmSync(profile, { recursive: true, force: true });
  }
  console.log(`screenshots in ${shotDir}`);
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed ? 1 : 0);
}

main();
