#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build and test every preset. Run as root.
set -euo pipefail

packages=(
  cmake make g++ pkg-config python3
  googletest libgtest-dev
)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if ((${#missing[@]})); then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
