"""Every outcome of scan, pair and connect, and every code the bridge gives, through worlds."""
import asyncio
import base64
import tempfile

import quintel_bt
from quintel_bt import errors

from .support import ROBOT, BridgeCase, Control, device, world

MESSAGES = ('message 0x80072740 "Connection refused.\\r\\n"\n'
            'message 0x80070005 "Access is denied."\n')
OTHER = "00:1A:7D:DA:71:13"
WINDOW = 1 << 20


def send(addr, size, **keys):
    return dict(t="send", b64=base64.b64encode(bytes(size)).decode(),
                **({"addr": addr} if addr else {}), **keys)


class Scans(BridgeCase):
    async def test_a_scan_lists_the_heard_devices_and_ends_at_its_end(self):
        bridge = await self.start(world(
            device(ROBOT, 'name "Robot Phone"'), device(OTHER, "paired yes", 'name "Арм"'),
            device("00:1A:7D:DA:71:14", 'name "silent"', "heard 0")))
        found = await self.within(collect(bridge.scan(1)))
        self.assertEqual(found, [quintel_bt.Device(ROBOT, "Robot Phone", False),
                                 quintel_bt.Device(OTHER, "Арм", True)])

    async def test_scans_side_by_side_do_not_mix(self):
        bridge = await self.start(world(device(ROBOT), device(OTHER)))
        first = bridge.scan(1)
        async for _ in first:
            break  # left early: its other device must not reach the scans after it
        await first.aclose()
        both = await self.within(asyncio.gather(collect(bridge.scan(1)), collect(bridge.scan(1))))
        self.assertEqual([[d.addr for d in found] for found in both], [[ROBOT, OTHER]] * 2)


async def collect(scan):
    return [d async for d in scan]


class Codes(BridgeCase):
    async def test_every_failure_raises_its_class_with_the_bridge_s_details(self):
        bridge = await self.start(world(
            device("00:00:00:00:00:01", "lookup unknown"),
            device("00:00:00:00:00:02", "services-cached 0", "services-uncached 0"),
            device("00:00:00:00:00:03", "connect refuse 0x80072740"),
            device("00:00:00:00:00:04", "writer-error 0x80070005"),
            device("00:00:00:00:00:05", "pairing confirm", "pair-status 19"),
            device("00:00:00:00:00:06", "pairing confirm", "pair-error 0x80070005"),
            device("00:00:00:00:00:07", "phone silent", "store-delay-ms 2000"),
            device("00:00:00:00:00:08", "phone silent"),
            top=MESSAGES))
        first = await self.within(bridge.connect("00:00:00:00:00:07"))
        await self.within(bridge.connect("00:00:00:00:00:08"))
        cases = [  # what, the call, the class, hresult, status
            ("bad command", bridge.request({"t": "no-such"}), errors.BadCommand, None, None),
            ("not visible", bridge.connect("00:00:00:00:00:01"), errors.NotVisible, None, None),
            ("no service", bridge.connect("00:00:00:00:00:02"), errors.NoSerialService, None,
             None),
            ("open failed", bridge.connect("00:00:00:00:00:03"), errors.OpenFailed, 0x80072740,
             None),
            ("platform", bridge.connect("00:00:00:00:00:04"), errors.PlatformError, 0x80070005,
             None),
            ("refused", bridge.pair("00:00:00:00:00:05"), errors.PairingRefused, None, 19),
            ("platform pair", bridge.pair("00:00:00:00:00:06"), errors.PlatformError,
             0x80070005, None),
            ("already", bridge.connect("00:00:00:00:00:07"), errors.AlreadyConnected, None, None),
            ("not connected", bridge.request({"t": "disconnect", "addr": ROBOT}),
             errors.NotConnected, None, None),
            ("addr required", bridge.request(send(None, 1)), errors.AddrRequired, None, None),
            ("too large", bridge.request(send(first.addr, WINDOW + 1)), errors.TooLarge, None,
             None),
        ]
        for what, call, cls, hresult, status in cases:
            with self.subTest(what):
                with self.assertRaises(cls) as caught:
                    await self.within(call)
                e = caught.exception
                self.assertEqual(e.code, cls.code)
                self.assertTrue(e.text)
                self.assertEqual((e.hresult, e.status), (hresult, status))
        # A send past the window of a phone whose store is slow: BUSY, and nothing of it written.
        filling = asyncio.ensure_future(bridge.request(send(first.addr, WINDOW)))
        await asyncio.sleep(0)  # its send goes out first
        with self.assertRaises(errors.Busy):
            await self.within(bridge.request(send(first.addr, 1)))
        self.assertEqual((await self.within(filling))["bytes"], WINDOW)
        self.assertEqual(self.events, [])

    async def test_a_pairing_that_succeeds_shows_the_pin_it_was_asked_for(self):
        bridge = await self.start(world(
            device("00:00:00:00:00:01", "pairing pin", 'pin "007123"'),
            device("00:00:00:00:00:02", "pairing confirm"),
            device("00:00:00:00:00:03", "paired yes")))
        for addr, pins in (("00:00:00:00:00:01", ["007123"]), ("00:00:00:00:00:02", []),
                           ("00:00:00:00:00:03", [])):
            with self.subTest(addr=addr):
                seen = []
                await self.within(bridge.pair(addr, on_pin=seen.append))
                self.assertEqual(seen, pins)


class Adapter(BridgeCase):
    async def test_without_an_adapter_every_call_fails_with_adapter_off(self):
        bridge = await self.start("adapter absent\n" + device(ROBOT))
        self.assertEqual(bridge.adapter, "absent")
        for call in (collect(bridge.scan(1)), bridge.pair(ROBOT), bridge.connect(ROBOT)):
            with self.subTest(call=call):
                with self.assertRaises(errors.AdapterOff):
                    await self.within(call)

    async def test_the_radio_going_off_ends_everything_and_coming_back_works_again(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        control = Control(folder.name)
        server = await control.listen()
        self.addAsyncCleanup(server.wait_closed)
        self.addCleanup(server.close)
        self.addCleanup(control.close)
        states = []
        bridge = await self.start(
            world(device(ROBOT), device(OTHER, "pair-delay-ms 5000"),
                  top=f"control {control.path}\n"), on_adapter=states.append)
        conn = await self.within(bridge.connect(ROBOT))
        pairing = asyncio.ensure_future(bridge.pair(OTHER))
        await asyncio.sleep(0.05)
        self.assertEqual(await control.change("radio off"), "ok")
        with self.assertRaises(errors.AdapterOff):
            await self.within(pairing)
        await self.within(conn.closed)
        self.assertEqual((conn.cause, bridge.adapter, states), ("ADAPTER_OFF", "off", ["off"]))
        with self.assertRaises(errors.AdapterOff):
            await self.within(bridge.connect(ROBOT))
        self.assertEqual(await control.change("radio on"), "ok")
        while bridge.adapter != "on":
            await self.within(asyncio.sleep(0.01))
        conn = await self.within(bridge.connect(ROBOT))
        conn.write(b"back")
        self.assertEqual(await self.within(conn.readexactly(4)), b"back")
        self.assertEqual(states, ["off", "on"])
