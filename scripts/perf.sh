#!/usr/bin/env bash
# Measures what the agent costs, in an optimized build: the figures of
# docs/performance.md come from here.
#   bash scripts/perf.sh            (idle measured over 60 s)
#   VELL_IDLE_SECONDS=300 bash scripts/perf.sh
#   VELL_PACED_ROUNDS=5 bash scripts/perf.sh   (rounds of paced power events)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh
vell_require_packages libbenchmark-dev strace valgrind

build=${VELL_RELEASE_BUILD_DIR:-build-release}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target vell_benchmarks pass_probe idle_probe paced_probe >/dev/null

echo "== Benchmarks (Google Benchmark)"
"$build/bench/vell_benchmarks" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

echo
echo "== System calls per steady pass (strace -c, 1000 passes against none)"
mac=$(mktemp -d)
trap 'rm -rf "$mac"' EXIT
mkdir -p "$mac/Users/ann/Library/Preferences" "$mac/Applications/Vell.app/Contents" "$mac/IORegistry" \
    "$mac/sys/class/power_supply/BAT0" "$mac/sys/class/thermal/thermal_zone0"
plist() { printf '<plist><dict>%s</dict></plist>\n' "$1" >"$2"; }
plist '<key>CFBundleIdentifier</key><string>org.vell.app</string>' "$mac/Applications/Vell.app/Contents/Info.plist"
plist '<key>vellWanted</key><true/><key>vellOwnsOverride</key><true/>' \
    "$mac/Users/ann/Library/Preferences/org.vell.app.shared.plist"
plist '<key>SleepDisabled</key><true/>' "$mac/IORegistry/IOPMrootDomain.plist"
battery="$mac/sys/class/power_supply/BAT0"
echo Battery >"$battery/type"; echo 1 >"$battery/present"; echo 80 >"$battery/capacity"; echo Charging >"$battery/status"
zone="$mac/sys/class/thermal/thermal_zone0"
echo 45000 >"$zone/temp"; echo critical >"$zone/trip_point_0_type"; echo 100000 >"$zone/trip_point_0_temp"
# Let the files settle, as they have on a Mac that has been up a while: a file
# changed within the last two seconds is parsed afresh on every read.
sleep 2.5
calls() {
    VELL_SYSTEM_ROOT="$mac" HOME="$mac/Users/ann" strace -f -c -o "$mac/strace.txt" "$build/bench/pass_probe" "$1"
    awk '$NF == "total" { print $(NF-2) }' "$mac/strace.txt"
}
none=$(calls 0)
thousand=$(calls 1000)
echo "$(( (thousand - none) / 1000 )) system calls per pass ($none for start-up and one warm-up pass)"

echo
echo "== Paced power events: the agent against the floor probe, side by side"
echo "   (one battery attribute written every 3 ms; CPU time of each process per event)"
"$build/bench/paced_probe" cpu 1000 "${VELL_PACED_ROUNDS:-3}" 3
echo
echo "== System calls per paced event (strace -c on both, 300 events 10 ms apart)"
"$build/bench/paced_probe" syscalls 300 10 2>/dev/null || echo "(strace could not attach: run as root or allow ptrace)"
echo
echo "== Instructions per paced event (callgrind on both, 200 events 30 ms apart)"
"$build/bench/paced_probe" instructions 200 30 2>/dev/null || echo "(callgrind could not run)"

echo
echo "== Idle (${VELL_IDLE_SECONDS:-60} s with no events)"
"$build/bench/idle_probe" "${VELL_IDLE_SECONDS:-60}"
