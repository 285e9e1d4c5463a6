#!/bin/sh
# Runs a command with a register lock of its own: in a mount namespace of its own, a file of its own
# is bound over the lock's path, /tmp/kav_morv_led_registers.lock. A test that holds the lock, or
# sets the LED many times, then neither waits for another test of this run or another checkout's,
# nor makes them wait; nothing else of the machine's is hidden (a checkout under /tmp included).
# With --file, every command run with the same FILE shares its lock, and only theirs.
# An ordinary user, who may not make a mount namespace, makes one inside a user namespace of their
# own, and the command then runs as that user again. Where neither can be made, commands without
# --file take turns with each other on the machine's lock; with --file, a command shares the
# machine's lock, and its caller runs such commands one group at a time (--possible tells it).
#   private_register_lock.sh [--file FILE] COMMAND [ARGUMENT...]
#   private_register_lock.sh --possible      exit status 0 if a lock of one's own can be had
lock=/tmp/kav_morv_led_registers.lock
# (KAV_MORV_LED_TEST_TURNS: another file to take turns on, for this script's own test.)
turns=${KAV_MORV_LED_TEST_TURNS:-/tmp/kav_morv_led_registers.turns}
own=
case $1 in
    --possible) possible=yes; shift ;;
    --file) own=$2; shift 2 ;;
esac

# The bind needs a file at the lock's path: one made as the library makes it, readable by all.
[ -e "$lock" ] || (umask 022 && : >>"$lock") 2>/dev/null
namespace=
if [ -f "$lock" ] && [ ! -L "$lock" ]; then
    if unshare --mount --propagation private true 2>/dev/null; then
        namespace="unshare --mount --propagation private"
    elif unshare --user --map-root-user --mount --propagation private true 2>/dev/null \
        && unshare --user --map-root-user sh -c "unshare --user --map-user=$(id -u) --map-group=$(id -g) true" 2>/dev/null; then
        namespace="unshare --user --map-root-user --mount --propagation private"
        # Back to the caller's own user and group once the lock is bound.
        as_caller="unshare --user --map-user=$(id -u) --map-group=$(id -g)"
    fi
fi
if [ -n "${possible-}" ]; then
    [ -n "$namespace" ]
    exit
fi

if [ -z "$namespace" ]; then
    if [ -n "$own" ]; then
        exec "$@"
    fi
    echo "private_register_lock.sh: no mount namespace here; the test takes its turn with the machine's register lock" >&2
    exec flock "$turns" "$@"
fi

bind='mount --bind "$1" "$2" && shift 2 && exec ${AS_CALLER} "$@"'
if [ -n "$own" ]; then
    : >>"$own" && chmod 644 "$own"
    AS_CALLER=${as_caller-} exec $namespace sh -c "$bind" private_register_lock "$own" "$lock" "$@"
fi
# A file of its own, kept while the command runs (a command may bind its own over it), then removed.
own=$(mktemp /tmp/kav_morv_led_test_lock.XXXXXX) && chmod 644 "$own"
AS_CALLER=${as_caller-} $namespace sh -c "$bind" private_register_lock "$own" "$lock" "$@"
status=$?
rm -f "$own"
exit $status
