"""Starting the bridge and matching its events to the calls that wait for them.

Events carry no correlation id: a "pair-result" names its address but a "pairing-code" names
none, and "connected", "error" and "closed" say nothing of which connect they answer. So pairs
run one at a time, connects one at a time (the bridge holds one connection), and scans one at
a time, each queued in call order. A call that is cancelled after its command went out keeps
its turn until the bridge's answer arrives, so that answer is never taken for the next call's."""
from __future__ import annotations

import asyncio
import base64
import collections
import inspect
import json
import logging
import os
import shutil
import tempfile
from typing import Any, Callable, Deque, Dict, List, Optional

from .connection import Connection
from .errors import (WRITE_FAILED_TEXT, BridgeError, BridgeExited, connect_failure,
                     pair_failure)
from .scan import Device, Scan

_log = logging.getLogger("quintel_bt")

# Far above any line the bridge writes (a data event is at most 5.5 kB).
_LINE_LIMIT = 1 << 24


class _Call:
    """One queued pair or connect call."""

    def __init__(self, addr: str, on_pin: Optional[Callable] = None):
        self.addr = addr
        self.on_pin = on_pin
        self.future = asyncio.get_running_loop().create_future()
        self.error: Optional[str] = None  # a connect's error event, before its closed event
        self.pin_tasks: List[asyncio.Future] = []
        self.pin_error: Optional[BaseException] = None


