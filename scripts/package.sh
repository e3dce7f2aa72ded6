#!/usr/bin/env bash
# Builds the Debian package of Tessary: build-package/tessary_<version>_<arch>.deb.
# Usage: scripts/package.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."

TESSARY_WITH_PACKAGING=1 bash scripts/setup.sh

build="${1:-build-package}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSARY_BUILD_TESTS=OFF \
    -DCMAKE_INSTALL_PREFIX=/usr
cmake --build "$build"
rm -f "$build"/tessary_*.deb
(cd "$build" && cpack -G DEB)
ls "$build"/tessary_*.deb
