import assert from 'node:assert/strict';
import { test } from 'node:test';

import { bridgeOn, other, robot, world } from './support/sim.js';

const twoDevices = world({
  [robot]: ['name "Robot \\"R2\\" \\\\ я"', 'paired yes'],
  [other]: ['name "Laptop"'],
  '11:22:33:44:55:66': ['name "Silent"', 'heard 0'],
});

async function collect(iterable) {
  const found = [];
  for await (const device of iterable) found.push(device);
  return found;
}

test('a scan yields the devices the inquiry hears, then ends at scan-done', async (t) => {
  const { bridge } = await bridgeOn(t, twoDevices);
  assert.deepEqual(await collect(bridge.scan({ seconds: 1 })), [
    { addr: robot, name: 'Robot "R2" \\ я', paired: true },
    { addr: other, name: 'Laptop', paired: false },
  ]);
  const { bridge: empty } = await bridgeOn(t, world({}));
  assert.deepEqual(await collect(empty.scan({ seconds: 1 })), []);
});

test('a scan left early or aborted leaves the next scan its own devices', async (t) => {
  const { bridge, unanswered } = await bridgeOn(t, twoDevices);
  for await (const device of bridge.scan({ seconds: 1 })) {
    assert.equal(device.addr, robot);
    break;
  }
  const aborted = collect(bridge.scan({ seconds: 1, signal: AbortSignal.timeout(1) }));
  await assert.rejects(aborted, { name: 'TimeoutError' });
  assert.deepEqual((await collect(bridge.scan({ seconds: 1 }))).map((d) => d.addr), [robot, other]);
  // What the abandoned scans still heard went to the event hook, none to the last scan.
  const devices = unanswered.filter((e) => e.t === 'device').map((e) => e.addr);
  assert.ok(devices.includes(other), JSON.stringify(unanswered));
  assert.ok(unanswered.some((e) => e.t === 'scan-done'));
});
