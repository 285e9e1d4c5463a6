#!/usr/bin/env bash
# Builds what the benchmarks need (native and windows presets) and runs them all; prints one table.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
scripts/build-mosquitto-windows.sh
for preset in native windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
python3 bench/run_benchmarks.py --root .
