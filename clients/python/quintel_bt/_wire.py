"""The bridge process's standard streams: each command goes out with an id of its own, each
event that carries an id goes to the call that sent it, and every other event to the router.

Ids are never reused, so the late answer of a call its caller gave up on can only reach that
call (which hands it to the event hook), never another."""
from __future__ import annotations

import asyncio
import collections
import itertools
import json
import logging
from typing import Any, Callable, Deque, Dict, FrozenSet, Optional

from .errors import BridgeError, BridgeExited

Event = Dict[str, Any]

_log = logging.getLogger("quintel_bt")

# Far above any line the bridge writes (a data event is at most 5.5 kB).
LINE_LIMIT = 1 << 24

# The event that ends each command's answer; an error carrying a command's id always does.
FINALS: Dict[str, FrozenSet[str]] = {
    "hello": frozenset({"hello"}),
    "scan": frozenset({"scan-done"}),
    "stop-scan": frozenset({"ok"}),
    "pair": frozenset({"pair-result"}),
    "connect": frozenset({"connected"}),
    "send": frozenset({"sent"}),
    "disconnect": frozenset({"closed"}),
}


class Call:
    """One command in flight, from its line to its final event."""

    finals: FrozenSet[str] = frozenset()

    def event(self, event: Event, final: bool) -> None:
        """Each event carrying this call's id; `final` at the last one."""

    def ended(self, error: BridgeError) -> None:
        """The bridge ended before the final event."""


class Wire:
    """Writes command lines, reads event lines and the log, and notices the bridge's end.

    `route(event)` gets each event without a known id; it may set `hold`, a test that keeps
    the reader waiting (read backpressure) until it turns false and `make_room()` is called."""

    def __init__(self, process: asyncio.subprocess.Process,
                 route: Callable[[Event], None], on_log: Any):
        self.process = process
        self.route = route
        self.on_log = on_log
        self.hold: Optional[Callable[[], bool]] = None
        self.on_end: Callable[[BridgeError], None] = lambda error: None
        self.ready = asyncio.get_running_loop().create_future()
        self.ready_event: Event = {}
        self.log_tail: Deque[str] = collections.deque(maxlen=20)
        self.exited: Optional[str] = None
        self.stopping = False
        self.acks_awaited = 0  # writes waiting for the bridge's acknowledgements
        self._calls: Dict[int, Call] = {}
        self._ids = itertools.count(1)
        self._room: Optional[asyncio.Future] = None
        self._tasks = [asyncio.ensure_future(self._read_events()),
                       asyncio.ensure_future(self._read_log())]

    # Writing.

    def check_running(self) -> None:
        if self.exited is not None:
            raise BridgeExited(self.exited)
        if self.process.stdin is None or self.process.stdin.is_closing():
            raise BridgeExited("the bridge's standard input is closed")

    def issue(self, call: Call, command: Dict[str, Any]) -> int:
        """Sends the command with a fresh id (after "t") and registers the call under it."""
        ident = next(self._ids)
        line = {"t": command["t"], "id": ident}
        line.update((k, v) for k, v in command.items() if k not in ("t", "id"))
        self.issue_line(call, ident, json.dumps(line, separators=(",", ":")).encode())
        return ident

    def issue_line(self, call: Call, ident: int, line: bytes) -> None:
        """Sends a line the caller built with the id from `next_id()`."""
        self.check_running()
        assert self.process.stdin is not None
        self.process.stdin.write(line + b"\n")
        self._calls[ident] = call

    def next_id(self) -> int:
        return next(self._ids)

    async def close_input(self) -> None:
        self.stopping = True
        self.make_room()
        stdin = self.process.stdin
        if stdin is not None and not stdin.is_closing():
            stdin.close()

    # Reading.

    def make_room(self) -> None:
        if self._room is not None and not self._room.done():
            self._room.set_result(None)

    async def _read_events(self) -> None:
        stdout = self.process.stdout
        assert stdout is not None
        try:
            while True:
                try:
                    raw = await stdout.readuntil(b"\n")
                except asyncio.IncompleteReadError as end:
                    if end.partial:
                        self._line(end.partial)
                    break
                self._line(raw)
                while self.hold is not None and self.hold() and not self.stopping:
                    self._room = asyncio.get_running_loop().create_future()
                    try:
                        await self._room
                    finally:
                        self._room = None
                self.hold = None
        finally:
            status = await self.process.wait()
            self._ended(f"the bridge exited with status {status}")

    def _line(self, raw: bytes) -> None:
        text = raw.decode("utf-8", "replace").rstrip("\r\n")
        try:
            event = json.loads(text)
            if not isinstance(event, dict):
                raise ValueError("not an object")
        except ValueError:
            self.route({"t": None, "line": text})
            return
        try:
            self._dispatch(event)
        except Exception:  # a malformed event must not stop the reader
            _log.exception("could not handle the event %r", text)

    def _dispatch(self, event: Event) -> None:
        ident = event.get("id")
        call = self._calls.get(ident) if isinstance(ident, int) else None
        if call is None:
            if not self.ready.done() and event.get("t") == "ready":
                self.ready_event = event
                self.ready.set_result(None)
            else:
                self.route(event)
            return
        kind = event.get("t")
        final = kind == "error" or kind in call.finals
        if final:
            del self._calls[ident]
        call.event(event, final)

    async def _read_log(self) -> None:
        stderr = self.process.stderr
        assert stderr is not None
        while True:
            try:
                raw = await stderr.readuntil(b"\n")
            except asyncio.IncompleteReadError as end:
                raw = end.partial
                if not raw:
                    return
            except asyncio.LimitOverrunError:
                raw = await stderr.read(LINE_LIMIT)
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            self.log_tail.append(line)
            sink = self.on_log
            try:
                if sink is None:
                    pass
                elif callable(sink):
                    sink(line)
                else:
                    sink.write(line + "\n")
                    if hasattr(sink, "flush"):
                        sink.flush()
            except Exception:
                _log.exception("the log sink failed")

    def _ended(self, why: str) -> None:
        self.exited = why
        error = BridgeExited(why)
        calls, self._calls = self._calls, {}
        for call in calls.values():
            call.ended(error)
        if not self.ready.done():
            self.ready.set_exception(error)
        self.on_end(error)

    async def finished(self) -> None:
        await asyncio.gather(*self._tasks, return_exceptions=True)
