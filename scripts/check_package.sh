#!/usr/bin/env bash
# Builds the Debian package and checks it: desktop entry and metainfo validate, lintian finds no
# errors, and the unpacked executables find every library they link.
# Usage: scripts/check_package.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."

build="${1:-build-package}"
bash scripts/package.sh "$build"
deb=$(ls "$build"/tessary_*.deb)

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"

echo "-- desktop entry and metainfo"
desktop-file-validate "$root"/usr/share/applications/*.desktop
appstreamcli validate --no-net "$root"/usr/share/metainfo/*.metainfo.xml

echo "-- libraries of the executables"
missing=0
for exe in "$root"/usr/bin/*; do
    echo "$(basename "$exe")"
    if ldd "$exe" | grep 'not found'; then
        missing=1
    fi
done
[ "$missing" = 0 ] || { echo "libraries missing"; exit 1; }
"$root"/usr/bin/tessary --version

echo "-- lintian"
lintian --fail-on error "$deb"
