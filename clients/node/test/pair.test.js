import assert from 'node:assert/strict';
import { test } from 'node:test';

import { bridgeOn, other, robot, until, world } from './support/sim.js';

const denied = 'message 0x80070005 "Access is denied.\\r\\n"';

// Each outcome of a pairing, through a world that produces it.
const outcomes = [
  { name: 'PIN comparison', keys: ['pin "482916"'], pins: ['482916'] },
  { name: 'plain confirmation', keys: ['pairing confirm'], pins: [] },
  { name: 'already paired', keys: ['paired yes'], pins: [] },
  { name: 'status AlreadyPaired', keys: ['pair-status 3'], pins: ['123456'] },
  {
    name: 'refused with status 19',
    keys: ['pair-status 19'],
    pins: ['123456'],
    error: {
      code: 'PAIRING_REFUSED',
      status: 19,
      text: 'сопряжение не состоялось (код 19) — подтвердили ли на телефоне?',
    },
  },
  {
    name: 'platform error',
    keys: ['pair-error 0x80070005'],
    top: [denied],
    pins: ['123456'],
    error: {
      code: 'PLATFORM_ERROR',
      name: 'PlatformError',
      hresult: 0x80070005,
      message: 'Access is denied.',
      text: 'Access is denied. (0x80070005)',
    },
  },
  { name: 'unknown to the platform', keys: ['lookup unknown'], pins: [], error: { code: 'NOT_VISIBLE' } },
  {
    name: 'lookup fails',
    keys: ['lookup error 0x80070005'],
    pins: [],
    error: {
      code: 'NOT_VISIBLE',
      name: 'NotVisible',
      text: 'Windows не видит этот телефон — включи видимость на роботе и найди заново',
    },
  },
];

for (const { name, keys, top = [], pins, error } of outcomes) {
  test(`pair: ${name}`, async (t) => {
    const { bridge, unanswered } = await bridgeOn(t, world({ [robot]: keys }, top));
    const seen = [];
    const paired = bridge.pair(robot, { onPin: (pin) => seen.push(pin) });
    if (error) await assert.rejects(paired, error);
    else assert.equal(await paired, undefined);
    assert.deepEqual(seen, pins);
    assert.deepEqual(unanswered, []);
  });
}

// Both devices pair slowly with their own PINs.
const twoPhones = world({
  [robot]: ['pin "111111"', 'pair-delay-ms 300'],
  [other]: ['pin "222222"', 'pair-delay-ms 300'],
});

test('two pairs at once are under way together, each hearing its own PIN', async (t) => {
  const { bridge, log } = await bridgeOn(t, twoPhones);
  const pins = { [robot]: [], [other]: [] };
  const pair = (addr) => bridge.pair(addr, { onPin: (pin) => pins[addr].push(pin) });
  await Promise.all([pair(robot), pair(other)]);
  assert.deepEqual(pins, { [robot]: ['111111'], [other]: ['222222'] });
  // The second pair command went out before the first result.
  await until(() => log.some((l) => l.startsWith('[pair] итог')), 'a result in the log');
  const firstResult = log.findIndex((l) => l.startsWith('[pair] итог'));
  const secondAsked = log.indexOf(`[pair] запрошено сопряжение с ${other}`);
  assert.ok(secondAsked >= 0 && secondAsked < firstResult, log.join('\n'));
});

test('a pair given up on keeps its late answers from the next pair', async (t) => {
  const { bridge, unanswered, log } = await bridgeOn(t, twoPhones);
  await assert.rejects(
    bridge.pair(robot, { onPin: assert.fail, signal: AbortSignal.timeout(50) }),
    { name: 'TimeoutError' },
  );
  // Aborted before it went out: never sent at all.
  await assert.rejects(bridge.pair(other, { signal: AbortSignal.abort() }), { name: 'AbortError' });

  const pins = [];
  await bridge.pair(other, { onPin: (pin) => pins.push(pin) });
  assert.deepEqual(pins, ['222222']);
  assert.deepEqual(
    unanswered.map((e) => e.t),
    ['pairing-code', 'pair-result'],
  );
  assert.equal(unanswered[0].code, '111111');
  assert.equal(log.filter((l) => l.startsWith('[pair] запрошено')).length, 2);
});

test('an async onPin is awaited; a failing one fails the pair and keeps the client usable', async (t) => {
  const { bridge, unanswered } = await bridgeOn(t, twoPhones);
  await assert.rejects(
    bridge.pair(robot, {
      onPin: () => {
        throw new Error('no screen');
      },
    }),
    { message: 'no screen' },
  );
  let shown = false;
  await bridge.pair(other, {
    onPin: async () => {
      await new Promise((r) => setTimeout(r, 200));
      shown = true;
    },
  });
  assert.equal(shown, true);
  assert.deepEqual(unanswered.map((e) => `${e.t} ${e.addr}`), [`pair-result ${robot}`]);
});
