#!/usr/bin/env python3
"""A short scripted host session: starts the bridge, prints every event as it arrives, and
walks through scan, pair, connect, send, receive and disconnect against the default world."""
import base64
import json
import os
import queue
import subprocess
import sys
import threading

exe = sys.argv[1] if len(sys.argv) > 1 else "build/quintel-bt-sim"
robot = "A4:50:46:12:34:56"
env = dict(os.environ)
env.pop("QUINTEL_BT_WORLD", None)  # the built-in default world
bridge = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                          stderr=subprocess.DEVNULL, env=env)
events = queue.Queue()


def pump():
    for raw in bridge.stdout:
        events.put(raw.decode("utf-8", "replace").rstrip("\r\n"))
    events.put(None)


threading.Thread(target=pump, daemon=True).start()


def send(command):
    line = json.dumps(command, ensure_ascii=False, separators=(",", ":"))
    print(f"host  > {line}", flush=True)
    bridge.stdin.write((line + "\n").encode())
    bridge.stdin.flush()


def until(kind, timeout=15):
    """Prints events until one of the given kind arrives."""
    while True:
        try:
            line = events.get(timeout=timeout)
        except queue.Empty:
            print(f"        (no {kind} event within {timeout} s)", flush=True)
            return None
        if line is None:
            return None
        note = ""
        event = json.loads(line)
        if event.get("t") == "data":
            note = f"   <- bytes {base64.b64decode(event['b64'])!r}"
        print(f"bridge< {line}{note}", flush=True)
        if event.get("t") == kind:
            return event


until("ready")
send({"t": "scan", "seconds": 2})
until("scan-done")
send({"t": "pair", "addr": robot})
until("pair-result")
send({"t": "connect", "addr": robot})
if until("connected"):
    send({"t": "send", "b64": base64.b64encode(b"hello robot").decode()})
    until("data")
    send({"t": "disconnect"})
    until("closed")
bridge.stdin.close()
print(f"bridge exited with status {bridge.wait()}", flush=True)
