"""Scans: the devices one inquiry finds."""
from __future__ import annotations

import asyncio
import collections
from dataclasses import dataclass
from typing import Callable, Deque, Optional

from ._wire import FINALS, Call, Event, Wire
from .errors import BridgeError, from_event


@dataclass(frozen=True)
class Device:
    addr: str
    name: str
    paired: bool


class Scan(Call):
    """The devices of one scan, as an async iterator that ends at the scan's end. The scan
    command goes out when iteration starts; scans may run side by side."""

    finals = FINALS["scan"]

    def __init__(self, wire: Wire, seconds: int, late: Callable[[Event], None]):
        self._wire = wire
        self._late = late
        self.seconds = seconds
        self._started = False
        self._devices: Deque[Device] = collections.deque()
        self._done = False  # the scan has ended, or the caller stopped listening
        self._left = False
        self._error: Optional[BaseException] = None
        self._waiter: Optional[asyncio.Future] = None

    def __aiter__(self) -> "Scan":
        return self

    async def __anext__(self) -> Device:
        if not self._started:
            self._started = True
            self._wire.issue(self, {"t": "scan", "seconds": self.seconds})
        while not self._devices:
            if self._done:
                if self._error is not None:
                    raise self._error
                raise StopAsyncIteration
            self._waiter = asyncio.get_running_loop().create_future()
            try:
                await self._waiter
            finally:
                self._waiter = None
        return self._devices.popleft()

    async def aclose(self) -> None:
        """Stops listening; a scan already under way still runs to its end in the bridge, and
        its later events go to the event hook."""
        self._left = True
        self._done = True
        self._devices.clear()
        self._wake()

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    def event(self, event: Event, final: bool) -> None:
        if self._left:
            self._late(event)
            return
        if event.get("t") == "device":
            self._devices.append(Device(str(event.get("addr", "")), str(event.get("name", "")),
                                        bool(event.get("paired", False))))
        elif final and (event.get("t") == "error" or "code" in event):
            self._error = from_event(event)
        self._done = self._done or final
        self._wake()

    def ended(self, error: BridgeError) -> None:
        if not self._done:
            self._done = True
            self._error = error
        self._wake()
