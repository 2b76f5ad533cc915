// A WebSocket for tests that run in Node (version 20 has none of its own):
// python3-websockets in a child process, through the line protocol of
// tests/support/ws_client.py. It has the members signer.js uses: send(),
// close(), and onopen, onerror, onmessage({ data }), onclose.
import { spawn } from 'node:child_process';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

const CLIENT = path.join(path.dirname(fileURLToPath(import.meta.url)), '..', 'support', 'ws_client.py');

export class PythonWebSocket {
  constructor(url) {
    const { hostname, port } = new URL(url);
    this.onopen = this.onerror = this.onmessage = this.onclose = null;
    this.opened = false;
    this.child = spawn(process.env.PENMORA_PYTHON || 'python3', [CLIENT, port, hostname],
                       { stdio: ['pipe', 'pipe', 'inherit'] });
    this.child.on('error', () => this.#call('onerror', {}));
    // A client that could not start (no python3-websockets) says nothing.
    this.child.on('close', () => {
      if (!this.opened) this.#call('onerror', { message: 'the WebSocket client ended' });
      this.#call('onclose', {});
    });
    this.child.stdin.on('error', () => {});  // the client went, which 'close' reports
    let pending = '';
    this.child.stdout.setEncoding('utf8');
    this.child.stdout.on('data', (chunk) => {
      pending += chunk;
      let end;
      while ((end = pending.indexOf('\n')) >= 0) {
        this.#line(pending.slice(0, end));
        pending = pending.slice(end + 1);
      }
    });
  }

  #call(handler, event) {
    if (typeof this[handler] === 'function') this[handler](event);
  }

  #line(line) {
    if (line === 'OK') {
      this.opened = true;
      this.#call('onopen', {});
    }
    else if (line.startsWith('ERR')) this.#call('onerror', { message: line });
    else if (line.startsWith('R ')) this.#call('onmessage', { data: Buffer.from(line.slice(2), 'base64').toString('utf8') });
  }

  send(text) {
    this.child.stdin.write(`S ${Buffer.from(text, 'utf8').toString('base64')}\n`);
  }

  // Ends the client's input: it drops the connection and exits.
  close() {
    this.child.stdin.end();
  }
}
