"""Calls at once, cancelled calls and the start: each answer reaches the call it belongs to."""
import asyncio
import os
import signal
import stat
import tempfile

import quintel_bt
from quintel_bt import AlreadyConnected, BridgeExited, NotVisible, PairingRefused

from .support import ROBOT, BridgeCase, device, sim_exe, world

SLOW = "00:00:00:00:00:01"
REFUSING = "00:00:00:00:00:02"
UNKNOWN = "00:00:00:00:00:03"


class Concurrent(BridgeCase):
    async def test_a_pair_a_scan_and_connects_in_flight_at_once_each_get_their_answer(self):
        bridge = await self.start(world(
            device(SLOW, 'pin "111111"', "pair-delay-ms 150", 'name "slow"'),
            device(REFUSING, 'pin "222222"', "pair-status 19", "connect-delay-ms 100"),
            device(UNKNOWN, "lookup unknown", "heard 0"),
            device(ROBOT, "connect-delay-ms 50", "heard 0"), top="inquiry-unit-ms 50\n"))
        pins = {SLOW: [], REFUSING: []}

        async def shown(pin):  # a PIN display may take its time; pair waits for it
            await asyncio.sleep(0.05)
            pins[SLOW].append(pin)

        async def listed():
            return [d.addr async for d in bridge.scan(1)]
        results = await self.within(asyncio.gather(
            bridge.pair(SLOW, on_pin=shown), bridge.pair(REFUSING, on_pin=pins[REFUSING].append),
            listed(), bridge.connect(REFUSING), bridge.connect(UNKNOWN), bridge.connect(ROBOT),
            return_exceptions=True))
        paired, refused, found, first, unknown, second = results
        self.assertIsNone(paired)
        self.assertEqual((type(refused), refused.status), (PairingRefused, 19))
        self.assertEqual(found, [SLOW, REFUSING])
        self.assertEqual((first.addr, second.addr), (REFUSING, ROBOT))
        self.assertIsInstance(unknown, NotVisible)
        self.assertEqual(pins, {SLOW: ["111111"], REFUSING: ["222222"]})
        self.assertEqual(set(bridge.connections), {REFUSING, ROBOT})
        self.assertEqual(self.events, [])

    async def test_a_second_connect_to_an_open_address_fails_and_leaves_the_first(self):
        bridge = await self.start(world(device(ROBOT)))
        conn = await self.within(bridge.connect(ROBOT))
        with self.assertRaises(AlreadyConnected):
            await self.within(bridge.connect(ROBOT.lower().replace(":", "-")))
        conn.write(b"still here")
        self.assertEqual(await self.within(conn.readexactly(10)), b"still here")


class Cancelled(BridgeCase):
    async def test_a_cancelled_pair_leaves_its_late_answer_to_the_event_hook(self):
        bridge = await self.start(world(device(SLOW, "pair-delay-ms 300"),
                                        device(REFUSING, "pairing confirm", "pair-status 19")))
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(bridge.pair(SLOW), 0.05)
        with self.assertRaises(PairingRefused):
            await self.within(bridge.pair(REFUSING))
        pins = []
        await self.within(bridge.pair(SLOW, on_pin=pins.append))  # its own answer
        self.assertEqual([(e["t"], e["addr"]) for e in self.events],
                         [("pairing-code", SLOW), ("pair-result", SLOW)])
        self.assertEqual(pins, ["123456"])

    async def test_a_cancelled_connect_is_disconnected_when_it_opens(self):
        bridge = await self.start(world(device(SLOW, "connect-delay-ms 200")))
        with self.assertRaises(asyncio.TimeoutError):
            await asyncio.wait_for(bridge.connect(SLOW), 0.05)
        async def closed():
            while not self.events or SLOW in bridge.connections:
                await asyncio.sleep(0.02)
        await self.within(closed())
        self.assertEqual([e["t"] for e in self.events], ["connected"])
        conn = await self.within(bridge.connect(SLOW))  # the address is free again
        conn.write(b"ok")
        self.assertEqual(await self.within(conn.readexactly(2)), b"ok")

    async def test_a_bridge_that_dies_fails_the_waiting_calls_and_ends_the_connections(self):
        bridge = await self.start(world(device(ROBOT), device(SLOW, "pair-delay-ms 5000")))
        conn = await self.within(bridge.connect(ROBOT))
        pairing = asyncio.ensure_future(bridge.pair(SLOW))
        await asyncio.sleep(0.05)
        os.kill(bridge.pid, signal.SIGKILL)
        with self.assertRaises(BridgeExited):
            await self.within(pairing)
        self.assertIn("exited", await self.within(conn.closed))
        self.assertEqual(conn.cause, "BRIDGE_EXITED")
        with self.assertRaises(BridgeExited):
            await bridge.pair(SLOW)


class Starting(BridgeCase):
    async def test_hello_gives_what_the_bridge_is_and_the_log_reaches_a_stream(self):
        import io
        log = io.StringIO()
        async with await quintel_bt.start(sim_exe(), world_text=world(), on_log=log) as bridge:
            self.assertEqual((bridge.backend, bridge.adapter, bridge.window),
                             ("sim", "on", 1 << 20))
            self.assertRegex(bridge.version, r"^\d+\.\d+\.\d+$")
        self.assertEqual(bridge.returncode, 0)
        self.assertIn("[start] посредник запущен\n", log.getvalue())

    async def test_a_bad_world_fails_the_start_with_the_bridge_s_own_words(self):
        with self.assertRaises(BridgeExited) as failed:
            await self.start("adapter present\nno-such-key 1\n")
        self.assertIn("line 2", failed.exception.text)

    async def test_a_bridge_that_never_answers_hello_is_refused_naming_the_protocols(self):
        with tempfile.TemporaryDirectory() as folder:
            old = os.path.join(folder, "old-bridge")
            with open(old, "w") as script:  # a bridge of protocol 1 ignores the hello
                script.write('#!/bin/sh\necho \'{"t":"ready","backend":"windows"}\'\n'
                             'exec cat >/dev/null\n')
            os.chmod(old, stat.S_IRWXU)
            with self.assertRaises(quintel_bt.UnsupportedBridge) as refused:
                await self.within(quintel_bt.start(old, hello_timeout=0.3))
        self.assertIn("protocol 1", refused.exception.text)
        self.assertIn("protocol 2", refused.exception.text)
