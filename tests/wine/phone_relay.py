#!/usr/bin/python3
"""Carries the streams of live phones and of the control channel between the stack double
under wine (TCP on 127.0.0.1) and a Unix-domain socket, which wine cannot reach itself.

Prints the port it listens on, then serves until killed or until the launcher that started it
is gone (a harness that kills the launcher must not be left waiting on a relay), and then until
what the exe sent has reached the phones, for at most DRAIN_SECONDS. Each
connection starts with one line, the socket's path; the answer is "+" when connected there, "-"
when nobody listens. Then bytes pass both ways, and each end of the stream is passed on as a
half close.
"""
import os
import socket
import sys
import threading
import time

# How long what the exe sent before it ended may take to reach a phone that reads slowly.
DRAIN_SECONDS = 30

# Streams from the exe still being carried to their phones.
forwarding = 0
forwarding_changed = threading.Condition()


def pump(source, sink):
    try:
        while True:
            data = source.recv(1 << 16)
            if not data:
                break
            sink.sendall(data)
    except OSError:
        pass
    try:
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def serve(bridge):
    bridge.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    path = b""
    while not path.endswith(b"\n"):
        more = bridge.recv(1)
        if not more:
            bridge.close()
            return
        path += more
    phone = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        phone.connect(path[:-1].decode())
    except OSError:
        bridge.sendall(b"-")
        bridge.close()
        return
    bridge.sendall(b"+")
    back = threading.Thread(target=pump, args=(phone, bridge), daemon=True)
    back.start()
    global forwarding
    with forwarding_changed:
        forwarding += 1
    try:
        pump(bridge, phone)
    finally:
        with forwarding_changed:
            forwarding -= 1
            forwarding_changed.notify_all()
    back.join()
    phone.close()
    bridge.close()


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(listener.getsockname()[1], flush=True)
    sys.stdout.close()
    launcher = os.getppid()

    def accept():
        while True:
            bridge, _ = listener.accept()
            threading.Thread(target=serve, args=(bridge,), daemon=True).start()

    threading.Thread(target=accept, daemon=True).start()
    while os.getppid() == launcher:
        time.sleep(0.5)
    # The exe is gone and its sockets with it, but the bytes it had stored may still be on their
    # way to a phone: ended now, the relay would drop them, and a store reported sent would be
    # lost.
    with forwarding_changed:
        forwarding_changed.wait_for(lambda: forwarding == 0, timeout=DRAIN_SECONDS)


if __name__ == "__main__":
    main()
