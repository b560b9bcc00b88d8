#!/usr/bin/env bash
# Builds the macOS configuration without a Mac, from the project's own CMake
# through cmake/macos-cross.cmake (clang, ld64.lld), against a folder of macOS
# headers and .tbd stubs (Frameworks/, include/ with include/c++/v1, lib/):
#   - the product for arm64 and for x86_64, joined with llvm-lipo into a
#     universal Vell.app laid out as on a Mac;
#   - the unit tests for both, against GoogleTest cross-built from Debian's
#     googletest sources;
#   - every link against stubs (cmake/stubs/) that list only what macOS
#     exports, so a call macOS lacks fails;
# then checks every executable and the bundle, and finally proves the check
# itself: a Linux-only call put into a macOS file must fail the build.
#   bash scripts/check-macos.sh HEADERS               everything
#   bash scripts/check-macos.sh --self-test HEADERS   only the proof
# Without a header folder there is nothing to build against: it says so and
# succeeds. Build folders: VELL_MACOS_BUILD_DIR (default build-macos).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

self_test_only=0
if [ "${1:-}" = "--self-test" ]; then
    self_test_only=1
    shift
fi
sdk=${1:-${VELL_MACOS_HEADERS:-}}
if [ -z "$sdk" ] || [ ! -d "$sdk/Frameworks" ] || [ ! -d "$sdk/include/c++/v1" ]; then
    echo "check-macos: no macOS headers given (a folder with Frameworks/ and include/c++/v1/); skipped"
    exit 0
fi
sdk=$(cd "$sdk" && pwd)

. scripts/require.sh
vell_require_packages clang lld llvm googletest python3

llvm_bin=$(ls -d /usr/lib/llvm-*/bin | sort -V | tail -n 1)
lipo=$llvm_bin/llvm-lipo
otool=$llvm_bin/llvm-otool
out=$(mkdir -p "${VELL_MACOS_BUILD_DIR:-build-macos}" && cd "${VELL_MACOS_BUILD_DIR:-build-macos}" && pwd)

# What a Vell executable may load: the system's libraries and frameworks, no
# other. A new framework (AppKit for the menu-bar app) is one more line.
allowed_libraries=(
    /usr/lib/libSystem.B.dylib
    /usr/lib/libc++.1.dylib
    /usr/lib/libobjc.A.dylib
    /System/Library/Frameworks/AppKit.framework/Versions/C/AppKit
    /System/Library/Frameworks/CoreFoundation.framework/Versions/A/CoreFoundation
    /System/Library/Frameworks/Foundation.framework/Versions/C/Foundation
    /System/Library/Frameworks/IOKit.framework/Versions/A/IOKit
    /System/Library/Frameworks/ServiceManagement.framework/Versions/A/ServiceManagement
    /System/Library/Frameworks/UserNotifications.framework/Versions/A/UserNotifications
)

failed=0
fail() {
    echo "FAILED  $*"
    failed=1
}

configure() { # build-folder source-folder arch extra-cmake-arguments...
    local build=$1 source=$2 arch=$3
    shift 3
    cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/macos-cross.cmake" \
        -DVELL_MACOS_HEADERS="$sdk" -DVELL_MACOS_ARCH="$arch" "$@" >"$build.configure.log" 2>&1 ||
        { cat "$build.configure.log"; return 1; }
}

# A Linux-only call in a macOS file: the link must fail on that symbol.
self_test() {
    local tree=$out/self-test/src build=$out/self-test/build log=$out/self-test/build.log
    rm -rf "$out/self-test"
    mkdir -p "$tree"
    git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$tree"
    cat >>"$tree/platform/macos/this_process_mac.cpp" <<'EOF'
extern "C" int epoll_create1(int flags);
int linuxOnlyCall() { return epoll_create1(0); }
EOF
    configure "$build" "$tree" arm64 -DVELL_BUILD_TESTS=OFF
    if nice -n 5 cmake --build "$build" --target VellDealer >"$log" 2>&1; then
        fail "self-test: a Linux-only call (epoll_create1) in a macOS file linked"
    elif grep -q "undefined symbol: _epoll_create1" "$log"; then
        echo "ok      self-test: a Linux-only call in a macOS file fails the link"
    else
        fail "self-test: the build failed, but not on the Linux-only call; see $log"
    fi
}

