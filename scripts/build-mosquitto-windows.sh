#!/usr/bin/env bash
# Builds the MQTT bridge's library for the Windows build: libmosquitto's static library, from
# Debian's own source package of mosquitto (with Debian's patches), cross-compiled with MinGW-w64,
# without TLS (its Windows build would want OpenSSL for Windows) and without its threads (the bridge
# runs the library on one thread of its own). apt fetches the source through a list of Debian's
# source archives given in its options: the machine's own sources are left as they are.
#   build-mosquitto-windows.sh FOLDER TOOLCHAIN_FILE
# leaves FOLDER/include/mosquitto.h and FOLDER/lib/libmosquitto_static.a.
set -euo pipefail
folder=$1
toolchain=$2
work=$folder/work
mkdir -p "$work/lists/partial"

if ! ls "$work"/mosquitto_*.dsc >/dev/null 2>&1; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")
  cat > "$work/sources.list" <<LIST
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $codename main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $codename-updates main
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian-security $codename-security main
LIST
  apt=(apt-get -o "Dir::Etc::SourceList=$work/sources.list" -o Dir::Etc::SourceParts=/dev/null
       -o "Dir::State::Lists=$work/lists" -o APT::Sandbox::User=root)
  "${apt[@]}" -qq update
  (cd "$work" && "${apt[@]}" -qq source --download-only mosquitto)
fi
rm -rf "$work/source" "$work/build"
dpkg-source --no-check -x "$(ls "$work"/mosquitto_*.dsc | tail -n 1)" "$work/source" >/dev/null

# Only the static library: its shared one looks for a pthreads-win32 of its own. Paths of this
# build are kept out of the objects, so that the program linked with them is the same from any folder.
{
  cmake -S "$work/source" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
        -DWITH_STATIC_LIBRARIES=ON -DWITH_TLS=OFF -DWITH_THREADING=OFF -DWITH_CJSON=OFF -DWITH_SRV=OFF \
        -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DWITH_CLIENTS=OFF -DDOCUMENTATION=OFF \
        -DCMAKE_C_FLAGS="-ffile-prefix-map=$work/source=mosquitto"
  cmake --build "$work/build" --target libmosquitto_static -j 2
} > "$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
mkdir -p "$folder/include" "$folder/lib"
cp "$work/source/include/mosquitto.h" "$work/source/include/mqtt_protocol.h" "$folder/include/"
cp "$work/build/lib/libmosquitto_static.a" "$folder/lib/"
echo "libmosquitto for Windows: $folder/lib/libmosquitto_static.a"
