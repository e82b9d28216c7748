#!/usr/bin/env bash
# Builds the bridge and its tests with the sanitizers $1 (address,undefined or thread: the asan
# or tsan preset) in the directory $2 and runs the tests there, less those labelled "long".
# Every process that reports (the test programs and each bridge they start) leaves a report
# file; any report fails the run, even one from a bridge whose test did not look at its exit
# status.
set -euo pipefail
cd "$(dirname "$0")/.."

sanitizers=$1
build=$2
case $sanitizers in
  address,undefined) preset=asan ;;
  thread) preset=tsan ;;
  *) echo "sanitized.sh: no preset for sanitizers '$sanitizers'" >&2; exit 2 ;;
esac
cmake --preset "$preset" -B "$build" >/dev/null
# The tests and the bridge they start; the benchmarks are built and run elsewhere.
cmake --build "$build" --target unit_tests e2e_tests

reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
export ASAN_OPTIONS="log_path=$reports/asan ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="log_path=$reports/ubsan print_stacktrace=1 ${UBSAN_OPTIONS:-}"
export TSAN_OPTIONS="log_path=$reports/tsan second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
rc=0
ctest --test-dir "$build" -j2 --output-on-failure -LE long || rc=$?

if compgen -G "$reports/*" >/dev/null; then
  echo "sanitizer reports:"
  cat "$reports"/*
  rc=1
fi
exit "$rc"
