#!/usr/bin/python3
"""The phones of the test bed: every controller but hci0 plays one.

One process serves all phones because bluetoothd asks the default agent,
and there is only one, whenever a remote side starts pairing with one of its
adapters. Each phone gets its name, is discoverable and pairable, answers
pairing as its settings say and, unless told not to, has an RFCOMM server
with a Serial Port record that echoes.

Settings come from BED_DIR/phones.json and are read again before each
pairing request and each connection, so a test may rewrite them mid-run.
What happens is written to BED_DIR/phoneI.events (one line per event) and
every byte a phone receives to BED_DIR/phoneI.rx.
"""
import codecs
import fcntl
import json
import os
import select
import socket
import struct
import subprocess
import sys
import termios
import threading
import time

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

BLUEZ = "org.bluez"
AGENT_PATH = "/quintel/bed/agent"
SPP_UUID = "00001101-0000-1000-8000-00805f9b34fb"
# In the order of their HCI values.
IOCAPS = ("DisplayOnly", "DisplayYesNo", "KeyboardOnly", "NoInputNoOutput", "KeyboardDisplay")

bed = sys.argv[1]
lock = threading.Lock()
prepairing = False
# Levels of the server socket, as the kernel numbers them: medium asks for
# an authenticated link, as a phone's secure SPP socket does.
SOL_BLUETOOTH = 274
BT_SECURITY = 4
SECURITY = {"low": 1, "medium": 2, "high": 3}


def log(*args):
    with lock:
        print(time.strftime("%H:%M:%S"), *args, flush=True)


class Settings:
    """phones.json, read again whenever it changes."""

    def __init__(self, path):
        self.path = path
        self.mtime = None
        self.phones = []
        self.get(1)

    def get(self, i):
        with lock:
            mtime = os.stat(self.path).st_mtime_ns
            if mtime != self.mtime:
                with open(self.path, encoding="utf-8") as f:
                    self.phones = json.load(f)["phones"]
                self.mtime = mtime
            return dict(self.phones[i - 1]) if 1 <= i <= len(self.phones) else None


settings = Settings(os.path.join(bed, "phones.json"))
count = len(settings.phones)


def event(i, text):
    log("phone%d:" % i, text)
    with lock, open(os.path.join(bed, "phone%d.events" % i), "a", encoding="utf-8") as f:
        f.write(text + "\n")


# Adapter path -> phone number (0: the bridge's), by address: a controller
# removed and added back may come back under another index.
adapters = {}


def phone_of(path):
    """Phone number of an object path below a phone's adapter, 0 for the bridge's."""
    return adapters.get("/".join(str(path).split("/")[:4]), -1)


def addr_of(path):
    return str(path).rsplit("dev_", 1)[-1].replace("_", ":")


class Rejected(dbus.DBusException):
    _dbus_error_name = "org.bluez.Error.Rejected"


