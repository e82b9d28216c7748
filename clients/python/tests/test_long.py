"""100 MB to a phone that reads slowly: memory stays bounded in the client and the bridge, and
the client never meets BUSY."""
import asyncio
import os
import sys
import tempfile
import time

from .slow_phone import PATTERN_SIZE, pattern
from .support import ROBOT, BridgeCase, device, status, world

TOTAL = 100 * 1000 * 1000
WRITE = 1 << 20
SEED = 7


class SlowPhone(BridgeCase):
    async def test_a_hundred_megabytes_to_a_slow_phone_in_bounded_memory(self):
        folder = tempfile.mkdtemp()
        path = os.path.join(folder, "phone.sock")
        phone = await asyncio.create_subprocess_exec(
            sys.executable, os.path.join(os.path.dirname(__file__), "slow_phone.py"), path,
            str(SEED), "65536", "0.002", stdout=asyncio.subprocess.PIPE)
        self.addAsyncCleanup(phone.wait)
        self.addCleanup(lambda: phone.returncode is None and phone.kill())
        self.assertEqual(await self.within(phone.stdout.readline()), b"listening\n")
        bridge = await self.start(world(device(ROBOT, f"phone live {path}")))
        conn = await self.within(bridge.connect(ROBOT))
        source = pattern(SEED) * 2
        client_start = status(os.getpid(), "VmRSS")
        peaks = {"client": 0, "in flight": 0}

        def sample():
            peaks["client"] = max(peaks["client"], status(os.getpid(), "VmRSS"))
            peaks["in flight"] = max(peaks["in flight"], conn._in_flight)
        began = time.monotonic()
        for offset in range(0, TOTAL, WRITE):
            at = offset % PATTERN_SIZE
            conn.write(source[at:at + min(WRITE, TOTAL - offset)])
            await self.within(conn.drain(), 60)
            sample()
        await self.within(conn.flush(), 60)
        seconds = time.monotonic() - began
        bridge_peak = status(bridge.pid, "VmHWM")
        await self.within(conn.close())
        report = (await self.within(phone.stdout.readline(), 60)).decode().split()
        self.assertEqual(report, ["received", str(TOTAL), "mismatch", "None"])
        self.assertEqual(self.events, [])  # no BUSY, nothing unanswered
        self.assertLessEqual(peaks["in flight"], bridge.window)
        growth = peaks["client"] - client_start
        print(f"\n100 MB to a slow phone: {seconds:.1f} s ({TOTAL / seconds / 1e6:.1f} MB/s); "
              f"client RSS growth {growth} kB; bridge peak RSS {bridge_peak} kB; "
              f"most in flight {peaks['in flight']} B", file=sys.stderr)
        self.assertLess(growth, 32 * 1024)  # loose: the window is 1 MiB, each write 1 MiB
        self.assertLess(bridge_peak, 64 * 1024)
