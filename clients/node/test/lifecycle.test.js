import assert from 'node:assert/strict';
import { once } from 'node:events';
import { writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { start } from '../index.js';
import { bridgeOn, controlChannel, exe, other, readAll, robot, sleep, tempDir, until, world } from './support/sim.js';

test('start: hello gives the backend, version, window and adapter; the log reaches onLog; a world file is read', async (t) => {
  const file = join(tempDir(t), 'world.txt');
  writeFileSync(file, world({ [other]: ['name "From a file"'] }));
  const log = [];
  const bridge = await start({ exe, world: file, onLog: (line) => log.push(line) });
  t.after(() => bridge.close());
  assert.deepEqual(
    [bridge.backend, bridge.protocol, bridge.window, bridge.adapter],
    ['sim', 2, 1 << 20, 'on'],
  );
  assert.match(bridge.version, /^\d+\.\d+\.\d+/);
  const names = [];
  for await (const device of bridge.scan({ seconds: 1 })) names.push(device.name);
  assert.deepEqual(names, ['From a file']);
  await until(() => log.length > 0, 'the log');
  assert.equal(log[0], '[start] посредник запущен');
});

test('start fails: a bad world, a missing executable, a bridge of another protocol', async (t) => {
  await assert.rejects(start({ exe, worldText: 'adapter present\nbogus-key 1\n' }), (error) => {
    assert.equal(error.code, 'BRIDGE_EXITED');
    assert.equal(error.exitCode, 2);
    assert.match(error.message, /line 2: unknown key: bogus-key/);
    return true;
  });
  await assert.rejects(start({ exe: '/nonexistent/quintel-bt-sim' }), { code: 'ENOENT' });
  // Stand-ins for bridges of other versions: one that answers hello with protocol 3, one of
  // protocol 1 that logs hello as an unknown command.
  const dir = tempDir(t);
  const fake = (name, onHello) => {
    const file = join(dir, name);
    writeFileSync(
      file,
      `#!${process.execPath}\nconsole.log('{"t":"ready","backend":"windows"}');\n` +
        `process.stdin.on('data', () => { ${onHello} });\n`,
      { mode: 0o755 },
    );
    return file;
  };
  const newer = fake('newer', `console.log('{"t":"hello","id":1,"protocol":3}')`);
  const older = fake('older', `console.error('[cmd] незнакомая команда: «hello» в строке: …')`);
  await assert.rejects(start({ exe: newer }), { code: 'PROTOCOL_MISMATCH', bridgeProtocol: 3, message: /protocol 3.*needs protocol 2/ });
  await assert.rejects(start({ exe: older }), { code: 'PROTOCOL_MISMATCH', bridgeProtocol: null, message: /protocol 1 only.*needs protocol 2/ });
});

test('the adapter: absent at start, nothing runs; off and on again, told as it happens', async (t) => {
  const { bridge: without } = await bridgeOn(t, world({ [robot]: [] }, ['adapter absent']));
  assert.equal(without.adapter, 'absent');
  const scan = async (bridge) => {
    for await (const device of bridge.scan({ seconds: 1 })) assert.fail(device);
  };
  for (const call of [scan(without), without.pair(robot), without.connect(robot)]) {
    await assert.rejects(call, { code: 'ADAPTER_OFF', name: 'AdapterOff' });
  }

  const control = controlChannel(t);
  const { bridge } = await bridgeOn(t, world({ [robot]: ['phone silent'] }, [`control ${control.path}`]));
  assert.equal(bridge.adapter, 'on');
  const states = [];
  bridge.on('adapter', (state) => states.push(state));
  const conn = await bridge.connect(robot);
  conn.on('error', assert.fail);
  assert.equal(await control.send('radio off'), 'ok');
  await readAll(conn);
  assert.equal(conn.closeCode, 'ADAPTER_OFF');
  await assert.rejects(bridge.connect(robot), { code: 'ADAPTER_OFF' });
  assert.equal(await control.send('radio on'), 'ok');
  await until(() => states.length === 2, 'the adapter events');
  assert.deepEqual(states, ['off', 'on']);
  (await bridge.connect(robot)).destroy();
});

test('a connect given up on: its late success or failure reaches no other call', async (t) => {
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
  await abandon(other);
  await abandon(robot);
  // Waits for the late success to be disconnected, then opens.
  const conn = await bridge.connect(other);
  conn.write('ping');
  assert.equal((await once(conn, 'data'))[0].toString(), 'ping');
  await until(() => unanswered.length === 3, 'the late answers');
  assert.deepEqual(unanswered.map((e) => `${e.t} ${e.addr}`).sort(), [
    `closed ${robot}`,
    `connected ${other}`,
    `error ${robot}`,
  ]);
  conn.destroy();
});

test('close() ends an open connection quietly; a bridge that dies fails what waits', async (t) => {
  const { bridge } = await bridgeOn(t, world({ [robot]: ['phone silent', 'store-delay-ms 10000'] }));
  const conn = await bridge.connect(robot);
  conn.on('error', assert.fail);
  const read = readAll(conn);
  // Never stored: the write fails, the stream does not.
  const write = new Promise((resolve) => conn.write('x', resolve));
  assert.equal(await bridge.close(), 0);
  assert.equal((await read).length, 0);
  assert.ok((await write) instanceof Error);
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
