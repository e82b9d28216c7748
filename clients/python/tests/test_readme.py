"""The README's examples run as written against quintel-bt-sim."""
import os
import re
import subprocess
import sys
import unittest

from .support import sim_exe
from .test_terminal import Terminal

_HERE = os.path.dirname(os.path.abspath(__file__))
_REPO = os.path.abspath(os.path.join(_HERE, "..", "..", ".."))


def readme() -> str:
    with open(os.path.join(_HERE, "..", "README.md"), encoding="utf-8") as text:
        return text.read()


class Readme(unittest.TestCase):
    def test_every_python_example_runs(self):
        examples = re.findall(r"```python\n(.*?)```", readme(), re.S)
        expected = ["b'hello 00:1A:7D:DA:71:02\\n'", "b'hello robot\\n'", "OK",
                    "closed by the phone: PHONE_CLOSED"]
        self.assertEqual(len(examples), len(expected))
        self.assertLess(len(examples[0].strip().splitlines()), 20)
        env = dict(os.environ, QUINTEL_BT_EXE=sim_exe(), PYTHONPATH=os.path.join(_HERE, ".."))
        env.pop("QUINTEL_BT_WORLD", None)  # the default world
        for example, shows in zip(examples, expected):
            with self.subTest(example=example.splitlines()[2]):
                run = subprocess.run([sys.executable, "-c", example], env=env, timeout=30,
                                     capture_output=True, encoding="utf-8")
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertIn(shows, run.stdout + run.stderr)

    def test_the_terminal_example_runs(self):
        command = re.search(r"## The terminal\n\n```\n(.*?)\n```", readme(), re.S).group(1)
        command = command.replace("../../build/quintel-bt-sim", sim_exe())
        term = Terminal(self, "bash", "-c", f"cd {_REPO} && {command}", program=[])
        term.wait_for(b"Ctrl-] leaves")
        term.type(b"hello robot\r")
        term.wait_for(b"hello robot\r\n")
        term.type(b"\x1d")
        term.wait_for(b"disconnected")
        self.assertEqual(term.ended(), 0)