class Agent(dbus.service.Object):
    """Answers for every phone, and for hci0 while the bed pre-pairs."""

    def answer(self, method, device, extra, ok, err):
        i = phone_of(device)
        text = "%s %s%s" % (method, addr_of(device), extra)
        if i == 0:
            # Only while the bed pre-pairs: at any other time the bridge's
            # own agent must be the one asked, and a test should see it wasn't.
            if prepairing:
                log("bridge side:", text, "accept")
                ok()
            else:
                log("bridge side:", text, "reject: the bridge's side asked the bed's agent,"
                    " so the pairing was not started with an agent of its own")
                err(Rejected("not the bed's to answer"))
            return
        # Pre-pairing happens before the test: the phone's answer is for later.
        mode = "accept" if prepairing else (settings.get(i) or {}).get("pair", "accept")
        if mode == "ignore":
            event(i, text + " ignore")
            return
        if mode == "reject":
            event(i, text + " reject")
            err(Rejected("rejected by the phone"))
            return
        event(i, text + " accept")
        ok()

    @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="",
                         async_callbacks=("ok", "err"))
    def RequestAuthorization(self, device, ok, err):
        self.answer("RequestAuthorization", device, "", ok, err)

    @dbus.service.method("org.bluez.Agent1", in_signature="ou", out_signature="",
                         async_callbacks=("ok", "err"))
    def RequestConfirmation(self, device, passkey, ok, err):
        self.answer("RequestConfirmation", device, " %06d" % passkey, ok, err)

    @dbus.service.method("org.bluez.Agent1", in_signature="os", out_signature="",
                         async_callbacks=("ok", "err"))
    def AuthorizeService(self, device, uuid, ok, err):
        self.answer("AuthorizeService", device, " " + str(uuid), ok, err)

    @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="s",
                         async_callbacks=("ok", "err"))
    def RequestPinCode(self, device, ok, err):
        self.answer("RequestPinCode", device, "", lambda: ok("0000"), err)

    @dbus.service.method("org.bluez.Agent1", in_signature="o", out_signature="u",
                         async_callbacks=("ok", "err"))
    def RequestPasskey(self, device, ok, err):
        self.answer("RequestPasskey", device, "", lambda: ok(dbus.UInt32(0)), err)

    @dbus.service.method("org.bluez.Agent1", in_signature="ouq", out_signature="")
    def DisplayPasskey(self, device, passkey, entered):
        i = phone_of(device)
        if i > 0:
            event(i, "DisplayPasskey %s %06d" % (addr_of(device), passkey))

    @dbus.service.method("org.bluez.Agent1", in_signature="os", out_signature="")
    def DisplayPinCode(self, device, pincode):
        i = phone_of(device)
        if i > 0:
            event(i, "DisplayPinCode %s %s" % (addr_of(device), pincode))

    @dbus.service.method("org.bluez.Agent1", in_signature="", out_signature="")
    def Cancel(self):
        log("agent: Cancel")

    @dbus.service.method("org.bluez.Agent1", in_signature="", out_signature="")
    def Release(self):
        log("agent: Release")


def serve(i, addr):
    """The phone's RFCOMM server: one connection at a time."""
    first = settings.get(i)
    srv = socket.socket(socket.AF_BLUETOOTH, socket.SOCK_STREAM, socket.BTPROTO_RFCOMM)
    srv.setsockopt(SOL_BLUETOOTH, BT_SECURITY, bytes([SECURITY[first["security"]], 0]))
    srv.bind((addr, first["channel"]))
    srv.listen(1)
    rx_path = os.path.join(bed, "phone%d.rx" % i)
    while True:
        conn, peer = srv.accept()
        s = settings.get(i)
        event(i, "connected %s" % peer[0])
        with open(rx_path, "ab") as rx:
            got, sent, why = talk(conn, s, rx)
        conn.close()
        event(i, "disconnected %s rx=%d tx=%d %s" % (peer[0], got, sent, why))


def drain(conn, seconds=5):
    """Waits until the kernel passed on all we wrote: closing an RFCOMM
    socket drops what it still holds, and a phone that closes after
    echoing must not lose the echo."""
    deadline = time.monotonic() + seconds
    size = conn.getsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF)
    while time.monotonic() < deadline:
        try:
            # For Bluetooth sockets TIOCOUTQ tells the free room, not the queue.
            free = struct.unpack("i", fcntl.ioctl(conn, termios.TIOCOUTQ, b"\0" * 4))[0]
        except OSError:
            time.sleep(0.5)
            return
        if free >= size:
            break
        time.sleep(0.02)
    # Even then, closing at once has cost the other end the last bytes.
    time.sleep(0.5)


