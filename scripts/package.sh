#!/usr/bin/env bash
# Zips a built Vell.app for a release and prints the zip's SHA-256:
#   bash scripts/package.sh APP OUTDIR [--cask FILE]
# writes OUTDIR/Vell-VERSION.zip, VERSION being the bundle's own
# CFBundleShortVersionString (which the build takes from the project's
# version in CMakeLists.txt), and prints "SHA256  Vell-VERSION.zip" as
# sha256sum does. With --cask it also writes that version and checksum into
# the Homebrew cask FILE.
# On a Mac the zip is made with ditto, as Finder makes one; elsewhere with
# Info-ZIP's zip, which keeps each file's mode (the executables' x bits) and
# stores symbolic links as links.
set -euo pipefail

usage() {
    echo "usage: bash scripts/package.sh APP OUTDIR [--cask FILE]" >&2
    exit 2
}

[ $# -eq 2 ] || [ $# -eq 4 ] || usage
app=${1%/}
outdir=$2
cask=
if [ $# -eq 4 ]; then
    [ "$3" = "--cask" ] || usage
    cask=$4
fi

fail() {
    echo "package: $*" >&2
    exit 1
}

# The cask installs "Vell.app"; a bundle by another name would not be found.
[ "$(basename "$app")" = "Vell.app" ] || fail "$app is not named Vell.app"
info=$app/Contents/Info.plist
[ -f "$info" ] || fail "$app has no Contents/Info.plist"
[ -x "$app/Contents/MacOS/vell" ] || fail "$app has no executable Contents/MacOS/vell"
# Exactly one version and one sha256 stanza are rewritten, or none is.
if [ -n "$cask" ]; then
    [ -f "$cask" ] || fail "no cask at $cask"
    if [ "$(grep -cE '^  version "[^"]*"$' "$cask")" != 1 ] ||
        [ "$(grep -cE '^  sha256 "[0-9a-f]{64}"$' "$cask")" != 1 ]; then
        fail "$cask does not hold one version and one sha256 stanza to rewrite"
    fi
fi

read_version() {
    if command -v plutil >/dev/null && [ "$(uname)" = Darwin ]; then
        plutil -extract CFBundleShortVersionString raw -o - "$info"
    else
        python3 -c 'import plistlib, sys
print(plistlib.load(open(sys.argv[1], "rb")).get("CFBundleShortVersionString", ""))' "$info"
    fi
}
version=$(read_version) || fail "$info cannot be read"
[[ $version =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] ||
    fail "CFBundleShortVersionString '$version' in $info is not a version x.y.z"

mkdir -p "$outdir"
zip_name=Vell-$version.zip
zip_path=$(cd "$outdir" && pwd)/$zip_name
# Written aside and moved into place, so a failure leaves no zip behind; and
# afresh, since zip adds to an existing archive.
partial=$zip_path.partial
rm -f "$zip_path" "$partial"
if command -v ditto >/dev/null; then
    ditto -c -k --keepParent "$app" "$partial"
else
    command -v zip >/dev/null || fail "zip is not installed (Debian: apt-get install zip)"
    (cd "$(dirname "$app")" && zip -q -r -y -X "$partial" Vell.app)
fi
mv "$partial" "$zip_path"

if command -v sha256sum >/dev/null; then
    sha256=$(sha256sum "$zip_path" | cut -d ' ' -f 1)
else
    sha256=$(shasum -a 256 "$zip_path" | cut -d ' ' -f 1)
fi

if [ -n "$cask" ]; then
    sed -i.orig -E -e "s/^  version \"[^\"]*\"$/  version \"$version\"/" \
        -e "s/^  sha256 \"[0-9a-f]{64}\"$/  sha256 \"$sha256\"/" "$cask"
    rm -f "$cask.orig"
fi

echo "$sha256  $zip_name"
