import assert from 'node:assert/strict';
import { once } from 'node:events';
import { finished } from 'node:stream/promises';
import { test } from 'node:test';

import { bridgeOn, other, readAll, robot, sleep, world } from './support/sim.js';

const refusedText = 'No connection could be made because the target machine actively refused it.';

// Each failure of a connect raises its own code.
const failures = [
  {
    name: 'no device at the address',
    keys: ['lookup unknown'],
    error: { code: 'NOT_VISIBLE', name: 'NotVisible', addr: robot },
  },
  {
    name: 'no serial-port service, cached or asked',
    keys: ['services-cached 0', 'services-uncached 0'],
    error: {
      code: 'NO_SERIAL_SERVICE',
      name: 'NoSerialService',
      text: 'телефон не предлагает последовательную службу. Открой на нём приложение робота и оставь его на экране, потом повтори',
    },
  },
  {
    name: 'the socket does not open',
    keys: ['connect refuse 0x8007274D'],
    top: [`message 0x8007274D "${refusedText}\\r\\n"`],
    error: {
      code: 'OPEN_FAILED',
      name: 'OpenFailed',
      hresult: 0x8007274d,
      message: refusedText,
      text: `${refusedText} (0x8007274D)`,
    },
  },
  {
    name: 'device object fails',
    keys: ['from-id error 0x80004005'],
    error: { code: 'PLATFORM_ERROR', hresult: 0x80004005 },
  },
];

for (const { name, keys, top = [], error } of failures) {
  test(`connect fails: ${name}; the next connect works`, async (t) => {
    const { bridge, unanswered } = await bridgeOn(t, world({ [robot]: keys, [other]: [] }, top));
    await assert.rejects(bridge.connect(robot), error);
    const conn = await bridge.connect(other);
    conn.write('x');
    assert.equal((await once(conn, 'data'))[0].toString(), 'x');
    conn.end();
    assert.deepEqual(unanswered, []);
  });
}

test('bytes go both ways in order, and end() disconnects', async (t) => {
  // Found only on the phone itself: the uncached lookup is used.
  const { bridge, log } = await bridgeOn(t, world({ [robot]: ['services-cached 0'] }));
  const conn = await bridge.connect(robot.toLowerCase().replaceAll(':', '-'));
  assert.equal(conn.addr, robot);
  const sent = Buffer.alloc(100_000, 0);
  for (let i = 0; i < sent.length; i++) sent[i] = (i * 7) % 256;
  const echoed = [];
  conn.on('data', (chunk) => echoed.push(chunk));
  for (let at = 0; at < sent.length; at += 9_999) conn.write(sent.subarray(at, at + 9_999));
  while (Buffer.concat(echoed).length < sent.length) await sleep(10);
  conn.end();
  await once(conn, 'close');
  assert.ok(Buffer.concat(echoed).equals(sent));
  assert.equal(conn.closeCode, 'HOST_CLOSED');
  assert.equal(conn.closeReason, 'соединение закрыто');
  assert.ok(log.includes('[connect] найдено служб (с телефона): 1'));
  assert.equal(bridge.connection, null);
});

// How the phone's side ends a connection: the stream ends without an error and says why.
const ends = [
  { keys: ['phone-close'], closeCode: 'PHONE_CLOSED' },
  { keys: ['phone-drop'], closeCode: 'LINK_LOST' },
];

for (const { keys, closeCode } of ends) {
  test(`the phone's side ends the stream: ${closeCode}`, async (t) => {
    const { bridge } = await bridgeOn(t, world({ [robot]: ['phone silent', 'phone-burst 10000', ...keys] }));
    for (let round = 0; round < 2; round++) {
      const conn = await bridge.connect(robot);
      conn.on('error', assert.fail);
      const bytes = await readAll(conn);
      assert.equal(bytes.length, 10000);
      assert.ok(bytes.every((b, i) => b === i % 251));
      await finished(conn);
      assert.equal(conn.closeCode, closeCode);
      // Too late to write: the stream has ended with the connection.
      assert.equal(conn.writable, false);
    }
  });
}

test('a failed write is an error and disconnects', async (t) => {
  const { bridge } = await bridgeOn(t, world({ [robot]: ['store-error 0x80072745'] }));
  const failing = await bridge.connect(robot);
  failing.write('lost');
  const [error] = await once(failing, 'error');
  assert.equal(error.code, 'WRITE_FAILED');
  assert.equal(error.text, 'запись не удалась');
  assert.equal(error.hresult, 0x80072745);
  // The connection was disconnected: the next one opens.
  (await bridge.connect(robot)).destroy();
});

test('a connect to an open address fails, to one ending waits; a bad address is BAD_COMMAND', async (t) => {
  const { bridge, unanswered } = await bridgeOn(t, world({ [robot]: [], [other]: [] }));
  const a = await bridge.connect(robot);
  await assert.rejects(bridge.connect(robot), { code: 'ALREADY_CONNECTED', addr: robot });
  await assert.rejects(bridge.connect('A4:50:46:12:34'), { code: 'BAD_COMMAND', name: 'BadCommand' });
  a.write('still open');
  assert.equal((await once(a, 'data'))[0].toString(), 'still open');
  a.end();
  const again = await bridge.connect(robot);
  assert.equal(a.closeCode, 'HOST_CLOSED');
  again.destroy();
  (await bridge.connect(robot)).destroy();
  assert.deepEqual(unanswered, []);
});

test('an unread connection holds the bridge back, then delivers every byte', async (t) => {
  const { bridge } = await bridgeOn(
    t,
    world({ [robot]: ['phone silent', 'phone-burst 3000000', 'phone-close'] }),
  );
  const conn = await bridge.connect(robot);
  await sleep(300);
  assert.ok(conn.readableLength < 1_000_000, `buffered ${conn.readableLength}`);
  const bytes = await readAll(conn);
  assert.equal(bytes.length, 3_000_000);
  assert.ok(bytes.every((b, i) => b === i % 251));
});

test("request(): what the client's own calls never send gets its final event or its code", async (t) => {
  const { bridge } = await bridgeOn(t, world({ [robot]: ['phone silent', 'store-delay-ms 300'], [other]: [] }));
  const code = (command) => bridge.request(command).then(() => 'ok', (error) => error.code);
  const half = Buffer.alloc(600_000).toString('base64');
  assert.equal((await bridge.request({ t: 'stop-scan' })).t, 'ok');
  assert.equal(await code({ t: 'send', b64: 'aGk=' }), 'NOT_CONNECTED');
  assert.equal(await code({ t: 'bogus' }), 'BAD_COMMAND');
  await assert.rejects(bridge.request({ t: 'hello', protocol: 1 }), TypeError);
  const conn = await bridge.connect(robot);
  await bridge.connect(other);
  assert.equal(await code({ t: 'send', b64: 'aGk=' }), 'ADDR_REQUIRED');
  assert.equal(await code({ t: 'send', addr: robot, b64: Buffer.alloc((1 << 20) + 1).toString('base64') }), 'TOO_LARGE');
  assert.deepEqual(
    await Promise.all([code({ t: 'send', addr: robot, b64: half }), code({ t: 'send', addr: robot, b64: half })]),
    ['ok', 'BUSY'],
  );
  // A connection of the client's closed this way still ends.
  await bridge.request({ t: 'disconnect', addr: robot });
  assert.equal(conn.closeCode, 'HOST_CLOSED');
});
