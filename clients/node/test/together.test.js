import assert from 'node:assert/strict';
import { once } from 'node:events';
import { test } from 'node:test';

import { bridgeOn, other, robot, until, world } from './support/sim.js';

const third = '11:22:33:44:55:66';

test('a scan, two pairs and two connects in flight at once: each answer reaches its own call', async (t) => {
  const { bridge, log, unanswered } = await bridgeOn(
    t,
    world({
      [robot]: ['name "Robot"', 'pin "111111"', 'pair-delay-ms 200', 'connect-delay-ms 150'],
      [other]: ['name "Other"', 'pin "222222"', 'pair-delay-ms 100', 'connect-delay-ms 50'],
      [third]: ['name "Third"', 'pair-status 19', 'pair-delay-ms 150', 'connect refuse 0x8007274D'],
    }),
  );
  const devices = (async () => {
    const found = [];
    for await (const device of bridge.scan({ seconds: 1 })) found.push(device.name);
    return found;
  })();
  const pins = { [robot]: [], [other]: [] };
  const pair = (addr) => bridge.pair(addr, { onPin: (pin) => pins[addr]?.push(pin) });
  const results = await Promise.allSettled([
    devices,
    pair(robot),
    pair(third),
    bridge.connect(robot),
    bridge.connect(third),
    bridge.connect(other),
  ]);
  const [found, paired, refused, first, failed, second] = results;
  assert.deepEqual(found.value, ['Robot', 'Other', 'Third']);
  assert.equal(paired.status, 'fulfilled');
  assert.equal(refused.reason.code, 'PAIRING_REFUSED');
  assert.equal(refused.reason.addr, third);
  assert.deepEqual(pins, { [robot]: ['111111'], [other]: [] });
  assert.equal(failed.reason.code, 'OPEN_FAILED');
  assert.equal(failed.reason.addr, third);
  assert.deepEqual([first.value.addr, second.value.addr], [robot, other]);
  // Everything was under way together: the last connect went out before the first pairing ended.
  await until(() => log.some((l) => l.startsWith('[pair] итог')), 'the first pairing in the log');
  const asked = log.indexOf(`[connect] запрошено соединение с ${other}`);
  assert.ok(asked >= 0 && asked < log.findIndex((l) => l.startsWith('[pair] итог')), log.join('\n'));

  for (const conn of [first.value, second.value]) {
    conn.write(`to ${conn.addr}`);
    assert.equal((await once(conn, 'data'))[0].toString(), `to ${conn.addr}`);
    conn.end();
  }
  assert.deepEqual(unanswered, []);
});
