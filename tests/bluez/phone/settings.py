#!/usr/bin/python3
"""Turns vm-run.sh's --phone I:KEY=VALUE options into the phones' JSON.

Also takes QUINTEL_VM_PHONE<I>="KEY=VALUE;KEY=VALUE" from the environment,
options winning over it.
"""
import json
import os
import sys

# The phone's IO capability decides the pairing method, as on a real phone.
IOCAPS = ("DisplayOnly", "DisplayYesNo", "KeyboardOnly", "NoInputNoOutput", "KeyboardDisplay")

# Each key with its default and a check of the value.
KEYS = {
    "name": (None, lambda v: v),
    "pair": ("accept", lambda v: v if v in ("accept", "reject", "ignore") else None),
    "iocap": ("DisplayYesNo", lambda v: v if v in IOCAPS else None),
    "paired": ("no", lambda v: v if v in ("yes", "no") else None),
    "spp": ("yes", lambda v: v if v in ("yes", "no") else None),
    "security": ("medium", lambda v: v if v in ("low", "medium", "high") else None),
    "channel": (1, lambda v: int(v) if v.isdigit() and 1 <= int(v) <= 30 else None),
    "mode": ("echo", lambda v: v if v in ("echo", "sink") else None),
    "send": ("", lambda v: v),
    "close_after": (0.0, lambda v: float(v) if float(v) >= 0 else None),
    "close_after_bytes": (0, lambda v: int(v) if v.isdigit() else None),
}


def default(i):
    phone = {k: d for k, (d, _) in KEYS.items()}
    phone["name"] = "Robot Phone %d" % i
    return phone


def apply(phones, i, item, where):
    key, eq, value = item.partition("=")
    key = key.strip().replace("-", "_")
    if not eq or key not in KEYS:
        sys.exit("settings: %s: expected KEY=VALUE with KEY one of %s" % (where, ", ".join(KEYS)))
    if not 1 <= i <= len(phones):
        sys.exit("settings: %s: there is no phone %d" % (where, i))
    try:
        checked = KEYS[key][1](value)
    except ValueError:
        checked = None
    if checked is None:
        sys.exit("settings: %s: bad value for %s" % (where, key))
    phones[i - 1][key] = checked


def main(argv):
    count = int(argv[1])
    phones = [default(i) for i in range(1, count + 1)]
    for i in range(1, count + 1):
        env = os.environ.get("QUINTEL_VM_PHONE%d" % i, "")
        for item in filter(None, (s.strip() for s in env.split(";"))):
            apply(phones, i, item, "QUINTEL_VM_PHONE%d" % i)
    for opt in argv[2:]:
        num, colon, item = opt.partition(":")
        if not colon or not num.isdigit():
            sys.exit("settings: --phone %s: expected I:KEY=VALUE" % opt)
        apply(phones, int(num), item, "--phone " + opt)
    json.dump({"phones": phones}, sys.stdout, indent=1, ensure_ascii=False)
    sys.stdout.write("\n")


if __name__ == "__main__":
    main(sys.argv)
