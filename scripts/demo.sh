#!/usr/bin/env bash
# Builds the native preset, sets the simulated LED from a keyword and shows it. Exits with the
# tester's status. With no keyword it sets red; an empty one is passed on as it is, like any other.
#   demo.sh red
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."

scripts/install-dependencies.sh native
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null
status=0
build/native/bin/KAV_MORV_LED_ConsoleTester "${1-red}" || status=$?
build/native/bin/led_sim show
exit "$status"
