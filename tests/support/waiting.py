"""Waiting for a condition rather than for a time: a test asks until it holds or a generous
deadline passes, so a busy machine makes it slower, never wrong."""
import time


def wait_until(condition, deadline_s, every_s=0.02):
    """Whether `condition()` held within `deadline_s` seconds; asked at once, then every `every_s`."""
    deadline = time.monotonic() + deadline_s
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(every_s)
    return True
