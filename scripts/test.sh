#!/usr/bin/env bash
# Installs what is missing, then builds and tests every preset from scratch, and checks that the
# Windows release is reproducible. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
scripts/build-mosquitto-windows.sh
for preset in native asan tsan library-only windows; do
  cmake --workflow --preset "$preset" --fresh
done
scripts/check-reproducible.sh
