#!/usr/bin/env bash
# Checks a Vell cask with Homebrew's own tools, as a tap serving it would be
# checked:
#   bash scripts/check-cask.sh [CASK]      (default: Casks/vell.rb)
# brew style (Homebrew's RuboCop rules for casks) and brew audit --cask,
# which takes a cask only by name, so the cask goes into a local tap first.
# Needs Homebrew; on a Mac only brew audit knows every rule.
set -euo pipefail
cd "$(dirname "$0")/.."
cask=${1:-Casks/vell.rb}
[ -f "$cask" ] || { echo "check-cask: no cask at $cask" >&2; exit 2; }
command -v brew >/dev/null || { echo "check-cask: Homebrew is not installed" >&2; exit 1; }

tap=vell-check/local
brew untap "$tap" >/dev/null 2>&1 || true
brew tap-new --no-git "$tap" >/dev/null
trap 'brew untap "$tap" >/dev/null 2>&1 || true' EXIT
tapped=$(brew --repository "$tap")/Casks/vell.rb
mkdir -p "$(dirname "$tapped")"
cp "$cask" "$tapped"

brew style "$tapped"
brew audit --cask "$tap/vell"
echo "check-cask: $cask passes brew style and brew audit --cask"
