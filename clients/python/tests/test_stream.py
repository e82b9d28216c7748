"""Bytes both ways on several connections, and the ways a connection ends."""
import asyncio
import os

from quintel_bt import ClosedDuringRead, ConnectionClosed, WriteFailed

from .support import ROBOT, BridgeCase, device, world

CLOSED = "соединение закрыто"
OTHER = "00:1A:7D:DA:71:13"


class TwoRobots(BridgeCase):
    async def test_two_phones_echo_a_megabyte_each_both_ways_at_once_apart(self):
        size = 1 << 20
        bridge = await self.start(world(device(ROBOT), device(OTHER)))
        conns = await self.within(asyncio.gather(bridge.connect(ROBOT), bridge.connect(OTHER)))

        async def echo(conn):
            sent = os.urandom(size)
            conn.write(sent)
            got, _ = await asyncio.gather(conn.readexactly(size), conn.flush())
            return got == sent
        self.assertEqual(await self.within(asyncio.gather(*map(echo, conns)), 60), [True, True])
        await self.within(conns[0].close())
        self.assertEqual((conns[0].cause, conns[1].cause), ("HOST_CLOSED", None))
        conns[1].write(b"alone")
        self.assertEqual(await self.within(conns[1].readexactly(5)), b"alone")
        self.assertEqual(self.events, [])


class Reading(BridgeCase):
    async def test_reads_cut_the_stream_where_the_host_asks_not_where_events_fall(self):
        burst = bytes(i % 251 for i in range(10000))
        bridge = await self.start(world(device(ROBOT, 'phone-send "one\\ntwo\\n"',
                                               "phone-burst 10000")))
        conn = await self.within(bridge.connect(ROBOT))
        self.assertEqual(await self.within(conn.readline()), b"one\n")
        self.assertEqual(await self.within(conn.readuntil(b"o\n")), b"two\n")
        self.assertEqual(await self.within(conn.read(3)), burst[:3])
        self.assertEqual(await self.within(conn.readexactly(len(burst) - 3)), burst[3:])

    async def test_a_cancelled_read_loses_no_byte(self):
        bridge = await self.start(world(device(ROBOT)))
        conn = await self.within(bridge.connect(ROBOT))
        for read in (conn.readexactly(8), conn.readuntil(b"!"), conn.read(5)):
            with self.assertRaises(asyncio.TimeoutError):
                await asyncio.wait_for(read, 0.05)
        conn.write(b"hello, robot!")
        self.assertEqual(await self.within(conn.readexactly(13)), b"hello, robot!")

    async def test_unread_bytes_hold_the_bridge_without_losing_or_sticking(self):
        size, limit = 200000, 8192
        burst = bytes(i % 251 for i in range(size))
        for finish in ("read", "disconnect", "write", "end the bridge"):
            with self.subTest(finish=finish):
                bridge = await self.start(world(device(ROBOT, f"phone-burst {size}"),
                                                device(OTHER)), read_limit=limit)
                other = await self.within(bridge.connect(OTHER))
                conn = await self.within(bridge.connect(ROBOT))
                await asyncio.sleep(0.2)
                self.assertLessEqual(len(conn._buffer), limit + 4096)
                if finish == "read":
                    self.assertTrue(await self.within(conn.readexactly(size)) == burst)
                elif finish == "disconnect":
                    await self.within(conn.close())
                    self.assertEqual(conn.cause, "HOST_CLOSED")
                elif finish == "write":  # another robot's write is not held up by it
                    other.write(b"x" * 100000)
                    await self.within(other.flush())
                else:
                    self.assertEqual(await self.within(bridge.close()), 0)


class Endings(BridgeCase):
    async def test_each_end_gives_its_cause_and_ends_reads_and_writes(self):
        cases = [  # phone keys, cause
            (['phone-send "bye"', "phone-close"], "PHONE_CLOSED"),
            (['phone-send "bye"', "phone-wait 20", "phone-drop"], "LINK_LOST"),
            # a write still waiting for its store is lost: the end is still what counts
            (["store-delay-ms 500", 'phone-send "bye"', "phone-wait 50", "phone-close"],
             "PHONE_CLOSED"),
        ]
        for keys, cause in cases:
            with self.subTest(keys=keys):
                bridge = await self.start(world(device(ROBOT, "phone silent", *keys),
                                                device(OTHER)))
                other = await self.within(bridge.connect(OTHER))
                conn = await self.within(bridge.connect(ROBOT))
                if conn.reason is None:  # the first phone may have closed already
                    conn.write(b"pending")
                self.assertTrue(await self.within(conn.closed))
                self.assertEqual(conn.cause, cause)
                with self.assertRaises(ClosedDuringRead) as short:
                    await conn.readexactly(4)
                self.assertIsInstance(short.exception, asyncio.IncompleteReadError)
                self.assertEqual((short.exception.cause, short.exception.partial),
                                 (cause, b"bye"))
                self.assertEqual(await conn.read(), b"")
                with self.assertRaises(ConnectionClosed):
                    conn.write(b"x")
                await self.within(conn.close())  # nothing left to close: returns at once
                self.assertIsNone(other.reason)  # the other robot's connection stays
                again = await self.within(bridge.connect(ROBOT))
                await self.within(again.close())

    async def test_a_failed_write_fails_every_later_write_but_leaves_the_link(self):
        bridge = await self.start(world(device(ROBOT, "store-error 0x80004005 after-bytes 4")))
        conn = await self.within(bridge.connect(ROBOT))
        conn.write(b"abcd")
        self.assertEqual(await self.within(conn.readexactly(4)), b"abcd")
        conn.write(b"efgh")
        with self.assertRaises(WriteFailed) as failed:
            await self.within(conn.flush())
        self.assertEqual((failed.exception.code, failed.exception.hresult),
                         ("WRITE_FAILED", 0x80004005))
        with self.assertRaises(WriteFailed):
            conn.write(b"ijkl")
        self.assertIsNone(conn.reason)
        await self.within(conn.close())
        self.assertEqual((conn.reason, conn.cause), (CLOSED, "HOST_CLOSED"))
