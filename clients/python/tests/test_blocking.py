"""The blocking idiom: reads with timeouts, writes, the end, one bridge shared by the Serials."""
import os
import tempfile
import threading
import time
import unittest

import quintel_bt
from quintel_bt import ConnectionClosed

from .support import ROBOT, device, sim_exe, world

OTHER = "00:1A:7D:DA:71:13"


class Timeouts(unittest.TestCase):
    def setUp(self):
        self.bridge = quintel_bt.BlockingBridge(sim_exe(), world_text=world(
            device(ROBOT), device(OTHER, 'phone-send "hi"', "phone-wait 300", "phone-close")))
        self.addCleanup(self.bridge.close)

    def timed(self, read):
        began = time.monotonic()
        result = read()
        return result, time.monotonic() - began

    def test_reads_give_what_came_within_the_timeout(self):
        robot = self.bridge.open(ROBOT, timeout=0.2)
        self.addCleanup(robot.close)
        self.assertEqual(robot.write(b"one\ntw"), 6)
        robot.flush()
        while robot.in_waiting < 6:  # the echo is back, however slow the machine
            time.sleep(0.01)
        cases = [  # read, expected bytes, waits for the timeout
            (lambda: robot.readline(), b"one\n", False),
            (lambda: robot.readline(), b"tw", True),
            (lambda: robot.read(5), b"", True),
        ]
        for read, expected, waits in cases:
            result, took = self.timed(read)
            self.assertEqual(result, expected)
            self.assertEqual(took >= 0.19, waits, took)
        robot.timeout = 0
        self.assertEqual(robot.read(1), b"")  # never waits
        robot.write(b"abcdef")
        robot.flush()
        while robot.in_waiting < 6:
            time.sleep(0.01)
        self.assertEqual(robot.read_until(b"c"), b"abc")
        self.assertEqual(robot.read(10), b"def")  # never waits
        robot.timeout = None  # waits for ever: here for bytes written from another thread
        threading.Timer(0.1, robot.write, [b"late"]).start()
        self.assertEqual(robot.read(4), b"late")

    def test_the_end_gives_the_last_bytes_then_fails_reads(self):
        with self.bridge.open(OTHER, timeout=5) as robot:
            self.assertEqual(robot.read(10), b"hi")  # cut short by the end, not the timeout
            with self.assertRaises(ConnectionClosed):
                robot.read(1)
            self.assertEqual(robot.cause, "PHONE_CLOSED")
        self.assertFalse(robot.is_open)


class Shared(unittest.TestCase):
    def test_serials_that_name_no_bridge_share_one_that_ends_with_the_last(self):
        exe, (fd, world_file) = sim_exe(), tempfile.mkstemp()
        with os.fdopen(fd, "w") as out:
            out.write(world(device(ROBOT), device(OTHER)))
        self.addCleanup(os.unlink, world_file)
        saved = {k: os.environ.get(k) for k in ("QUINTEL_BT_EXE", "QUINTEL_BT_WORLD")}
        os.environ.update(QUINTEL_BT_EXE=exe, QUINTEL_BT_WORLD=world_file)
        self.addCleanup(lambda: [os.environ.pop(k, None) if v is None else
                                 os.environ.__setitem__(k, v) for k, v in saved.items()])
        with quintel_bt.Serial(ROBOT, timeout=5) as first:
            with quintel_bt.Serial(OTHER, timeout=5) as second:
                self.assertIs(first._bridge, second._bridge)
                first.write(b"1")
                second.write(b"2")
                self.assertEqual((first.read(1), second.read(1)), (b"1", b"2"))
            bridge = first._bridge.bridge
            self.assertIsNone(bridge.returncode)
        self.assertEqual(bridge.returncode, 0)
