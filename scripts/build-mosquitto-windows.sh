#!/usr/bin/env bash
# Builds the MQTT bridge's library for the Windows build: libmosquitto's static library, from
# Debian's own source package of mosquitto (with Debian's patches), cross-compiled with MinGW-w64,
# with TLS on OpenSSL's static libraries (build-openssl-windows.sh) and without its threads (the
# bridge runs the library on one thread of its own). Built once per version of both source packages,
# into the build cache outside any checkout; the newest is then copied where the Windows build's
# configure looks for it. A step of its own, before configure: configure never fetches anything.
#   build-mosquitto-windows.sh
# leaves include/mosquitto.h, include/openssl/ and lib/libmosquitto_static.a, libssl.a, libcrypto.a in
# ${XDG_CACHE_HOME:-$HOME/.cache}/kav_morv_led/mosquitto-mingw64 (KAV_MORV_LED_MOSQUITTO_ROOT's default).
set -euo pipefail
here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
toolchain=$here/../cmake/mingw-w64-x86_64.toolchain.cmake
cache=${XDG_CACHE_HOME:-$HOME/.cache}/kav_morv_led
folder=$cache/mosquitto-mingw64
openssl=$("$here/build-openssl-windows.sh")
work=$(mktemp -d "${TMPDIR:-/tmp}/kav_morv_led-mosquitto.XXXXXX")
trap 'rm -rf "$work"' EXIT

built=
for version in $("$here/debian-source.sh" versions mosquitto); do
  candidate=$cache/mosquitto-mingw64-$version-tls-${openssl##*/openssl-mingw64-}
  if [[ -f $candidate/lib/libmosquitto_static.a ]]; then
    built=$candidate
    break
  fi
  if "$here/debian-source.sh" unpack mosquitto "$version" "$work/source" 2>>"$work/fetch.log"; then
    built=$candidate
    break
  fi
done
[[ -n $built ]] || { cat "$work/fetch.log" >&2; echo "build-mosquitto-windows: no version of mosquitto could be fetched" >&2; exit 1; }

if [[ ! -f $built/lib/libmosquitto_static.a ]]; then
  echo "building libmosquitto $version with TLS for Windows from Debian's source (once)" >&2
  # Only the static library: its shared one looks for a pthreads-win32 of its own. Paths of this
  # build are kept out of the objects, so that the program linked with them is the same from any folder.
  {
    cmake -S "$work/source" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
          -DWITH_STATIC_LIBRARIES=ON -DWITH_TLS=ON -DOPENSSL_INCLUDE_DIR="$openssl/include" \
          -DOPENSSL_SSL_LIBRARY="$openssl/lib/libssl.a" -DOPENSSL_CRYPTO_LIBRARY="$openssl/lib/libcrypto.a" \
          -DLIB_EAY="$openssl/lib/libcrypto.a" -DSSL_EAY="$openssl/lib/libssl.a" -DWITH_THREADING=OFF -DWITH_CJSON=OFF -DWITH_SRV=OFF \
          -DWITH_BROKER=OFF -DWITH_APPS=OFF -DWITH_PLUGINS=OFF -DWITH_CLIENTS=OFF -DDOCUMENTATION=OFF \
          -DCMAKE_C_FLAGS="-ffile-prefix-map=$work/source=mosquitto -ffile-prefix-map=$openssl=openssl" &&
    cmake --build "$work/build" --target libmosquitto_static -j 2
  } > "$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
  rm -rf "$built.partial"
  mkdir -p "$built.partial/include" "$built.partial/lib"
  cp "$work/source/include/mosquitto.h" "$work/source/include/mqtt_protocol.h" "$built.partial/include/"
  cp "$work/build/lib/libmosquitto_static.a" "$built.partial/lib/"
  mv "$built.partial" "$built"
fi
rm -rf "$folder.partial"
mkdir -p "$folder.partial"
cp -r "$built/include" "$built/lib" "$folder.partial/"
cp -r "$openssl/include/openssl" "$folder.partial/include/"
cp "$openssl/lib/libssl.a" "$openssl/lib/libcrypto.a" "$folder.partial/lib/"
rm -rf "$folder"
mv "$folder.partial" "$folder"
echo "libmosquitto for Windows, with TLS: $folder/lib/libmosquitto_static.a" >&2
