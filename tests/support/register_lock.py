"""A register lock of their own for the programs of one case, natively (private_register_lock.sh)."""
import os
import subprocess

_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "private_register_lock.sh")


def sharing_lock_file(lock_file):
    """The command prefix under which programs share the register lock held in `lock_file`, and no other's."""
    return ["sh", _SCRIPT, "--file", lock_file]


def private_locks_possible():
    """Whether this system lets a test make the namespaces private locks need (else the script
    runs programs with the machine's lock, and their callers must run them one group at a time)."""
    return subprocess.run(["sh", _SCRIPT, "--possible"], stderr=subprocess.DEVNULL).returncode == 0
