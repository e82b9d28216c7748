"""The README's examples run as written against quintel-bt-sim."""
import os
import re
import subprocess
import sys
import unittest

from .support import sim_exe

_HERE = os.path.dirname(os.path.abspath(__file__))


class Readme(unittest.TestCase):
    def test_every_example_runs(self):
        with open(os.path.join(_HERE, "..", "README.md"), encoding="utf-8") as readme:
            examples = re.findall(r"```python\n(.*?)```", readme.read(), re.S)
        self.assertEqual(len(examples), 3)
        env = dict(os.environ, QUINTEL_BT_EXE=sim_exe(),
                   PYTHONPATH=os.path.join(_HERE, ".."))
        env.pop("QUINTEL_BT_WORLD", None)  # the default world
        expected = ["b'hello robot\\n'", "OK", "closed: соединение закрыто"]
        for example, shows in zip(examples, expected):
            with self.subTest(example=example.splitlines()[2]):
                run = subprocess.run([sys.executable, "-c", example], env=env, timeout=30,
                                     capture_output=True, encoding="utf-8")
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertIn(shows, run.stdout + run.stderr)
