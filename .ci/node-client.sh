#!/usr/bin/env bash
# CI: the Node.js client's tests against the simulated bridge in the given build directory.
# Installs Debian's nodejs only if node is missing; nothing from the npm registry.
set -euo pipefail
build="$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)"
cd "$(dirname "$0")/.."

if [ ! -x "$build/quintel-bt-sim" ]; then
  echo "node-client: $build/quintel-bt-sim is missing; build the quintel-bt-sim target first" >&2
  exit 1
fi
if ! command -v node >/dev/null 2>&1; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq nodejs
fi
major="$(node -p 'process.versions.node.split(".")[0]')"
if [ "$major" -lt 18 ]; then
  echo "node-client: Node.js 18 or newer is needed, found $(node --version)" >&2
  exit 1
fi

cd clients/node
# A hung test fails the stage instead of holding CI up.
QUINTEL_BT_EXE="$build/quintel-bt-sim" timeout 600 node --test test/*.test.js
