#!/usr/bin/env bash
# Installs the Debian 12 packages a build needs, if any are missing. Needs root (or sudo) only when
# something is missing.
#   install-dependencies.sh          everything: every preset, every test
#   install-dependencies.sh native   just enough to build the native preset
set -euo pipefail

packages=(cmake make g++ python3 python3-pip python3-setuptools googletest libgtest-dev libbenchmark-dev valgrind
          libasio-dev libcli11-dev nlohmann-json3-dev libmosquitto-dev mosquitto mosquitto-clients
          python3-venv python3-build python3-wheel mono-mcs mono-xbuild nuget)
if [[ ${1:-all} != native ]]; then
  packages+=(clang-14 clang-tidy-14 clang-tools-14 lld-14 llvm-14 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
             wine64 strip-nondeterminism hyperfine time systemd util-linux wixl dpkg-dev)
fi

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
((${#missing[@]})) || exit 0

as_root=()
if ((EUID != 0)); then
  command -v sudo >/dev/null || { echo "install-dependencies: run as root to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi
"${as_root[@]}" apt-get update
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
