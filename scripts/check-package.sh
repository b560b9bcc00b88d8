#!/usr/bin/env bash
# Checks what a release is made of, on a built Vell.app:
#   bash scripts/check-package.sh APP
# scripts/package.sh names the zip after the project's version in
# CMakeLists.txt, the zip unpacks to the same files with the same modes (the
# executables stay executable), the checksum it prints is the zip's, and
# --cask writes both into the cask, which still parses as Ruby, as does the
# committed one, and whose url names that zip. Bad input fails with a
# message and leaves no zip behind.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/require.sh
vell_require_packages zip unzip ruby python3

if [ $# -ne 1 ] || [ ! -d "$1" ]; then
    echo "usage: bash scripts/check-package.sh APP" >&2
    exit 2
fi
app=$(cd "$1" && pwd)
version=$(sed -n -E 's/^project\(Vell VERSION ([0-9]+\.[0-9]+\.[0-9]+)[ )].*/\1/p' CMakeLists.txt)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

failed=0
check() { # what command...; the command's output is shown when it fails
    local what=$1
    shift
    if "$@" >"$work/check.out" 2>&1; then
        echo "ok      package: $what"
    else
        echo "FAILED  package: $what"
        cat "$work/check.out"
        failed=1
    fi
}

[ -n "$version" ] || { echo "FAILED  package: no project(Vell VERSION x.y.z) in CMakeLists.txt"; exit 1; }

# An older release's cask, for --cask to bring up to date.
sed 's/^  version ".*"$/  version "0.0.1"/' Casks/vell.rb >"$work/vell.rb"
printed=$(bash scripts/package.sh "$app" "$work/out" --cask "$work/vell.rb")
zip=$work/out/Vell-$version.zip
check "the zip is Vell-$version.zip, after CMakeLists.txt" \
    test "$(ls "$work/out")" = "Vell-$version.zip"
sha256=$(sha256sum "$zip" | cut -d ' ' -f 1)
check "the checksum printed is the zip's" test "$printed" = "$sha256  Vell-$version.zip"

tree() { (cd "$1" && find . -printf '%y %m %p\n' | sort); }
unzip -q "$zip" -d "$work/unpacked"
check "the zip unpacks to Vell.app, every file with its mode" \
    diff <(tree "$app") <(tree "$work/unpacked/Vell.app")
check "the zip stores Contents/MacOS/vell as executable" \
    grep -q '^-rwx.* Vell.app/Contents/MacOS/vell$' <(zipinfo "$zip")

other_lines() { grep -vE '^  (version|sha256) ' "$1"; }
check "--cask writes the version" grep -qx "  version \"$version\"" "$work/vell.rb"
check "--cask writes the checksum" grep -qx "  sha256 \"$sha256\"" "$work/vell.rb"
check "--cask changes nothing else" diff <(other_lines Casks/vell.rb) <(other_lines "$work/vell.rb")
check "the cask parses as Ruby" ruby -c Casks/vell.rb
check "the cask written parses as Ruby" ruby -c "$work/vell.rb"
# The cask evaluated with its stanzas recorded: its url must name the zip.
url=$(ruby - "$work/vell.rb" <<'RUBY'
class Stanzas < BasicObject
  def initialize = @given = {}
  def version(value = nil) = value ? @given[:version] = value : @given[:version]
  def appdir = "/Applications"
  def url_given = @given[:url]
  def method_missing(name, *arguments, **options) = @given[name] = arguments.first || options
end
def cask(_token, &stanzas)
  cask = Stanzas.new
  cask.instance_eval(&stanzas)
  puts cask.url_given
end
load ARGV[0]
RUBY
) || url="(the cask does not evaluate)"
check "the cask's url names the zip" test "${url##*/}" = "Vell-$version.zip"

# Bad input: a message, a failed status, and no zip.
rejects() { # what expected-status command...
    local what=$1 expected=$2 status=0
    shift 2
    rm -rf "$work/rejected"
    "$@" >"$work/rejected.out" 2>&1 || status=$?
    [ -s "$work/rejected.out" ] || status="$status, silently"
    [ ! -e "$work/rejected" ] || status="$status, writing $(ls "$work/rejected")"
    check "rejects $what (status $status)" test "$status" = "$expected"
}
bad=$work/bad/Vell.app
mkdir -p "$work/bad/Other.app/Contents"
cp -R "$app" "$bad"
cp "$work/vell.rb" "$work/no-sha256.rb"
sed -i '/^  sha256 /d' "$work/no-sha256.rb"

rejects "too few arguments" 2 bash scripts/package.sh "$app"
rejects "an unknown option" 2 bash scripts/package.sh "$app" "$work/rejected" --tap x
rejects "a bundle not named Vell.app" 1 bash scripts/package.sh "$work/bad/Other.app" "$work/rejected"
rejects "a cask without a sha256 stanza" 1 \
    bash scripts/package.sh "$app" "$work/rejected" --cask "$work/no-sha256.rb"
sed -i 's|<string>'"$version"'</string>|<string>1.0</string>|' "$bad/Contents/Info.plist"
rejects "a version not x.y.z" 1 bash scripts/package.sh "$bad" "$work/rejected"
printf 'not a property list' >"$bad/Contents/Info.plist"
rejects "an unreadable Info.plist" 1 bash scripts/package.sh "$bad" "$work/rejected"
rm "$bad/Contents/Info.plist"
rejects "a bundle without Info.plist" 1 bash scripts/package.sh "$bad" "$work/rejected"

exit $failed
