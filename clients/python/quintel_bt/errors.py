"""Failures, each with a stable code mapped from the bridge's fixed texts.

The bridge reports failures as Russian sentences meant for people; a host branches on
`code` instead, and shows `text` (the bridge's own words) to the user."""
from __future__ import annotations

import asyncio
import re
from typing import Optional

# The bridge's fixed texts, byte for byte as it writes them.
NOT_VISIBLE_TEXT = ("Windows не видит этот телефон — включи видимость на роботе и найди заново")
NO_SERIAL_SERVICE_TEXT = ("телефон не предлагает последовательную службу. Открой на нём "
                          "приложение робота и оставь его на экране, потом повтори")
WRITE_FAILED_TEXT = "запись не удалась"
REASON_NO_DEVICE = "нет устройства"
REASON_NO_SERVICE = "нет службы SPP"
REASON_CLOSED = "соединение закрыто"

_REFUSED = re.compile(r"сопряжение не состоялось \(код (-?\d+)\)")
_PLATFORM = re.compile(r"(.*) \(0x([0-9A-Fa-f]{8})\)", re.DOTALL)


class BridgeError(Exception):
    """Base of every failure the bridge reports; `text` is the bridge's original text."""

    code = "BRIDGE_ERROR"

    def __init__(self, text: str):
        # Not super(): ClosedDuringRead also derives from asyncio.IncompleteReadError.
        Exception.__init__(self, text)
        self.text = text

    def __str__(self) -> str:
        return f"{self.code}: {self.text}"


class NotVisible(BridgeError):
    """The platform does not see a device at that address."""
    code = "NOT_VISIBLE"


class NoSerialService(BridgeError):
    """The phone offers no serial-port service (its robot application is not open)."""
    code = "NO_SERIAL_SERVICE"


class PairingRefused(BridgeError):
    """The pairing ended with a failure status (`status`, the platform's number)."""
    code = "PAIRING_REFUSED"

    def __init__(self, text: str, status: Optional[int] = None):
        super().__init__(text)
        self.status = status


class PlatformError(BridgeError):
    """A platform call failed: `hresult` (unsigned 32-bit) and `message` are parsed from the
    bridge's "message (0x%08X)"; an unknown form gives None and the whole text."""
    code = "PLATFORM_ERROR"

    def __init__(self, text: str):
        super().__init__(text)
        match = _PLATFORM.fullmatch(text)
        self.hresult: Optional[int] = int(match.group(2), 16) if match else None
        self.message: str = match.group(1) if match else text


class OpenFailed(BridgeError):
    """The serial-port connection could not be opened, and the bridge named no platform
    failure (a platform failure raises PlatformError)."""
    code = "OPEN_FAILED"


class WriteFailed(BridgeError):
    """A write to the phone failed: bytes were lost, so the stream is no longer whole."""
    code = "WRITE_FAILED"


class ConnectionClosed(BridgeError):
    """The connection has ended; `reason` is the bridge's reason (or the client's own)."""
    code = "CONNECTION_CLOSED"

    def __init__(self, reason: str):
        super().__init__(reason)
        self.reason = reason


class ClosedDuringRead(ConnectionClosed, asyncio.IncompleteReadError):
    """The connection ended before `readexactly` or `readuntil` had its bytes. Also an
    asyncio.IncompleteReadError, so `partial` holds what had arrived."""

    def __init__(self, reason: str, partial: bytes, expected: Optional[int]):
        ConnectionClosed.__init__(self, reason)
        self.partial = partial
        self.expected = expected

    def __reduce__(self):
        return type(self), (self.reason, self.partial, self.expected)


class BridgeExited(BridgeError):
    """The bridge process ended (or never became ready) while a call waited for it."""
    code = "BRIDGE_EXITED"


def pair_failure(text: str) -> BridgeError:
    """The exception for a pair-result with "ok" false."""
    if text == NOT_VISIBLE_TEXT:
        return NotVisible(text)
    refused = _REFUSED.match(text)
    if refused:
        return PairingRefused(text, int(refused.group(1)))
    return PlatformError(text)


def connect_failure(error: Optional[str], reason: str) -> BridgeError:
    """The exception for a failed connect: its error event's text (None when the bridge
    sent only the closed event) and the closed event's reason."""
    text = error if error is not None else reason
    if error == NOT_VISIBLE_TEXT:
        return NotVisible(error)
    if error == NO_SERIAL_SERVICE_TEXT:
        return NoSerialService(error)
    if error is not None and _PLATFORM.fullmatch(error):
        return PlatformError(error)
    if reason == REASON_NO_DEVICE:
        return NotVisible(text)
    if reason == REASON_NO_SERVICE:
        return NoSerialService(text)
    return OpenFailed(text)
