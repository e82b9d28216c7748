#!/usr/bin/python3
"""How soon the host hears of a fault: the time from a control line to the host's event, for
the exe under wine on the stack double (or any bridge a launcher starts). A measurement, not a
test: it prints the median and the worst of each fault and checks nothing.

    QUINTEL_WINE_STACK=build-win tests/wine/detection_times.py build-win/quintel-bt.exe [RUNS]

Runs the exe through tests/wine/launch-with-stack.sh (QUINTEL_DETECT_LAUNCHER names another,
empty for none) in protocol 2, with one echo phone.
"""
import json
import os
import queue
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

PHONE = "A4:50:46:12:34:56"
HERE = os.path.dirname(os.path.abspath(__file__))

# The fault, the line that makes it, what the host waits for, the line that undoes it and
# what the host waits for then.
FAULTS = [
    ("radio off", "radio off", {"t": "adapter", "state": "off"}, "radio on",
     {"t": "adapter", "state": "on"}),
    ("adapter removed", "adapter remove", {"t": "adapter", "state": "absent"}, "adapter add",
     {"t": "adapter", "state": "on"}),
    ("stack restarted", "stack restart", {"t": "adapter", "state": "absent"}, None,
     {"t": "adapter", "state": "on"}),
    ("phone switched off", f"phone {PHONE} off", {"t": "closed", "code": "LINK_LOST"},
     f"phone {PHONE} on", None),
]


def main():
    exe = os.path.abspath(sys.argv[1])
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    work = tempfile.mkdtemp()
    path = os.path.join(work, "control.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(1)
    world = os.path.join(work, "world.txt")
    with open(world, "w") as f:
        f.write(f"control {path}\nstack-restart-ms 300\ndevice {PHONE}\n  name \"R\"\n")
    launcher = os.environ.get("QUINTEL_DETECT_LAUNCHER",
                              os.path.join(HERE, "launch-with-stack.sh"))
    bridge = subprocess.Popen(([launcher] if launcher else []) + [exe], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                              env=dict(os.environ, QUINTEL_BT_WORLD=world))
    events = queue.Queue()

    def read():
        for line in bridge.stdout:
            events.put((time.monotonic(), json.loads(line)))

    threading.Thread(target=read, daemon=True).start()
    listener.settimeout(60)
    control, _ = listener.accept()
    control_in = control.makefile("r")

    def say(command):
        bridge.stdin.write((json.dumps(command) + "\n").encode())
        bridge.stdin.flush()

    def until(wanted, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            at, event = events.get(timeout=max(0.1, deadline - time.monotonic()))
            if all(event.get(k) == v for k, v in wanted.items()):
                return at

    def change(line):
        started = time.monotonic()
        control.sendall((line + "\n").encode())
        answer = control_in.readline().strip()
        if answer != "ok":
            raise SystemExit(f"control line {line!r}: {answer}")
        return started

    until({"t": "ready"})
    say({"t": "hello", "protocol": 2})
    until({"t": "hello"})
    times = {name: [] for name, *_ in FAULTS}
    for _ in range(runs):
        for name, line, heard, undo, back in FAULTS:
            if name == "phone switched off":
                say({"t": "connect", "addr": PHONE})
                until({"t": "connected"})
            started = change(line)
            times[name].append((until(heard) - started) * 1000)
            if undo:
                change(undo)
            if back:
                until(back)
    bridge.stdin.close()
    bridge.wait(timeout=30)
    for name, values in times.items():
        print(f"{name}: median {statistics.median(values):.1f} ms, "
              f"worst {max(values):.1f} ms over {len(values)}")


if __name__ == "__main__":
    main()
