"""An asyncio client for quintel-bt, the console bridge to Bluetooth Classic devices."""
from .bridge import Bridge, find_executable, start
from .connection import Connection
from .scan import Device, Scan
from .errors import (BridgeError, BridgeExited, ClosedDuringRead, ConnectionClosed,
                     NoSerialService, NotVisible, OpenFailed, PairingRefused, PlatformError,
                     WriteFailed)

__all__ = [
    "start", "find_executable", "Bridge", "Device", "Scan", "Connection",
    "BridgeError", "NotVisible", "NoSerialService", "PairingRefused", "OpenFailed",
    "PlatformError", "WriteFailed", "ConnectionClosed", "ClosedDuringRead", "BridgeExited",
]
