// The npm package of the JavaScript client: its version and license are the
// project's, npm pack puts the module, its types, its README and the project's
// LICENSE in it and nothing else, and
// the tarball installs into a fresh project whose code imports it by name
// (in Node and under tsc, which must find the types through the package).
//
// Usage: node package_test.mjs <web folder> <project version>
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';

const [webArgument, projectVersion] = process.argv.slice(2);
if (!webArgument || !projectVersion) {
  console.error('usage: node package_test.mjs <web folder> <project version>');
  process.exit(2);
}
const webDir = path.resolve(webArgument);
const NPM = process.env.NPM || 'npm';

let tscPath;
try {
  tscPath = createRequire(path.join(webDir, 'package.json')).resolve('typescript/bin/tsc');
} catch (e) {
  console.error(`typescript is not installed in ${webDir}/node_modules: ` +
                'run scripts/setup.sh (it runs "npm ci" in web/).');
  process.exit(1);
}

const scratch = fs.mkdtempSync(path.join(os.tmpdir(), 'penmora-package-'));
// npm's cache and settings stay inside the scratch folder, and nothing is fetched.
const env = {
  ...process.env,
  npm_config_cache: path.join(scratch, 'cache'),
  npm_config_userconfig: path.join(scratch, 'npmrc'),
  npm_config_offline: 'true',
  npm_config_audit: 'false',
  npm_config_fund: 'false',
  npm_config_update_notifier: 'false',
};

function run(command, args, cwd) {
  const result = spawnSync(command, args, { cwd, env, encoding: 'utf8' });
  if (result.error) throw new Error(`${command}: ${result.error.message}`);
  if (result.status !== 0) {
    throw new Error(`${command} ${args.join(' ')} ended with ${result.status}: ` +
                    `${(result.stderr || result.stdout).trim().split('\n').slice(-5).join(' | ')}`);
  }
  return result.stdout;
}

function check(condition, what) {
  if (!condition) throw new Error(what);
}

const packageJson = JSON.parse(fs.readFileSync(path.join(webDir, 'package.json'), 'utf8'));
const projectLicense = fs.readFileSync(path.join(webDir, '..', 'LICENSE'), 'utf8');
const consumer = path.join(scratch, 'consumer');
let tarball = '(not packed)';

const steps = [
  ['the package has the project\'s version', () => {
    check(packageJson.version === projectVersion,
      `web/package.json says ${packageJson.version}, CMake's project() says ${projectVersion}`);
  }],
  ['the package is under the project\'s license, MIT', () => {
    check(packageJson.license === 'MIT', `web/package.json says "license": "${packageJson.license}"`);
    check(/^MIT License\n/.test(projectLicense) && projectLicense.includes('the Penmora authors'),
      `the project's LICENSE begins "${projectLicense.split('\n')[0]}"`);
  }],
  ['npm pack holds the module, its types, its README and the LICENSE only', () => {
    const [packed] = JSON.parse(run(NPM, ['pack', '--json', '--pack-destination', scratch], webDir));
    const files = packed.files.map((file) => file.path).sort();
    const expected = ['LICENSE', 'README.md', 'package.json', 'penmora.d.ts', 'penmora.js'];
    check(JSON.stringify(files) === JSON.stringify(expected), `packed ${files.join(', ')}`);
    tarball = path.join(scratch, packed.filename);
    check(fs.existsSync(tarball), `no ${tarball}`);
    // The copy made for the tarball does not stay in web/.
    check(!fs.existsSync(path.join(webDir, 'LICENSE')), 'npm pack left a LICENSE in web/');
  }],
  ['the tarball installs without fetching anything', () => {
    fs.mkdirSync(consumer);
    fs.writeFileSync(path.join(consumer, 'package.json'),
      JSON.stringify({ name: 'consumer', private: true, type: 'module' }));
    run(NPM, ['install', '--ignore-scripts', tarball], consumer);
    const installed = path.join(consumer, 'node_modules', packageJson.name);
    check(fs.existsSync(path.join(installed, 'penmora.d.ts')), 'penmora.d.ts not installed');
    const license = fs.readFileSync(path.join(installed, 'LICENSE'), 'utf8');
    check(license === projectLicense, 'the installed LICENSE differs from the project\'s');
  }],
  ['Node imports it by name as an ES module', () => {
    const script = `import { Penmora, PenmoraError, connect, DEFAULT_URL, base64ToBytes }
                      from '${packageJson.name}';
      const e = new PenmoraError('timeout', 'late');
      console.log(JSON.stringify({
        penmora: typeof Penmora.isRunning, connect: typeof connect, url: DEFAULT_URL,
        error: e instanceof Error && e.code, bytes: [...base64ToBytes('YWI')] }));`;
    fs.writeFileSync(path.join(consumer, 'use.mjs'), script);
    const out = JSON.parse(run(process.execPath, ['use.mjs'], consumer));
    const expected = { penmora: 'function', connect: 'function', url: 'ws://127.0.0.1:10001',
                       error: 'timeout', bytes: [97, 98] };
    check(JSON.stringify(out) === JSON.stringify(expected), `got ${JSON.stringify(out)}`);
  }],
  ['without WebSocket, connecting says so instead of "not running"', () => {
    // Node before 22 has no WebSocket; a newer one has its own, hidden here.
    const script = `delete globalThis.WebSocket;
      const { Penmora, PenmoraError, connect } = await import('${packageJson.name}');
      const outcome = (promise) => promise.then((value) => ({ value }),
        (e) => ({ penmoraError: e instanceof PenmoraError, code: e.code, message: e.message }));
      console.log(JSON.stringify([await outcome(connect()), await outcome(Penmora.isRunning()),
                                  await outcome(new Penmora().connect())]));`;
    fs.writeFileSync(path.join(consumer, 'bare.mjs'), script);
    const outcomes = JSON.parse(run(process.execPath, ['bare.mjs'], consumer));
    for (const outcome of outcomes) {
      check(outcome.penmoraError && outcome.code === 'unsupported' &&
            /no WebSocket/.test(outcome.message) && !/not running/.test(outcome.message),
            `got ${JSON.stringify(outcome)}`);
    }
  }],
  ['tsc finds the types through the package', () => {
    fs.writeFileSync(path.join(consumer, 'use.ts'),
      `import { connect, type PenmoraImage } from '${packageJson.name}';
       export async function take(): Promise<number> {
         const pad = await connect(undefined, { reconnect: true });
         const image: PenmoraImage = await pad.sign({ penWidth: 3, timeoutMs: 1000 });
         return image.png.size;
       }
       // @ts-expect-error: a call's options are checked through the package too
       export const wrong = (await connect()).sign({ penWidth: 'wide' });\n`);
    for (const [module, moduleResolution] of [['es2022', 'bundler'], ['nodenext', 'nodenext']]) {
      fs.writeFileSync(path.join(consumer, 'tsconfig.json'), JSON.stringify({
        compilerOptions: { strict: true, noEmit: true, target: 'es2022', module, moduleResolution,
                           lib: ['es2022', 'dom'], types: [] },
        files: ['use.ts'],
      }));
      run(process.execPath, [tscPath, '-p', 'tsconfig.json'], consumer);
    }
  }],
];

let passed = 0;
let failed = 0;
try {
  for (const [name, step] of steps) {
    try {
      step();
      passed++;
      console.log(`ok      ${name}`);
    } catch (e) {
      failed++;
      console.log(`FAILED  ${name}\n        ${e.message}`);
    }
  }
} finally {
  fs.rmSync(scratch, { recursive: true, force: true });
}
console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
