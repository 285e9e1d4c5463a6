"""Running the build's commands so that Ctrl-C, SIGTERM or SIGHUP ends them, and the runner with them.

Each command runs in a process group of its own. A stop signal sends it SIGINT, as Ctrl-C in a
terminal would, so that tests end what they started; a group still there after a grace period is
killed. The runner then stops at the next `run` or `check`, by raising Interrupted, never in the
middle of what it was doing, so a planted file is always put back.
"""

import os
import signal
import subprocess
import time

_STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
_GRACE_SECONDS = 20

_stop_asked = None
_running = None


class Interrupted(Exception):
    pass


class CommandFailed(Exception):
    pass


def _on_stop_signal(number, _frame):
    global _stop_asked
    if _stop_asked is None:
        _stop_asked = (number, time.monotonic())
    if _running is not None:
        _signal_group(_running.pid, signal.SIGINT)


def _signal_group(group, number):
    try:
        os.killpg(group, number)
    except ProcessLookupError:
        pass


def _group_alive(group):
    try:
        os.killpg(group, 0)
        return True
    except ProcessLookupError:
        return False


def handle_stop_signals():
    for number in _STOP_SIGNALS:
        signal.signal(number, _on_stop_signal)


def check():
    if _stop_asked is not None:
        raise Interrupted(f"stopped by {signal.Signals(_stop_asked[0]).name}")


def run(command, cwd, log_path):
    """Runs the command with its output appended to the log; returns its exit status."""
    global _running
    check()
    with open(log_path, "ab") as log:
        log.write(f"$ {' '.join(str(word) for word in command)}\n".encode())
        log.flush()
        _running = subprocess.Popen(command, cwd=cwd, stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                    start_new_session=True)
    if _stop_asked is not None:  # asked between the check and the start
        _signal_group(_running.pid, signal.SIGINT)
    try:
        while True:
            try:
                status = _running.wait(timeout=1)
                break
            except subprocess.TimeoutExpired:
                if _stop_asked is not None and time.monotonic() - _stop_asked[1] > _GRACE_SECONDS:
                    _signal_group(_running.pid, signal.SIGKILL)
        # What the command started may outlive it: give it the same grace, then end it.
        if _stop_asked is not None:
            deadline = _stop_asked[1] + _GRACE_SECONDS
            while _group_alive(_running.pid) and time.monotonic() < deadline:
                time.sleep(0.1)
            _signal_group(_running.pid, signal.SIGKILL)
    finally:
        _running = None
    check()
    return status


def output_of(command, cwd, binary=False):
    """The standard output of a short command that must succeed (git, ctest's listing): text, or
    bytes as they came."""
    check()
    done = subprocess.run(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        said = done.stderr.decode(errors="replace").strip()
        raise CommandFailed(f"{' '.join(command)} failed: {said or f'status {done.returncode}'}")
    return done.stdout if binary else done.stdout.decode()
