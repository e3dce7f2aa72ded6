#!/usr/bin/env bash
# Builds Tessary and starts it. Extra arguments are passed to the program.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target tessary
exec "$build/app/tessary" "$@"