class Bridge:
    """A running bridge. Create it with `await quintel_bt.start(...)`."""

    def __init__(self, process: asyncio.subprocess.Process, world_file: Optional[str],
                 on_event: Optional[Callable[[Dict[str, Any]], Any]], on_log: Any,
                 read_limit: int = 1 << 20):
        self._process = process
        self._read_limit = read_limit
        self._stopping = False
        self._world_file = world_file
        self.on_event = on_event
        self.on_log = on_log
        self.backend: Optional[str] = None
        self._ready = asyncio.get_running_loop().create_future()
        self._log_tail: Deque[str] = collections.deque(maxlen=20)
        self._exited: Optional[str] = None
        self._pairs: Deque[_Call] = collections.deque()
        self._pair: Optional[_Call] = None
        self._connects: Deque[_Call] = collections.deque()
        self._connect: Optional[_Call] = None
        self._conn: Optional[Connection] = None
        self._scans: Deque[Scan] = collections.deque()
        self._scan: Optional[Scan] = None
        self._tasks = [asyncio.ensure_future(self._read_events()),
                       asyncio.ensure_future(self._read_log())]

    @property
    def pid(self) -> int:
        return self._process.pid

    @property
    def returncode(self) -> Optional[int]:
        return self._process.returncode

    # The calls.

    def scan(self, seconds: int = 8) -> Scan:
        """The devices an inquiry of about `seconds` finds (the bridge takes 1 to 10)."""
        return Scan(self, int(seconds))

    async def pair(self, addr: str, on_pin: Optional[Callable[[str], Any]] = None) -> None:
        """Pairs with the device; returns when it is paired. `on_pin(code)` gets the PIN of a
        numeric comparison (the user confirms it on the phone; the bridge accepts on its side).
        Raises NotVisible, PairingRefused or PlatformError."""
        call = _Call(_address(addr), on_pin)
        self._check_running()
        self._pairs.append(call)
        self._pump_pairs()
        try:
            await call.future
        except asyncio.CancelledError:
            for task in call.pin_tasks:
                task.cancel()
            raise
        except BridgeError:
            await asyncio.gather(*call.pin_tasks, return_exceptions=True)
            raise
        for task in call.pin_tasks:
            await task
        if call.pin_error is not None:
            raise call.pin_error

    async def connect(self, addr: str) -> Connection:
        """Opens the serial-port connection; returns once it is open. While another connection
        is open, waits for it to close (the bridge holds one). Raises NotVisible,
        NoSerialService, PlatformError or OpenFailed."""
        call = _Call(_address(addr))
        self._check_running()
        self._connects.append(call)
        self._pump_connects()
        return await call.future

    async def close(self, timeout: float = 5.0) -> Optional[int]:
        """Ends the bridge: closes its standard input (it disconnects and exits), waits up to
        `timeout` seconds, then kills it. Returns its exit status."""
        self._stopping = True
        if self._conn is not None:
            self._conn._make_room()
        try:
            if not self._process.stdin.is_closing():
                self._process.stdin.close()
            try:
                await asyncio.wait_for(self._process.wait(), timeout)
            except asyncio.TimeoutError:
                _log.warning("the bridge did not exit within %s s; killing it", timeout)
        finally:
            if self._process.returncode is None:
                self._process.kill()
                await self._process.wait()
            await asyncio.gather(*self._tasks, return_exceptions=True)
            self._remove_world_file()
        return self._process.returncode

    async def __aenter__(self) -> "Bridge":
        return self

    async def __aexit__(self, *exc_info) -> None:
        await self.close()

    # Queues. Each runs the next waiting call once the one before it has its answer.

    def _pump_pairs(self) -> None:
        while self._pair is None and self._pairs and self._exited is None:
            call = self._pairs.popleft()
            if call.future.done():  # cancelled while waiting for its turn
                continue
            if self._issue(call, {"t": "pair", "addr": call.addr}):
                self._pair = call

    def _pump_connects(self) -> None:
        while (self._connect is None and self._conn is None and self._connects
               and self._exited is None):
            call = self._connects.popleft()
            if call.future.done():
                continue
            if self._issue(call, {"t": "connect", "addr": call.addr}):
                self._connect = call

    def _issue(self, call: _Call, command: Dict[str, Any]) -> bool:
        # Runs inside the event reader too: a bridge that is closing fails the call, not the
        # reader.
        try:
            self._send(command)
            return True
        except BridgeError as error:
            call.future.set_exception(error)
            return False

    def _queue_scan(self, scan: Scan) -> None:
        if self._exited is not None:
            scan._finish(BridgeExited(self._exited))
            return
        self._scans.append(scan)
        self._pump_scans()

    def _unqueue_scan(self, scan: Scan) -> None:
        try:
            self._scans.remove(scan)
        except ValueError:
            pass

    def _pump_scans(self) -> None:
        while self._scan is None and self._scans and self._exited is None:
            scan = self._scans.popleft()
            scan._sent = True
            try:
                self._send({"t": "scan", "seconds": scan.seconds})
                self._scan = scan
            except BridgeError as error:
                scan._finish(error)

    # Writing to the bridge.

    def _check_running(self) -> None:
        if self._exited is not None:
            raise BridgeExited(self._exited)

    def _send(self, command: Dict[str, Any]) -> None:
        self._write_raw(json.dumps(command, separators=(",", ":")).encode() + b"\n")

    def _write_raw(self, data: bytes) -> None:
        self._check_running()
        if self._process.stdin.is_closing():
            raise BridgeExited("the bridge's standard input is closed")
        self._process.stdin.write(data)

    async def _drain(self) -> None:
        self._check_running()
        try:
            await self._process.stdin.drain()
        except (ConnectionError, BrokenPipeError) as error:
            raise BridgeExited(f"the bridge stopped reading: {error}") from error

    def _disconnect(self, conn: Connection) -> None:
        # A bridge whose input has ended disconnects by itself.
        if conn is self._conn and self._exited is None and not self._process.stdin.is_closing():
            self._send({"t": "disconnect"})

    # Reading from the bridge.

    async def _read_events(self) -> None:
        stdout = self._process.stdout
        try:
            while True:
                try:
                    raw = await stdout.readuntil(b"\n")
                except asyncio.IncompleteReadError as end:
                    if end.partial:
                        self._line(end.partial)
                    break
                self._line(raw)
                if self._conn is not None and self._conn._full():
                    await self._conn._wait_for_room()
        finally:
            status = await self._process.wait()
            self._bridge_ended(f"the bridge exited with status {status}")

    def _line(self, raw: bytes) -> None:
        text = raw.decode("utf-8", "replace").rstrip("\r\n")
        try:
            event = json.loads(text)
            if not isinstance(event, dict):
                raise ValueError("not an object")
        except ValueError:
            self._unanswered({"t": None, "line": text})
            return
        try:
            self._dispatch(event)
        except Exception:  # a malformed event must not stop the reader
            _log.exception("could not handle the event %r", text)
            self._unanswered(event)

    def _dispatch(self, event: Dict[str, Any]) -> None:
        kind = event.get("t")
        if kind == "data":
            if self._conn is not None:
                self._conn._feed(base64.b64decode(event.get("b64", "")))
            else:
                self._unanswered(event)
        elif kind == "device":
            if self._scan is not None and not self._scan._done:
                self._scan._add(Device(str(event.get("addr", "")), str(event.get("name", "")),
                                       bool(event.get("paired", False))))
            else:
                self._unanswered(event)
        elif kind == "scan-done":
            if self._scan is not None:
                self._scan._finish()
                self._scan = None
                self._pump_scans()
            else:
                self._unanswered(event)
        elif kind == "pairing-code":
            self._pairing_code(event)
        elif kind == "pair-result":
            self._pair_result(event)
        elif kind in ("connected", "error", "closed"):
            self._connection_event(kind, event)
        elif kind == "ready" and not self._ready.done():
            self.backend = event.get("backend")
            self._ready.set_result(None)
        else:
            self._unanswered(event)

    def _pairing_code(self, event: Dict[str, Any]) -> None:
        call = self._pair
        if call is None or call.future.done() or call.on_pin is None:
            self._unanswered(event)
            return
        try:
            result = call.on_pin(str(event.get("code", "")))
            if inspect.isawaitable(result):
                call.pin_tasks.append(asyncio.ensure_future(result))
        except Exception as error:  # raised from pair() once its result is in
            call.pin_error = error

    def _pair_result(self, event: Dict[str, Any]) -> None:
        call = self._pair
        if call is None:
            self._unanswered(event)
            return
        self._pair = None
        if call.future.done():  # the late answer to a cancelled call
            self._unanswered(event)
        elif event.get("ok") is True:
            call.future.set_result(None)
        else:
            call.future.set_exception(pair_failure(str(event.get("error", ""))))
        self._pump_pairs()

    def _connection_event(self, kind: str, event: Dict[str, Any]) -> None:
        conn, call = self._conn, self._connect
        if conn is not None:
            # Only a connect sent while no connection was open can be pending, so these
            # belong to the open connection.
            if kind == "closed":
                self._conn = None
                conn._end(str(event.get("reason", "")))
                self._pump_connects()
            elif kind == "error" and event.get("error") == WRITE_FAILED_TEXT:
                conn._write_failed(WRITE_FAILED_TEXT)
            else:
                self._unanswered(event)
            return
        if call is None or (kind == "error" and event.get("error") == WRITE_FAILED_TEXT):
            # a late write failure of a connection that has already closed
            self._unanswered(event)
            return
        if kind == "connected":
            self._connect = None
            conn = Connection(self, str(event.get("addr", call.addr)), self._read_limit)
            self._conn = conn
            if call.future.done():  # its caller gave up: nobody will use or close it
                self._unanswered(event)
                conn._closing = True
                self._disconnect(conn)
            else:
                call.future.set_result(conn)
        elif kind == "error":
            call.error = str(event.get("error", ""))
            if call.future.done():
                self._unanswered(event)
        else:
            self._connect = None
            if call.future.done():
                self._unanswered(event)
            else:
                call.future.set_exception(
                    connect_failure(call.error, str(event.get("reason", ""))))
            self._pump_connects()

    def _unanswered(self, event: Dict[str, Any]) -> None:
        hook = self.on_event
        if hook is None:
            _log.debug("event no call waited for: %r", event)
            return
        try:
            result = hook(event)
            if inspect.isawaitable(result):
                asyncio.ensure_future(result)
        except Exception:
            _log.exception("the event hook failed")

    async def _read_log(self) -> None:
        stderr = self._process.stderr
        while True:
            try:
                raw = await stderr.readuntil(b"\n")
            except asyncio.IncompleteReadError as end:
                raw = end.partial
                if not raw:
                    return
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            self._log_tail.append(line)
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

    def _bridge_ended(self, why: str) -> None:
        self._exited = why
        error = BridgeExited(why)
        calls = [c for c in (self._pair, self._connect) if c is not None]
        calls += list(self._pairs) + list(self._connects)
        self._pair = self._connect = None
        self._pairs.clear()
        self._connects.clear()
        for call in calls:
            if not call.future.done():
                call.future.set_exception(error)
        for scan in ([self._scan] if self._scan else []) + list(self._scans):
            scan._finish(error)
        self._scan = None
        self._scans.clear()
        if self._conn is not None:
            self._conn._end(why)
            self._conn = None
        if not self._ready.done():
            self._ready.set_exception(error)

    def _remove_world_file(self) -> None:
        if self._world_file is not None:
            try:
                os.unlink(self._world_file)
            except OSError:
                pass
            self._world_file = None


