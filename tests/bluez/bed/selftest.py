#!/usr/bin/python3
"""Proves the bed without the bridge: from hci0, as the bridge would, find
every phone, pair as its settings say, connect to its Serial Port through a
client Profile1 and check what comes back. Runs inside the guest.

Usage: selftest.py [--bytes N] [--flip I] MODE...
  phones  each phone in turn, as its settings say (N bytes echoed each)
  links   two links at once, N bytes each way on each at the same time; then
          one phone's echo, its disconnect and at once another's pairing and
          connect (needs 3 phones that echo, the third unpaired)
  faults  each of bedctl's faults with a link open, then a new connection
          (needs 2 phones that echo, paired)
  --flip  a phone to switch to NoInputNoOutput just before pairing it
"""
import argparse
import codecs
import json
import os
import re
import select
import socket
import subprocess
import sys
import threading
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ = "org.bluez"
SPP_UUID = "00001101-0000-1000-8000-00805f9b34fb"
bed = os.environ["QUINTEL_BED_DIR"]
bedctl = os.environ.get("QUINTEL_BEDCTL", os.path.join(os.path.dirname(os.path.abspath(__file__)), "bedctl"))
opts = argparse.ArgumentParser()
opts.add_argument("--bytes", type=int, default=4096)
opts.add_argument("--flip", type=int, default=0)
opts.add_argument("modes", nargs="+", choices=("phones", "links", "faults"))
args = opts.parse_args()
size = args.bytes
# This phone is switched to NoInputNoOutput just before it is paired.
flip = args.flip

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


last_discovery = [0.0]


def find(path):
    """bluetoothd forgets an unpaired device 30 s after discovery stops: look
    again when it is gone or close to it."""
    dev = objects().get(path, {}).get("org.bluez.Device1", {})
    if dev and (dev.get("Paired") or time.monotonic() - last_discovery[0] < 15):
        return
    adapter = iface("/org/bluez/hci0", "org.bluez.Adapter1")
    call(adapter.StartDiscovery)
    run_until(lambda: path in objects(), 30)
    call(adapter.StopDiscovery)
    last_discovery[0] = time.monotonic()


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
    if not paired:
        find(path)
    if not paired and not pair(n, device, s):
        if s["pair"] != "reject":
            return
        # The phone follows its settings: now it accepts. Its next
        # connection has dropped by itself some 8 s in: keep it short.
        set_phone(n, "pair", "accept")
        s = dict(s, pair="accept")
        disconnect(n, path)
        repaired = True
        find(path)
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


def register():
    """The agent and the client profile, as the bridge registers them; again
    after bluetoothd came back."""
    iface("/org/bluez", "org.bluez.AgentManager1").RegisterAgent("/selftest/agent", "DisplayYesNo")
    iface("/org/bluez", "org.bluez.ProfileManager1").RegisterProfile(
        "/selftest/spp", SPP_UUID, {"Role": "client", "Name": "selftest"})


def open_spp(n, path, busy_for=0.0):
    """A Serial Port connection to phone n: the socket, or None. Tries again
    for busy_for seconds while the kernel still closes an earlier channel to
    the phone (br-connection-busy)."""
    del Profile.fds[:]
    t0 = time.monotonic()
    tries = 0
    while True:
        tries += 1
        try:
            call(iface(path, "org.bluez.Device1").ConnectProfile, SPP_UUID)
            break
        except dbus.DBusException as e:
            if e.get_dbus_message() == "br-connection-busy" and time.monotonic() - t0 < busy_for:
                time.sleep(0.05)
                continue
            check(False, "phone %d: ConnectProfile failed: %s: %s" % (n, e.get_dbus_name(), e.get_dbus_message()))
            return None
    run_until(lambda: Profile.fds, 10)
    check(bool(Profile.fds), "phone %d: connected in %.1fs%s" % (
        n, time.monotonic() - t0, ", %d tries" % tries if tries > 1 else ""))
    return socket.socket(fileno=Profile.fds.pop()) if Profile.fds else None


