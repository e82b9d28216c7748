import assert from 'node:assert/strict';
import { once } from 'node:events';
import { readFileSync } from 'node:fs';
import { test } from 'node:test';

import { bridgeOn, livePhone, robot, sleep, world } from './support/sim.js';

// The phone takes up to `perTick` bytes, then reads nothing for `ms`. Resolves with the count
// at the end of its stream.
function readSlowly(socket, perTick, ms) {
  let got = 0;
  let tick = 0;
  socket.on('data', (chunk) => {
    got += chunk.length;
    tick += chunk.length;
    if (tick < perTick) return;
    tick = 0;
    socket.pause();
    setTimeout(() => socket.resume(), ms);
  });
  return new Promise((resolve) => socket.on('end', () => resolve(got)));
}

function peakRss(pid) {
  const status = readFileSync(`/proc/${pid}/status`, 'utf8');
  return Number(/VmHWM:\s+(\d+) kB/.exec(status)[1]) * 1024;
}

test('writes complete only once stored; end() then close() delivers them all', { timeout: 30_000 }, async (t) => {
  const phone = livePhone(t);
  const { bridge } = await bridgeOn(t, world({ [robot]: [`phone live ${phone.path}`] }));
  const conn = await bridge.connect(robot);
  const socket = await phone.next();
  socket.pause(); // the phone reads nothing yet
  const bytes = Buffer.alloc(3 << 20, 1);
  let stored = false;
  conn.write(bytes, () => (stored = true));
  conn.end();
  await sleep(300);
  assert.equal(stored, false);
  const received = [];
  socket.on('data', (chunk) => received.push(chunk));
  const phoneEnded = new Promise((resolve) => socket.on('end', resolve));
  socket.resume();
  assert.equal(await bridge.close(), 0);
  await phoneEnded;
  assert.equal(Buffer.concat(received).length, bytes.length);
  assert.equal(stored, true);
  assert.equal(conn.closeCode, 'HOST_CLOSED');
});

test('100 MB to a phone that reads slowly: bounded memory on both sides, never BUSY', { timeout: 120_000 }, async (t) => {
  const phone = livePhone(t);
  const { bridge, unanswered } = await bridgeOn(t, world({ [robot]: [`phone live ${phone.path}`] }));
  const conn = await bridge.connect(robot);
  conn.on('error', assert.fail);
  const atPhone = readSlowly(await phone.next(), 256 << 10, 20);
  const total = 100 << 20;
  const piece = Buffer.alloc(64 << 10, 7);
  let clientPeak = 0;
  const sample = setInterval(() => {
    const m = process.memoryUsage();
    clientPeak = Math.max(clientPeak, m.heapUsed + m.arrayBuffers);
  }, 50);
  const began = Date.now();
  try {
    for (let at = 0; at < total; at += piece.length) {
      if (!conn.write(piece)) await new Promise((resolve) => conn.once('drain', resolve));
    }
    await new Promise((resolve) => conn.end(resolve));
  } finally {
    clearInterval(sample);
  }
  const seconds = (Date.now() - began) / 1000;
  assert.equal(await atPhone, total);
  const bridgePeak = peakRss(bridge.pid);
  const mb = (n) => (n / 2 ** 20).toFixed(1);
  t.diagnostic(`100 MB in ${seconds.toFixed(1)} s; client heap+buffers peak ${mb(clientPeak)} MiB, bridge peak RSS ${mb(bridgePeak)} MiB`);
  // Loose: what unbounded buffering of 100 MB would break by far.
  assert.ok(clientPeak < 64 << 20, `client ${mb(clientPeak)} MiB`);
  assert.ok(bridgePeak < 64 << 20, `bridge ${mb(bridgePeak)} MiB`);
  assert.deepEqual(unanswered, []);
});

test('the phone closing under unstored writes: its last bytes are read, then the writes fail', { timeout: 30_000 }, async (t) => {
  const phone = livePhone(t);
  const { bridge } = await bridgeOn(t, world({ [robot]: [`phone live ${phone.path}`] }));
  const conn = await bridge.connect(robot);
  const socket = await phone.next();
  socket.pause();
  let writeError = null;
  conn.write(Buffer.alloc(3 << 20), (error) => (writeError = error));
  await sleep(100);
  socket.end('bye');
  const received = [];
  conn.on('data', (chunk) => received.push(chunk));
  const [error] = await once(conn, 'error');
  assert.equal(Buffer.concat(received).toString(), 'bye');
  assert.equal(error.code, 'WRITE_FAILED');
  assert.equal(conn.closeCode, 'PHONE_CLOSED');
  await sleep(10);
  assert.equal(writeError, error);
});
