#!/usr/bin/env python3
"""Checks tests/support/private_register_lock.sh as the tests use it: a command run under it sees a
register lock file of its own at the machine lock's path, runs as the user who ran it (root, or an
ordinary user through a user namespace), shares the lock of --file with the others given that
file, and, on a system that makes no namespace, takes its turn on the machine's lock.

    check_private_lock.py
"""
import os
import pwd
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from register_lock import _SCRIPT  # noqa: E402
from verdict import report  # noqa: E402
from waiting import wait_until  # noqa: E402

LOCK = "/tmp/kav_morv_led_registers.lock"
# What the command under the script reports: the lock file it sees, and who it runs as.
SEEN = f"stat -c %i {LOCK}; id -u"


def run(prefix, script, *options, env=None):
    result = subprocess.run(prefix + ["sh", script, *options, "sh", "-c", SEEN], capture_output=True, text=True,
                            env=env, timeout=60)
    inode, uid = (result.stdout.split() + ["?", "?"])[:2]
    return inode, uid, result.stderr.strip()


def main():
    checks = []
    callers = [("this user", [], str(os.getuid()))]
    if os.getuid() == 0:
        nobody = pwd.getpwnam("nobody")
        callers.append(("an ordinary user", ["setpriv", f"--reuid={nobody.pw_uid}", f"--regid={nobody.pw_gid}",
                                             "--clear-groups"], str(nobody.pw_uid)))
    with tempfile.TemporaryDirectory(prefix="led_private_lock_") as scratch:
        os.chmod(scratch, 0o777)
        # A copy another user may read, wherever the checkout is (/root is not).
        script = shutil.copy(_SCRIPT, scratch)
        for who, prefix, uid in callers:
            machine = str(os.stat(LOCK).st_ino)
            own = run(prefix, script)
            checks.append((f"as {who}: a lock of its own, run as that user",
                           own[0] != machine and own[1] == uid and not own[2], own))
            shared = os.path.join(scratch, f"shared_by_{uid}.lock")
            first, second = run(prefix, script, "--file", shared), run(prefix, script, "--file", shared)
            checks.append((f"as {who}: commands given one --file share its lock, and only theirs",
                           first == second and os.path.exists(shared) and first[0] == str(os.stat(shared).st_ino)
                           and first[1] == uid,
                           (first, second)))

        # A system that makes no namespace: an unshare that always fails stands first on PATH.
        tools = os.path.join(scratch, "tools")
        os.mkdir(tools)
        shutil.copy("/bin/false", os.path.join(tools, "unshare"))
        # Turns of its own: those of the machine may be taken for minutes by the tests beside it.
        turns = os.path.join(scratch, "turns")
        without = dict(os.environ, PATH=tools + os.pathsep + os.environ["PATH"], KAV_MORV_LED_TEST_TURNS=turns)
        checks.append(("no namespace possible: --possible says so", subprocess.run(
            ["sh", script, "--possible"], env=without).returncode != 0, "exit status 0"))
        inside, release = os.path.join(scratch, "inside"), os.path.join(scratch, "release")
        holder = subprocess.Popen(["sh", script, "sh", "-c", f": > {inside}; while [ ! -e {release} ]; do sleep 0.05; done"],
                                  env=without, stderr=subprocess.PIPE, text=True)
        taken = wait_until(lambda: os.path.exists(inside), 30) and \
            subprocess.run(["flock", "--nonblock", turns, "true"]).returncode != 0
        open(release, "w").close()
        _, said = holder.communicate(timeout=60)
        checks.append(("no namespace possible: a command takes its turn on the machine's lock, saying so",
                       taken and "takes its turn" in said and holder.returncode == 0, (taken, said)))
        machine = str(os.stat(LOCK).st_ino)
        checks.append(("no namespace possible: --file shares the machine's lock",
                       run([], script, "--file", os.path.join(scratch, "any.lock"), env=without)[0] == machine,
                       machine))
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
