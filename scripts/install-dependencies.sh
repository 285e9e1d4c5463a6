#!/usr/bin/env bash
# Installs the Debian 12 packages a build needs, if any are missing: every package named here,
# none of their recommended ones, so that the lists hold all that is used, whatever the machine
# already has (scripts/check-fresh-machine.sh proves them on a bare root). Needs root, or sudo,
# only when something is missing.
#   install-dependencies.sh          everything scripts/test.sh builds and runs
#   install-dependencies.sh demo     just what scripts/demo.sh builds and runs
set -euo pipefail

# The library, the tester, the simulated LED, the service and its client.
packages=(cmake make g++ libasio-dev libcli11-dev nlohmann-json3-dev)
case ${1:-all} in
  demo) ;;
  all)
    packages+=(
      # The MQTT bridge (libssl-dev: the hashes of its service SIDs), and the broker and clients its
      # tests and benchmarks talk to, and the certificates of its TLS tests.
      libmosquitto-dev libssl-dev pkgconf mosquitto mosquitto-clients openssl
      # The triggers program: its rules' parser (for both builds), HTTP natively; the small file
      # system its test fills.
      libtomlplusplus-dev libcurl4-openssl-dev mount
      # Unit tests, benchmarks, memcheck; GoogleTest's sources for the Windows build's unit tests.
      googletest libgtest-dev libgmock-dev libbenchmark-dev valgrind
      # The test runners, the Python client's wheel and a virtual environment to install it in.
      python3 python3-venv python3-build python3-setuptools python3-wheel
      # The .NET client's package, its test and the C# example: compiler, framework, runtime, packer.
      mono-mcs mono-xbuild mono-devel mono-runtime nuget
      # The tsan preset: clang, its ThreadSanitizer runtime, clang-tidy.
      clang-14 libclang-rt-14-dev clang-tidy-14
      # The Windows build: MinGW-w64, clang-cl, lld-link and llvm-dlltool for Visual Studio's ABI,
      # Wine to run it, the MSI's tools, Debian's sources of libmosquitto and OpenSSL, a way to unpack
      # them, and Perl for OpenSSL's build; libmsi's Python bindings for what the MSI needs beyond wixl.
      g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 clang-tools-14 lld-14 llvm-14 wine64 wixl msitools
      python3-gi gir1.2-libmsi-1.0 dpkg-dev perl
      # The systemd units' check, the processes the tests look for, the same bytes from every build,
      # the man pages.
      systemd procps git strip-nondeterminism help2man
      # The benchmarks' timing of whole programs.
      hyperfine time)
    ;;
  *) echo "usage: install-dependencies.sh [demo]" >&2; exit 2 ;;
esac

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
echo "install-dependencies: installing ${missing[*]}" >&2
"${as_root[@]}" apt-get -qq update
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -qq install -y --no-install-recommends "${missing[@]}" >/dev/null
