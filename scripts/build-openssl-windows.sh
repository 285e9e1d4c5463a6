#!/usr/bin/env bash
# Builds OpenSSL's static libraries for the Windows build (the TLS of the MQTT bridge's library),
# from Debian's own source package (with Debian's patches), cross-compiled with MinGW-w64: no
# shared libraries, tests or loadable modules; only the libraries are built. Built once per version of the
# source package, into the build cache outside any checkout; later builds take it from there.
#   build-openssl-windows.sh     prints the folder that holds include/openssl and lib/libssl.a, lib/libcrypto.a
set -euo pipefail
here=$(cd "$(dirname "$(readlink -f "$0")")" && pwd)
cache=${XDG_CACHE_HOME:-$HOME/.cache}/kav_morv_led
work=$(mktemp -d "${TMPDIR:-/tmp}/kav_morv_led-openssl.XXXXXX")
trap 'rm -rf "$work"' EXIT
# The newest version that is built already or that the archive serves.
for version in $("$here/debian-source.sh" versions openssl); do
  built=$cache/openssl-mingw64-$version
  if [[ -f $built/lib/libssl.a && -f $built/lib/libcrypto.a ]]; then
    echo "$built"
    exit 0
  fi
  "$here/debian-source.sh" unpack openssl "$version" "$work/source" 2>>"$work/fetch.log" && break
  rm -rf "$work/source"
done
[[ -d $work/source ]] || { cat "$work/fetch.log" >&2; echo "build-openssl-windows: no version of openssl could be fetched" >&2; exit 1; }
echo "building OpenSSL $version for Windows from Debian's source (once; it takes some minutes)" >&2
# The build's date is the source package's, so that the same version gives the same bytes.
SOURCE_DATE_EPOCH=$(date -d "$(dpkg-parsechangelog -l "$work/source/debian/changelog" -S Date)" +%s)
export SOURCE_DATE_EPOCH
{
  cd "$work/source" &&
  CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar RANLIB=x86_64-w64-mingw32-ranlib RC=x86_64-w64-mingw32-windres \
    ./Configure mingw64 no-shared no-module no-dso no-engine no-tests --prefix=/ --libdir=lib &&
  make -j 2 build_libs &&
  make DESTDIR="$work/installed" install_dev
} > "$work/build.log" 2>&1 || { tail -n 40 "$work/build.log" >&2; exit 1; }
mkdir -p "$(dirname "$built")"
rm -rf "$built.partial"
mkdir -p "$built.partial/lib"
cp -r "$work/installed/include" "$built.partial/"
cp "$work/installed/lib/libssl.a" "$work/installed/lib/libcrypto.a" "$built.partial/lib/"
mv "$built.partial" "$built"
echo "$built"
