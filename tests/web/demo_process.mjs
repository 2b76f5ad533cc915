// The demo under test, as the browser tests start and stop it: a
// penmora-demo (through PENMORA_LAUNCHER, Wine, for a Windows build) whose
// output goes to a file, found listening on its ports, and ended with its
// exit status and any sanitizer report counted as problems.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';

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
export const LAUNCHER = (process.env.PENMORA_LAUNCHER || '').split(' ').filter((part) => part !== '');

export function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ host: '127.0.0.1', port }, () => { socket.destroy(); resolve(true); });
    socket.on('error', () => resolve(false));
  });
}

async function waitForPorts(demo) {
  for (let i = 0; !(await accepts(10002)); i++) {
    if (demo.failure) return demo.failure;
    if (demo.exitCode !== null) return `penmora-demo ended with ${demo.exitCode} (is another instance running?)`;
    if (i > 600) return 'penmora-demo did not open port 10002';
    await new Promise((r) => setTimeout(r, 100));
  }
  return (await accepts(10001)) ? null : 'penmora-demo does not listen on port 10001';
}

export async function waitForDemo({ process: demo }) {
  if (LAUNCHER.length > 0) return waitForPorts(demo);
  for (let i = 0; !listensOn(demo.pid, 10002); i++) {
    if (demo.failure) return demo.failure;
    if (demo.exitCode !== null) return `penmora-demo ended with ${demo.exitCode} (is another instance running?)`;
    if (i > 600) return 'penmora-demo did not open port 10002';
    await new Promise((r) => setTimeout(r, 100));
  }
  if (!listensOn(demo.pid, 10001)) return 'penmora-demo does not listen on port 10001: another program holds it';
  return null;
}

// The demo running now, and what the demos that ended left wrong.
// `path`, `outDir` and `env` are set by the test before the first start.
// `args` are the demo's arguments (a test that plays IT passes
// --trust-folder with its lists).
export const demos = { path: null, outDir: null, current: null, env: null, args: [], started: 0, problems: [] };

export function startDemo() {
  demos.started++;
  const name = demos.started === 1 ? 'penmora-demo.out' : `penmora-demo-${demos.started}.out`;
  const out = path.join(demos.outDir, name);
  const output = fs.openSync(out, 'w');
  const command = [...LAUNCHER, demos.path, ...demos.args];
  const child = spawn(command[0], command.slice(1), { stdio: ['ignore', output, output], env: demos.env });
  fs.closeSync(output);  // the demo has its own copy
  child.on('error', (e) => { child.failure = `cannot start ${demos.path}: ${e.message}`; });
  demos.current = { process: child, out };
  return demos.current;
}

// Ends the demo. An exit status other than 0 is a problem, and so is a
// sanitizer report: sanitizer builds report a race or a memory fault without
// ending the demo.
export async function stopDemo() {
  const { process: demo, out } = demos.current;
  demos.current = null;
  if (demo.failure) {
    demos.problems.push(demo.failure);
    return;
  }
  // Wine hands SIGINT to the program as Ctrl+C; SIGTERM would end Wine itself.
  demo.kill(LAUNCHER.length > 0 ? 'SIGINT' : 'SIGTERM');
  const code = await new Promise((resolve) => {
    if (demo.exitCode !== null || demo.signalCode !== null) resolve(demo.exitCode ?? demo.signalCode);
    else demo.on('exit', (c, signal) => resolve(c ?? signal));
  });
  if (code !== 0) demos.problems.push(`penmora-demo ended with ${code}`);
  const lines = fs.readFileSync(out, 'utf8').split('\n');
  const first = lines.findIndex((line) => /WARNING: ThreadSanitizer|ERROR: AddressSanitizer|runtime error:/.test(line));
  if (first >= 0) {
    demos.problems.push(`penmora-demo reported a sanitizer finding:\n${lines.slice(first, first + 60).join('\n')}`);
  }
}

// Starts the demo with IT's list of allowed origins in a folder of
// `scratch`: the test's sites play public sites that IT allowed to use the
// pad (the browser still asks its own question before they reach this
// computer). Throws when the demo does not come up.
export async function startDemoTrusting(scratch, origins) {
  const trust = path.join(scratch, 'trust');
  fs.mkdirSync(trust, { recursive: true });
  fs.writeFileSync(path.join(trust, 'allowed-origins'), origins.map((origin) => `${origin}\n`).join(''));
  demos.args = ['--trust-folder', trust];
  startDemo();
  const problem = await waitForDemo(demos.current);
  if (problem) throw new Error(problem);
}

// Runs each case [name, kind, run] with the browser of its kind, made by
// `launch(kind)` at its first use and kept in `browsers`; prints each
// outcome with its time. Returns the counts.
export async function runCases(cases, browsers, launch) {
  let passed = 0;
  let failed = 0;
  for (const [name, kind, run] of cases) {
    const started = Date.now();
    try {
      if (!browsers[kind]) browsers[kind] = await launch(kind);
      const outcome = await run(browsers[kind]);
      passed++;
      console.log(`ok      ${name}\n        ${outcome} (${Date.now() - started} ms in all)`);
    } catch (e) {
      failed++;
      console.log(`FAILED  ${name}\n        ${e.message.split('\n')[0]}`);
    }
  }
  return { passed, failed };
}

// Ends a browser test's run: the demo first, so that nothing that fails
// after it can leave it running, then the browsers, the signer, the sites'
// servers and the scratch folder. Returns the number of problems the demos
// left (each printed).
export async function endRun({ browsers, signer, servers, scratch }) {
  if (demos.current) await stopDemo();
  for (const browser of Object.values(browsers)) await browser.close().catch(() => {});
  if (signer) signer.close();
  for (const problem of demos.problems) console.log(problem);
  for (const server of servers) {
    server.closeAllConnections();
    server.close();
  }
  fs.rmSync(scratch, { recursive: true, force: true });
  return demos.problems.length;
}
