"""Starting the bridge, and the calls a host makes on it.

Every command carries an id and the bridge answers with it, so calls run concurrently: scans,
pairings and connects in flight at once, several connections side by side. A call whose caller
gave up keeps its id until the bridge's final answer, which goes to the event hook."""
from __future__ import annotations

import asyncio
import base64
import inspect
import logging
import os
import re
import shutil
import tempfile
from types import MappingProxyType
from typing import Any, Awaitable, Callable, Dict, List, Mapping, Optional, Union

from ._wire import FINALS, LINE_LIMIT, Call, Event, Wire
from .connection import Connection
from .errors import BridgeError, BridgeExited, UnsupportedBridge, from_event
from .scan import Scan

PROTOCOL = 2

_log = logging.getLogger("quintel_bt")
_ADDRESS = re.compile(r"[0-9A-Fa-f]{12}|[0-9A-Fa-f]{2}([:-])[0-9A-Fa-f]{2}(\1[0-9A-Fa-f]{2}){4}")

OnPin = Callable[[str], Union[None, Awaitable[None]]]
EventHook = Callable[[Event], Any]
AdapterHook = Callable[[str], Any]


def canonical(addr: str) -> str:
    """The address as the bridge writes it: "A4:50:46:12:34:56". Takes 12 hex digits, in
    either case, optionally in pairs joined by ":" or "-"."""
    if not isinstance(addr, str):
        raise TypeError(f"addr must be a str, not {type(addr).__name__}")
    if not _ADDRESS.fullmatch(addr):
        raise ValueError(f"not a Bluetooth address: {addr!r}")
    digits = re.sub(r"[:-]", "", addr).upper()
    return ":".join(digits[i:i + 2] for i in range(0, 12, 2))


class _Request(Call):
    """A call whose caller awaits its final event. Events before it go to `progress`; once
    the caller has given up, every event goes to `late`."""

    def __init__(self, command: str, late: Callable[[Event], None],
                 progress: Optional[Callable[[Event], None]] = None):
        self.finals = FINALS.get(command, frozenset())
        self.future: asyncio.Future = asyncio.get_running_loop().create_future()
        self._late = late
        self._progress = progress

    def event(self, event: Event, final: bool) -> None:
        if self.future.done():
            self._late(event)
        elif final:
            self.future.set_result(event)
        elif self._progress is not None:
            self._progress(event)
        else:
            self._late(event)

    def ended(self, error: BridgeError) -> None:
        if not self.future.done():
            self.future.set_exception(error)


class _Connect(Call):
    """A connect: the connection exists from its connected event on, so that no data event
    after it finds no connection."""

    finals = FINALS["connect"]

    def __init__(self, bridge: "Bridge", addr: str):
        self.bridge = bridge
        self.addr = addr
        self.future: "asyncio.Future[Connection]" = asyncio.get_running_loop().create_future()

    def event(self, event: Event, final: bool) -> None:
        if self.future.done():  # its caller gave up: nobody will use or close what opens
            self.bridge._unanswered(event)
            if event.get("t") == "connected":
                self.bridge._open(str(event.get("addr", self.addr))).abort()
        elif event.get("t") == "connected":
            self.future.set_result(self.bridge._open(str(event.get("addr", self.addr))))
        elif event.get("t") == "error":
            self.future.set_exception(from_event(event))
        # The closed event before a failed connect's error says nothing more.

    def ended(self, error: BridgeError) -> None:
        if not self.future.done():
            self.future.set_exception(error)


