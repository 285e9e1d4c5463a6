"""Planting one fault in a file, and taking it out again whatever happens meanwhile."""

import contextlib
import signal

# What a user or the system sends to stop the runner: held back while a file is being written, so
# that it is never left half planted or half restored.
_STOPPING_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}


class Stale(Exception):
    """The text a fault replaces is not in its file exactly once."""


@contextlib.contextmanager
def _stopping_signals_held():
    held = signal.pthread_sigmask(signal.SIG_BLOCK, _STOPPING_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, held)


def why_stale(fault, original):
    """Why the fault cannot be planted in its file of these bytes (None: the file is not there), or
    None when it can."""
    if original is None:
        return f"{fault.file} is not there"
    occurrences = original.count(fault.find.encode())
    return None if occurrences == 1 else f"its text is in {fault.file} {occurrences} times, not once"


@contextlib.contextmanager
def planted(root, fault):
    """Replaces the fault's text in its file under `root` for the `with` block, then puts the file's
    bytes back as they were, also when the block ends by an exception or a signal."""
    path = root / fault.file
    original = path.read_bytes() if path.is_file() else None
    why = why_stale(fault, original)
    if why:
        raise Stale(why)
    try:
        with _stopping_signals_held():
            path.write_bytes(original.replace(fault.find.encode(), fault.replace.encode(), 1))
        yield
    finally:
        with _stopping_signals_held():
            path.write_bytes(original)
