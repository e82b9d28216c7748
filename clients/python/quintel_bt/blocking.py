"""The blocking serial-port idiom for scripts, on the asyncio client.

Every blocking object hands its work to one event loop that runs on a thread of its own, so
there is one protocol implementation. A blocked call interrupted in the calling thread (Ctrl-C)
cancels its work in the loop, with the asyncio client's guarantees."""
from __future__ import annotations

import asyncio
import atexit
import threading
from typing import Any, Callable, Coroutine, List, Optional, TypeVar

from .bridge import AdapterHook, Bridge, EventHook, start
from .connection import Bytes, Connection
from .errors import ConnectionClosed, WriteTimeout
from .scan import Device

T = TypeVar("T")

_lock = threading.Lock()
_loop: Optional[asyncio.AbstractEventLoop] = None
_thread: Optional[threading.Thread] = None


def _run(work: Coroutine[Any, Any, T]) -> T:
    global _loop, _thread
    with _lock:
        if _loop is None:
            _loop = asyncio.new_event_loop()
            _thread = threading.Thread(target=_loop.run_forever, name="quintel_bt",
                                       daemon=True)
            _thread.start()
        loop = _loop
    if threading.current_thread() is _thread:
        work.close()
        raise RuntimeError("a blocking quintel_bt call from the client's own thread (inside "
                           "a hook) would wait for itself")
    future = asyncio.run_coroutine_threadsafe(work, loop)
    try:
        return future.result()
    except BaseException:
        future.cancel()
        raise


class BlockingBridge:
    """A bridge for blocking code: the arguments are those of `quintel_bt.start`. Hooks run on
    the client's own thread and must not call back into blocking objects."""

    def __init__(self, exe: Optional[str] = None, world: Optional[str] = None,
                 world_text: Optional[str] = None, *, on_event: Optional[EventHook] = None,
                 on_log: Any = None, on_adapter: Optional[AdapterHook] = None,
                 read_limit: int = 1 << 20):
        self.bridge: Bridge = _run(start(exe, world, world_text, on_event=on_event,
                                         on_log=on_log, on_adapter=on_adapter,
                                         read_limit=read_limit))
        _open_bridges.add(self)

    @property
    def adapter(self) -> str:
        return self.bridge.adapter

    @property
    def backend(self) -> Optional[str]:
        return self.bridge.backend

    @property
    def version(self) -> Optional[str]:
        return self.bridge.version

    def scan(self, seconds: int = 8) -> List[Device]:
        """The devices one scan finds, once it has ended."""
        async def collect() -> List[Device]:
            return [device async for device in self.bridge.scan(seconds)]
        return _run(collect())

    def pair(self, addr: str, on_pin: Optional[Callable[[str], Any]] = None) -> None:
        _run(self.bridge.pair(addr, on_pin))

    def open(self, addr: str, timeout: Optional[float] = None,
             write_timeout: Optional[float] = None) -> "Serial":
        return Serial(addr, timeout, write_timeout, bridge=self)

    def close(self) -> Optional[int]:
        _open_bridges.discard(self)
        return _run(self.bridge.close())

    def __enter__(self) -> "BlockingBridge":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()


_open_bridges: "set[BlockingBridge]" = set()
# The bridge of the Serials that name none: started by the first, closed with the last.
_shared_lock = threading.Lock()
_shared: Optional[BlockingBridge] = None
_shared_users = 0


def _take_shared() -> BlockingBridge:
    global _shared, _shared_users
    with _shared_lock:
        if _shared is None:
            _shared = BlockingBridge()
        _shared_users += 1
        return _shared


def _give_shared(shared: BlockingBridge) -> None:
    global _shared, _shared_users
    with _shared_lock:
        _shared_users -= 1
        if _shared_users > 0 or _shared is not shared:
            return
        _shared = None
    shared.close()


@atexit.register
def _close_all() -> None:
    for bridge in list(_open_bridges):
        try:
            bridge.close()
        except Exception:
            pass


