// The type declarations of the JavaScript client: tsc --noEmit over a typed
// example page (which also holds misuses the declarations must refuse), and a
// comparison of what penmora.d.ts declares with what penmora.js has: its
// exports, the members of its classes and the events it raises.
//
// Usage: node typecheck.mjs <web folder>
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { createRequire } from 'node:module';
import { pathToFileURL } from 'node:url';

const here = path.dirname(new URL(import.meta.url).pathname);
const webDir = path.resolve(process.argv[2] || path.join(here, '../../web'));

let ts;
let tscPath;
try {
  const require = createRequire(path.join(webDir, 'package.json'));
  ts = require('typescript');
  tscPath = require.resolve('typescript/bin/tsc');
} catch (e) {
  console.error(`typescript is not installed in ${webDir}/node_modules: ` +
                'run scripts/setup.sh (it runs "npm ci" in web/).');
  process.exit(1);
}

let passed = 0;
let failed = 0;
function report(name, problems) {
  if (problems.length === 0) {
    passed++;
    console.log(`ok      ${name}`);
  } else {
    failed++;
    console.log(`FAILED  ${name}`);
    for (const problem of problems) console.log(`        ${problem}`);
  }
}

function difference(a, b) {
  return [...a].filter((x) => !b.has(x)).sort();
}

// Names that one side has and the other lacks, as sentences.
function compare(what, declared, actual) {
  const problems = [];
  const missing = difference(declared, actual);
  const undeclared = difference(actual, declared);
  if (missing.length) problems.push(`${what} declared but not in penmora.js: ${missing.join(', ')}`);
  if (undeclared.length) problems.push(`${what} of penmora.js not declared: ${undeclared.join(', ')}`);
  return problems;
}

// ---- tsc over the typed example -------------------------------------------

// The strictest settings an integrator's project may have, named here as well
// as in tsconfig.json.
const tsc = spawnSync(process.execPath, [tscPath, '--strict', '--exactOptionalPropertyTypes', '--noEmit',
                                         '-p', path.join(here, 'tsconfig.json')],
                      { encoding: 'utf8' });
report(`tsc ${ts.version} --strict --exactOptionalPropertyTypes --noEmit over the typed example`,
       tsc.status === 0 ? [] : (tsc.stdout + tsc.stderr).trim().split('\n'));

// ---- The declarations against the module ----------------------------------

const declarationFile = path.join(webDir, 'penmora.d.ts');
const source = ts.createSourceFile(declarationFile, fs.readFileSync(declarationFile, 'utf8'),
                                   ts.ScriptTarget.ES2022, true);
const exported = (node) => (ts.getCombinedModifierFlags(node) & ts.ModifierFlags.Export) !== 0;
const declaredValues = new Set();
const declaredClasses = new Map();  // name -> Set of member names
let declaredEvents = new Set();
for (const statement of source.statements) {
  if (ts.isVariableStatement(statement) && exported(statement)) {
    for (const declaration of statement.declarationList.declarations) {
      declaredValues.add(declaration.name.getText(source));
    }
  } else if ((ts.isFunctionDeclaration(statement) || ts.isClassDeclaration(statement)) &&
             exported(statement) && statement.name) {
    declaredValues.add(statement.name.text);
    if (ts.isClassDeclaration(statement)) {
      const members = new Set();
      for (const member of statement.members) {
        // "#private" marks private fields, which are no part of the interface.
        if (member.name && !ts.isPrivateIdentifier(member.name)) members.add(member.name.getText(source));
      }
      declaredClasses.set(statement.name.text, members);
    }
  } else if (ts.isInterfaceDeclaration(statement) && statement.name.text === 'PenmoraEvents') {
    declaredEvents = new Set(statement.members.map((member) => member.name.getText(source)));
  }
}

const client = await import(pathToFileURL(path.join(webDir, 'penmora.js')).href);
report('penmora.d.ts declares every export of penmora.js',
       compare('exports', declaredValues, new Set(Object.keys(client))));

// Public members at run time: own properties of an instance, accessors and
// methods of the prototype chain below Error or Object, and statics.
function runtimeMembers(Class, instance) {
  const names = new Set(Object.getOwnPropertyNames(instance));
  for (let p = Object.getPrototypeOf(instance); p && p !== Object.prototype && p !== Error.prototype;
       p = Object.getPrototypeOf(p)) {
    for (const name of Object.getOwnPropertyNames(p)) names.add(name);
  }
  for (const name of Object.getOwnPropertyNames(Class)) {
    if (!['length', 'name', 'prototype'].includes(name)) names.add(name);
  }
  for (const name of ['constructor', 'stack', 'message']) names.delete(name);
  return names;
}
const samples = {
  Penmora: () => new client.Penmora(),
  PenmoraError: () => new client.PenmoraError('closed', 'sample', { serviceText: 'sample' }),
};
for (const [name, declared] of declaredClasses) {
  const make = samples[name];
  if (!make) {
    report(`members of ${name}`, [`no sample instance of ${name} in typecheck.mjs`]);
    continue;
  }
  declared.delete('constructor');
  report(`penmora.d.ts declares the members of ${name}`,
         compare(`members of ${name}`, declared, runtimeMembers(client[name], make())));
}

// The events penmora.js raises: the ones its message table names and the
// ones it emits by name.
const code = fs.readFileSync(path.join(webDir, 'penmora.js'), 'utf8');
const table = code.match(/const EVENTS = \{([^}]*)\}/);
const events = new Set();
for (const m of (table ? table[1] : '').matchAll(/:\s*'([A-Za-z]+)'/g)) events.add(m[1]);
for (const m of code.matchAll(/\bemit\('([A-Za-z]+)'/g)) events.add(m[1]);
report('penmora.d.ts declares every event of penmora.js',
       table ? compare('events', declaredEvents, events) : ['penmora.js has no EVENTS table']);

console.log(`${passed} passed, ${failed} failed`);
process.exit(failed ? 1 : 0);
