#!/usr/bin/env bash
# Runs every fuzz target for the given number of seconds each (default 300),
# starting from its seed corpus in fuzz/corpus/. Fails on any crash, hang,
# leak or sanitizer report; what broke is kept in build-fuzz/artifacts/.
#   bash scripts/fuzz.sh [seconds] [target ...]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh
vell_require_packages clang libclang-rt-14-dev

seconds=${1:-300}
shift || true
build=${VELL_FUZZ_BUILD_DIR:-build-fuzz}
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELL_FUZZ=ON -DVELL_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" >/dev/null

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=($(cd fuzz/corpus && ls))
fi
mkdir -p "$build/artifacts"
failed=0
for target in "${targets[@]}"; do
    # A scratch copy of the seeds: what the run finds stays out of the repository.
    work=$(mktemp -d)
    cp fuzz/corpus/"$target"/* "$work"/
    if "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$build/artifacts/$target-" -print_final_stats=1 "$work" \
        >"$build/artifacts/$target.log" 2>&1; then
        runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$build/artifacts/$target.log" | grep -o '[0-9]*$' || echo "?")
        echo "ok      $target: $runs runs in ${seconds}s"
    else
        echo "FAILED  $target (see $build/artifacts/$target.log)"
        tail -30 "$build/artifacts/$target.log"
        failed=1
    fi
    rm -rf "$work"
done
exit $failed
