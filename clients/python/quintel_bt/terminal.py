"""`python -m quintel_bt`: scan, pair, and a terminal to talk to a robot's phone by hand."""
from __future__ import annotations

import argparse
import os
import queue
import sys
import threading
from typing import BinaryIO, List, Optional

from .blocking import BlockingBridge, Serial, _run
from .errors import BridgeError, ConnectionClosed

LEAVE = b"\x1d"  # Ctrl-]
EOLS = {"lf": b"\n", "cr": b"\r", "crlf": b"\r\n"}
POLL = 0.1  # seconds between looks at the connection while no key comes


class _PosixKeys:
    """Keys from a terminal (raw: each byte as typed; line: the terminal edits a line and
    Ctrl-] ends it at once), or bytes from a pipe."""

    def __init__(self, stream: BinaryIO, line_mode: bool):
        import termios
        self._termios = termios
        self.fd = stream.fileno()
        self.line_mode = line_mode
        self._saved: Optional[List] = None

    def __enter__(self) -> "_PosixKeys":
        t = self._termios
        if os.isatty(self.fd):
            self._saved = t.tcgetattr(self.fd)
            mode = t.tcgetattr(self.fd)
            if self.line_mode:
                mode[6][t.VEOL] = LEAVE
            else:
                # Every byte as typed, Ctrl-C, Ctrl-S and Enter included; output keeps its
                # processing so that the phone's "\n" starts a new line.
                mode[0] &= ~(t.ICRNL | t.INLCR | t.IGNCR | t.IXON)
                mode[3] &= ~(t.ICANON | t.ECHO | t.ISIG | t.IEXTEN)
                mode[6][t.VMIN] = 1
                mode[6][t.VTIME] = 0
            t.tcsetattr(self.fd, t.TCSANOW, mode)
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._saved is not None:
            self._termios.tcsetattr(self.fd, self._termios.TCSADRAIN, self._saved)

    def poll(self, timeout: float) -> Optional[bytes]:
        """Bytes typed, b"" at the end of input, None when nothing came in time."""
        import select
        ready, _, _ = select.select([self.fd], [], [], timeout)
        return os.read(self.fd, 4096) if ready else None


class _WindowsKeys:
    """Keys from the Windows console (raw: msvcrt; line: lines read on a thread)."""

    def __init__(self, stream: BinaryIO, line_mode: bool):
        import msvcrt
        self._msvcrt = msvcrt
        self.line_mode = line_mode or not sys.stdin.isatty()
        self._lines: "queue.Queue[bytes]" = queue.Queue()
        if self.line_mode:
            threading.Thread(target=self._read_lines, args=(stream,), daemon=True).start()

    def __enter__(self) -> "_WindowsKeys":
        return self

    def __exit__(self, *exc_info: object) -> None:
        pass

    def _read_lines(self, stream: BinaryIO) -> None:
        while True:
            line = stream.readline()
            self._lines.put(line.replace(b"\r\n", b"\n"))
            if not line:
                return

    def poll(self, timeout: float) -> Optional[bytes]:
        if self.line_mode:
            try:
                return self._lines.get(timeout=timeout)
            except queue.Empty:
                return None
        msvcrt = self._msvcrt
        if not msvcrt.kbhit():
            threading.Event().wait(timeout)
            if not msvcrt.kbhit():
                return None
        key = msvcrt.getch()
        if key in (b"\x00", b"\xe0"):  # a function or arrow key: its second byte follows
            msvcrt.getch()
            return None
        return key


def _show(robot: Serial, out: BinaryIO, hex_display: bool) -> None:
    column = 0
    while True:
        try:
            data = robot.read(max(1, robot.in_waiting))
        except ConnectionClosed:
            return
        if hex_display:
            text = bytearray()
            for byte in data:
                text += b"%02X" % byte
                column += 1
                text += b"\n" if column % 16 == 0 else b" "
            data = bytes(text)
        out.write(data)
        out.flush()


def term(bridge: BlockingBridge, addr: str, line_mode: bool, hex_display: bool, eol: bytes,
         keys_in: BinaryIO, out: BinaryIO, err) -> int:
    robot = bridge.open(addr)
    shower = threading.Thread(target=_show, args=(robot, out, hex_display), daemon=True)
    shower.start()
    keys_class = _WindowsKeys if os.name == "nt" else _PosixKeys
    try:
        with keys_class(keys_in, line_mode) as keys:
            # Said once the terminal is in its mode, so that no early key is taken otherwise.
            mode = "line mode" if line_mode else "raw mode"
            print(f"connected to {robot.port} ({mode}); Ctrl-] leaves", file=err, flush=True)
            while robot.reason is None:
                typed = keys.poll(POLL)
                if typed is None:
                    continue
                leave = not typed or LEAVE in typed
                typed = typed.split(LEAVE)[0]
                if keys.line_mode:
                    # A line cut short by Ctrl-] is dropped, as a shell would drop it.
                    typed = typed[:-1] + eol if typed.endswith(b"\n") and not leave else b""
                else:
                    typed = typed.replace(b"\r", eol)
                if typed:
                    robot.write(typed)
                if leave:
                    break
    finally:
        ended_by_phone = robot.reason is not None
        robot.close()
        shower.join(5)
    if ended_by_phone:
        print(f"\nthe connection ended ({robot.cause}): {robot.reason}", file=err, flush=True)
        return 1
    print("\ndisconnected", file=err, flush=True)
    return 0


def scan(bridge: BlockingBridge, seconds: int) -> int:
    async def listing() -> None:
        async for device in bridge.bridge.scan(seconds):
            paired = "  (paired)" if device.paired else ""
            print(f"{device.addr}  {device.name}{paired}", flush=True)
    _run(listing())
    return 0


def pair(bridge: BlockingBridge, addr: str) -> int:
    def show(pin: str) -> None:
        print(f"PIN {pin}: check that the phone shows the same and confirm it there",
              flush=True)
    bridge.pair(addr, on_pin=show)
    print("paired", flush=True)
    return 0


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quintel_bt",
                                     description="Talk to robots through quintel-bt.")
    parser.add_argument("--exe", help="the bridge (default: $QUINTEL_BT_EXE, then PATH)")
    parser.add_argument("--world", help="a world file, for quintel-bt-sim")
    commands = parser.add_subparsers(dest="command", required=True)
    scanning = commands.add_parser("scan", help="list the devices in range")
    scanning.add_argument("--seconds", type=int, default=8)
    pairing = commands.add_parser("pair", help="pair with a device, showing the PIN")
    pairing.add_argument("addr")
    terminal = commands.add_parser("term", help="a terminal on a connection (Ctrl-] leaves)")
    terminal.add_argument("addr")
    terminal.add_argument("--line", action="store_true",
                          help="send whole lines (the terminal edits them) instead of keys")
    terminal.add_argument("--hex", action="store_true", help="show received bytes in hex")
    terminal.add_argument("--eol", choices=sorted(EOLS), default="lf",
                          help="what Enter sends (default lf)")
    args = parser.parse_args(argv)
    try:
        with BlockingBridge(args.exe, args.world) as bridge:
            if args.command == "scan":
                return scan(bridge, args.seconds)
            if args.command == "pair":
                return pair(bridge, args.addr)
            return term(bridge, args.addr, args.line, args.hex, EOLS[args.eol],
                        sys.stdin.buffer, sys.stdout.buffer, sys.stderr)
    except (BridgeError, ValueError, FileNotFoundError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
