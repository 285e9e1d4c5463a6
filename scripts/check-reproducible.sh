#!/usr/bin/env bash
# Builds the Windows release from a clone of the last commit in another folder and compares the
# SHA-256 sums of everything that ships (the DLLs, the programs, both import libraries, the client
# packages, the zip and the MSI) with those of this checkout's own windows build, made if it is not
# there yet. With uncommitted changes, a first clone is built in place of this checkout, so that
# both builds are of the same commit. Exits 1 if any sum differs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Globs, expanded in each build's folder.
shipped=('bin/kav_morv_led_dll_64.dll' 'bin/kav_rv5520_led.dll' 'bin/KAV_MORV_LED_ConsoleTester.exe'
         'bin/kav_morv_led_service.exe' 'bin/kav_morv_ledctl.exe' 'bin/kav_morv_led_mqtt.exe'
         'bin/kav_morv_led_triggers.exe'
         'packaging/kav_morv_led_dll_64.lib' 'led_library/libkav_morv_led_dll_64.dll.a'
         'packages/KavMorvLed.*.nupkg' 'packages/kav_morv_led-*.whl' 'packages/kav_morv_led-*.tar.gz'
         'package/KAV_MORV_LED-*-win64.zip' 'package/KAV_MORV_LED-*-win64.msi')

# libmosquitto for Windows is an input of both builds, built once from Debian's source.
"$top/scripts/build-mosquitto-windows.sh"

release() {  # the release built in $1 (a checkout), zip included
  (
    cd "$1"
    cmake --build --preset windows >/dev/null
    cpack --preset windows >/dev/null
  )
}

clone_and_release() {
  git clone --quiet "$top" "$1"
  (cd "$1" && cmake --preset windows -DKAV_MORV_LED_BUILD_TESTS=OFF -DKAV_MORV_LED_BUILD_SIMULATOR=OFF \
                    -DKAV_MORV_LED_BUILD_BENCHMARKS=OFF -DKAV_MORV_LED_CLANG_TIDY=OFF >/dev/null)
  release "$1"
}

sums() {
  # shellcheck disable=SC2068  # the globs are meant to expand here
  (cd "$1/build/windows" && sha256sum ${shipped[@]})
}

if git -C "$top" diff --quiet HEAD && [[ -f $top/build/windows/CMakeCache.txt ]]; then
  first=$top
  release "$first"
else
  first=$scratch/first
  clone_and_release "$first"
fi
second=$scratch/second/in/another/folder
clone_and_release "$second"

sums "$first" > "$scratch/first.sums"
sums "$second" > "$scratch/second.sums"
cat "$scratch/first.sums"
if diff "$scratch/first.sums" "$scratch/second.sums" >/dev/null; then
  echo "reproducible: both builds gave identical bytes"
else
  echo "NOT reproducible; the second build's sums:" >&2
  diff "$scratch/first.sums" "$scratch/second.sums" >&2 || true
  exit 1
fi