class Serial:
    """One robot's connection, blocking, in the manner of a serial port: `Serial(addr)` opens
    it (starting a bridge shared by every Serial of the process that names none), `write`,
    `read(n)` and `readline` with the `timeout` in seconds (None waits for ever, 0 never
    waits), `in_waiting`, `close`, and a `with` block that closes it."""

    def __init__(self, port: str, timeout: Optional[float] = None,
                 write_timeout: Optional[float] = None, *,
                 bridge: Optional[BlockingBridge] = None):
        self.timeout = timeout
        self.write_timeout = write_timeout
        self._shared = bridge is None
        self._bridge = _take_shared() if bridge is None else bridge
        try:
            self._conn: Connection = _run(self._bridge.bridge.connect(port))
        except BaseException:
            self._release()
            raise
        self.port = self._conn.addr
        self._open = True

    @property
    def is_open(self) -> bool:
        return self._open

    @property
    def in_waiting(self) -> int:
        """Bytes received and not yet read."""
        return len(self._conn._buffer)

    @property
    def reason(self) -> Optional[str]:
        """The bridge's text for the connection's end, or None while it is open."""
        return self._conn.reason

    @property
    def cause(self) -> Optional[str]:
        """Why the connection ended (see Connection.cause), or None while it is open."""
        return self._conn.cause

    def read(self, size: int = 1) -> bytes:
        """`size` bytes, or fewer when the timeout passes or the connection ends first.
        Raises ConnectionClosed once the connection has ended and nothing is left to read."""
        if size < 0:
            raise ValueError("read size can not be less than zero")
        return _run(self._read(lambda buffer: size if len(buffer) >= size else -1, size))

    def read_until(self, expected: bytes = b"\n", size: Optional[int] = None) -> bytes:
        """Bytes up to and including `expected`, or `size` bytes, or what came before the
        timeout or the end."""
        if not expected:
            raise ValueError("expected must be at least one byte")

        def found(buffer: bytearray) -> int:
            at = buffer.find(expected)
            if at >= 0 and (size is None or at + len(expected) <= size):
                return at + len(expected)
            return size if size is not None and len(buffer) >= size else -1
        return _run(self._read(found, size))

    def readline(self, size: int = -1) -> bytes:
        return self.read_until(b"\n", size if size >= 0 else None)

    def write(self, data: Bytes) -> int:
        """Queues the bytes and waits (up to `write_timeout`) until the bridge has taken them
        into its window. Returns their count."""
        return _run(self._write(data))

    def flush(self) -> None:
        """Waits (up to `write_timeout`) until the bridge reports every byte written stored."""
        _run(self._timed(self._conn.flush()))

    def reset_input_buffer(self) -> None:
        """Drops the bytes received and not yet read."""
        _run(self._clear())

    def close(self) -> None:
        """Waits for what was written to be stored (up to `write_timeout`), then disconnects."""
        if self._open:
            self._open = False
            try:
                _run(self._close(self.write_timeout))
            finally:
                self._release()

    def __enter__(self) -> "Serial":
        return self

    def __exit__(self, kind: Any, *exc_info: Any) -> None:
        if kind is None:
            self.close()
        elif self._open:  # after a failure, do not wait on the phone
            self._open = False
            try:
                _run(self._close(0))
            finally:
                self._release()

    def __repr__(self) -> str:
        return f"<Serial {self.port} {'open' if self._open else 'closed'}>"

    # On the client's thread.

    async def _read(self, ready: Callable[[bytearray], int], size: Optional[int]) -> bytes:
        conn = self._conn
        if size == 0:
            return b""

        async def wait() -> None:
            while ready(conn._buffer) < 0 and conn._ended is None:
                await conn._wait()
        try:
            await asyncio.wait_for(wait(), self.timeout)
        except asyncio.TimeoutError:
            pass
        count = ready(conn._buffer)
        if count < 0:
            count = len(conn._buffer) if size is None else min(size, len(conn._buffer))
        if count == 0 and conn._ended is not None:
            raise ConnectionClosed(conn._ended, conn._cause, addr=conn.addr)
        return conn._take(count)

    async def _write(self, data: Bytes) -> int:
        count = memoryview(data).nbytes
        self._conn.write(data)
        if self.write_timeout != 0:
            await self._timed(self._conn.drain())
        return count

    async def _timed(self, work: Coroutine[Any, Any, None]) -> None:
        try:
            await asyncio.wait_for(work, self.write_timeout)
        except asyncio.TimeoutError:
            raise WriteTimeout(f"the bridge took no more bytes within {self.write_timeout:g} s",
                               addr=self.port) from None

    async def _clear(self) -> None:
        self._conn._take(len(self._conn._buffer))

    async def _close(self, timeout: Optional[float]) -> None:
        if timeout != 0:
            try:
                await asyncio.wait_for(self._conn.close(), timeout)
            except asyncio.TimeoutError:
                pass
        self._conn.abort()  # does nothing once close() has disconnected
        await self._conn.closed

    def _release(self) -> None:
        if self._shared:
            self._shared = False
            _give_shared(self._bridge)
