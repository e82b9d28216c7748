"""Every outcome of scan, pair and connect, through worlds."""
import asyncio

import quintel_bt
from quintel_bt import BridgeError, NoSerialService, NotVisible, PairingRefused, PlatformError

from .support import ROBOT, BridgeCase, device, world

MESSAGES = ('message 0x80072740 "Connection refused.\\r\\n"\n'
            'message 0x80070005 "Access is denied."\n')


async def collect(scan):
    return [d async for d in scan]


class Scans(BridgeCase):
    async def test_a_scan_lists_the_heard_devices_and_ends_at_scan_done(self):
        bridge = await self.start(world(
            device(ROBOT, 'name "Robot Phone"'),
            device("00:1A:7D:DA:71:13", "paired yes", 'name "Арм"'),
            device("00:1A:7D:DA:71:14", 'name "silent"', "heard 0")))
        found = await self.within(collect(bridge.scan(1)))
        self.assertEqual(found, [quintel_bt.Device(ROBOT, "Robot Phone", False),
                                 quintel_bt.Device("00:1A:7D:DA:71:13", "Арм", True)])

    async def test_a_scan_that_finds_nothing_ends_empty(self):
        bridge = await self.start(world(top="search-inquiry-error 259\n"))
        self.assertEqual(await self.within(collect(bridge.scan(1))), [])

    async def test_scans_run_one_after_another_without_mixing(self):
        bridge = await self.start(world(device(ROBOT), device("00:1A:7D:DA:71:13")))
        addrs = [ROBOT, "00:1A:7D:DA:71:13"]

        async def listed():
            return [d.addr for d in await collect(bridge.scan(1))]
        first = bridge.scan(1)
        async for _ in first:
            break  # left early: its other device must not reach the scans after it
        both = await self.within(asyncio.gather(listed(), listed()))
        self.assertEqual(both, [addrs, addrs])
        self.assertEqual(self.log_count("[scan] начинаю опрос"), 3)


class Pairs(BridgeCase):
    async def test_each_pairing_outcome(self):
        bridge = await self.start(world(
            device("00:00:00:00:00:01", "pairing pin", 'pin "007123"'),
            device("00:00:00:00:00:02", "pairing confirm"),
            device("00:00:00:00:00:03", "paired yes"),
            device("00:00:00:00:00:04", "pair-status 3"),
            device("00:00:00:00:00:05", "pair-status 19"),
            device("00:00:00:00:00:06", "lookup unknown"),
            device("00:00:00:00:00:07", "pair-error 0x80070005"),
            device("00:00:00:00:00:08", "record error 0x80004005"),
            top=MESSAGES))
        cases = [  # address, expected failure, expected PINs
            ("00:00:00:00:00:01", None, ["007123"]),
            ("00:00:00:00:00:02", None, []),
            ("00:00:00:00:00:03", None, []),
            ("00:00:00:00:00:04", None, ["123456"]),
            ("00:00:00:00:00:05", PairingRefused, ["123456"]),
            ("00:00:00:00:00:06", NotVisible, []),
            ("00:00:00:00:00:07", PlatformError, ["123456"]),
            ("00:00:00:00:00:08", PlatformError, []),
            ("99:00:00:00:00:09", NotVisible, []),  # in no world at all
        ]
        for addr, failure, pins in cases:
            with self.subTest(addr=addr):
                seen = []
                if failure is None:
                    await self.within(bridge.pair(addr, on_pin=seen.append))
                else:
                    with self.assertRaises(failure) as caught:
                        await self.within(bridge.pair(addr, on_pin=seen.append))
                    self.assertIsInstance(caught.exception, BridgeError)
                    self.assertEqual(caught.exception.code, failure.code)
                    self.assertTrue(caught.exception.text)
                self.assertEqual(seen, pins)
        self.assertEqual(self.events, [])

    async def test_failures_carry_their_details(self):
        bridge = await self.start(world(device("00:00:00:00:00:05", "pair-status 19"),
                                        device("00:00:00:00:00:07", "pair-error 0x80070005"),
                                        top=MESSAGES))
        with self.assertRaises(PairingRefused) as refused:
            await self.within(bridge.pair("00:00:00:00:00:05"))
        e = refused.exception
        self.assertEqual((e.code, e.status), ("PAIRING_REFUSED", 19))
        self.assertIn("(код 19)", e.text)
        with self.assertRaises(PlatformError) as platform:
            await self.within(bridge.pair("00:00:00:00:00:07"))
        e = platform.exception
        self.assertEqual((e.code, e.hresult, e.message),
                         ("PLATFORM_ERROR", 0x80070005, "Access is denied."))
        self.assertEqual(e.text, "Access is denied. (0x80070005)")


class Connects(BridgeCase):
    async def test_each_connect_outcome_and_the_client_stays_usable(self):
        bridge = await self.start(world(
            device("00:00:00:00:00:01", "lookup unknown"),
            device("00:00:00:00:00:02", "from-id none"),
            device("00:00:00:00:00:03", "services-cached 0", "services-uncached 0"),
            device("00:00:00:00:00:04", "connect refuse 0x80072740"),
            device("00:00:00:00:00:05", "writer-error 0x80070005"),
            device("00:00:00:00:00:06", "services-cached 0", "services-uncached 2"),
            device(ROBOT), top=MESSAGES))
        failures = [
            ("00:00:00:00:00:01", NotVisible, None),
            ("00:00:00:00:00:02", NotVisible, None),
            ("00:00:00:00:00:03", NoSerialService, None),
            ("00:00:00:00:00:04", PlatformError, 0x80072740),
            ("00:00:00:00:00:05", PlatformError, 0x80070005),
        ]
        for addr, failure, hresult in failures:
            with self.subTest(addr=addr):
                with self.assertRaises(failure) as caught:
                    await self.within(bridge.connect(addr))
                self.assertEqual(caught.exception.code, failure.code)
                self.assertTrue(caught.exception.text)
                if hresult is not None:
                    self.assertEqual(caught.exception.hresult, hresult)
        self.assertEqual(caught.exception.message, "Access is denied.")
        for addr in ("00:00:00:00:00:06", ROBOT.lower()):
            conn = await self.within(bridge.connect(addr))
            self.assertEqual(conn.addr, addr)  # as the host wrote it
            conn.write(b"ping")
            self.assertEqual(await self.within(conn.readexactly(4)), b"ping")
            await self.within(conn.close())
        self.assertEqual(self.events, [])
