"""Scans: the devices one inquiry finds."""
from __future__ import annotations

import asyncio
import collections
from dataclasses import dataclass
from typing import TYPE_CHECKING, Deque, Optional

if TYPE_CHECKING:
    from .bridge import Bridge


@dataclass(frozen=True)
class Device:
    addr: str
    name: str
    paired: bool


class Scan:
    """The devices of one scan, as an async iterator that ends at "scan-done". The scan
    command goes out when iteration starts (after any earlier scan has ended)."""

    def __init__(self, bridge: "Bridge", seconds: int):
        self._bridge = bridge
        self.seconds = seconds
        self._queued = False
        self._sent = False
        self._devices: Deque[Device] = collections.deque()
        self._done = False
        self._error: Optional[BaseException] = None
        self._waiter: Optional[asyncio.Future] = None

    def __aiter__(self) -> "Scan":
        return self

    async def __anext__(self) -> Device:
        if not self._queued:
            self._queued = True
            self._bridge._queue_scan(self)
        while not self._devices:
            if self._done:
                if self._error is not None:
                    raise self._error
                raise StopAsyncIteration
            self._waiter = asyncio.get_running_loop().create_future()
            try:
                await self._waiter
            except asyncio.CancelledError:
                if not self._sent:  # never reached the bridge: give up the turn
                    self._bridge._unqueue_scan(self)
                    self._queued = False
                raise
            finally:
                self._waiter = None
        return self._devices.popleft()

    async def aclose(self) -> None:
        """Stops listening; a scan already under way still runs to its end in the bridge."""
        if not self._sent and self._queued:
            self._bridge._unqueue_scan(self)
        self._done = True
        self._devices.clear()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    def _add(self, device: Device) -> None:
        if not self._done:
            self._devices.append(device)
            self._wake()

    def _finish(self, error: Optional[BaseException] = None) -> None:
        if not self._done:
            self._done = True
            self._error = error
        self._wake()