if [ "$self_test_only" = 1 ]; then
    self_test
    exit $failed
fi

start=$(date +%s)

# GoogleTest for both architectures, from Debian's sources.
for arch in arm64 x86_64; do
    gtest=$out/googletest-$arch
    configure "$gtest-build" /usr/src/googletest "$arch" -DBUILD_GMOCK=OFF \
        -DCMAKE_INSTALL_PREFIX="$gtest"
    nice -n 5 cmake --build "$gtest-build" --target install >"$gtest-build.log" 2>&1 ||
        { cat "$gtest-build.log"; exit 1; }
done
echo "ok      GoogleTest for arm64 and x86_64"

build() { # arch what
    if nice -n 5 cmake --build "$out/$1" >"$out/$1.build.log" 2>&1; then
        echo "ok      $2"
    else
        grep -E "error|warning|undefined" "$out/$1.build.log" | head -40
        fail "$2 (log: $out/$1.build.log; a symbol macOS does export belongs in cmake/stubs/)"
    fi
}
# x86_64 first as a user's install builds it, with no GoogleTest at all; then
# the same folder with the tests, which leaves the product's files as they
# are. arm64 with the tests (its product is what a build without them makes).
configure "$out/x86_64" "$root" x86_64 -DVELL_BUILD_TESTS=OFF
build x86_64 "the app for x86_64, without tests"
configure "$out/x86_64" "$root" x86_64 -DVELL_BUILD_TESTS=ON \
    -DGTest_DIR="$out/googletest-x86_64/lib/cmake/GTest"
build x86_64 "the tests for x86_64"
configure "$out/arm64" "$root" arm64 -DGTest_DIR="$out/googletest-arm64/lib/cmake/GTest"
build arm64 "the app and the tests for arm64"
[ "$failed" = 0 ] || exit 1

# One universal Vell.app: the arm64 tree with every executable joined.
app=$out/Vell.app
rm -rf "$app"
cp -R "$out/arm64/Vell.app" "$app"
[ "$(ls "$out/arm64/Vell.app/Contents/MacOS")" = "$(ls "$out/x86_64/Vell.app/Contents/MacOS")" ] ||
    fail "the arm64 and x86_64 builds hold different executables"
