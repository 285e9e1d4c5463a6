#!/usr/bin/env bash
# Builds what it needs (the demo preset, into build/demo) and shows the simulated LED:
#   demo.sh red             sets it from a keyword with the console tester, and shows it; exits
#                           with the tester's status (no keyword: red; an empty one is passed on)
#   demo.sh blink [COLOUR]  starts the LED service, asks it to blink (green), and shows the LED
#                           every 200 ms while it blinks
set -euo pipefail
cd "$(dirname "$(readlink -f "$0")")/.."
bin=build/demo/bin

# Only what it runs: the library, the tester and the simulated LED; the service and its client to blink.
scripts/install-dependencies.sh demo
targets=(kav_morv_led_dll_64 KAV_MORV_LED_ConsoleTester winio_standin port_io_standin led_sim)
[[ ${1-} == blink ]] && targets+=(kav_morv_led_service kav_morv_ledctl)
cmake --preset demo >/dev/null
cmake --build --preset demo --target "${targets[@]}" >/dev/null

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
