"""Calls at once, cancelled calls and timeouts: each answer reaches the call it belongs to."""
import asyncio
import os
import signal

from quintel_bt import BridgeExited, NotVisible, PairingRefused

from .support import ROBOT, BridgeCase, device, world

SLOW = "00:00:00:00:00:01"
REFUSING = "00:00:00:00:00:02"
UNKNOWN = "00:00:00:00:00:03"


class Calls(BridgeCase):
    async def test_two_pairs_at_once_each_get_their_own_pin_and_result(self):
        bridge = await self.start(world(device(SLOW, 'pin "111111"', "pair-delay-ms 100"),
                                        device(REFUSING, 'pin "222222"', "pair-status 19")))
        pins = {SLOW: [], REFUSING: []}

        async def shown(pin):  # a PIN display may take its time; pair waits for it
            await asyncio.sleep(0.05)
            pins[SLOW].append(pin)
        results = await self.within(asyncio.gather(
            bridge.pair(SLOW, on_pin=shown),
            bridge.pair(REFUSING, on_pin=pins[REFUSING].append), return_exceptions=True))
        self.assertIsNone(results[0])
        self.assertIsInstance(results[1], PairingRefused)
        self.assertEqual(pins, {SLOW: ["111111"], REFUSING: ["222222"]})

    async def test_a_cancelled_pair_leaves_its_late_answer_to_the_event_hook(self):
        bridge = await self.start(world(device(SLOW, "pair-delay-ms 300"),
                                        device(REFUSING, "pairing confirm", "pair-status 19")))
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(bridge.pair(SLOW), 0.05)
        # The slow pairing's success arrives first; it must not answer this call.
        with self.assertRaises(PairingRefused):
            await self.within(bridge.pair(REFUSING))
        self.assertEqual([e["t"] for e in self.events], ["pairing-code", "pair-result"])
        self.assertEqual(self.events[1]["addr"], SLOW)
        await self.within(bridge.pair(SLOW))

    async def test_a_cancelled_connect_is_disconnected_and_the_next_gets_its_own_answer(self):
        bridge = await self.start(world(device(SLOW, "connect-delay-ms 300"),
                                        device(UNKNOWN, "lookup unknown")))
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(bridge.connect(SLOW), 0.05)
        with self.assertRaises(NotVisible):
            await self.within(bridge.connect(UNKNOWN))
        conn = await self.within(bridge.connect(SLOW))
        conn.write(b"ok")
        self.assertEqual(await self.within(conn.readexactly(2)), b"ok")
        self.assertEqual(self.log_count("[connect] запрошено соединение"), 3)
        self.assertEqual(self.events[0], {"t": "connected", "addr": SLOW})

    async def test_a_connect_waits_for_the_open_connection_to_close(self):
        bridge = await self.start(world(device(SLOW), device(ROBOT)))
        first = await self.within(bridge.connect(SLOW))
        with self.assertRaises(asyncio.TimeoutError):  # gave up waiting its turn: never sent
            await asyncio.wait_for(bridge.connect(ROBOT), 0.1)
        second = asyncio.ensure_future(bridge.connect(ROBOT))
        await asyncio.sleep(0.1)
        self.assertFalse(second.done())
        first.write(b"first")
        self.assertEqual(await self.within(first.readexactly(5)), b"first")
        await self.within(first.close())
        conn = await self.within(second)
        self.assertEqual(conn.addr, ROBOT)
        self.assertEqual(self.log_count("[connect] запрошено соединение"), 2)

    async def test_a_scan_cancelled_before_its_turn_is_never_sent(self):
        bridge = await self.start(world(device(ROBOT), top="inquiry-unit-ms 100\n"))
        running = bridge.scan(1)
        first = asyncio.ensure_future(running.__anext__())
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(bridge.scan(1).__anext__(), 0.02)
        self.assertEqual((await self.within(first)).addr, ROBOT)
        self.assertEqual([d.addr async for d in bridge.scan(1)], [ROBOT])
        self.assertEqual(self.log_count("[scan] начинаю опрос"), 2)

    async def test_a_bridge_that_dies_fails_the_waiting_calls_and_ends_the_connection(self):
        bridge = await self.start(world(device(ROBOT), device(SLOW, "pair-delay-ms 5000")))
        conn = await self.within(bridge.connect(ROBOT))
        pairing = asyncio.ensure_future(bridge.pair(SLOW))
        await asyncio.sleep(0.05)
        os.kill(bridge.pid, signal.SIGKILL)
        with self.assertRaises(BridgeExited):
            await self.within(pairing)
        self.assertIn("exited", await self.within(conn.closed))
        with self.assertRaises(BridgeExited):
            await bridge.pair(SLOW)


class Starting(BridgeCase):
    async def test_a_bad_world_fails_the_start_with_the_bridge_s_own_words(self):
        with self.assertRaises(BridgeExited) as failed:
            await self.start("adapter present\nno-such-key 1\n")
        self.assertIn("line 2", failed.exception.text)

    async def test_ready_gives_the_backend_and_the_log_reaches_a_stream(self):
        import io
        import quintel_bt
        from .support import sim_exe
        log = io.StringIO()
        async with await quintel_bt.start(sim_exe(), world_text=world(), on_log=log) as bridge:
            self.assertEqual(bridge.backend, "windows")
        self.assertEqual(bridge.returncode, 0)
        self.assertIn("[start] посредник запущен\n", log.getvalue())
