#!/usr/bin/env bash
# The real agent in a simulated Mac for many passes under faults (default
# 10000): power-supply and thermal bursts, vell writing from another process,
# pmset failing one time in five, the settings file replaced by garbage.
# Prints descriptors, memory, children and lost writes; fails if any moved.
#   bash scripts/soak.sh [passes]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh
vell_require_packages

build=${VELL_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" --target vell_soak >/dev/null
"$build/tests/vell_soak" "${1:-10000}"
