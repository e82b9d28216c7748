#!/bin/bash
# Second stage in the guest, run as PID 1 from the host's file system:
# start the Bluetooth stack and the phones, run the command, leave its
# status in the shared dir and power off.
set -uo pipefail
bed=/run/bed
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
t_stage2=$(cut -d' ' -f1 /proc/uptime)

finish() {
    sync
    /bin/busybox poweroff -f
    sleep 10
}

fail() {
    echo "bed: $*" | tee -a "$bed/bed.log" >/dev/console
    echo "QUINTEL-BED-FAILED" >/dev/console
    finish
}

note() {
    echo "$(cut -d' ' -f1 /proc/uptime) $*" >>"$bed/bed.log"
}

wait_for() { # seconds, test...: polls twice a second, as each test costs
    local n=$(($1 * 2))
    shift
    while ! "$@"; do
        ((n-- > 0)) || return 1
        sleep 0.5
    done
}

# shellcheck source=/dev/null
. "$bed/bed.env" || fail "cannot read bed.env"

mkdir -p /dev/pts /dev/shm
mount -t devpts devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
ln -s /run /var/run
ln -s /run/lock /var/lock
mkdir -p /run/lock /run/dbus /var/lib/bluetooth /var/lib/dbus /var/log /var/tmp
i=0
for d in "${BED_SHARES[@]}"; do
    i=$((i + 1))
    mkdir -p "$d" 2>/dev/null # under /tmp the guest has none yet
    mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=none "share$i" "$d" ||
        fail "cannot mount $d"
done
hostname bed
ip link set lo up 2>/dev/null

note "stage 2"
dbus-daemon --system --fork --nopidfile >"$bed/dbus.log" 2>&1 || fail "dbus-daemon did not start"

# With --debug, every HCI packet of every controller, for btmon -r.
if ((BED_DEBUG)); then
    btmon -w "$bed/hci.btsnoop" >/dev/null 2>&1 &
    sleep 1
fi

# One btvirt makes all controllers, so that they hear each other; the first
# one is hci0, the bridge's. It is the bed's own build (bed/btvirt.sh), which
# keeps several links apart and removes and adds controllers for bedctl.
controllers=$((BED_PHONES + 1))
note "dbus up"
"$bed/btvirt" -B -l"$controllers" --control /run/btvirt.ctl >"$bed/btvirt.log" 2>&1 &
wait_for 20 test -e /sys/class/bluetooth/hci$BED_PHONES || fail "btvirt made no hci$BED_PHONES"
note "controllers made"

# A busy host can starve the guest so that a controller misses the kernel's
# 2 s command timeout while being set up; it then stays unusable until
# brought up again.
configured() {
    local k
    for ((k = 0; k < controllers; k++)); do
        hciconfig "hci$k" 2>/dev/null | grep -q 'BD Address: 00:AA' || return 1
    done
}
for attempt in 1 2 3 4 5; do
    wait_for 3 configured && break
    for ((k = 0; k < controllers; k++)); do
        if ! hciconfig "hci$k" | grep -q 'BD Address: 00:AA'; then
            note "hci$k not set up, attempt $attempt"
            hciconfig "hci$k" up 2>>"$bed/bed.log"
            hciconfig "hci$k" down 2>>"$bed/bed.log"
        fi
    done
done
configured || fail "the controllers could not be set up"
note "controllers set up"

# -C: sdptool adds the phones' Serial Port records through the old socket.
btd=(/usr/libexec/bluetooth/bluetoothd -n -C)
((BED_DEBUG)) && btd+=(-d)
"${btd[@]}" >"$bed/bluetoothd.log" 2>&1 &
echo $! >/run/bed-bluetoothd.pid
printf '%s\n' "${btd[@]}" >/run/bed-bluetoothd.args # for bedctl
note "bluetoothd started"

/usr/bin/python3 "$BED_HERE/phone/phone.py" "$bed" >"$bed/phones.log" 2>&1 &
wait_for 60 test -e "$bed/phones.ready" || fail "the phones did not come up (phones.log)"
t_ready=$(cut -d' ' -f1 /proc/uptime)
note "phones ready"

for e in "${BED_ENV[@]}"; do
    export "${e?}"
done
export HOME=/root QUINTEL_BED_DIR=$bed QUINTEL_BEDCTL=$BED_HERE/bed/bedctl
export PATH=$BED_HERE/bed:$PATH
cd "$BED_CWD" || fail "no directory $BED_CWD in the guest"
"${BED_CMD[@]}" </dev/null >"$bed/cmd.stdout" 2>"$bed/cmd.stderr"
rc=$?
t_done=$(cut -d' ' -f1 /proc/uptime)
echo "boot ${t_stage2}s, stack and phones up at ${t_ready}s, command $(awk -v a="$t_ready" -v b="$t_done" 'BEGIN { printf "%.1f", b - a }')s;" >"$bed/timing"
echo "$rc" >"$bed/status.new"
mv "$bed/status.new" "$bed/status"
echo "QUINTEL-BED-DONE $rc" >/dev/console
finish
