#!/usr/bin/python3
"""Proves the bed without the bridge: from hci0, as the bridge would, find
every phone, pair as its settings say, connect to its Serial Port through a
client Profile1 and check what comes back. Runs inside the guest.

Usage: selftest.py [BYTES [FLIP]]
  BYTES  bytes to echo per phone, default 4096
  FLIP   a phone to switch to NoInputNoOutput just before pairing it
"""
import codecs
import json
import os
import select
import socket
import sys
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ = "org.bluez"
SPP_UUID = "00001101-0000-1000-8000-00805f9b34fb"
bed = os.environ["QUINTEL_BED_DIR"]
size = int(sys.argv[1]) if len(sys.argv) > 1 else 4096
# This phone is switched to NoInputNoOutput just before it is paired.
flip = int(sys.argv[2]) if len(sys.argv) > 2 else 0

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SystemBus()
loop = GLib.MainLoop()
failures = []
seen = []  # what the bridge's side agent was asked


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def run_until(cond, seconds):
    deadline = time.monotonic() + seconds
    ctx = loop.get_context()
    while not cond() and time.monotonic() < deadline:
        ctx.iteration(False) or time.sleep(0.01)
    return cond()


def call(method, *args, timeout=60):
    """Calls asynchronously, so bluetoothd may call us back meanwhile."""
    box = {}
    method(*args, reply_handler=lambda *r: box.setdefault("ok", r),
           error_handler=lambda e: box.setdefault("err", e), timeout=timeout)
    run_until(lambda: box, timeout + 5)
    if "err" in box:
        raise box["err"]
    return box.get("ok")


class Agent(dbus.service.Object):
    @dbus.service.method("org.bluez.Agent1", in_signature="ou", out_signature="")
    def RequestConfirmation(self, device, passkey):
        seen.append("RequestConfirmation %06d" % passkey)

    @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="")
    def RequestAuthorization(self, device):
        seen.append("RequestAuthorization")

    @dbus.service.method("org.bluez.Agent1", in_signature="os", out_signature="")
    def AuthorizeService(self, device, uuid):
        seen.append("AuthorizeService")

    @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="u")
    def RequestPasskey(self, device):
        seen.append("RequestPasskey")
        return dbus.UInt32(0)

    @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="s")
    def RequestPinCode(self, device):
        seen.append("RequestPinCode")
        return "0000"

    @dbus.service.method("org.bluez.Agent1", in_signature="ouq", out_signature="")
    def DisplayPasskey(self, device, passkey, entered):
        seen.append("DisplayPasskey %06d" % passkey)

    @dbus.service.method("org.bluez.Agent1", in_signature="", out_signature="")
    def Cancel(self):
        seen.append("Cancel")


class Profile(dbus.service.Object):
    fds = []

    @dbus.service.method("org.bluez.Profile1", in_signature="oha{sv}", out_signature="")
    def NewConnection(self, device, fd, props):
        self.fds.append(fd.take())

    @dbus.service.method("org.bluez.Profile1", in_signature="o", out_signature="")
    def RequestDisconnection(self, device):
        pass

    @dbus.service.method("org.bluez.Profile1", in_signature="", out_signature="")
    def Release(self):
        pass


def iface(path, name):
    return dbus.Interface(bus.get_object(BLUEZ, path), name)


def objects():
    return iface("/", "org.freedesktop.DBus.ObjectManager").GetManagedObjects()


def exchange(fd, data, want):
    """Sends data while reading, until want bytes came back and all is sent,
    or the phone closed. Returns the socket (None once closed) and the bytes."""
    s = socket.socket(fileno=fd)
    s.setblocking(False)
    got = bytearray()
    sent = 0
    deadline = time.monotonic() + 120
    while (len(got) < want or sent < len(data)) and time.monotonic() < deadline:
        r, w, _ = select.select([s], [s] if sent < len(data) else [], [], 5)
        if w:
            try:
                sent += s.send(data[sent:sent + 65536])
            except (ConnectionResetError, BrokenPipeError):
                # The phone closed. What it sent before is still to be read,
                # but with the error taken, a read would wait for ever.
                while select.select([s], [], [], 1)[0]:
                    try:
                        chunk = s.recv(65536)
                    except OSError:
                        break
                    if not chunk:
                        break
                    got += chunk
                s.close()
                return None, bytes(got)
        if r:
            try:
                chunk = s.recv(65536)
            except BlockingIOError:
                continue  # readable for the error the send saw
            except ConnectionResetError:
                chunk = b""  # how RFCOMM reports the phone closing
            if not chunk:
                s.close()
                return None, bytes(got)
            got += chunk
    s.setblocking(True)
    return s, bytes(got)


def wait_closed(s, seconds):
    if s is None:
        return True
    s.settimeout(seconds)
    try:
        return s.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def set_phone(n, key, value):
    """Rewrites one setting the way a test would, mid-run."""
    path = os.path.join(bed, "phones.json")
    with open(path, encoding="utf-8") as f:
        conf = json.load(f)
    conf["phones"][n - 1][key] = value
    with open(path + ".new", "w", encoding="utf-8") as f:
        json.dump(conf, f)
    os.rename(path + ".new", path)


def pair(n, device, s):
    del seen[:]
    t0 = time.monotonic()
    try:
        call(device.Pair)
        result = "paired"
    except dbus.DBusException as e:
        result = e.get_dbus_name()
    took = time.monotonic() - t0
    want = "paired" if s["pair"] == "accept" else "org.bluez.Error.AuthenticationFailed"
    check(result == want, "phone %d (pair=%s iocap=%s): %s in %.1fs, bridge agent saw %s"
          % (n, s["pair"], s["iocap"], result, took, seen or "nothing"))
    if s["iocap"] == "NoInputNoOutput":
        check(not seen, "phone %d: Just Works asks the initiator's agent nothing" % n)
    else:
        check(seen == ["RequestConfirmation 000000"], "phone %d: numeric comparison, 000000" % n)
    return result == "paired"


