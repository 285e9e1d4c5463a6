#!/usr/bin/env bash
# Debian's own source of a package, for the libraries the Windows build makes from it. apt reads a
# private list of source archives, derived from the machine's own apt sources (each "deb" entry's
# "deb-src" twin, whatever mirror they name), with lists of its own: the machine's apt is left as
# it is. Its lists are kept in the build cache and brought up to date once a day.
#   debian-source.sh versions PACKAGE                 prints the versions its archives offer, newest first
#   debian-source.sh unpack PACKAGE VERSION FOLDER    fetches one and unpacks it (Debian's patches applied) into FOLDER
set -euo pipefail
usage() { echo "usage: debian-source.sh versions PACKAGE | unpack PACKAGE VERSION FOLDER" >&2; exit 2; }
(($# >= 2)) || usage
what=$1
package=$2
apt_state=${XDG_CACHE_HOME:-$HOME/.cache}/kav_morv_led/apt-sources
mkdir -p "$apt_state/lists/partial" "$apt_state/sources.list.d"

shopt -s nullglob
rm -f "$apt_state"/sources.list.d/*
: > "$apt_state/sources.list"
for list in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
  [[ -f $list ]] && sed -n 's/^[[:space:]]*deb[[:space:]]/deb-src /p' "$list" >> "$apt_state/sources.list"
done
for stanzas in /etc/apt/sources.list.d/*.sources; do
  sed 's/^Types:.*/Types: deb-src/I' "$stanzas" > "$apt_state/sources.list.d/$(basename "$stanzas")"
done
apt=(apt-get -o "Dir::Etc::SourceList=$apt_state/sources.list" -o "Dir::Etc::SourceParts=$apt_state/sources.list.d"
     -o "Dir::State::Lists=$apt_state/lists" -o APT::Sandbox::User=root)

if [[ ! -f $apt_state/updated ]] || [[ -n $(find "$apt_state/updated" -mmin +1440) ]] ||
   ! cmp -s "$apt_state/sources.list" "$apt_state/updated"; then
  "${apt[@]}" -qq update
  cp "$apt_state/sources.list" "$apt_state/updated"
fi

case $what in
  versions)
    (($# == 2)) || usage
    versions=$("${apt[@]/apt-get/apt-cache}" showsrc --only-source "$package" 2>/dev/null | sed -n 's/^Version: //p' |
               sort -u -V -r)
    [[ -n $versions ]] || { echo "debian-source: apt knows no source package $package" >&2; exit 1; }
    echo "$versions"
    ;;
  unpack)
    (($# == 4)) || usage
    version=$3
    folder=$4
    downloads=$(mktemp -d)
    trap 'rm -rf "$downloads"' EXIT
    (cd "$downloads" && "${apt[@]}" -qq source --download-only "$package=$version")
    rm -rf "$folder"
    dpkg-source --no-check -x "$downloads/${package}_${version#*:}.dsc" "$folder" >/dev/null
    ;;
  *) usage ;;
esac