class Bridge:
    """A running bridge. Create it with `await quintel_bt.start(...)`."""

    def __init__(self, process: asyncio.subprocess.Process, world_file: Optional[str],
                 on_event: Optional[EventHook], on_log: Any, on_adapter: Optional[AdapterHook],
                 read_limit: int):
        self.on_event = on_event
        self.on_adapter = on_adapter
        self.backend: Optional[str] = None
        self.version: Optional[str] = None
        self.window = 0
        self._adapter = "absent"
        self._world_file = world_file
        self._read_limit = read_limit
        self._links: Dict[str, Connection] = {}
        self._process = process
        self._wire = Wire(process, self._route, on_log)
        self._wire.on_end = self._bridge_ended

    @property
    def pid(self) -> int:
        return self._process.pid

    @property
    def returncode(self) -> Optional[int]:
        return self._process.returncode

    @property
    def adapter(self) -> str:
        """The adapter's state: "on", "off" (its radio is off) or "absent"."""
        return self._adapter

    @property
    def connections(self) -> Mapping[str, Connection]:
        """The open connections by address (a live, read-only view)."""
        return MappingProxyType(self._links)

    # The calls.

    def scan(self, seconds: int = 8) -> Scan:
        """The devices an inquiry of about `seconds` finds (the bridge takes 1 to 10), as an
        async iterator. Raises AdapterOff when the scan cannot run."""
        return Scan(self._wire, int(seconds), self._unanswered)

    async def pair(self, addr: str, on_pin: Optional[OnPin] = None) -> None:
        """Pairs with the device; returns when it is paired. `on_pin(code)` gets the PIN of a
        numeric comparison (the user confirms it on the phone; the bridge accepts on its side);
        it may be a coroutine function, and pair then returns once it has finished too.
        Raises NotVisible, PairingRefused, PlatformError or AdapterOff."""
        addr = canonical(addr)
        tasks: List[asyncio.Future] = []
        pin_error: List[BaseException] = []

        def pin(event: Event) -> None:
            if on_pin is None or event.get("t") != "pairing-code":
                self._unanswered(event)
                return
            try:
                result = on_pin(str(event.get("code", "")))
                if inspect.isawaitable(result):
                    tasks.append(asyncio.ensure_future(result))
            except Exception as error:  # raised from pair() once its result is in
                pin_error.append(error)

        try:
            answer = await self._call({"t": "pair", "addr": addr}, pin)
        except asyncio.CancelledError:
            for task in tasks:
                task.cancel()
            raise
        except BridgeError:
            await asyncio.gather(*tasks, return_exceptions=True)
            raise
        for task in tasks:
            await task
        if pin_error:
            raise pin_error[0]
        if answer.get("ok") is not True:
            raise from_event(answer)

    async def connect(self, addr: str) -> Connection:
        """Opens the serial-port connection; returns once it is open. Connections to other
        addresses stay open beside it. Raises NotVisible, NoSerialService, OpenFailed,
        PlatformError, AlreadyConnected or AdapterOff."""
        call = _Connect(self, canonical(addr))
        self._wire.issue(call, {"t": "connect", "addr": call.addr})
        try:
            return await call.future
        except asyncio.CancelledError:
            if call.future.done() and not call.future.cancelled():
                call.future.result().abort()  # opened as its caller gave up
            raise

    async def request(self, command: Dict[str, Any]) -> Event:
        """Sends a command the client has no call for and returns its final event; a failure
        raises its BridgeError. The client sets the id. Events before the final one go to the
        event hook. Bytes sent this way bypass the connections' accounting of the window."""
        if command.get("t") == "hello":
            raise ValueError("the client says hello itself: another would change the protocol")
        return await self._call(command, self._unanswered)

    async def close(self, timeout: float = 5.0) -> Optional[int]:
        """Ends the bridge: closes its standard input (it disconnects everything and exits),
        waits up to `timeout` seconds, then kills it. Returns its exit status."""
        try:
            await self._wire.close_input()
            try:
                await asyncio.wait_for(self._process.wait(), timeout)
            except asyncio.TimeoutError:
                _log.warning("the bridge did not exit within %s s; killing it", timeout)
        finally:
            if self._process.returncode is None:
                self._process.kill()
                await self._process.wait()
            await self._wire.finished()
            self._remove_world_file()
        return self._process.returncode

    async def __aenter__(self) -> "Bridge":
        return self

    async def __aexit__(self, *exc_info: Any) -> None:
        await self.close()

    # Answers.

    async def _call(self, command: Dict[str, Any],
                    progress: Optional[Callable[[Event], None]] = None) -> Event:
        call = _Request(str(command.get("t", "")), self._unanswered, progress)
        self._wire.issue(call, command)
        answer = await call.future
        if answer.get("t") == "error":
            raise from_event(answer)
        return answer

    def _open(self, addr: str) -> Connection:
        conn = Connection(self._wire, addr, self._read_limit, self.window, self._forget)
        self._links[addr] = conn
        return conn

    def _forget(self, conn: Connection) -> None:
        if self._links.get(conn.addr) is conn:
            del self._links[conn.addr]

    def _route(self, event: Event) -> None:
        kind = event.get("t")
        conn = self._links.get(event.get("addr", "")) if kind in ("data", "closed") else None
        if conn is not None and "id" not in event:
            if kind == "data":
                conn._feed(base64.b64decode(event.get("b64", "")))
                if conn._full():
                    self._wire.hold = conn._full
            else:
                conn._end(str(event.get("code", "")), str(event.get("reason", "")))
        elif kind == "adapter":
            self._adapter_changed(str(event.get("state", "")))
        else:
            self._unanswered(event)

    def _adapter_changed(self, state: str) -> None:
        self._adapter = state
        self._hook(self.on_adapter, state, "adapter hook")

    def _unanswered(self, event: Event) -> None:
        if self.on_event is None:
            _log.debug("event no call waited for: %r", event)
        else:
            self._hook(self.on_event, event, "event hook")

    @staticmethod
    def _hook(hook: Optional[Callable[[Any], Any]], value: Any, name: str) -> None:
        if hook is None:
            return
        try:
            result = hook(value)
            if inspect.isawaitable(result):
                asyncio.ensure_future(result)
        except Exception:
            _log.exception("the %s failed", name)

    def _bridge_ended(self, error: BridgeError) -> None:
        for conn in list(self._links.values()):
            conn._end("BRIDGE_EXITED", error.text)

    async def _greet(self, timeout: float) -> None:
        await self._wire.ready
        self.backend = self._wire.ready_event.get("backend")
        call = _Request("hello", self._unanswered)
        self._wire.issue(call, {"t": "hello", "protocol": PROTOCOL})
        try:
            answer = await asyncio.wait_for(asyncio.shield(call.future), timeout)
        except asyncio.TimeoutError:
            call.future.cancel()
            raise UnsupportedBridge(
                f"the bridge did not answer hello within {timeout:g} s: it speaks protocol 1 "
                f"only, and this client needs protocol {PROTOCOL}") from None
        protocol = answer.get("protocol")
        if answer.get("t") != "hello" or protocol != PROTOCOL:
            raise UnsupportedBridge(
                f"the bridge offers protocol {protocol}, and this client needs protocol "
                f"{PROTOCOL}", protocol if isinstance(protocol, int) else None)
        self.backend = answer.get("backend", self.backend)
        self.version = answer.get("version")
        self.window = int(answer.get("window", 0))
        self._adapter = str(answer.get("adapter", "on"))
        if self.window <= 0:
            raise UnsupportedBridge(f"the bridge gave no window for sends: {answer!r}",
                                    PROTOCOL)

    def _remove_world_file(self) -> None:
        if self._world_file is not None:
            try:
                os.unlink(self._world_file)
            except OSError:
                pass
            self._world_file = None