def events(n):
    with open(os.path.join(bed, "phone%d.events" % n), encoding="utf-8") as f:
        return f.read().splitlines()


def find(adapter, path):
    """bluetoothd forgets a device it found 30 s after: look again if so."""
    if path in objects():
        return
    call(adapter.StartDiscovery)
    run_until(lambda: path in objects(), 30)
    call(adapter.StopDiscovery)


def disconnect(n, path):
    try:
        call(iface(path, "org.bluez.Device1").Disconnect, timeout=10)
    except dbus.DBusException:
        pass
    gone = run_until(lambda: not objects().get(path, {}).get("org.bluez.Device1", {}).get("Connected"), 10)
    check(gone, "phone %d: link closed" % n)


def exercise(n, path, s, objs):
    dev = objs.get(path, {}).get("org.bluez.Device1", {})
    check(dev.get("Name") == s["name"], "phone %d is named %r (%r)" % (n, s["name"], str(dev.get("Name"))))
    paired = bool(dev.get("Paired"))
    check(paired == (s["paired"] == "yes"), "phone %d paired at start: %s" % (n, paired))
    device = iface(path, "org.bluez.Device1")
    repaired = False
    if n == flip and not paired:
        # A new IO capability, in force once the phone says so.
        set_phone(n, "iocap", "NoInputNoOutput")
        applied = run_until(lambda: "iocap NoInputNoOutput" in events(n), 20)
        check(applied, "phone %d took its new IO capability" % n)
        s = dict(s, iocap="NoInputNoOutput")
    if not paired and not pair(n, device, s):
        if s["pair"] != "reject":
            return
        # The phone follows its settings: now it accepts. Its next
        # connection has dropped by itself some 8 s in: keep it short.
        set_phone(n, "pair", "accept")
        s = dict(s, pair="accept")
        disconnect(n, path)
        repaired = True
        if not pair(n, device, s):
            return
    if s["spp"] != "yes":
        try:
            call(device.ConnectProfile, SPP_UUID)
            check(False, "phone %d without SPP: ConnectProfile succeeded" % n)
        except dbus.DBusException as e:
            check(True, "phone %d without SPP: %s" % (n, e.get_dbus_name()))
        return
    data = os.urandom(min(size, 4096) if repaired else size) if s["mode"] == "echo" else b""
    greeting = codecs.decode(s["send"], "unicode_escape").encode("latin-1")
    limit = s["close_after_bytes"]
    echoed = data[:limit] if limit else data
    t0 = time.monotonic()
    call(device.ConnectProfile, SPP_UUID)
    run_until(lambda: Profile.fds, 10)
    check(bool(Profile.fds), "phone %d: ConnectProfile handed over an fd" % n)
    if not Profile.fds:
        return
    sock, got = exchange(Profile.fds.pop(), data, len(greeting) + len(echoed))
    took = time.monotonic() - t0
    check(got == greeting + echoed, "phone %d: %d bytes back in %.1fs, as sent" % (n, len(got), took))
    if limit or s["close_after"]:
        t0 = time.monotonic()
        closed = wait_closed(sock, s["close_after"] + 10)
        check(closed, "phone %d: closed by the phone (after %.1fs more)" % (n, time.monotonic() - t0))
    if sock:
        sock.close()
    try:
        call(device.DisconnectProfile, SPP_UUID, timeout=10)
    except dbus.DBusException:
        pass  # already gone with the socket
    time.sleep(0.5)
    with open(os.path.join(bed, "phone%d.rx" % n), "rb") as f:
        rx = f.read()
    check(rx.endswith(echoed), "phone %d received the %d bytes sent" % (n, len(echoed)))


def main():
    with open(os.path.join(bed, "phones.ready"), encoding="utf-8") as f:
        ready = json.load(f)
    with open(os.path.join(bed, "phones.json"), encoding="utf-8") as f:
        settings = json.load(f)["phones"]

    adapters = [str(p) for p, i in objects().items() if "org.bluez.Adapter1" in i]
    check(adapters[0] == "/org/bluez/hci0", "the first adapter is hci0 (%s)" % adapters[0])

    Agent(bus, "/selftest/agent")
    iface("/org/bluez", "org.bluez.AgentManager1").RegisterAgent("/selftest/agent", "DisplayYesNo")
    Profile(bus, "/selftest/spp")
    iface("/org/bluez", "org.bluez.ProfileManager1").RegisterProfile(
        "/selftest/spp", SPP_UUID, {"Role": "client", "Name": "selftest"})

    adapter = iface("/org/bluez/hci0", "org.bluez.Adapter1")
    t0 = time.monotonic()
    call(adapter.StartDiscovery)
    paths = {p["address"]: "/org/bluez/hci0/dev_" + p["address"].replace(":", "_") for p in ready["phones"]}

    def all_found():
        objs = objects()
        return all(paths[a] in objs and "Name" in objs[paths[a]]["org.bluez.Device1"] for a in paths)

    found = run_until(all_found, 30)
    check(found, "discovery found all %d phones in %.1fs" % (len(paths), time.monotonic() - t0))
    call(adapter.StopDiscovery)
    objs = objects()

    for n, (phone, s) in enumerate(zip(ready["phones"], settings), 1):
        path = paths[phone["address"]]
        find(adapter, path)
        exercise(n, path, s, objects())
        # One link at a time: btvirt mixes up data when hci0 has two.
        disconnect(n, path)

    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
