#!/usr/bin/env bash
# Builds the benchmarks in the build directory $1 (default build) and runs each briefly: the
# micro benchmarks for a few milliseconds apiece, the end-to-end driver in its quick mode.
# A smoke test of the suite itself: it fails when a benchmark cannot run or a byte arrives
# wrong, never on a figure.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
cmake --preset dev -B "$build" >/dev/null
cmake --build "$build" --target bench

if [ -x "$build/bench/micro_bench" ]; then
  "$build/bench/micro_bench" --benchmark_min_time=0.01
else
  echo "micro_bench was not built (Google Benchmark missing)"
fi
"$build/bench/macro_bench" --quick
