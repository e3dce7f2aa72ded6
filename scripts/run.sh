#!/usr/bin/env bash
# Builds Tessary and starts it. Without arguments it opens the demo: a sample database connected
# to the simulated key controller (scripts/demo.sh). With arguments they are passed to the
# program, e.g. the path of your own database.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -eq 0 ]; then
    exec bash scripts/demo.sh
fi

bash scripts/setup.sh

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target tessary
exec "$build/app/tessary" "$@"
