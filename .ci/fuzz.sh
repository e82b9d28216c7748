#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang 14 (the fuzz preset: AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time, $1 seconds (default 60),
# starting from its corpus in fuzz/corpus/<target>. Fails on any crash, leak, timeout or
# sanitizer report; the input that caused it is kept in <build>/fuzz-artifacts/<target>.
# The build directory is $FUZZ_BUILD_DIR, default build-fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
build=${FUZZ_BUILD_DIR:-build-fuzz}
# command_loop runs twice: completions on platform threads, then inside the calls that start
# the operations (QUINTEL_FUZZ_COMPLETIONS).
runs=(parse_command base64 json_text command_loop command_loop:at-once)

cmake --preset fuzz -B "$build" >/dev/null
cmake --build "$build"
bin=$build/fuzz

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=()
for run in "${runs[@]}"; do
  target=${run%%:*}
  mode=${run#"$target"}
  mode=${mode#:}
  name=$target${mode:+-$mode}
  # New inputs go to a scratch corpus, so the repository's corpus stays short.
  mkdir -p "$work/$name/corpus" "$work/$name/artifacts"
  log=$work/$name/log
  rc=0
  QUINTEL_FUZZ_COMPLETIONS=$mode "$bin/$target" -max_total_time="$seconds" -timeout=30 \
    -print_final_stats=1 -artifact_prefix="$work/$name/artifacts/" \
    "$work/$name/corpus" "fuzz/corpus/$target" >"$log" 2>&1 || rc=$?
  if [ "$rc" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$log"; then
    echo "FAIL $name (exit status $rc):"
    tail -n 80 "$log"
    mkdir -p "$build/fuzz-artifacts/$name"
    cp -r "$work/$name/artifacts/." "$build/fuzz-artifacts/$name/"
    failed+=("$name")
    continue
  fi
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log")
  echo "ok   $name: ${executions:-?} executions in ${seconds} s, ${added:-0} new inputs"
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in $build/fuzz-artifacts)"
  exit 1
fi
