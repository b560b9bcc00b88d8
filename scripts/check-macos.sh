#!/usr/bin/env bash
# Compiles every file of the macOS build for arm64-apple-macos15 without a
# Mac: clang's syntax check against a folder of macOS headers (Frameworks/
# and include/, with libc++ in include/c++/v1). Any error or warning fails.
#   bash scripts/check-macos.sh /path/to/headers
# Without a header folder there is nothing to check against: it says so and
# succeeds.
set -euo pipefail
cd "$(dirname "$0")/.."

sdk=${1:-${VELL_MACOS_HEADERS:-}}
if [ -z "$sdk" ] || [ ! -d "$sdk/Frameworks" ] || [ ! -d "$sdk/include/c++/v1" ]; then
    echo "check-macos: no macOS headers given (a folder with Frameworks/ and include/c++/v1/); skipped"
    exit 0
fi
if ! command -v clang++ >/dev/null; then
    echo "check-macos: clang++ is missing (apt-get install clang)" >&2
    exit 1
fi

common=(
    -fsyntax-only --target=arm64-apple-macos15 -std=c++20 -stdlib=libc++
    -nostdinc++ -isystem "$sdk/include/c++/v1" -isystem "$sdk/include" -iframework "$sdk/Frameworks"
    -I . -Wall -Wextra -Werror
)
# Everything the macOS build compiles: the logic, the companion model and its
# two faces, the platform.
files=$(ls VellShared/*.cpp VellDealer/*.cpp VellCompanion/*.cpp companion/*.cpp companion/*.mm \
           platform/posix/*.cpp \
           platform/macos/*.cpp platform/macos/*.mm)
failed=0
for file in $files; do
    case "$file" in
        *.mm) language=(-x objective-c++ -fobjc-arc) ;;
        *) language=(-x c++) ;;
    esac
    if clang++ "${language[@]}" "${common[@]}" "$file"; then
        echo "ok      $file"
    else
        echo "FAILED  $file"
        failed=1
    fi
done
exit $failed
