#!/usr/bin/env bash
# Installs what is missing, then builds and tests every preset from scratch. Exits non-zero on the
# first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
cmake --workflow --preset native --fresh
cmake --workflow --preset asan --fresh
cmake --workflow --preset tsan --fresh
cmake --workflow --preset windows --fresh
