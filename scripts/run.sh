#!/usr/bin/env bash
# Builds everything and runs the simulator on its example scenario.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset win64 >/dev/null
cmake --build --preset win64
scenario=${1:-examples/sharing.scn}
exec build/host/simulator/dravolux-sim "$scenario"
