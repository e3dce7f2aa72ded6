#!/usr/bin/env bash
# Builds Tessary and runs every test. Usage: scripts/test.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build="${1:-build}"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARY_BUILD_TESTS=ON
cmake --build "$build"
mkdir -p "$build/xdg-runtime" && chmod 700 "$build/xdg-runtime"
ctest --test-dir "$build" --output-on-failure -j2 --timeout 300
