"""Bytes both ways, and the ways a connection ends."""
import asyncio
import os
import tempfile

from quintel_bt import BridgeError, ClosedDuringRead, ConnectionClosed, WriteFailed

from .support import ROBOT, BridgeCase, device, world

CLOSED = "соединение закрыто"


class LivePhone(BridgeCase):
    async def test_a_megabyte_each_way_arrives_byte_exact(self):
        size = 1 << 20
        to_phone, from_phone = os.urandom(size), os.urandom(size)
        received = asyncio.get_running_loop().create_future()

        async def phone(reader, writer):
            writer.write(from_phone)
            got = await reader.readexactly(size)
            await writer.drain()
            received.set_result(got)
            await reader.read()  # until the bridge disconnects
            writer.close()

        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "phone.sock")
            server = await asyncio.start_unix_server(phone, path)
            self.addAsyncCleanup(server.wait_closed)
            self.addCleanup(server.close)
            bridge = await self.start(world(device(ROBOT, f"phone live {path}")))
            conn = await self.within(bridge.connect(ROBOT))
            conn.write(to_phone)
            await conn.drain()
            got = await self.within(conn.readexactly(size), 30)
            self.assertTrue(got == from_phone, "bytes from the phone differ")
            self.assertTrue(await self.within(received, 30) == to_phone,
                            "bytes at the phone differ")
            await self.within(conn.close())
            self.assertEqual(await conn.closed, CLOSED)


class Reading(BridgeCase):
    async def test_reads_cut_the_stream_where_the_host_asks_not_where_events_fall(self):
        burst = bytes(i % 251 for i in range(10000))
        bridge = await self.start(world(device(ROBOT, 'phone-send "one\\ntwo\\n"',
                                               "phone-burst 10000")))
        conn = await self.within(bridge.connect(ROBOT))
        self.assertEqual(await self.within(conn.readline()), b"one\n")
        self.assertEqual(await self.within(conn.readuntil(b"o\n")), b"two\n")
        self.assertEqual(await self.within(conn.read(3)), burst[:3])
        rest = await self.within(conn.readexactly(len(burst) - 3))
        self.assertEqual(rest, burst[3:])

    async def test_a_cancelled_read_loses_no_byte(self):
        bridge = await self.start(world(device(ROBOT)))
        conn = await self.within(bridge.connect(ROBOT))
        for read in (conn.readexactly(8), conn.readuntil(b"!"), conn.read(5)):
            with self.assertRaises(asyncio.TimeoutError):
                await asyncio.wait_for(read, 0.05)
        conn.write(b"hello, robot!")
        self.assertEqual(await self.within(conn.readexactly(13)), b"hello, robot!")


class Endings(BridgeCase):
    async def test_a_phone_that_closes_ends_reads_and_writes(self):
        bridge = await self.start(world(device(ROBOT, 'phone-send "bye"', "phone-close")))
        conn = await self.within(bridge.connect(ROBOT))
        self.assertEqual(await self.within(conn.closed), CLOSED)
        with self.assertRaises(ClosedDuringRead) as short:
            await conn.readexactly(4)
        self.assertIsInstance(short.exception, asyncio.IncompleteReadError)
        self.assertEqual((short.exception.code, short.exception.reason, short.exception.partial),
                         ("CONNECTION_CLOSED", CLOSED, b"bye"))
        self.assertEqual(await conn.read(), b"")
        with self.assertRaises(ConnectionClosed):
            conn.write(b"x")
        await self.within(conn.close())  # nothing left to close: returns at once

    async def test_a_dropped_link_ends_the_connection(self):
        for keys in (["phone-wait 20", "phone-drop"], ["drop-after-bytes 5"]):
            with self.subTest(keys=keys):
                bridge = await self.start(world(device(ROBOT, *keys)))
                conn = await self.within(bridge.connect(ROBOT))
                conn.write(b"0123456789")
                self.assertEqual(await self.within(conn.closed), CLOSED)
                with self.assertRaises(BridgeError):
                    conn.write(b"more")
                again = await self.within(bridge.connect(ROBOT))  # the client is still usable
                self.assertEqual(again.addr, ROBOT)
                await self.within(again.close())

    async def test_a_failed_write_fails_every_later_write_but_leaves_the_link(self):
        bridge = await self.start(world(device(ROBOT, "store-error 0x80004005 after-bytes 4")))
        conn = await self.within(bridge.connect(ROBOT))
        conn.write(b"abcd")
        self.assertEqual(await self.within(conn.readexactly(4)), b"abcd")

        async def until_refused():
            while True:
                conn.write(b"efgh")
                await conn.drain()
                await asyncio.sleep(0.01)
        with self.assertRaises(WriteFailed) as failed:
            await self.within(until_refused())
        self.assertEqual((failed.exception.code, failed.exception.text),
                         ("WRITE_FAILED", "запись не удалась"))
        with self.assertRaises(WriteFailed):
            conn.write(b"ijkl")
        self.assertIsNone(conn.reason)
        await self.within(conn.close())
        self.assertEqual(conn.reason, CLOSED)


class Backpressure(BridgeCase):
    async def test_unread_bytes_hold_the_bridge_without_losing_or_sticking(self):
        size, limit = 200000, 8192
        burst = bytes(i % 251 for i in range(size))
        for finish in ("read", "disconnect", "end the bridge"):
            with self.subTest(finish=finish):
                bridge = await self.start(world(device(ROBOT, f"phone-burst {size}")),
                                          read_limit=limit)
                conn = await self.within(bridge.connect(ROBOT))
                await asyncio.sleep(0.2)
                self.assertLessEqual(len(conn._buffer), limit + 4096)
                if finish == "read":
                    self.assertTrue(await self.within(conn.readexactly(size)) == burst)
                elif finish == "disconnect":
                    self.assertEqual(await self.within(conn.close()), None)
                    self.assertEqual(conn.reason, CLOSED)
                else:
                    self.assertEqual(await self.within(bridge.close()), 0)
