#!/usr/bin/env bash
# The main job: the real agent and vell in a simulated Mac, told step by step.
# Everything happens in a fresh temp folder that is removed at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh
vell_require_packages

build=${VELL_BUILD_DIR:-build}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug >/dev/null
cmake --build "$build" --target VellApp >/dev/null

mac=$(mktemp -d "${TMPDIR:-/tmp}/vell-demo-XXXXXX")
agent_pid=""
cleanup() {
    if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
        kill "$agent_pid" 2>/dev/null || true
        wait "$agent_pid" 2>/dev/null || true
    fi
    rm -rf "$mac"
}
trap cleanup EXIT

export VELL_SYSTEM_ROOT="$mac" HOME="$mac/Users/ann"
app="$mac/Applications/Vell.app"
battery="$mac/sys/class/power_supply/BAT0"
zone="$mac/sys/class/thermal/thermal_zone0"

# The simulated Mac: sudo, pmset and launchctl stand-ins, a battery, a
# thermal zone with its trip points, the registry with sleep allowed, and the
# user in the admin group. No sudoers rule yet: sudo -n refuses pmset, as on a
# fresh Mac.
mkdir -p "$mac/usr/bin" "$mac/bin" "$mac/etc" "$HOME" "$battery" "$zone" "$mac/Applications"
echo "admin:*:80:root,$(id -un)" >"$mac/etc/group"
cp tests/support/simulated_mac/sudo tests/support/simulated_mac/pmset "$mac/usr/bin/"
cp tests/support/simulated_mac/launchctl "$mac/bin/"
echo Battery >"$battery/type"; echo 1 >"$battery/present"
echo 80 >"$battery/capacity"; echo Charging >"$battery/status"
printf 'passive\n' >"$zone/trip_point_0_type"; echo 80000 >"$zone/trip_point_0_temp"
printf 'hot\n' >"$zone/trip_point_1_type"; echo 90000 >"$zone/trip_point_1_temp"
printf 'critical\n' >"$zone/trip_point_2_type"; echo 100000 >"$zone/trip_point_2_temp"
echo 45000 >"$zone/temp"
"$mac/usr/bin/pmset" -a disablesleep 0
cp -R "$build/Vell.app" "$mac/Applications/"

say() { printf '\n== %s\n' "$*"; }
run() { printf '$ %s\n' "$*"; "$@"; }
vell() { "$app/Contents/MacOS/vell" "$@"; }
override_is() { grep -q "<$1/>" "$mac/IORegistry/IOPMrootDomain.plist" 2>/dev/null; }
wait_for() {
    for _ in $(seq 400); do
        if "$@"; then return 0; fi
        sleep 0.05
    done
    echo "(gave up waiting for: $*)"
}
agent_gone() { ! kill -0 "$agent_pid" 2>/dev/null; }
# The agent listens once its timer exists: it installs that last.
agent_listening() { ls -l "/proc/$agent_pid/fd" 2>/dev/null | grep -q timerfd; }
# vell on and off wait until the agent has acted. The agent acts on events;
# rewriting the battery's status is one, so that nobody waits for its timer.
run_nudging() {
    printf '$ %s\n' "$*"
    "$@" &
    local pid=$!
    while kill -0 "$pid" 2>/dev/null; do
        cat "$battery/status" >"$battery/status.new"
        mv "$battery/status.new" "$battery/status"
        sleep 0.1
    done
    wait "$pid" || true
}

say "1. You install Vell.app in /Applications; it registers its agent, and launchd starts it."
run vell register
"$app/Contents/MacOS/VellDealer" &
agent_pid=$!
wait_for agent_listening
echo "vell doctor checks the setup; the agent may not run pmset without a password yet:"
run vell doctor || true

say "2. You set up password-less pmset (on a Mac: the menu's Set Up Password-less pmset…)."
mkdir -p "$mac/etc/sudoers.d"
run cp packaging/vell-pmset.sudoers "$mac/etc/sudoers.d/vell-pmset"
run vell doctor

say "3. You unplug the charger and ask Vell to keep the Mac awake with the lid closed."
echo Discharging >"$battery/status"
run_nudging vell on
echo "The agent ran sudo pmset -a disablesleep 1 and saw the change confirmed; vell waited for it:"
vell status
echo "The same, for scripts:"
run vell status --json

say "4. Hours later the battery is down to 9 %."
echo 9 >"$battery/capacity"
wait_for override_is false
echo "The agent recorded why, withdrew the wish and let the Mac sleep again:"
vell status

say "5. You plug in and turn Vell on again. Then the Mac gets critically hot in your bag."
echo 60 >"$battery/capacity"; echo Charging >"$battery/status"
run_nudging vell on
echo 105000 >"$zone/temp"
wait_for override_is false
echo "The agent turned the override off at once:"
vell status

say "6. It cools down; you turn Vell on once more, then drag Vell.app to the Trash."
echo 45000 >"$zone/temp"
run_nudging vell on
mkdir -p "$HOME/.Trash"
mv "$app" "$HOME/.Trash/Vell.app"
app="$HOME/.Trash/Vell.app"
echo Charging >"$battery/status"
wait_for agent_gone
set +e
wait "$agent_pid"
status=$?
set -e
agent_pid=""
echo "The agent restored normal sleep, unregistered itself and exited with status $status."
if [ -e "$HOME/Library/LaunchAgents/org.vell.app.dealer.plist" ]; then
    echo "Its launchd registration is still there."
else
    echo "Its launchd registration is gone."
fi
vell status
