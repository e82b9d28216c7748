"""One open serial-port connection, in asyncio's stream idiom."""
from __future__ import annotations

import asyncio
import base64
from typing import Callable, List, Optional, Union

from ._wire import FINALS, Call, Event, Wire
from .errors import BridgeError, ClosedDuringRead, ConnectionClosed, WriteFailed, from_event

# Bytes per send: large enough that the per-line cost stays small, small enough that the
# window holds many sends and the bridge's store is never left idle waiting for the next.
SEND_CHUNK = 65536

Bytes = Union[bytes, bytearray, memoryview]


class Connection:
    """Bytes from the phone are kept in arrival order until read; data events cut the stream
    anywhere, so any framing is the host's. Only one coroutine may read at a time.

    Writes are queued in the client and handed to the bridge as it acknowledges earlier ones,
    so no more than the bridge's window is ever waiting in the bridge."""

    def __init__(self, wire: Wire, addr: str, read_limit: int, window: int,
                 on_end: Callable[["Connection"], None]):
        self.addr = addr
        self._wire = wire
        self._on_end = on_end
        self._buffer = bytearray()
        self._limit = read_limit
        self._waiter: Optional[asyncio.Future] = None
        self._ended: Optional[str] = None  # the reason, once the connection has ended
        self._cause: Optional[str] = None
        self._closing = False  # no more writes: close() or abort() has begun
        self._disconnecting = False
        self._write_error: Optional[BridgeError] = None
        self._closed = asyncio.get_running_loop().create_future()
        # Written bytes from _out_start on are not yet handed to the bridge; _in_flight
        # bytes are handed over and not yet acknowledged.
        self._window = window
        self._chunk = max(1, min(SEND_CHUNK, window))
        self._out = bytearray()
        self._out_start = 0
        self._in_flight = 0
        self._pump_handle: Optional[asyncio.Handle] = None
        self._writers: List[asyncio.Future] = []

    @property
    def closed(self) -> "asyncio.Future[str]":
        """Awaitable giving the reason the connection ended. Cancelling a wait on it (a
        timeout, say) leaves it intact for later waits."""
        return asyncio.shield(self._closed)

    @property
    def reason(self) -> Optional[str]:
        """The bridge's text for the end, or None while the connection is open."""
        return self._ended

    @property
    def cause(self) -> Optional[str]:
        """Why the connection ended ("HOST_CLOSED", "PHONE_CLOSED", "LINK_LOST",
        "ADAPTER_OFF", "BRIDGE_EXITED"), or None while it is open."""
        return self._cause

    def is_closing(self) -> bool:
        return self._closing or self._ended is not None

    def at_eof(self) -> bool:
        return self._ended is not None and not self._buffer

    # Reading.

    async def read(self, n: int = -1) -> bytes:
        """Up to n bytes (all until the end when n < 0); b"" once the connection has ended
        and every byte has been read."""
        if n == 0:
            return b""
        if n < 0:
            while self._ended is None:
                await self._wait()
            return self._take(len(self._buffer))
        while not self._buffer and self._ended is None:
            await self._wait()
        return self._take(min(n, len(self._buffer)))

    async def readexactly(self, n: int) -> bytes:
        """Exactly n bytes; ClosedDuringRead (a ConnectionClosed and an
        asyncio.IncompleteReadError) if the connection ends first."""
        if n < 0:
            raise ValueError("readexactly size can not be less than zero")
        while len(self._buffer) < n:
            if self._ended is not None:
                raise ClosedDuringRead(self._ended, self._cause, self._take(len(self._buffer)),
                                       n)
            await self._wait()
        return self._take(n)

    async def readuntil(self, separator: bytes = b"\n") -> bytes:
        """The bytes up to and including separator; ClosedDuringRead if the connection
        ends first."""
        if not separator:
            raise ValueError("separator should be at least one-byte string")
        start = 0
        while True:
            found = self._buffer.find(separator, start)
            if found >= 0:
                return self._take(found + len(separator))
            if self._ended is not None:
                raise ClosedDuringRead(self._ended, self._cause, self._take(len(self._buffer)),
                                       None)
            start = max(0, len(self._buffer) - len(separator) + 1)
            await self._wait()

    async def readline(self) -> bytes:
        """A line ending in b"\\n", or what is left (maybe b"") at the end."""
        try:
            return await self.readuntil(b"\n")
        except ClosedDuringRead as end:
            return end.partial

    def _take(self, n: int) -> bytes:
        data = bytes(self._buffer[:n])
        del self._buffer[:n]
        self._wire.make_room()
        return data

    async def _wait(self) -> None:
        # Bytes stay in the buffer until a read takes them, so a read cancelled here loses none.
        if self._waiter is not None:
            raise RuntimeError("another coroutine is already reading from this connection")
        self._waiter = asyncio.get_running_loop().create_future()
        self._wire.make_room()
        try:
            await self._waiter
        finally:
            self._waiter = None

    def _wake_reader(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    # Read backpressure: while more than `limit` bytes wait unread, the bridge's output is not
    # read, so the pipe fills and the bridge waits, as a socket's sender would. Nothing holds
    # it while a read waits here (it may want more than the limit), while this connection is
    # closing (its closed event must get through), or while any write waits for the bridge's
    # acknowledgements (they come on the same pipe: holding them would tie one connection's
    # writes to another's reads).

    def _full(self) -> bool:
        return (len(self._buffer) > self._limit and self._waiter is None
                and self._ended is None and not self._closing
                and self._wire.acks_awaited == 0)

    # Writing.

    def write(self, data: Bytes) -> None:
        """Queues the bytes for the phone. Raises WriteFailed once a write has failed,
        ConnectionClosed once the connection is closing. Await drain() to keep the queue
        short."""
        self._check_writable()
        self._out += data
        if self._pump_handle is None:
            # One tick's writes travel together.
            self._pump_handle = asyncio.get_running_loop().call_soon(self._pump)

    def writelines(self, data: "List[Bytes]") -> None:
        self.write(b"".join(data))

    async def drain(self) -> None:
        """Waits until every byte written so far has been handed to the bridge, which happens
        as the bridge acknowledges the bytes before them: the client then holds none of them
        and the bridge at most its window."""
        self._check_stream()
        await self._written(lambda: self._out_start == len(self._out))

    async def flush(self) -> None:
        """Waits until the bridge reports every byte written so far stored on the way to the
        phone."""
        self._check_stream()
        await self._written(lambda: self._out_start == len(self._out) and not self._in_flight)

    def _check_stream(self) -> None:
        # The end first: sends still waiting when a connection closes fail just before its
        # closed event, and the end is what the host must learn.
        if self._ended is not None:
            raise ConnectionClosed(self._ended, self._cause, addr=self.addr)
        if self._write_error is not None:
            raise WriteFailed(self._write_error.text, hresult=self._write_error.hresult,
                              addr=self.addr)

    def _check_writable(self) -> None:
        self._check_stream()
        if self._closing:
            raise ConnectionClosed("соединение закрыто", "HOST_CLOSED", addr=self.addr)

    async def _written(self, done: Callable[[], bool]) -> None:
        self._wire.acks_awaited += 1
        self._wire.make_room()
        try:
            while not done():
                waiter = asyncio.get_running_loop().create_future()
                self._writers.append(waiter)
                try:
                    await waiter
                finally:
                    self._writers.remove(waiter)
                self._check_stream()
        finally:
            self._wire.acks_awaited -= 1

    def _wake_writers(self) -> None:
        for waiter in self._writers:
            if not waiter.done():
                waiter.set_result(None)

    def _pump(self) -> None:
        self._pump_handle = None
        addr = self.addr.encode()
        while (self._ended is None and self._write_error is None and not self._disconnecting
               and self._out_start < len(self._out)):
            size = min(len(self._out) - self._out_start, self._chunk)
            if self._in_flight + size > self._window:
                break
            with memoryview(self._out) as view:
                b64 = base64.b64encode(view[self._out_start:self._out_start + size])
            ident = self._wire.next_id()
            line = b'{"t":"send","id":%d,"addr":"%s","b64":"%s"}' % (ident, addr, b64)
            try:
                self._wire.issue_line(_Send(self, size), ident, line)
            except BridgeError:
                break  # the bridge's end reaches this connection on its own
            self._out_start += size
            self._in_flight += size
        if self._out_start == len(self._out):
            self._out.clear()
            self._out_start = 0
        elif self._out_start > (1 << 20) and self._out_start * 2 > len(self._out):
            del self._out[:self._out_start]
            self._out_start = 0
        self._wake_writers()

    def _answered(self, size: int, event: Event) -> None:
        self._in_flight -= size
        if event.get("t") != "sent" and self._ended is None and self._write_error is None:
            # Bytes were lost in the middle of the stream: every later write fails as well.
            self._write_error = from_event(event)
            self._out.clear()
            self._out_start = 0
        self._pump()

    # Closing.

    async def close(self) -> None:
        """Waits until the bridge has stored what was written, then disconnects and waits for
        the end. Cancelled (a timeout, say), it disconnects at once."""
        if self._ended is None and not self._closing:
            self._closing = True
            try:
                await self.flush()
            except BridgeError:
                pass  # nothing more can reach the phone: disconnect all the same
            finally:
                self.abort()
        await self.closed

    def abort(self) -> None:
        """Disconnects at once; bytes not yet stored may be lost. `await conn.closed` gives
        the end."""
        self._closing = True
        if self._ended is not None or self._disconnecting:
            return
        self._disconnecting = True
        self._out.clear()
        self._out_start = 0
        self._wire.make_room()
        try:
            self._wire.issue(_Disconnect(self), {"t": "disconnect", "addr": self.addr})
        except BridgeError:
            pass  # a bridge whose input has ended disconnects by itself

    # Called by the bridge's event reader.

    def _feed(self, data: bytes) -> None:
        self._buffer += data
        self._wake_reader()

    def _end(self, cause: str, reason: str) -> None:
        if self._ended is not None:
            return
        self._ended = reason
        self._cause = cause
        self._closed.set_result(reason)
        self._out.clear()
        self._out_start = 0
        self._wake_reader()
        self._wake_writers()
        self._wire.make_room()
        self._on_end(self)

    def __repr__(self) -> str:
        state = "open" if self._ended is None else f"closed ({self._cause}): {self._ended}"
        return f"<Connection {self.addr} {state}>"


class _Send(Call):
    finals = FINALS["send"]

    def __init__(self, conn: Connection, size: int):
        self.conn = conn
        self.size = size

    def event(self, event: Event, final: bool) -> None:
        if final:
            self.conn._answered(self.size, event)


class _Disconnect(Call):
    finals = FINALS["disconnect"]

    def __init__(self, conn: Connection):
        self.conn = conn

    def event(self, event: Event, final: bool) -> None:
        # NOT_CONNECTED: the connection's own closed event came first and ended it.
        if event.get("t") == "closed":
            self.conn._end(str(event.get("code", "HOST_CLOSED")), str(event.get("reason", "")))