def talk(conn, s, rx):
    """One connection. Reads whenever there is something to read, also
    while echoing, so that neither side waits on the other."""
    conn.setblocking(False)
    out = bytearray(codecs.decode(s["send"], "unicode_escape").encode("latin-1", "replace"))
    got = sent = 0
    limit = s["close_after_bytes"]
    deadline = time.monotonic() + s["close_after"] if s["close_after"] > 0 else None
    closing = None
    try:
        while True:
            if closing and not out:
                drain(conn)
                return got, sent, closing
            wait = None if deadline is None else max(0.0, deadline - time.monotonic())
            if deadline is not None and wait == 0 and not closing:
                closing = "closed by the phone after %gs" % s["close_after"]
                continue
            r, w, _ = select.select([] if closing else [conn], [conn] if out else [], [], wait)
            if w:
                n = conn.send(out[:65536])
                del out[:n]
                sent += n
            if r:
                data = conn.recv(65536)
                if not data:
                    return got, sent, "closed by the peer"
                if limit:
                    data = data[:limit - got]
                rx.write(data)
                rx.flush()
                got += len(data)
                if s["mode"] == "echo":
                    out += data
                if limit and got >= limit:
                    closing = "closed by the phone after %d bytes" % got
    except ConnectionResetError:
        # How RFCOMM reports the other side closing.
        return got, sent, "closed by the peer"
    except OSError as e:
        return got, sent, "error: %s" % e


