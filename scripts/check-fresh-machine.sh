#!/usr/bin/env bash
# Runs the README's two commands as a newcomer runs them on a machine that has nothing: in a
# minimal Debian 12 root (mmdebstrap's apt variant: no compiler, no systemd) made from this
# machine's own apt sources, as root, in a clone of one commit. Prints each command's time and
# result, and exits 1 if one failed.
#   check-fresh-machine.sh [--commit REV] [--only demo|test]
# Needs root (it mounts). The bare root is made once and kept as a tar file in a cache
# outside the checkout (KAV_MORV_LED_FRESH_CACHE, default /var/cache/kav_morv_led/fresh-machine),
# made again when the apt sources change; packages apt downloads are kept there too, and so are
# the libraries the Windows build makes from Debian's sources. Installing the packages and
# building the product are paid on every run.
set -euo pipefail
top=$(cd "$(dirname "$(readlink -f "$0")")/.." && pwd)
commit=HEAD
only=
while (($#)); do
  case $1 in
    --commit) commit=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    *) echo "usage: check-fresh-machine.sh [--commit REV] [--only demo|test]" >&2; exit 2 ;;
  esac
done
((EUID == 0)) || { echo "check-fresh-machine: run it as root (it mounts)" >&2; exit 2; }
commit=$(git -C "$top" rev-parse --verify "$commit^{commit}")

# Every mount below is made in a mount namespace of this script's own, so that none can outlive
# it or reach the machine's, whatever happens to the script.
if [[ ${KAV_MORV_LED_FRESH_NAMESPACE-} != private ]]; then
  KAV_MORV_LED_FRESH_NAMESPACE=private exec unshare --mount --propagation private -- bash \
    "$0" --commit "$commit" ${only:+--only "$only"}
fi

cache=${KAV_MORV_LED_FRESH_CACHE:-/var/cache/kav_morv_led/fresh-machine}
mkdir -p "$cache/apt-archives/partial" "$cache/built-sources"
if ! command -v mmdebstrap >/dev/null; then
  apt-get -qq update && DEBIAN_FRONTEND=noninteractive apt-get -qq install -y --no-install-recommends mmdebstrap
fi

# The machine's own apt sources, whatever mirror they name.
shopt -s nullglob
sources=()
[[ -s /etc/apt/sources.list ]] && sources+=(/etc/apt/sources.list)
sources+=(/etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources)
((${#sources[@]})) || { echo "check-fresh-machine: no apt sources in /etc/apt" >&2; exit 1; }
key=$(cat "${sources[@]}" | sha256sum | cut -c1-12)
bare=$cache/bookworm-apt-$key.tar
if [[ ! -f $bare ]]; then
  echo "making a bare Debian 12 root from ${sources[*]}"
  mmdebstrap --quiet --variant=apt --format=tar bookworm "$bare.partial" "${sources[@]}"
  mv "$bare.partial" "$bare"
fi

root=$(mktemp -d /var/tmp/kav_morv_led-fresh.XXXXXX)
cleanup() {
  # Every mount under the root goes first, and only then its files.
  umount --recursive --lazy "$root" 2>/dev/null || true
  if findmnt --list --noheadings --output TARGET | grep -q "^$root"; then
    echo "check-fresh-machine: $root is still mounted; left in place" >&2
    return
  fi
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap "exit 130" INT TERM
tar -xf "$bare" -C "$root"

# The root is a mount point of its own, or the tests could make no private mount namespace in it.
mount --bind "$root" "$root"
for system in sys dev; do
  mount --rbind "/$system" "$root/$system"
  mount --make-rslave "$root/$system"
done
mount --bind "$cache/apt-archives" "$root/var/cache/apt/archives"
mkdir -p "$root/root/.cache/kav_morv_led"
mount --bind "$cache/built-sources" "$root/root/.cache/kav_morv_led"
# What a machine's installer or a container's runtime gives it: its name servers, and localhost.
cp /etc/resolv.conf "$root/etc/resolv.conf"
[[ -e $root/etc/hosts ]] || printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' > "$root/etc/hosts"

git clone --quiet --no-hardlinks "$top" "$root/root/kav_morv_led"
git -C "$root/root/kav_morv_led" checkout --quiet --detach "$commit"
echo "commit $(git -C "$top" log -1 --format='%h %s' "$commit")"

# Makes its first argument the root of the mount namespace it runs in and execs the rest there,
# with a /proc of its PID namespace: what a machine's own root is, where a chroot's is not (the
# tests make user namespaces, which a chrooted process may not). Perl, which mmdebstrap runs on,
# makes the system calls itself: the bare root has no umount.
pivot='require "syscall.ph"; my ($root, @command) = @ARGV;
  my ($here, $old, $gone, $proc, $at) = (".", ".machine", "/.machine", "proc", "/proc");
  chdir $root or die "$root: $!\n"; mkdir $old;
  syscall(&SYS_pivot_root, $here, $old) == 0 or die "pivot_root: $!\n"; chdir "/";
  syscall(&SYS_umount2, $gone, 2) == 0 or die "umount: $!\n"; rmdir $gone;
  syscall(&SYS_mount, $proc, $at, $proc, 0, 0) == 0 or die "/proc: $!\n";
  exec @command or die "$command[0]: $!\n";'

in_root() {  # runs a command line in the clone, as root, with a newcomer's environment
  # PID and mount namespaces of the command's own: whatever it leaves running ends with it.
  unshare --mount --propagation private --pid --fork -- perl -e "$pivot" "$root" \
    /usr/bin/env -i HOME=/root USER=root LOGNAME=root TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/bash -c "cd /root/kav_morv_led && $1"
}

failed=0
results=()
for command in "scripts/demo.sh red" "scripts/test.sh"; do
  [[ -z $only || $command == scripts/$only.sh* ]] || continue
  echo "=== $command"
  start=$SECONDS
  status=0
  in_root "$command" || status=$?
  if ((status == 0)); then verdict=passed; else verdict="FAILED (exit status $status)"; failed=1; fi
  results+=("$command: $verdict in $((SECONDS - start)) s")
  echo "${results[-1]}"
done
echo "=== on a bare Debian 12 root, commit ${commit:0:7}:"
printf '%s\n' "${results[@]}"
exit "$failed"
