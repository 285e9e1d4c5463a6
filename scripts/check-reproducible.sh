#!/usr/bin/env bash
# Builds the Windows release twice, from two clones of the last commit in different folders, and
# compares the SHA-256 sums of what ships: the DLL, the EXE, both import libraries and the zip.
# Exits 1 if any differ. Uncommitted changes are not part of either build.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

shipped=(bin/kav_morv_led_dll_64.dll bin/kav_rv5520_led.dll bin/KAV_MORV_LED_ConsoleTester.exe
         packaging/kav_morv_led_dll_64.lib led_library/libkav_morv_led_dll_64.dll.a)
for clone in first "second/in/another/folder"; do
  git clone --quiet "$top" "$scratch/$clone"
  (
    cd "$scratch/$clone"
    cmake --preset windows -DKAV_MORV_LED_BUILD_TESTS=OFF -DKAV_MORV_LED_BUILD_SIMULATOR=OFF \
          -DKAV_MORV_LED_BUILD_BENCHMARKS=OFF -DKAV_MORV_LED_CLANG_TIDY=OFF >/dev/null
    cmake --build --preset windows >/dev/null
    cpack --preset windows >/dev/null
    cd build/windows
    sha256sum "${shipped[@]}" package/KAV_MORV_LED-*-win64.zip > "$scratch/$(basename "$clone").sums"
  )
done

cat "$scratch/first.sums"
if diff "$scratch/first.sums" "$scratch/folder.sums" >/dev/null; then
  echo "reproducible: both builds gave identical bytes"
else
  echo "NOT reproducible; the second build's sums:" >&2
  diff "$scratch/first.sums" "$scratch/folder.sums" >&2 || true
  exit 1
fi
