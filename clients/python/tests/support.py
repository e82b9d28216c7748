"""Shared pieces of the tests: the simulated bridge, worlds, and a bridge per test."""
import asyncio
import os
import unittest

import quintel_bt

ROBOT = "A4:50:46:12:34:56"
_REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", "..", ".."))


def sim_exe() -> str:
    exe = os.environ.get("QUINTEL_BT_EXE") or os.path.join(_REPO, "build", "quintel-bt-sim")
    if not os.access(exe, os.X_OK):
        raise RuntimeError(f"no quintel-bt-sim at {exe}: build it or set QUINTEL_BT_EXE")
    return exe


def world(*devices: str, top: str = "") -> str:
    """A world with a fast inquiry and the given device blocks."""
    return "adapter present\ninquiry-unit-ms 1\n" + top + "".join(devices)


def device(addr: str, *keys: str) -> str:
    return f"device {addr}\n" + "".join(f"  {key}\n" for key in keys)


def status(pid: int, key: str) -> int:
    """A figure of /proc/PID/status in kB (VmRSS, VmHWM)."""
    with open(f"/proc/{pid}/status") as lines:
        for line in lines:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    raise KeyError(key)


class BridgeCase(unittest.IsolatedAsyncioTestCase):
    """Starts bridges that end with the test; unanswered events and log lines are kept."""

    async def start(self, world_text: str, **options) -> quintel_bt.Bridge:
        self.events = []
        self.log = []
        bridge = await asyncio.wait_for(
            quintel_bt.start(sim_exe(), world_text=world_text, on_event=self.events.append,
                             on_log=self.log.append, **options), 10)
        self.addAsyncCleanup(bridge.close)
        return bridge

    def log_count(self, prefix: str) -> int:
        return sum(line.startswith(prefix) for line in self.log)

    async def within(self, awaitable, seconds: float = 10):
        return await asyncio.wait_for(awaitable, seconds)


class Control:
    """The simulated world's control channel (world key `control PATH`): the bridge connects
    at start, and each line changes the world once it is answered "ok"."""

    def __init__(self, folder: str):
        self.path = os.path.join(folder, "control.sock")
        self._link: "asyncio.Future" = asyncio.get_running_loop().create_future()

    async def listen(self) -> "asyncio.AbstractServer":
        def accepted(reader, writer):
            if not self._link.done():
                self._link.set_result((reader, writer))
        return await asyncio.start_unix_server(accepted, self.path)

    def close(self) -> None:
        if self._link.done():
            self._link.result()[1].close()

    async def change(self, line: str) -> str:
        reader, writer = await asyncio.wait_for(asyncio.shield(self._link), 10)
        writer.write(line.encode() + b"\n")
        return (await asyncio.wait_for(reader.readline(), 10)).decode().strip()
