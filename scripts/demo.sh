#!/usr/bin/env bash
# Builds the native preset and shows the simulated LED:
#   demo.sh red             sets it from a keyword with the console tester, and shows it; exits
#                           with the tester's status (no keyword: red; an empty one is passed on)
#   demo.sh blink [COLOUR]  starts the LED service, asks it to blink (green), and shows the LED
#                           every 200 ms while it blinks
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
bin=build/native/bin

scripts/install-dependencies.sh native
cmake --preset native >/dev/null
cmake --build --preset native >/dev/null

if [[ ${1-} == blink ]]; then
  scratch=$(mktemp -d)
  endpoint=$scratch/led.sock
  # A state file of its own: the system's would bring back, and receive, what others asked for.
  "$bin/kav_morv_led_service" --foreground --endpoint "$endpoint" --state "$scratch/state.json" 2>/dev/null &
  service=$!
  trap 'kill "$service"; wait "$service" || true; rm -rf "$scratch"' EXIT
  for _ in {1..50}; do
    "$bin/kav_morv_ledctl" --endpoint "$endpoint" get >/dev/null 2>&1 && break
    sleep 0.1
  done
  "$bin/kav_morv_ledctl" --endpoint "$endpoint" blink "${2-green}" 400 400 --count 3
  for _ in {1..13}; do
    "$bin/led_sim" show | head -n 1
    sleep 0.2
  done
  exit 0
fi

status=0
"$bin/KAV_MORV_LED_ConsoleTester" "${1-red}" || status=$?
"$bin/led_sim" show
exit "$status"
