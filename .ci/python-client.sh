#!/usr/bin/env bash
# The Python client's tests against the simulated bridge in the given build folder.
set -euo pipefail
build="$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)"
cd "$(dirname "$0")/.."

python=""
for candidate in python3 /usr/bin/python3; do
  if command -v "$candidate" >/dev/null 2>&1 &&
    "$candidate" -c 'import sys; sys.exit(sys.version_info < (3, 9))' 2>/dev/null; then
    python="$candidate"
    break
  fi
done
if [ -z "$python" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq python3
  python=/usr/bin/python3
fi

cd clients/python
QUINTEL_BT_EXE="$build/quintel-bt-sim" "$python" -m unittest -v 2>&1
