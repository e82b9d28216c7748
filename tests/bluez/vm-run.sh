#!/bin/bash
# Runs a command inside a small virtual machine that has the real Linux
# Bluetooth stack: Debian's kernel, btvirt's emulated controllers, dbus and
# bluetoothd, and "phones" on their own controllers. hci0 is the bridge's.
#
#   tests/bluez/vm-run.sh [options] -- COMMAND [ARGS...]
#
# Options:
#   --phones N           phone controllers (hci1..hciN), default 1
#   --phone I:KEY=VALUE  a setting of phone I (repeatable), see docs/bluez.md:
#                        name, pair, paired, spp, channel, mode, send,
#                        close_after, close_after_bytes
#   --env NAME[=VALUE]   pass a variable into the guest (QUINTEL_*, GTEST_*,
#                        PATH and LANG/LC_* pass anyway)
#   --rw DIR             share DIR writable at the same path (repeatable)
#   --out DIR            keep the bed's files here (logs, what the phones got)
#   --timeout SECONDS    whole-run limit, default 900
#   --memory MB          guest memory, default 1024
#   --debug              bluetoothd -d, and all HCI traffic to hci.btsnoop
#   --console            copy the guest console to stderr as it comes
#
# The command runs in the guest as root in the same working directory, with
# QUINTEL_BED_DIR (this run's shared dir, see docs/bluez.md) in its
# environment. Its stdout and stderr come back as it writes them; the exit
# status is the command's, 124 on timeout, 125 when the bed itself failed.
#
# Needs (Debian packages, installed by CI, never by this script):
#   qemu-system-x86 busybox-static kmod cpio apt dpkg coreutils
#   bluez bluez-test-tools dbus python3 python3-dbus python3-gi
#   xz-utils (the kernel's modules), gcc libc6-dev dpkg-dev patch (to build
#   the bed's btvirt)
# and network access to Debian's archive on the first run (the kernel
# package, bluez's source package).
# Cache: $QUINTEL_VM_CACHE, else ${XDG_CACHE_HOME:-~/.cache}/quintel-bt-vm.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
bed_fail=125

die() {
    echo "vm-run: $*" >&2
    exit $bed_fail
}

usage() {
    sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}

phones=1
phone_opts=()
env_pass=()
rw_dirs=()
out=${QUINTEL_VM_OUT:-}
timeout_s=${QUINTEL_VM_TIMEOUT:-900}
memory=1024
debug=0
console=0
while (($#)); do
    case $1 in
    --phones) phones=${2:?}; shift 2 ;;
    --phones=*) phones=${1#*=}; shift ;;
    --phone) phone_opts+=("${2:?}"); shift 2 ;;
    --phone=*) phone_opts+=("${1#*=}"); shift ;;
    --env) env_pass+=("${2:?}"); shift 2 ;;
    --env=*) env_pass+=("${1#*=}"); shift ;;
    --rw) rw_dirs+=("${2:?}"); shift 2 ;;
    --rw=*) rw_dirs+=("${1#*=}"); shift ;;
    --out) out=${2:?}; shift 2 ;;
    --out=*) out=${1#*=}; shift ;;
    --timeout) timeout_s=${2:?}; shift 2 ;;
    --timeout=*) timeout_s=${1#*=}; shift ;;
    --memory) memory=${2:?}; shift 2 ;;
    --debug) debug=1; shift ;;
    --console) console=1; shift ;;
    -h | --help) usage ;;
    --) shift; break ;;
    *) echo "vm-run: unknown option $1" >&2; usage ;;
    esac
