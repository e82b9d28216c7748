"""One open serial-port connection, in asyncio's stream idiom."""
from __future__ import annotations

import asyncio
import base64
from typing import TYPE_CHECKING, Optional

from .errors import REASON_CLOSED, ClosedDuringRead, ConnectionClosed, WriteFailed

if TYPE_CHECKING:
    from .bridge import Bridge

# Bytes per "send" command: 4096 characters of base64, the size of the bridge's own data events.
SEND_CHUNK = 3072


class Connection:
    """Bytes from the phone are kept in arrival order until read; data events cut the stream
    anywhere, so any framing is the host's. Only one coroutine may read at a time."""

    def __init__(self, bridge: "Bridge", addr: str, limit: int):
        self.addr = addr
        self._bridge = bridge
        self._buffer = bytearray()
        self._limit = limit
        self._waiter: Optional[asyncio.Future] = None
        self._room: Optional[asyncio.Future] = None
        self._ended: Optional[str] = None  # the reason, once the connection has ended
        self._closing = False
        self._write_error: Optional[str] = None
        self._closed = asyncio.get_running_loop().create_future()

    @property
    def closed(self) -> "asyncio.Future[str]":
        """Awaitable giving the reason the connection ended. Cancelling a wait on it (a
        timeout, say) leaves it intact for later waits."""
        return asyncio.shield(self._closed)

    @property
    def reason(self) -> Optional[str]:
        """The reason the connection ended, or None while it is open."""
        return self._ended

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
                raise ClosedDuringRead(self._ended, self._take(len(self._buffer)), n)
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
                raise ClosedDuringRead(self._ended, self._take(len(self._buffer)), None)
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
        self._make_room()
        return data

    async def _wait(self) -> None:
        # Bytes stay in the buffer until a read takes them, so a read cancelled here loses none.
        if self._waiter is not None:
            raise RuntimeError("another coroutine is already reading from this connection")
        self._waiter = asyncio.get_running_loop().create_future()
        self._make_room()
        try:
            await self._waiter
        finally:
            self._waiter = None

    def _wake(self) -> None:
        if self._waiter is not None and not self._waiter.done():
            self._waiter.set_result(None)

    # Writing.

    def write(self, data) -> None:
        """Queues the bytes for the phone, cut into sends the bridge takes well. Raises
        WriteFailed once a write has failed, ConnectionClosed once the connection is closing."""
        self._check_writable()
        view = memoryview(data).cast("B")
        if not view:
            return
        lines = [b'{"t":"send","b64":"' + base64.b64encode(view[i:i + SEND_CHUNK]) + b'"}\n'
                 for i in range(0, len(view), SEND_CHUNK)]
        self._bridge._write_raw(b"".join(lines))

    def writelines(self, data) -> None:
        self.write(b"".join(data))

    async def drain(self) -> None:
        """Waits until the bridge has taken the queued commands off the pipe."""
        self._check_writable()
        await self._bridge._drain()

    def _check_writable(self) -> None:
        if self._write_error is not None:
            raise WriteFailed(self._write_error)
        if self._ended is not None:
            raise ConnectionClosed(self._ended)
        if self._closing:
            raise ConnectionClosed(REASON_CLOSED)

    # Closing.

    async def close(self) -> None:
        """Disconnects and waits for the bridge to report the end."""
        if self._ended is None and not self._closing:
            self._closing = True
            self._make_room()
            self._bridge._disconnect(self)
        await self.closed

    # Read backpressure: while more than `limit` bytes wait unread, the bridge's output is not
    # read, so the pipe fills and the bridge waits, as a socket's sender would. A connection
    # that is closing never holds it (its closed event must get through), nor one that a read
    # waits on (it may want more than the limit).

    def _full(self) -> bool:
        return (len(self._buffer) > self._limit and self._waiter is None and self._ended is None
                and not self._closing and not self._bridge._stopping)

    async def _wait_for_room(self) -> None:
        while self._full():
            self._room = asyncio.get_running_loop().create_future()
            try:
                await self._room
            finally:
                self._room = None

    def _make_room(self) -> None:
        if self._room is not None and not self._room.done():
            self._room.set_result(None)

    # Called by the bridge's event reader.

    def _feed(self, data: bytes) -> None:
        self._buffer += data
        self._wake()

    def _write_failed(self, text: str) -> None:
        # Bytes were lost in the middle of the stream: every later write fails as well.
        if self._write_error is None:
            self._write_error = text

    def _end(self, reason: str) -> None:
        if self._ended is not None:
            return
        self._ended = reason
        self._closed.set_result(reason)
        self._wake()
        self._make_room()

    def __repr__(self) -> str:
        state = "open" if self._ended is None else f"closed: {self._ended}"
        return f"<Connection {self.addr} {state}>"
