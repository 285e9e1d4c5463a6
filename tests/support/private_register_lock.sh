#!/bin/sh
# Runs a command with a register lock of its own: in a mount namespace of its own, a file of its own
# is bound over the lock's path, /tmp/kav_morv_led_registers.lock. A test that holds the lock, or
# sets the LED many times, then neither waits for another test of this run or another checkout's,
# nor makes them wait; nothing else of the machine's is hidden (a checkout under /tmp included).
# With --file, every command run with the same FILE shares its lock, and only theirs.
# Where the system allows no mount namespace (no CAP_SYS_ADMIN), it runs with the machine's lock.
#   private_register_lock.sh [--file FILE] COMMAND [ARGUMENT...]
lock=/tmp/kav_morv_led_registers.lock
own=
if [ "$1" = --file ]; then
    own=$2
    shift 2
fi
# The bind needs a file at the lock's path: one made as the library makes it, readable by all.
[ -e "$lock" ] || (umask 022 && : >>"$lock") 2>/dev/null
if [ -f "$lock" ] && [ ! -L "$lock" ] && unshare --mount --propagation private true 2>/dev/null; then
    bind='mount --bind "$1" "$2" && shift 2 && exec "$@"'
    if [ -n "$own" ]; then
        : >>"$own" && chmod 644 "$own"
        exec unshare --mount --propagation private sh -c "$bind" private_register_lock "$own" "$lock" "$@"
    fi
    # A file of its own, kept while the command runs (a command may bind its own over it), then removed.
    own=$(mktemp /tmp/kav_morv_led_test_lock.XXXXXX) && chmod 644 "$own"
    unshare --mount --propagation private sh -c "$bind" private_register_lock "$own" "$lock" "$@"
    status=$?
    rm -f "$own"
    exit $status
fi
echo "private_register_lock.sh: no mount namespace here; the test shares the machine's register lock" >&2
exec "$@"
