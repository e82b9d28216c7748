// The real simulated bridge, on worlds the tests write.
import { mkdtempSync, rmSync } from 'node:fs';
import { createServer } from 'node:net';
import { tmpdir } from 'node:os';
import { dirname, join, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

import { start } from '../../index.js';

const here = dirname(fileURLToPath(import.meta.url));
export const exe =
  process.env.QUINTEL_BT_EXE ?? resolve(here, '../../../../build/quintel-bt-sim');

export const robot = 'A4:50:46:12:34:56';
export const other = '00:1A:7D:DA:71:13';

// A world with fast inquiries and the given device blocks: { addr: ['key value', ...] }.
export function world(devices, top = []) {
  const lines = ['adapter present', 'inquiry-unit-ms 20', ...top];
  for (const [addr, keys] of Object.entries(devices)) {
    lines.push(`device ${addr}`, ...keys.map((k) => `  ${k}`));
  }
  return `${lines.join('\n')}\n`;
}

// Starts the bridge on a world text; collects its log and unanswered events. Closed after the
// test.
export async function bridgeOn(t, worldText, options = {}) {
  const log = [];
  const unanswered = [];
  const bridge = await start({
    exe,
    worldText,
    onLog: (line) => log.push(line),
    onEvent: (event) => unanswered.push(event),
    ...options,
  });
  t.after(() => bridge.close());
  return { bridge, log, unanswered };
}

export function tempDir(t) {
  const dir = mkdtempSync(join(tmpdir(), 'quintel-bt-test-'));
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// Listens where a world's `phone live PATH` connects; resolves each accepted socket in turn.
export function livePhone(t) {
  const path = join(tempDir(t), 'phone.sock');
  const accepted = [];
  const server = createServer((socket) => accepted.push(socket));
  server.listen(path);
  t.after(() => server.close());
  const next = async () => {
    while (!accepted.length) await new Promise((r) => setTimeout(r, 5));
    return accepted.shift();
  };
  return { path, next };
}

// Listens where a world's `control PATH` connects; send(line) resolves with the model's answer.
export function controlChannel(t) {
  const path = join(tempDir(t), 'control.sock');
  let socket = null;
  let buffered = '';
  const waiting = [];
  const server = createServer((s) => {
    socket = s;
    s.setEncoding('utf8');
    s.on('data', (text) => {
      buffered += text;
      for (let at = buffered.indexOf('\n'); at >= 0; at = buffered.indexOf('\n')) {
        waiting.shift()?.(buffered.slice(0, at));
        buffered = buffered.slice(at + 1);
      }
    });
  });
  server.listen(path);
  t.after(() => server.close());
  const send = (line) =>
    new Promise((resolve) => {
      waiting.push(resolve);
      socket.write(`${line}\n`);
    });
  return { path, send };
}

export async function readAll(stream) {
  const chunks = [];
  for await (const chunk of stream) chunks.push(chunk);
  return Buffer.concat(chunks);
}

export function sleep(ms) {
  return new Promise((r) => setTimeout(r, ms));
}

// Standard error and output are separate pipes: a log line can arrive after a later event.
export async function until(condition, what = 'the condition', ms = 5000) {
  const deadline = Date.now() + ms;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await sleep(5);
  }
}