def rx_size(n):
    try:
        return os.path.getsize(os.path.join(bed, "phone%d.rx" % n))
    except OSError:
        return 0


def rx_tail(n, count):
    with open(os.path.join(bed, "phone%d.rx" % n), "rb") as f:
        f.seek(max(0, rx_size(n) - count))
        return f.read()


def echo_all(links, seconds=180):
    """links: {n: (socket, data)}. Sends each its data and reads its echo,
    all at the same time; returns {n: bytes back}."""
    got = {n: bytearray() for n in links}
    sent = {n: 0 for n in links}
    for s, _ in links.values():
        s.setblocking(False)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        busy = [n for n, (s, d) in links.items() if len(got[n]) < len(d)]
        if not busy:
            break
        by_sock = {links[n][0]: n for n in busy}
        r, w, _ = select.select(list(by_sock), [s for s, n in by_sock.items() if sent[n] < len(links[n][1])], [], 5)
        for s in w:
            n = by_sock[s]
            try:
                sent[n] += s.send(links[n][1][sent[n]:sent[n] + 65536])
            except OSError:
                pass  # full for now, or the end, which the read shows
        for s in r:
            n = by_sock[s]
            try:
                chunk = s.recv(65536)
            except BlockingIOError:
                continue
            except OSError:
                chunk = b""
            if not chunk:
                del links[n]
                break
            got[n] += chunk
    return {n: bytes(g) for n, g in got.items()}


def close_spp(n, path, sock):
    if sock:
        sock.close()
    # Asynchronous: bluetoothd calls the profile's RequestDisconnection back.
    iface(path, "org.bluez.Device1").DisconnectProfile(
        SPP_UUID, reply_handler=lambda: None, error_handler=lambda e: None, timeout=10)


def echo_check(n, path, sock, count, what):
    """Echoes count random bytes on sock and checks them at both ends."""
    data = os.urandom(count)
    before = rx_size(n)
    t0 = time.monotonic()
    got = echo_all({n: (sock, data)})[n]
    check(got == data, "phone %d: %s: %d of %d bytes back in %.1fs, as sent"
          % (n, what, len(got), count, time.monotonic() - t0))
    run_until(lambda: rx_size(n) >= before + count, 5)
    check(rx_size(n) == before + count and rx_tail(n, count) == data,
          "phone %d: %s: received the %d bytes sent" % (n, what, count))


def kernel_clean(what):
    log = subprocess.run(["dmesg"], stdout=subprocess.PIPE, text=True).stdout
    bad = [l for l in log.splitlines()
           if re.search(r"unknown connection handle|BUG|WARNING|corruption|Oops", l)]
    check(not bad, "%s: the kernel logged no fault%s" % (what, "".join("\n     " + l for l in bad[:5])))


def main_links(paths, settings):
    """Two links at once, then a second phone right after the first."""
    n1, n2, n3 = 1, 2, 3
    for n in (n1, n2):
        if not objects()[paths[n]]["org.bluez.Device1"].get("Paired"):
            pair(n, iface(paths[n], "org.bluez.Device1"), settings[n - 1])
    socks = {n: open_spp(n, paths[n]) for n in (n1, n2)}
    if not all(socks.values()):
        return
    objs = objects()
    check(all(objs[paths[n]]["org.bluez.Device1"]["Connected"] for n in (n1, n2)), "two links at once")
    data = {n: os.urandom(size) for n in (n1, n2)}
    before = {n: rx_size(n) for n in (n1, n2)}
    t0 = time.monotonic()
    got = echo_all({n: (socks[n], data[n]) for n in (n1, n2)})
    took = time.monotonic() - t0
    for n in (n1, n2):
        check(got[n] == data[n], "phone %d: %d of %d bytes back over one of two links, %.1fs for both"
              % (n, len(got[n]), size, took))
        run_until(lambda: rx_size(n) >= before[n] + size, 5)
        check(rx_size(n) == before[n] + size and rx_tail(n, size) == data[n],
              "phone %d received exactly its %d bytes" % (n, size))
    for n in (n1, n2):
        close_spp(n, paths[n], socks[n])

    # As a user would: an echo with one phone, its disconnect, and at once
    # the pairing and connect of another. The first connect follows the close
    # above at once: the kernel refuses it while the old channel closes.
    find(paths[n3])
    sock = open_spp(n1, paths[n1], busy_for=5)
    if not sock:
        return
    echo_check(n1, paths[n1], sock, 100 * 1024, "100 KB echo")
    close_spp(n1, paths[n1], sock)
    if pair(n3, iface(paths[n3], "org.bluez.Device1"), settings[n3 - 1]):
        sock = open_spp(n3, paths[n3])
        if sock:
            echo_check(n3, paths[n3], sock, 100 * 1024, "100 KB echo right after another phone's")
            close_spp(n3, paths[n3], sock)
    kernel_clean("links")


