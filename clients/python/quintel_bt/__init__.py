"""A client for quintel-bt, the console bridge to Bluetooth Classic devices: asyncio calls
(`start`), and a blocking serial-port idiom for scripts (`Serial`, `BlockingBridge`)."""
from .blocking import BlockingBridge, Serial
from .bridge import PROTOCOL, Bridge, canonical, find_executable, start
from .connection import Connection
from .errors import (AdapterOff, AddrRequired, AlreadyConnected, BadCommand, BridgeError,
                     BridgeExited, Busy, ClosedDuringRead, ConnectionClosed, NoSerialService,
                     NotConnected, NotVisible, OpenFailed, PairingRefused, PlatformError,
                     TooLarge, UnsupportedBridge, WriteFailed, WriteTimeout)
from .scan import Device, Scan

__all__ = [
    "start", "find_executable", "canonical", "PROTOCOL", "Bridge", "Device", "Scan",
    "Connection", "Serial", "BlockingBridge",
    "BridgeError", "BadCommand", "NotVisible", "NoSerialService", "PairingRefused",
    "OpenFailed", "PlatformError", "WriteFailed", "NotConnected", "AddrRequired",
    "AlreadyConnected", "Busy", "TooLarge", "AdapterOff", "ConnectionClosed",
    "ClosedDuringRead", "BridgeExited", "UnsupportedBridge", "WriteTimeout",
]
