#!/bin/sh
# Runs a command with a /tmp of its own, empty, for it and every process it starts: the LED
# register lock the library takes is a file there, so a test that holds it, or sets the LED many
# times, neither waits for another test of this run or another checkout's, nor makes them wait.
# Where the system allows no mount namespace (no CAP_SYS_ADMIN), it runs with the machine's /tmp.
#   private_tmp.sh COMMAND [ARGUMENT...]
if unshare --mount --propagation private true 2>/dev/null; then
    exec unshare --mount --propagation private sh -c 'mount -t tmpfs -o mode=1777 private_tmp /tmp && exec "$@"' \
        private_tmp "$@"
fi
echo "private_tmp.sh: no mount namespace here; the test shares the machine's /tmp" >&2
exec "$@"
