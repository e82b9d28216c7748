import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { once } from 'node:events';
import { test } from 'node:test';

import { bridgeOn, livePhone, readAll, robot, world } from './support/sim.js';

test('the live phone: 1 MB each way, byte for byte, at the same time', { timeout: 60_000 }, async (t) => {
  const phone = livePhone(t);
  const { bridge } = await bridgeOn(t, world({ [robot]: [`phone live ${phone.path}`] }));
  const toPhone = randomBytes(1 << 20);
  const toHost = randomBytes(1 << 20);

  const conn = await bridge.connect(robot);
  const socket = await phone.next();
  const atPhone = [];
  let phoneGot = 0;
  const phoneEnded = once(socket, 'end');
  const phoneDone = new Promise((resolve, reject) => {
    socket.on('data', (chunk) => {
      atPhone.push(chunk);
      phoneGot += chunk.length;
      if (phoneGot >= toPhone.length) resolve();
    });
    socket.on('end', () => reject(new Error(`the phone's stream ended after ${phoneGot} bytes`)));
  });
  socket.write(toHost);
  conn.write(toPhone);

  const atHost = [];
  let hostGot = 0;
  for await (const chunk of conn) {
    atHost.push(chunk);
    hostGot += chunk.length;
    if (hostGot < toHost.length) continue;
    // Leaving the loop destroys the stream, which drops writes not yet sent: the exchange is
    // over only when the phone has it all.
    await phoneDone;
    break;
  }
  assert.ok(Buffer.concat(atHost).equals(toHost));
  assert.ok(Buffer.concat(atPhone).equals(toPhone));
  // Leaving the loop disconnected: the phone sees its end.
  await phoneEnded;
});

test('the live phone closing its socket ends the stream', async (t) => {
  const phone = livePhone(t);
  const { bridge } = await bridgeOn(t, world({ [robot]: [`phone live ${phone.path}`] }));
  const conn = await bridge.connect(robot);
  const socket = await phone.next();
  socket.end('bye');
  assert.equal((await readAll(conn)).toString(), 'bye');
  assert.equal(conn.closeReason, 'соединение закрыто');
});