for file in "$app"/Contents/MacOS/*; do
    name=$(basename "$file")
    if [ ! -f "$out/x86_64/Vell.app/Contents/MacOS/$name" ]; then
        fail "$name has no x86_64 build"
        continue
    fi
    "$lipo" -create "$out/arm64/Vell.app/Contents/MacOS/$name" \
        "$out/x86_64/Vell.app/Contents/MacOS/$name" -output "$file"
done

check_slice() { # file arch
    local name thin header load dylibs
    name="$(basename "$1") ($2)"
    thin=$1
    if [ "$("$lipo" -archs "$1" | xargs)" != "$2" ]; then
        thin=$out/slice
        "$lipo" -thin "$2" "$1" -output "$thin"
    fi
    header=$("$otool" -hv "$thin" | tail -n 1)
    load=$("$otool" -l "$thin")
    [[ $header == MH_MAGIC_64*EXECUTE* ]] || fail "$name is not a 64-bit Mach-O executable"
    [[ " $header " == *" PIE "* ]] || fail "$name is not position-independent"
    [[ $(grep -A4 LC_BUILD_VERSION <<<"$load") == *"minos 15.0"* ]] ||
        fail "$name does not say minimum macOS 15.0"
    if [ "$2" = arm64 ]; then
        [[ $load == *LC_CODE_SIGNATURE* ]] || fail "$name has no signature"
    fi
    dylibs=$("$otool" -L "$thin" | tail -n +2 | awk '{print $1}')
    for dylib in $dylibs; do
        [[ " ${allowed_libraries[*]} " == *" $dylib "* ]] || fail "$name loads $dylib"
    done
}

executables=0
for file in "$app"/Contents/MacOS/*; do
    executables=$((executables + 1))
    archs=$("$lipo" -archs "$file" | xargs)
    [ "$archs" = "x86_64 arm64" ] || fail "$(basename "$file") holds '$archs', not x86_64 and arm64"
    for arch in arm64 x86_64; do
        check_slice "$file" "$arch"
    done
done
[ "$executables" -gt 0 ] || fail "Vell.app has no executables"
for arch in arm64 x86_64; do
    tests=("$out/$arch"/tests/*_tests)
    [ -f "${tests[0]}" ] || fail "no unit tests were built for $arch"
    for file in "${tests[@]}"; do
        [ -f "$file" ] && check_slice "$file" "$arch"
    done
done
echo "ok      executables checked: $executables in Vell.app, and the unit tests of both"

version=$(sed -n -E 's/^project\(Vell VERSION ([0-9]+\.[0-9]+\.[0-9]+)[ )].*/\1/p' CMakeLists.txt)
if python3 - "$app" "$version" <<'EOF'; then
import plistlib, re, sys, os
app, version = sys.argv[1], sys.argv[2]
problems = []
with open(os.path.join(app, "Contents/Info.plist"), "rb") as f:
    info = plistlib.load(f)
if not version or info.get("CFBundleShortVersionString") != version:
    problems.append(f"CFBundleShortVersionString is not {version!r}, the version in CMakeLists.txt")
if not re.fullmatch(r"[0-9]+(\.[0-9]+){0,2}", str(info.get("CFBundleVersion"))):
    problems.append("CFBundleVersion is not one to three numbers joined by dots")
identifier = info.get("CFBundleIdentifier")
executable = os.path.join(app, "Contents/MacOS", info.get("CFBundleExecutable", ""))
if not os.path.isfile(executable) or not os.access(executable, os.X_OK):
    problems.append("CFBundleExecutable is not an executable in Contents/MacOS")
agents = os.path.join(app, "Contents/Library/LaunchAgents")
jobs = sorted(os.listdir(agents)) if os.path.isdir(agents) else []
if not jobs:
    problems.append("no launchd job in Contents/Library/LaunchAgents")
for name in jobs:
    with open(os.path.join(agents, name), "rb") as f:
        job = plistlib.load(f)
    if name != f"{job.get('Label')}.plist":
        problems.append(f"{name}: Label {job.get('Label')!r} does not match the file name")
    program = os.path.join(app, job.get("BundleProgram", ""))
    if not os.path.isfile(program) or not os.access(program, os.X_OK):
        problems.append(f"{name}: BundleProgram is not an executable in the bundle")
    if identifier not in job.get("AssociatedBundleIdentifiers", []):
        problems.append(f"{name}: AssociatedBundleIdentifiers lacks {identifier!r}")
for problem in problems:
    print("FAILED  bundle: " + problem)
sys.exit(1 if problems else 0)
EOF
    echo "ok      bundle: executable, launchd job label, program and app identifier, the version"
else
    failed=1
fi

bash scripts/check-package.sh "$app" || failed=1

self_test

verdict=passed
[ "$failed" = 0 ] || verdict=failed
echo "check-macos: $verdict in $(($(date +%s) - start)) s; universal app in $app"
echo "skipped (needs a Mac): codesign of Vell.app (each arm64 slice keeps the linker's ad-hoc signature),"
echo "  running anything built (the unit tests, the agent, vell), plutil -lint and visudo -cf;"
echo "  .github/workflows/macos.yml does these on a hosted Mac"
exit $failed
