import assert from 'node:assert/strict';
import { once } from 'node:events';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { start } from '../index.js';
import { bridgeOn, exe, other, readAll, robot, sleep, tempDir, until, world } from './support/sim.js';

test('start: ready gives the backend, the log reaches onLog, a world file is read', async (t) => {
  const file = join(tempDir(t), 'world.txt');
  writeFileSync(file, world({ [other]: ['name "From a file"'] }));
  const log = [];
  const bridge = await start({ exe, world: file, onLog: (line) => log.push(line) });
  t.after(() => bridge.close());
  assert.equal(bridge.backend, 'windows');
  const names = [];
  for await (const device of bridge.scan({ seconds: 1 })) names.push(device.name);
  assert.deepEqual(names, ['From a file']);
  await until(() => log.length > 0, 'the log');
  assert.equal(log[0], '[start] посредник запущен');
});

test('start fails: a bad world and a missing executable', async () => {
  await assert.rejects(start({ exe, worldText: 'adapter present\nbogus-key 1\n' }), (error) => {
    assert.equal(error.code, 'BRIDGE_EXITED');
    assert.equal(error.exitCode, 2);
    assert.match(error.message, /line 2: unknown key: bogus-key/);
    return true;
  });
  await assert.rejects(start({ exe: '/nonexistent/quintel-bt-sim' }), { code: 'ENOENT' });
});

test('a connect given up on: its late success or failure is kept from the next connect', async (t) => {
  const { bridge, unanswered, log } = await bridgeOn(
    t,
    world({
      [robot]: ['connect refuse 0x8007274D', 'connect-delay-ms 300'],
      [other]: ['connect-delay-ms 300'],
    }),
  );
  // Given up on once the bridge has the command.
  const abandon = async (addr) => {
    const controller = new AbortController();
    const call = bridge.connect(addr, { signal: controller.signal });
    await until(() => log.includes(`[connect] запрошено соединение с ${addr}`), 'the connect');
    controller.abort();
    await assert.rejects(call, { name: 'AbortError' });
  };
  // Late success: the client disconnects it.
  await abandon(other);
  // Late failure: if matched to the next connect, it would end that connection.
  await abandon(robot);
  const conn = await bridge.connect(other);
  conn.write('ping');
  assert.equal((await once(conn, 'data'))[0].toString(), 'ping');
  assert.deepEqual(
    unanswered.map((e) => `${e.t} ${e.reason ?? ''}`.trim()),
    ['connected', 'closed соединение закрыто', 'error', 'closed не удалось открыть соединение'],
  );
  conn.destroy();
});

test('close() ends an open connection quietly; a bridge that dies fails what waits', async (t) => {
  const { bridge } = await bridgeOn(t, world({ [robot]: ['phone silent'] }));
  const conn = await bridge.connect(robot);
  conn.on('error', assert.fail);
  const read = readAll(conn);
  assert.equal(await bridge.close(), 0);
  assert.equal((await read).length, 0);
  await assert.rejects(bridge.pair(robot), { code: 'BRIDGE_EXITED' });

  const { bridge: dying } = await bridgeOn(
    t,
    world({ [robot]: ['pair-delay-ms 5000', 'phone silent'], [other]: ['phone silent'] }),
  );
  const open = await dying.connect(other);
  const pairing = dying.pair(robot);
  const lost = once(open, 'error');
  await sleep(50);
  process.kill(dying.pid, 'SIGKILL');
  await assert.rejects(pairing, { code: 'BRIDGE_EXITED', signal: 'SIGKILL' });
  assert.equal((await lost)[0].code, 'BRIDGE_EXITED');
});

test('close() with an unread, full connection still ends the bridge', async (t) => {
  const { bridge } = await bridgeOn(t, world({ [robot]: ['phone silent', 'phone-burst 3000000'] }));
  const conn = await bridge.connect(robot);
  await sleep(200);
  assert.equal(await bridge.close({ timeout: 10_000 }), 0);
  assert.ok(conn.readableLength > 0);
});
