#!/usr/bin/env bash
# CI: the BlueZ bridge. Installs what the build and the VM bed need, builds the bridge with the
# BlueZ backend in its own directory, runs its unit tests, then the end-to-end suite inside the
# VM bed (tests/bluez/vm-run.sh), one boot per group of tests with the phones that group needs.
#
#   .ci/bluez.sh [SIM_BUILD_DIR] [--figures]
#     SIM_BUILD_DIR: the developer build's directory; only its name is used, for the BlueZ build
#     beside it: <dir>-bluez. --figures: instead of the suite, one boot that prints the detection
#     time of each fault over ten runs and the echo against a plain RFCOMM socket (some minutes).
set -uo pipefail
cd "$(dirname "$0")/.."

figures=0
args=()
for a in "$@"; do
  if [ "$a" = --figures ]; then figures=1; else args+=("$a"); fi
done
sim_build=${args[0]:-build}
build=${sim_build%/}-bluez
started=$SECONDS

packages=(cmake ninja-build g++ libgtest-dev libgmock-dev libsdbus-c++-dev pkg-config
  qemu-system-x86 busybox-static kmod cpio bluez bluez-test-tools dbus python3 python3-dbus
  python3-gi apt dpkg coreutils)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq "${missing[@]}" || {
    echo "bluez: could not install ${missing[*]}"
    exit 1
  }
fi

# Test cases passed and failed, from gtest's summary lines; a run that ends without a summary
# (a build, bed or VM failure) counts as one failure of its own.
passed=0
failed=0
failures=()
count() { # name, status, output file
  local ok bad
  ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$3" | tail -1)
  bad=$(sed -n 's/^ *\([0-9]*\) FAILED TESTS\{0,1\}$/\1/p' "$3" | tail -1)
  passed=$((passed + ${ok:-0}))
  failed=$((failed + ${bad:-0}))
  if [ "$2" -ne 0 ]; then
    failures+=("$1")
    [ -n "$bad" ] || failed=$((failed + 1))
  fi
}
log=$(mktemp)
trap 'rm -f "$log"' EXIT

echo "== BlueZ build in $build (at $((SECONDS - started)) s)"
# The bluez preset (warnings as errors, tests required) in the directory asked for.
if ! { cmake --preset bluez -B "$build" >/dev/null &&
  cmake --build "$build" --target quintel-bt bluez_unit_tests bluez_e2e_tests; }; then
  echo "== bluez: build failed; passed 0, failed 1"
  exit 1
fi

echo "== BlueZ unit tests (at $((SECONDS - started)) s)"
"$build/tests/bluez/bluez_unit_tests" 2>&1 | tee "$log"
count "unit tests" "${PIPESTATUS[0]}" "$log"

# One boot per group: the gtest filter, then the bed's options for its phones.
# The faults' boot also holds the session's phones (1, 2) and the forgotten ones (6, 7).
groups=(
  "Outcomes.*|--phones 5 --phone 1:pair=reject --phone 2:iocap=NoInputNoOutput --phone 3:spp=no --phone 4:close_after=3"
  "Protocol/Fault.*:Links.*:Forgotten.*:Session.*|--phones 7 --phone 2:security=low --phone 3:paired=yes --phone 4:pair=ignore --phone 5:paired=yes --phone 7:security=low"
)
limit=900
((figures)) && groups=("Figures.*|--phones 3 --phone 1:paired=yes --phone 2:paired=yes") limit=1800
e2e="$build/tests/bluez/bluez_e2e_tests"
# The guest mounts its own /tmp, /run and /var: a checkout there is shared into it explicitly.
share=()
case "$(pwd -P)" in /tmp | /tmp/* | /run | /run/* | /var | /var/*) share=(--rw "$(pwd -P)") ;; esac
for group in "${groups[@]}"; do
  filter=${group%%|*}
  read -r -a options <<<"${group#*|}"
  echo "== VM: $filter (at $((SECONDS - started)) s)"
  boot=$SECONDS
  tests/bluez/vm-run.sh --timeout "$limit" "${share[@]}" "${options[@]}" -- "$e2e" --gtest_filter="$filter" 2>&1 |
    tee "$log"
  status=${PIPESTATUS[0]}
  echo "-- $filter: exit $status in $((SECONDS - boot)) s"
  count "VM $filter" "$status" "$log"
done

echo "== bluez: passed $passed, failed $failed${failures[0]:+ (${failures[*]})} in $((SECONDS - started)) s"
[ "${#failures[@]}" -eq 0 ]
