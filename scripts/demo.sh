#!/usr/bin/env bash
# Builds the native preset, sets the simulated LED from a keyword and shows it.
#   demo.sh red
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh native
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null
build/native/bin/KAV_MORV_LED_ConsoleTester "${1:-red}" || true
build/native/bin/led_sim show
