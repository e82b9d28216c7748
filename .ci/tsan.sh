#!/usr/bin/env bash
# Builds the bridge and its tests with ThreadSanitizer in the directory $1 (default
# build-tsan) and runs the tests there (.ci/sanitized.sh: any report from any process fails
# the run). The stress tests are what provoke the races worth finding.
set -euo pipefail
exec "$(dirname "$0")/sanitized.sh" thread "${1:-build-tsan}"
