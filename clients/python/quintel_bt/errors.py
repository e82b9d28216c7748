"""Failures, each with the stable code the bridge gives on the wire.

A host branches on the exception's class or its `code`, and shows `text` (the bridge's own
words, in Russian) to the user."""
from __future__ import annotations

import asyncio
import re
from typing import Any, Dict, Optional, Type

_PLATFORM_TEXT = re.compile(r"(.*) \(0x[0-9A-Fa-f]{8}\)", re.DOTALL)


class BridgeError(Exception):
    """Base of every failure. `text` is the bridge's text; `hresult` (unsigned 32-bit) and
    `status` (a pairing's result) are the platform's codes when it gave them; `addr` is the
    device the failure is about, when known."""

    code = "BRIDGE_ERROR"

    def __init__(self, text: str, *, code: Optional[str] = None,
                 hresult: Optional[int] = None, status: Optional[int] = None,
                 addr: Optional[str] = None):
        # Not super(): ClosedDuringRead also derives from asyncio.IncompleteReadError.
        Exception.__init__(self, text)
        self.text = text
        if code is not None:
            self.code = code
        self.hresult = hresult
        self.status = status
        self.addr = addr

    @property
    def message(self) -> str:
        """The text without the platform code the bridge appends to it ("message (0x...)")."""
        match = _PLATFORM_TEXT.fullmatch(self.text) if self.hresult is not None else None
        return match.group(1) if match else self.text

    def __str__(self) -> str:
        return f"{self.code}: {self.text}"


class BadCommand(BridgeError):
    """The bridge did not understand a command."""
    code = "BAD_COMMAND"


class NotVisible(BridgeError):
    """The platform does not see a device at that address."""
    code = "NOT_VISIBLE"


class NoSerialService(BridgeError):
    """The phone offers no serial-port service (its robot application is not open)."""
    code = "NO_SERIAL_SERVICE"


class PairingRefused(BridgeError):
    """The pairing ended with a failure status (`status`, the platform's number)."""
    code = "PAIRING_REFUSED"


class OpenFailed(BridgeError):
    """The serial-port connection could not be opened."""
    code = "OPEN_FAILED"


class PlatformError(BridgeError):
    """Another platform call failed; `hresult` and `message` say which way."""
    code = "PLATFORM_ERROR"


class WriteFailed(BridgeError):
    """A write to the phone failed: bytes were lost, so the stream is no longer whole."""
    code = "WRITE_FAILED"


class NotConnected(BridgeError):
    """No connection is open to that address."""
    code = "NOT_CONNECTED"


class AddrRequired(BridgeError):
    """Several connections are open and the command named none."""
    code = "ADDR_REQUIRED"


class AlreadyConnected(BridgeError):
    """A connection to that address is already open or opening; it is left as it was."""
    code = "ALREADY_CONNECTED"


class Busy(BridgeError):
    """A send would have passed the connection's window; none of its bytes was written."""
    code = "BUSY"


class TooLarge(BridgeError):
    """One send was larger than the whole window."""
    code = "TOO_LARGE"


class AdapterOff(BridgeError):
    """There is no Bluetooth adapter, or its radio is off (at once or during the call)."""
    code = "ADAPTER_OFF"


class ConnectionClosed(BridgeError):
    """The connection has ended. `reason` is the bridge's text; `cause` says why:
    "HOST_CLOSED", "PHONE_CLOSED", "LINK_LOST", "ADAPTER_OFF" or the client's own
    "BRIDGE_EXITED"."""
    code = "CONNECTION_CLOSED"

    def __init__(self, reason: str, cause: Optional[str] = None, **details: Any):
        super().__init__(reason, **details)
        self.reason = reason
        self.cause = cause


class ClosedDuringRead(ConnectionClosed, asyncio.IncompleteReadError):
    """The connection ended before `readexactly` or `readuntil` had its bytes. Also an
    asyncio.IncompleteReadError, so `partial` holds what had arrived."""

    def __init__(self, reason: str, cause: Optional[str], partial: bytes,
                 expected: Optional[int]):
        ConnectionClosed.__init__(self, reason, cause)
        self.partial = partial
        self.expected = expected

    def __reduce__(self):
        return type(self), (self.reason, self.cause, self.partial, self.expected)


class BridgeExited(BridgeError):
    """The bridge process ended (or never became ready) while a call waited for it."""
    code = "BRIDGE_EXITED"


class UnsupportedBridge(BridgeError):
    """The bridge does not speak the protocol this client needs; `protocol` is the one it
    offered (None when it did not answer the greeting at all)."""
    code = "UNSUPPORTED_BRIDGE"

    def __init__(self, text: str, protocol: Optional[int] = None):
        super().__init__(text)
        self.protocol = protocol


class WriteTimeout(BridgeError, TimeoutError):
    """A blocking write waited longer than its `write_timeout`; its bytes stay queued."""
    code = "WRITE_TIMEOUT"


_BY_CODE: Dict[str, Type[BridgeError]] = {
    cls.code: cls for cls in (BadCommand, NotVisible, NoSerialService, PairingRefused,
                              OpenFailed, PlatformError, WriteFailed, NotConnected,
                              AddrRequired, AlreadyConnected, Busy, TooLarge, AdapterOff)}


def _hresult(value: Any) -> Optional[int]:
    try:
        return int(str(value), 16) & 0xFFFFFFFF
    except ValueError:
        return None


def from_event(event: Dict[str, Any]) -> BridgeError:
    """The exception for a failure event (an error, a pair-result with "ok" false, a scan
    that could not run); an unknown code gives a BridgeError carrying that code."""
    code = str(event.get("code") or BridgeError.code)
    text = str(event.get("error", event.get("reason", "")))
    details: Dict[str, Any] = {"addr": event.get("addr")}
    if "hresult" in event:
        details["hresult"] = _hresult(event["hresult"])
    if isinstance(event.get("status"), int):
        details["status"] = event["status"]
    cls = _BY_CODE.get(code)
    if cls is None:
        return BridgeError(text, code=code, **details)
    return cls(text, **details)