def _address(addr: str) -> str:
    if not isinstance(addr, str):
        raise TypeError(f"addr must be a str, not {type(addr).__name__}")
    return addr


def find_executable(exe: Optional[str] = None) -> str:
    """`exe`, else $QUINTEL_BT_EXE, else quintel-bt-sim or quintel-bt on PATH."""
    found = (exe or os.environ.get("QUINTEL_BT_EXE") or shutil.which("quintel-bt-sim")
             or shutil.which("quintel-bt"))
    if not found:
        raise FileNotFoundError("no bridge: pass exe=, set QUINTEL_BT_EXE, or put "
                                "quintel-bt-sim or quintel-bt on PATH")
    return os.fspath(found)


async def start(exe: Optional[str] = None, world: Optional[str] = None,
                world_text: Optional[str] = None, *,
                on_event: Optional[Callable[[Dict[str, Any]], Any]] = None,
                on_log: Any = None, read_limit: int = 1 << 20) -> Bridge:
    """Starts the bridge and returns once it is ready.

    world / world_text: a world file's path or its text, for quintel-bt-sim.
    on_event(event): every event that answers no waiting call, as a dict.
    on_log: the bridge's log (standard error), a callable taking each line or a text stream.
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
            stderr=asyncio.subprocess.PIPE, env=env, limit=_LINE_LIMIT)
    except BaseException:
        if world_file is not None:
            os.unlink(world_file)
        raise
    bridge = Bridge(process, world_file, on_event, on_log, read_limit)
    try:
        await bridge._ready
        bridge._remove_world_file()  # read once at start-up
    except BridgeError as error:
        await bridge.close()
        log = "\n".join(bridge._log_tail)
        raise BridgeExited(f"{error.text} before it was ready" +
                           (f"; its log:\n{log}" if log else "")) from None
    except BaseException:
        await bridge.close(timeout=1.0)
        raise
    return bridge
