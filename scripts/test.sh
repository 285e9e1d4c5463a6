#!/usr/bin/env bash
# Builds and tests every preset from scratch. Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake --workflow --preset native --fresh
