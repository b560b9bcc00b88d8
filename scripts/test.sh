#!/usr/bin/env bash
# Builds everything and runs every test.
#   VELL_BUILD_DIR   build folder (default: build)
#   VELL_CMAKE_ARGS  extra CMake arguments, e.g. -DVELL_SANITIZE=ON
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh
vell_require_packages

build=${VELL_BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug ${VELL_CMAKE_ARGS:-} >/dev/null
cmake --build "$build"
ctest --test-dir "$build" --output-on-failure --timeout 300 -j "$(nproc)"