def fault(*command):
    """Runs bedctl; returns its at= moment, or None."""
    r = subprocess.run([bedctl] + list(command), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    m = re.search(r"at=([0-9.]+) done=([0-9.]+)", r.stdout)
    check(r.returncode == 0 and m, "bedctl %s: %s" % (" ".join(command), r.stdout.strip()))
    return float(m.group(1)) if m else None


def until_closed(sock, box, seconds=15):
    """Keeps the link busy both ways until it ends, at most seconds after the
    fault (bedctl may take a while to start on a busy host); returns when the
    link ended, or None."""
    data = os.urandom(64 * 1024)
    sock.setblocking(False)
    started = time.monotonic()
    ended = None
    while ended is None and time.monotonic() - started < 120:
        if "at" in box and time.monotonic() > (box["at"] or 0) + seconds:
            break
        r, w, _ = select.select([sock], [sock], [], 0.5)
        # A socket may show writable and still refuse: read regardless.
        for ready, step in ((w, lambda: sock.send(data) < 0), (r, lambda: not sock.recv(65536))):
            try:
                if ready and step():
                    ended = time.monotonic()
            except BlockingIOError:
                pass
            except OSError:
                ended = time.monotonic()
    sock.close()
    return ended


def bridge_path(addr):
    for path, ifs in objects().items():
        a = ifs.get("org.bluez.Adapter1")
        if a and str(a["Address"]) == addr:
            return str(path)
    return None


def busy_link(n, path, what):
    """A new link to phone n, proven by a short echo."""
    sock = open_spp(n, path)
    if sock:
        echo_check(n, path, sock, 4096, what)
    return sock


def main_faults(paths, ready):
    bridge = ready["bridge"]["address"]
    n1, n2 = 1, 2

    def dev(n, hci=None):
        return "%s/dev_%s" % (hci or bridge_path(bridge), ready["phones"][n - 1]["address"].replace(":", "_"))

    def connected(n):
        return bool(objects().get(dev(n), {}).get("org.bluez.Device1", {}).get("Connected"))


    # Each fault while a link carries bytes both ways: the link ends; after the
    # way back, a new connection works.
    cases = [
        ("phone switched off", n1, ("power", "phone1", "off"), ("power", "phone1", "on")),
        ("radio off", n2, ("power", "bridge", "off"), ("power", "bridge", "on")),
        ("phone's controller removed", n1, ("remove", "phone1"), ("add", "phone1")),
        ("adapter removed", n2, ("remove", "bridge"), ("add", "bridge")),
    ]
    for what, n, off, on in cases:
        print("-- %s" % what, flush=True)
        sock = busy_link(n, dev(n), "before: " + what)
        if not sock:
            continue
        seen_events = len(events(n))
        # bedctl runs beside the traffic, which must not wait for it.
        box = {}
        t = threading.Thread(target=lambda: box.setdefault("at", fault(*off)))
        t.start()
        ended = until_closed(sock, box)
        t.join()
        at = box.get("at")
        check(ended and at, "%s: the link ended %s after the fault" % (
            what, "%.2fs" % (ended - at) if ended and at else "not within 15s"))
        check(run_until(lambda: not connected(n) if bridge_path(bridge) else True, 10),
              "%s: the bridge's side shows phone %d disconnected" % (what, n))
        if off[1] == "bridge" and off[0] == "power":
            powered = objects()[bridge_path(bridge)]["org.bluez.Adapter1"]["Powered"]
            check(not powered, "%s: hci0 is off for bluetoothd" % what)
        if off[0] == "remove" and off[1] == "bridge":
            check(bridge_path(bridge) is None, "%s: bluetoothd lists no adapter of the bridge" % what)
        ended = [e for e in events(n)[seen_events:] if e.startswith("disconnected")]
        check(ended, "%s: phone %d's side ended too (%s)" % (what, n, ended[0] if ended else "no event"))
        fault(*on)
        # Back as it was: powered (bluetoothd powers an adapter plugged in).
        back = run_until(lambda: bridge_path(bridge) and objects()[bridge_path(bridge)]["org.bluez.Adapter1"]
                         ["Powered"], 15)
        check(back, "%s: the bridge's adapter is back at %s, powered" % (what, bridge_path(bridge)))
        if off[1].startswith("phone"):
            run_until(lambda: any(e.startswith("adapter ") for e in events(n)[-2:]) or off[0] == "power", 15)
        sock = open_spp(n, dev(n))
        if sock:
            echo_check(n, dev(n), sock, 4096, "after: " + what)
            close_spp(n, dev(n), sock)

    # bluetoothd ending, politely and not: what is registered goes with it.
    for how in ("stop", "kill"):
        print("-- bluetoothd %s" % how, flush=True)
        sock = busy_link(n1, dev(n1), "before bluetoothd %s" % how)
        fault("bluetoothd", how)
        check(not on_bus(), "bluetoothd %s: org.bluez left the bus" % how)
        if sock:
            # Not a check: what the kernel does with a link whose daemon went.
            data = os.urandom(4096)
            got = echo_all({n1: (sock, data)}, seconds=3)[n1]
            print("     the open link %s" % ("still carries bytes" if got == data else "ended"), flush=True)
            sock.close()
        fault("bluetoothd", "start")
        t0 = time.monotonic()
        run_until(lambda: bridge_path(bridge), 10)
        register()
        sock = open_spp(n2, dev(n2))
        if sock:
            check(True, "bluetoothd %s: connected again %.1fs after its return" % (how, time.monotonic() - t0))
            echo_check(n2, dev(n2), sock, 4096, "after bluetoothd %s" % how)
            close_spp(n2, dev(n2), sock)
    kernel_clean("faults")


def on_bus():
    return bool(bus.name_has_owner(BLUEZ))


def main():
    with open(os.path.join(bed, "phones.ready"), encoding="utf-8") as f:
        ready = json.load(f)
    with open(os.path.join(bed, "phones.json"), encoding="utf-8") as f:
        settings = json.load(f)["phones"]

    adapters = [str(p) for p, i in objects().items() if "org.bluez.Adapter1" in i]
    check(adapters[0] == "/org/bluez/hci0", "the first adapter is hci0 (%s)" % adapters[0])

    Agent(bus, "/selftest/agent")
    Profile(bus, "/selftest/spp")
    register()

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
    last_discovery[0] = time.monotonic()
    by_number = {n: paths[p["address"]] for n, p in enumerate(ready["phones"], 1)}

    for mode in args.modes:
        print("== %s" % mode, flush=True)
        if mode == "phones":
            for n, (phone, s) in enumerate(zip(ready["phones"], settings), 1):
                path = paths[phone["address"]]
                exercise(n, path, s, objects())
                disconnect(n, path)
        elif mode == "links":
            main_links(by_number, settings)
        elif mode == "faults":
            main_faults(by_number, ready)

    print("%d failure(s)" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
