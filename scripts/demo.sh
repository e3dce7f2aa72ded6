#!/usr/bin/env bash
# Builds Tessary and the simulated key controller, links the simulator as COM1 in a temporary
# port folder and opens a copy of the demo database on it. The simulator presents keys and door
# events every few seconds by itself. Set TESSARY_DEMO_MODEL=rd03 for the byte-by-byte model.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

build=build
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$build" --target tessary tessary-sim

work=$(mktemp -d "${TMPDIR:-/tmp}/tessary-demo.XXXXXX")
export TESSARY_PORT_DIR="$work/ports"
cp demo/demo.tsy "$work/demo.tsy"

"$build/sim/tessary-sim" --model "${TESSARY_DEMO_MODEL:-rd04}" --com 1 \
    --port-dir "$TESSARY_PORT_DIR" --keys 000001,00a3f1,0104bc \
    --auto "${TESSARY_DEMO_SECONDS:-4}" </dev/null &
sim=$!
trap 'kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true; rm -rf "$work"' EXIT

for _ in $(seq 200); do
    [ -e "$TESSARY_PORT_DIR/COM1" ] && break
    sleep 0.05
done
echo "Demo database: $work/demo.tsy (log: $work/demo.log); simulator linked as COM1"
"$build/app/tessary" "$work/demo.tsy"