def prepair(bus, loop, adapter_path, addrs):
    """Pairs hci0 with these phones, as if the bridge's machine had done so
    before, and leaves no other trace of the search on hci0."""
    global prepairing
    if not addrs:
        return
    prepairing = True
    ctx = loop.get_context()

    def run_until(cond, seconds):
        deadline = time.monotonic() + seconds
        while not cond() and time.monotonic() < deadline:
            ctx.iteration(False) or time.sleep(0.01)
        return cond()

    def call(method, *args, timeout=60):
        # Asynchronous: our own agent answers both sides meanwhile.
        box = {}
        method(*args, reply_handler=lambda *r: box.setdefault("ok", r),
               error_handler=lambda e: box.setdefault("err", e), timeout=timeout)
        run_until(lambda: box, timeout + 5)
        if "err" in box:
            raise box["err"]
        if not box:
            raise TimeoutError("no answer")

    om = dbus.Interface(bus.get_object(BLUEZ, "/"), "org.freedesktop.DBus.ObjectManager")
    adapter = dbus.Interface(bus.get_object(BLUEZ, adapter_path), "org.bluez.Adapter1")
    paths = [adapter_path + "/dev_" + a.replace(":", "_") for a in addrs]
    call(adapter.StartDiscovery)
    found = run_until(lambda: all(p in om.GetManagedObjects() for p in paths), 30)
    call(adapter.StopDiscovery)
    if not found:
        sys.exit("phones: hci0 did not find %s to pair with" % addrs)
    for addr, path in zip(addrs, paths):
        for attempt in range(3):
            try:
                call(dbus.Interface(bus.get_object(BLUEZ, path), "org.bluez.Device1").Pair)
                break
            except (dbus.DBusException, TimeoutError) as e:
                log("pre-pairing %s, attempt %d: %s" % (addr, attempt + 1, e))
                time.sleep(1)
        else:
            sys.exit("phones: could not pre-pair hci0 with %s" % addr)
        log("pre-paired hci0 with", addr)
        # The command starts on a quiet bed: no link left from pre-pairing.
        dev = dbus.Interface(bus.get_object(BLUEZ, path), "org.bluez.Device1")
        try:
            call(dev.Disconnect, timeout=10)
        except dbus.DBusException:
            pass
        gone = run_until(lambda: not om.GetManagedObjects()[path]["org.bluez.Device1"]["Connected"], 10)
        log("link to %s %s" % (addr, "closed" if gone else "still open"))
    prepairing = False
    for path, ifs in om.GetManagedObjects().items():
        dev = ifs.get("org.bluez.Device1")
        if dev and str(path).startswith(adapter_path + "/") and not dev.get("Paired"):
            adapter.RemoveDevice(path)


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SystemBus()

    def objects():
        om = dbus.Interface(bus.get_object(BLUEZ, "/"), "org.freedesktop.DBus.ObjectManager")
        return om.GetManagedObjects()

    # Wait for bluetoothd and all adapters.
    want = ["/org/bluez/hci%d" % i for i in range(count + 1)]
    deadline = time.monotonic() + 30
    while True:
        try:
            objs = objects()
            listed = [str(p) for p, ifs in objs.items() if "org.bluez.Adapter1" in ifs]
            if all(p in listed for p in want):
                break
        except dbus.DBusException:
            pass
        if time.monotonic() > deadline:
            sys.exit("phones: bluetoothd did not show adapters %s" % want)
        time.sleep(0.1)
    # The bridge takes the first adapter it is shown: that must be its own.
    if listed[0] != want[0]:
        sys.exit("phones: bluetoothd lists %s first, not hci0" % listed[0])

    for i, path in enumerate(want):
        adapters[path] = i
    Agent(bus, AGENT_PATH)

    def register_agent():
        manager = dbus.Interface(bus.get_object(BLUEZ, "/org/bluez"), "org.bluez.AgentManager1")
        manager.RegisterAgent(AGENT_PATH, "DisplayYesNo")
        # Pairing started by the other side goes to the default agent only.
        manager.RequestDefaultAgent(AGENT_PATH)

    register_agent()

    def props(path):
        return dbus.Interface(bus.get_object(BLUEZ, path), "org.freedesktop.DBus.Properties")

    def index(i):
        """The phone's hci index now."""
        path = next((p for p, n in adapters.items() if n == i), None)
        return int(path.rsplit("hci", 1)[1]) if path else None

    def set_iocap(i, iocap):
        # Set after the default agent: registering one sets every adapter's.
        subprocess.run(["btmgmt", "--index", str(index(i)), "io-cap", str(IOCAPS.index(iocap))],
                       check=False, stdout=subprocess.DEVNULL)

    def add_record(i, s):
        # Kept by bluetoothd across a controller's removal, lost when it ends.
        subprocess.run(["sdptool", "-i", "hci%d" % index(i), "add", "--channel=%d" % s["channel"], "SP"],
                       check=True, stdout=subprocess.DEVNULL)

    props(want[0]).Set("org.bluez.Adapter1", "Powered", dbus.Boolean(True))
    bridge_addr = str(props(want[0]).Get("org.bluez.Adapter1", "Address"))
    info = {"bridge": {"adapter": "hci0", "address": bridge_addr}, "phones": []}
    for i in range(1, count + 1):
        s = settings.get(i)
        path = want[i]
        p = props(path)
        p.Set("org.bluez.Adapter1", "Powered", dbus.Boolean(True))
        p.Set("org.bluez.Adapter1", "Alias", dbus.String(s["name"]))
        p.Set("org.bluez.Adapter1", "DiscoverableTimeout", dbus.UInt32(0))
        p.Set("org.bluez.Adapter1", "PairableTimeout", dbus.UInt32(0))
        p.Set("org.bluez.Adapter1", "Pairable", dbus.Boolean(True))
        p.Set("org.bluez.Adapter1", "Discoverable", dbus.Boolean(True))
        addr = str(p.Get("org.bluez.Adapter1", "Address"))
        set_iocap(i, s["iocap"])
        if s["spp"] == "yes":
            add_record(i, s)
            threading.Thread(target=serve, args=(i, addr), daemon=True).start()
        info["phones"].append({"adapter": "hci%d" % i, "address": addr, "name": s["name"]})
        event(i, "ready %s" % addr)

    loop = GLib.MainLoop()
    prepair(bus, loop, want[0], [p["address"] for p, i in zip(info["phones"], range(1, count + 1))
                                 if settings.get(i)["paired"] == "yes"])
    ready_path = os.path.join(bed, "phones.ready")

    def ready():
        with open(ready_path + ".new", "w", encoding="utf-8") as f:
            json.dump(info, f, indent=1, ensure_ascii=False)
        os.rename(ready_path + ".new", ready_path)
        log("ready")

    ready()

    applied = {i: settings.get(i) for i in range(1, count + 1)}
    addrs = [bridge_addr] + [p["address"] for p in info["phones"]]

    def follow():
        # A test may change a phone's name or IO capability between pairings.
        for i in range(1, count + 1):
            s = settings.get(i)
            path = next((p for p, n in adapters.items() if n == i), None)
            if path is None:
                continue  # removed: applied when it is back
            if s["name"] != applied[i]["name"]:
                props(path).Set("org.bluez.Adapter1", "Alias", dbus.String(s["name"]))
                event(i, "name %s" % s["name"])
            if s["iocap"] != applied[i]["iocap"]:
                set_iocap(i, s["iocap"])
                event(i, "iocap %s" % s["iocap"])
            applied[i] = s
        return True

    # Phones whose Serial Port record this bluetoothd has: it keeps them
    # across a controller's removal and forgets them when it ends.
    recorded = set(i for i in range(1, count + 1) if applied[i]["spp"] == "yes")

    def adapter_added(path, ifs):
        a = ifs.get("org.bluez.Adapter1")
        if a is None or str(a.get("Address")) not in addrs or str(path) in adapters:
            return
        i = addrs.index(str(a["Address"]))
        adapters[str(path)] = i
        if i == 0:
            return
        # A new controller has the kernel's defaults; bluetoothd restores
        # the name and discoverability it stored.
        set_iocap(i, applied[i]["iocap"])
        if str(a.get("Alias")) != applied[i]["name"]:
            props(path).Set("org.bluez.Adapter1", "Alias", dbus.String(applied[i]["name"]))
        if applied[i]["spp"] == "yes" and i not in recorded:
            add_record(i, applied[i])
            recorded.add(i)
        event(i, "adapter %s" % path)
        if missing:
            phones_back()

    def adapter_removed(path, ifs):
        if "org.bluez.Adapter1" in ifs:
            i = adapters.pop(str(path), None)
            if i:
                event(i, "adapter removed")

    back_file = "/run/bed-phones.owner"
    missing = set()

    def phones_back():
        # bedctl waits for this: the phones are whole again for this owner.
        if not missing - set(adapters.values()):
            with open(back_file + ".new", "w") as f:
                f.write(bus.get_name_owner(BLUEZ))
            os.rename(back_file + ".new", back_file)
            log("bluetoothd back, phones set up")
            missing.clear()

    def bluetoothd_changed(name, old, new):
        if not new:
            log("bluetoothd gone")
            missing.update(i for i in adapters.values() if i > 0)
            adapters.clear()
            recorded.clear()
            return
        # Back: its adapters follow as InterfacesAdded; the agent is ours to
        # register again, once its manager answers.
        deadline = time.monotonic() + 30
        while True:
            try:
                register_agent()
                break
            except dbus.DBusException as e:
                if time.monotonic() > deadline:
                    log("bluetoothd back, but the agent could not register: %s" % e)
                    return
                time.sleep(0.05)
        for path, ifs in objects().items():
            adapter_added(path, ifs)
        phones_back()

    # No sender: a restarted bluetoothd has a new unique name.
    bus.add_signal_receiver(adapter_added, "InterfacesAdded", "org.freedesktop.DBus.ObjectManager", None, "/")
    bus.add_signal_receiver(adapter_removed, "InterfacesRemoved", "org.freedesktop.DBus.ObjectManager", None, "/")
    bus.add_signal_receiver(bluetoothd_changed, "NameOwnerChanged", "org.freedesktop.DBus", arg0=BLUEZ)
    GLib.timeout_add(250, follow)
    loop.run()


if __name__ == "__main__":
    main()
