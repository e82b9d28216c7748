import assert from 'node:assert/strict';
import { randomBytes } from 'node:crypto';
import { test } from 'node:test';

import { bridgeOn, livePhone, other, readAll, robot, world } from './support/sim.js';

test('two live phones each echo 1 MB both ways at once, byte for byte and apart', { timeout: 60_000 }, async (t) => {
  const phones = { [robot]: livePhone(t), [other]: livePhone(t) };
  const { bridge, unanswered } = await bridgeOn(
    t,
    world(Object.fromEntries(Object.entries(phones).map(([addr, p]) => [addr, [`phone live ${p.path}`]]))),
  );
  const exchange = async (addr) => {
    const conn = await bridge.connect(addr);
    const socket = await phones[addr].next();
    const atPhone = [];
    socket.on('data', (chunk) => atPhone.push(chunk));
    socket.pipe(socket); // the phone echoes as it reads
    const sent = randomBytes(1 << 20);
    const echoed = [];
    let got = 0;
    conn.write(sent);
    for await (const chunk of conn) {
      echoed.push(chunk);
      got += chunk.length;
      if (got >= sent.length) break; // leaving the loop disconnects
    }
    assert.ok(Buffer.concat(atPhone).equals(sent), `${addr}: the phone's bytes`);
    assert.ok(Buffer.concat(echoed).equals(sent), `${addr}: the echo`);
  };
  await Promise.all([exchange(robot), exchange(other)]);
  assert.deepEqual(unanswered, []);
});

test('the live phone closing its socket ends the stream', async (t) => {
  const phone = livePhone(t);
  const { bridge } = await bridgeOn(t, world({ [robot]: [`phone live ${phone.path}`] }));
  const conn = await bridge.connect(robot);
  const socket = await phone.next();
  socket.end('bye');
  assert.equal((await readAll(conn)).toString(), 'bye');
  assert.equal(conn.closeCode, 'PHONE_CLOSED');
});