def find_executable(exe: Optional[str] = None) -> str:
    """`exe`, else $QUINTEL_BT_EXE, else quintel-bt-sim or quintel-bt on PATH."""
    found = (exe or os.environ.get("QUINTEL_BT_EXE") or shutil.which("quintel-bt-sim")
             or shutil.which("quintel-bt"))
    if not found:
        raise FileNotFoundError("no bridge: pass exe=, set QUINTEL_BT_EXE, or put "
                                "quintel-bt-sim or quintel-bt on PATH")
    return os.fspath(found)


async def start(exe: Optional[str] = None, world: Optional[str] = None,
                world_text: Optional[str] = None, *, on_event: Optional[EventHook] = None,
                on_log: Any = None, on_adapter: Optional[AdapterHook] = None,
                read_limit: int = 1 << 20, hello_timeout: float = 10.0) -> Bridge:
    """Starts the bridge and returns once it speaks protocol 2.

    world / world_text: a world file's path or its text, for quintel-bt-sim.
    on_event(event): every event that answers no waiting call, as a dict.
    on_log: the bridge's log (standard error), a callable taking each line or a text stream.
    on_adapter(state): each change of the adapter's state ("on", "off", "absent").
    read_limit: bytes a connection keeps unread before the client stops reading the bridge.
    """
    if world is not None and world_text is not None:
        raise ValueError("give world or world_text, not both")
    path = find_executable(exe)
    env = dict(os.environ)
    world_file = None
    if world_text is not None:
        fd, world_file = tempfile.mkstemp(prefix="quintel-bt-world-", suffix=".txt")
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            out.write(world_text)
        env["QUINTEL_BT_WORLD"] = world_file
    elif world is not None:
        env["QUINTEL_BT_WORLD"] = os.fspath(world)
    try:
        process = await asyncio.create_subprocess_exec(
            path, stdin=asyncio.subprocess.PIPE, stdout=asyncio.subprocess.PIPE,
            stderr=asyncio.subprocess.PIPE, env=env, limit=LINE_LIMIT)
    except BaseException:
        if world_file is not None:
            os.unlink(world_file)
        raise
    bridge = Bridge(process, world_file, on_event, on_log, on_adapter, read_limit)
    try:
        await bridge._greet(hello_timeout)
        bridge._remove_world_file()  # read once at start-up
    except BridgeExited as error:
        await bridge.close()
        log = "\n".join(bridge._wire.log_tail)
        raise BridgeExited(f"{error.text} before it was ready" +
                           (f"; its log:\n{log}" if log else "")) from None
    except BaseException:
        await bridge.close(timeout=1.0)
        raise
    return bridge
