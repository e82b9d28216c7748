"""python -m quintel_bt, driven as a person would: through a pseudo-terminal."""
import os
import pty
import select
import subprocess
import sys
import tempfile
import time
import unittest

from .support import ROBOT, device, sim_exe, world

_HERE = os.path.dirname(os.path.abspath(__file__))


class Terminal:
    """The command on a pseudo-terminal: type into it, read what the screen shows."""

    def __init__(self, case, *args, world_text=None,
                 program=(sys.executable, "-m", "quintel_bt")):
        env = dict(os.environ, QUINTEL_BT_EXE=sim_exe(), PYTHONPATH=os.path.join(_HERE, ".."))
        env.pop("QUINTEL_BT_WORLD", None)
        if world_text is not None:
            path = os.path.join(case.folder, "world.txt")
            with open(path, "w") as out:
                out.write(world_text)
            env["QUINTEL_BT_WORLD"] = path
        self.master, slave = pty.openpty()
        self.process = subprocess.Popen([*program, *args],
                                        stdin=slave, stdout=slave, stderr=slave, env=env)
        os.close(slave)
        case.addCleanup(os.close, self.master)
        case.addCleanup(lambda: self.process.poll() is None and self.process.kill())
        self.screen = b""

    def type(self, keys: bytes) -> None:
        os.write(self.master, keys)

    def wait_for(self, text: bytes, seconds: float = 10) -> bytes:
        deadline = time.monotonic() + seconds
        while text not in self.screen and time.monotonic() < deadline:
            if select.select([self.master], [], [], 0.05)[0]:
                try:
                    self.screen += os.read(self.master, 4096)
                except OSError:  # the command has ended
                    break
        if text not in self.screen:
            raise AssertionError(f"{text!r} never showed; the screen: {self.screen!r}")
        return self.screen

    def ended(self) -> int:
        return self.process.wait(10)


class Term(unittest.TestCase):
    def setUp(self):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name

    def test_raw_mode_sends_each_key_and_shows_the_echo_until_ctrl_bracket(self):
        term = Terminal(self, "term", ROBOT)
        term.wait_for(b"Ctrl-] leaves")
        term.type(b"hi\r")  # Enter sends a line feed, as the robot expects
        term.wait_for(b"hi\r\n")
        term.type(b"\x03")  # Ctrl-C is a byte for the phone in raw mode, not an interrupt
        term.wait_for(b"\x03")
        term.type(b"\x1d")
        term.wait_for(b"disconnected")
        self.assertEqual(term.ended(), 0)

    def test_line_mode_with_hex_sends_whole_lines_and_shows_bytes_in_hex(self):
        term = Terminal(self, "term", "--line", "--hex", "--eol", "crlf", ROBOT)
        term.wait_for(b"Ctrl-] leaves")
        term.type(b"ab")
        time.sleep(0.2)
        self.assertNotIn(b"61 62", term.screen)  # nothing goes before Enter
        term.type(b"\r")
        term.wait_for(b"61 62 0D 0A ")
        term.type(b"dropped\x1d")  # leaves at once; the unfinished line is not sent
        term.wait_for(b"disconnected")
        self.assertEqual(term.ended(), 0)
        self.assertNotIn(b"64 72", term.screen)

    def test_the_end_of_the_phone_ends_the_terminal_with_its_cause(self):
        term = Terminal(self, "term", ROBOT, world_text=world(
            device(ROBOT, 'phone-send "bye\\n"', "phone-close")))
        term.wait_for(b"PHONE_CLOSED")
        self.assertIn(b"bye", term.screen)
        self.assertEqual(term.ended(), 1)

    def test_scan_and_pair_show_the_devices_and_the_pin(self):
        robot_world = world(device(ROBOT, 'name "Robot Phone"', 'pin "482916"'))
        scan = Terminal(self, "scan", "--seconds", "1", world_text=robot_world)
        scan.wait_for(f"{ROBOT}  Robot Phone".encode())
        self.assertEqual(scan.ended(), 0)
        pair = Terminal(self, "pair", ROBOT.lower(), world_text=robot_world)
        pair.wait_for(b"PIN 482916")
        pair.wait_for(b"paired")
        self.assertEqual(pair.ended(), 0)
        failed = Terminal(self, "pair", ROBOT, world_text=world(device(ROBOT, "pair-status 19")))
        failed.wait_for(b"PAIRING_REFUSED")
        self.assertEqual(failed.ended(), 1)
