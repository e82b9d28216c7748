#!/usr/bin/env bash
# Builds the bridge and its tests with ThreadSanitizer in the directory $1 (default
# build-tsan) and runs the tests there. Every process that reports a race (the test programs
# and each bridge they start) leaves a report file; any report fails the run, even one from a
# bridge whose test did not look at its exit status. Tests labelled "long" are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-tsan}
cmake -S . -B "$build" -G Ninja -DQUINTEL_SANITIZE=thread >/dev/null
cmake --build "$build"

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export TSAN_OPTIONS="log_path=$reports/tsan second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
rc=0
ctest --test-dir "$build" -j2 --output-on-failure -LE long || rc=$?

if compgen -G "$reports/tsan*" >/dev/null; then
  echo "ThreadSanitizer reports:"
  cat "$reports"/tsan*
  rc=1
fi
exit "$rc"
