#!/bin/bash
# Proves the VM bed without the bridge: the entry point's interface (status,
# output, working directory, environment, writable share) and, inside the
# guest, discovery, pairing in every way a phone can answer, SPP echo,
# phones closing, settings changed mid-run, two links at once, a second phone
# right after the first, and each of bedctl's faults.
#
# Usage: tests/bluez/bed-selftest.sh [BYTES]   (bytes echoed per phone)
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
vm=$here/vm-run.sh
bytes=${1:-1048576}
fails=0
check() { # what, command...
    local what=$1
    shift
    if "$@"; then
        echo "ok   $what"
    else
        echo "FAIL $what"
        fails=$((fails + 1))
    fi
}

work=$(mktemp -d)
# Kept when something failed: the bed's logs are in $work/bed.
trap '((fails)) && echo "logs kept in $work" || rm -rf "$work"' EXIT

# Options the entry point must refuse before starting anything.
for bad in "--phones 9" "--phone 1:pair=maybe" "--phone 2:name=x" "--phone 1:colour=red" "--bogus" "--timeout soon"; do
    # shellcheck disable=SC2086
    "$vm" $bad -- true >"$work/out" 2>&1
    rc=$?
    check "refuses $bad (exit $rc)" test "$rc" = 2
done
"$vm" >/dev/null 2>&1
check "refuses a missing command" test $? -ne 0

# Status, both streams, cwd, environment and a writable share in one boot.
mkdir -p "$work/rw"
cd "$here/.." || exit 1
QUINTEL_SELFTEST_VALUE='a b$c' "$vm" --rw "$work/rw" --env EXTRA=ex -- /bin/bash -c '
    echo "cwd=$PWD"
    echo "value=$QUINTEL_SELFTEST_VALUE extra=$EXTRA"
    echo "to stderr" >&2
    echo written >'"$work/rw/file"'
    exit 7' >"$work/out" 2>"$work/err"
rc=$?
check "the command's exit status comes back (7: $rc)" test "$rc" = 7
check "its stdout comes back" grep -qx "cwd=$PWD" "$work/out"
check "QUINTEL_* and --env pass through" grep -qxF 'value=a b$c extra=ex' "$work/out"
check "its stderr comes back apart" grep -qx "to stderr" "$work/err"
check "stderr stays out of stdout" bash -c "! grep -q 'to stderr' '$work/out'"
check "--rw shares a directory writable" grep -qx written "$work/rw/file"

# The stack itself: one phone for each way of answering.
"$vm" --phones 5 --out "$work/bed" \
    --phone 1:iocap=DisplayOnly \
    --phone 2:spp=no \
    --phone 3:pair=reject \
    --phone 4:iocap=NoInputNoOutput --phone '4:send=hello\n' --phone 4:mode=sink --phone 4:close_after=2 \
    --phone 5:paired=yes --phone 5:close_after_bytes=1000 --phone '5:name=Робот, №5' \
    -- /usr/bin/python3 "$here/bed/selftest.py" --bytes "$bytes" --flip 2 phones
check "the stack works with every kind of phone" test $? = 0
check "the phones' events come back" grep -q "rejected\|reject" "$work/bed/phone3.events"

# Several links at once, and the faults the bridge must survive.
"$vm" --phones 3 --out "$work/links" \
    -- /usr/bin/python3 "$here/bed/selftest.py" --bytes "$bytes" links faults
check "two links at once, a second phone at once, and every fault" test $? = 0
check "bedctl logged each fault" test "$(grep -c ' at=' "$work/links/bedctl.log" 2>/dev/null)" -ge 12

for run in bed links; do
    check "$run: the guest kernel neither failed nor lost a link's data" \
        bash -c "! grep -E 'unknown connection handle|Kernel panic|BUG:|corruption|Oops' '$work/$run/console.log'"
done

echo "$fails failure(s)"
((fails == 0))
