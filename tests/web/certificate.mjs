// A self-signed certificate for the test sites' names, made with openssl for
// one run only, for the https servers of the browser tests.
import { spawnSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';

// Writes key.pem and cert.pem into `folder`; resolves with { key, cert } for
// https.createServer. The first name is the subject's.
export function makeCertificate(folder, names) {
  const key = path.join(folder, 'key.pem');
  const cert = path.join(folder, 'cert.pem');
  const made = spawnSync('openssl', ['req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '1',
    '-subj', `/CN=${names[0]}`, '-addext', `subjectAltName=${names.map((name) => `DNS:${name}`).join(',')}`,
    '-keyout', key, '-out', cert], { encoding: 'utf8' });
  if (made.status !== 0) throw new Error(`openssl could not make a certificate: ${made.stderr || made.error}`);
  return { key: fs.readFileSync(key), cert: fs.readFileSync(cert) };
}