done
(($#)) || { echo "vm-run: no command given" >&2; usage; }
bad_usage() {
    echo "vm-run: $*" >&2
    exit 2
}
[[ $phones =~ ^[0-9]+$ ]] && ((phones <= 8)) || bad_usage "--phones takes 0..8"
[[ $timeout_s =~ ^[0-9]+$ ]] || bad_usage "--timeout takes seconds"
[[ $memory =~ ^[0-9]+$ ]] || bad_usage "--memory takes megabytes"
for d in "${rw_dirs[@]}"; do
    [[ -d $d ]] || bad_usage "--rw $d: no such directory"
done

# Fail fast, naming the package, before anything slow happens.
need() {
    local file=$1 pkg=$2
    [[ -x $file ]] || die "$file is missing: install the Debian package $pkg"
}
need /usr/bin/qemu-system-x86_64 qemu-system-x86
need /bin/busybox busybox-static
need /usr/sbin/depmod kmod
need /usr/bin/cpio cpio
need /usr/bin/xz xz-utils
need /usr/bin/btvirt bluez-test-tools
need /usr/libexec/bluetooth/bluetoothd bluez
need /usr/bin/sdptool bluez
need /usr/bin/btmgmt bluez
need /usr/bin/dbus-daemon dbus
need /usr/bin/python3 python3
/usr/bin/python3 -c 'import dbus' 2>/dev/null || die "python3 cannot import dbus: install the Debian package python3-dbus"
/usr/bin/python3 -c 'from gi.repository import GLib' 2>/dev/null || die "python3 cannot import gi: install the Debian package python3-gi"

# Settings for the phones, as JSON for the phone program.
phones_json=$(/usr/bin/python3 "$here/phone/settings.py" "$phones" "${phone_opts[@]}") ||
    bad_usage "bad --phone setting"

cwd=$(pwd -P)
for d in /tmp /run /var; do
    # The guest has its own tmpfs there, hiding the host's files.
    [[ $cwd != "$d" && $cwd != "$d"/* ]] || in_rw=0
done
if [[ -n ${in_rw:-} ]]; then
    ok=0
    for d in "${rw_dirs[@]}"; do
        d=$(cd "$d" && pwd -P)
        [[ $cwd == "$d" || $cwd == "$d"/* ]] && ok=1
    done
    ((ok)) || die "the working directory $cwd is under /tmp, /run or /var, which the guest mounts afresh: share it with --rw or run from elsewhere"
fi

cache=${QUINTEL_VM_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quintel-bt-vm}
mapfile -t boot < <("$here/bed/prepare.sh" "$cache") || true
[[ ${#boot[@]} == 2 && -s ${boot[0]} && -s ${boot[1]} ]] || die "could not prepare the kernel and initramfs (see above)"
btvirt=$("$here/bed/btvirt.sh" "$cache") && [[ -x $btvirt ]] || die "could not build the bed's btvirt (see above)"

if [[ -n $out ]]; then
    mkdir -p "$out"
    out=$(cd "$out" && pwd -P)
    # Only this bed's own files go; anything else the caller keeps there stays.
    rm -f "$out"/{stage2,bed.env,phones.json,status,cmd.stdout,cmd.stderr,console.log} \
        "$out"/{bluetoothd.log,btvirt.log,dbus.log,phones.log,phones.ready,timing,qemu.log,bed.log,hci.btsnoop} \
        "$out"/{btvirt,guest.sh,bedctl.log} \
        "$out"/phone[0-9]*.{rx,events}
    keep=1
else
    out=$(mktemp -d "${TMPDIR:-/tmp}/quintel-vm.XXXXXX")
    keep=0
fi
cleanup() {
    [[ -n ${qpid:-} ]] && kill "$qpid" 2>/dev/null
    [[ -n ${tails:-} ]] && kill $tails 2>/dev/null
    ((keep)) || rm -rf "$out"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

printf '%s\n' "$phones_json" >"$out/phones.json"

# What the guest runs, as shell assignments it sources.
{
    printf 'BED_PHONES=%q\n' "$phones"
    printf 'BED_CWD=%q\n' "$cwd"
    printf 'BED_DEBUG=%q\n' "$debug"
    printf 'BED_HERE=%q\n' "$here"
    printf 'BED_CMD=('
    printf '%q ' "$@"
    printf ')\n'
    printf 'BED_SHARES=('
    for d in "${rw_dirs[@]}"; do
        printf '%q ' "$(cd "$d" && pwd -P)"
    done
    printf ')\n'
    printf 'BED_ENV=('
    while IFS= read -r name; do
        printf '%q ' "$name=${!name}"
    done < <(compgen -e | grep -E '^(QUINTEL_|GTEST_|LANG$|LC_|PATH$|TERM$)' | grep -vE '^QUINTEL_(VM|BED)_')
    for e in "${env_pass[@]}"; do
        if [[ $e == *=* ]]; then
            printf '%q ' "$e"
        else
            printf '%q ' "$e=${!e-}"
        fi
    done
    printf ')\n'
} >"$out/bed.env"
# From the control share: a checkout under /tmp is hidden until guest.sh mounts its --rw share.
cp "$here/bed/guest.sh" "$out/guest.sh"
cp "$btvirt" "$out/btvirt"
printf 'exec /bin/bash /run/bed/guest.sh\n' >"$out/stage2"

qemu=(qemu-system-x86_64 -nodefaults -no-user-config -machine pc -accel tcg -cpu max
    -smp 1 -m "$memory" -display none -no-reboot
    -kernel "${boot[0]}" -initrd "${boot[1]}"
    -append "console=ttyS0 quiet loglevel=4 oops=panic panic=-1 random.trust_cpu=on"
    -serial "file:$out/console.log"
    -device virtio-rng-pci
    -fsdev "local,id=hostroot,path=/,readonly=on,security_model=none,multidevs=remap"
    -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot
    -fsdev "local,id=bed,path=$out,security_model=none,multidevs=remap"
    -device virtio-9p-pci,fsdev=bed,mount_tag=bed)
i=0
for d in "${rw_dirs[@]}"; do
    i=$((i + 1))
    qemu+=(-fsdev "local,id=share$i,path=$(cd "$d" && pwd -P),security_model=none,multidevs=remap"
        -device "virtio-9p-pci,fsdev=share$i,mount_tag=share$i")
done

start=$(date +%s.%N)
timeout -k 5 "$timeout_s" "${qemu[@]}" </dev/null >"$out/qemu.log" 2>&1 &
qpid=$!
# The command's output, as the guest writes it.
tail -n +1 -F --pid=$qpid "$out/cmd.stdout" 2>/dev/null &
tails=$!
tail -n +1 -F --pid=$qpid "$out/cmd.stderr" >&2 2>/dev/null &
tails="$tails $!"
if ((console)); then
    tail -n +1 -F --pid=$qpid "$out/console.log" >&2 2>/dev/null &
    tails="$tails $!"
fi
set +e
wait $qpid
qrc=$?
qpid=
wait $tails
tails=
set -e
end=$(date +%s.%N)

if grep -q 'unknown connection handle' "$out/console.log" 2>/dev/null; then
    echo "vm-run: warning: the guest kernel got ACL data for a connection handle it does not know: data on a link went astray" >&2
fi
# A kernel warning or bug that did not end the run is still the stack failing.
faults='WARNING:|BUG:|Oops|list_del corruption|general protection|refcount_t:|Kernel panic'
if [[ -s $out/status ]] && grep -qE "$faults" "$out/console.log" 2>/dev/null; then
    echo "vm-run: warning: the guest kernel reported a fault:" >&2
    grep -m 5 -E "$faults" "$out/console.log" >&2
fi
elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
if [[ -s $out/status ]]; then
    rc=$(cat "$out/status")
    [[ $rc =~ ^[0-9]+$ ]] || die "unreadable status '$rc'"
    echo "vm-run: $(cat "$out/timing" 2>/dev/null) whole run ${elapsed}s, exit $rc" >&2
    exit "$rc"
fi
if ((qrc == 124 || qrc == 137)); then
    echo "vm-run: the guest did not finish within ${timeout_s}s" >&2
    code=124
else
    echo "vm-run: the guest stopped without a verdict (qemu exit $qrc)" >&2
    code=$bed_fail
fi
grep -E "QUINTEL-BED|$faults" "$out/console.log" >&2 || true
echo "vm-run: last lines of the guest console ($out/console.log):" >&2
tail -n 30 "$out/console.log" >&2 || true
for f in bed.log phones.log; do
    [[ -s $out/$f ]] || continue
    echo "vm-run: $f:" >&2
    tail -n 15 "$out/$f" >&2
done
cat "$out/qemu.log" >&2 || true
exit $code
