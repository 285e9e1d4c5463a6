"""An indication's expiry, kept ahead of it while its holder lives, so that what the holder cannot
clear (it was killed, the service could not be reached) ends on its own."""
import threading
import time
from typing import Callable, Optional


class Lease:
    """Each set lasts `lease_ms`, or what is left of `for_ms` when that is less; keep() sets it
    again every third of a lease until stop(), or until a set reaches the end of `for_ms`."""

    def __init__(self, lease_ms: int, for_ms: Optional[int]):
        self.lease_ms = lease_ms
        self.first_ms = lease_ms if for_ms is None else min(lease_ms, for_ms)
        self._end = None if for_ms is None else time.monotonic() + for_ms / 1000
        self._renews = for_ms is None or for_ms > lease_ms
        self._stopping = threading.Event()
        self._keeper: Optional[threading.Thread] = None

    def keep(self, set_for: Callable[[int], None]) -> None:
        """Calls set_for(ms) on a thread of its own, each third of a lease, while more is to come."""
        if self._renews:
            self._keeper = threading.Thread(target=self._renew, args=(set_for,), name="kav_morv_led lease",
                                            daemon=True)
            self._keeper.start()

    def stop(self) -> None:
        """Returns once no set is under way or to come: what the caller sends next comes after them."""
        self._stopping.set()
        if self._keeper is not None:
            self._keeper.join()

    def _renew(self, set_for: Callable[[int], None]) -> None:
        while not self._stopping.wait(self.lease_ms / 3000):
            if self._end is None:
                set_for(self.lease_ms)
                continue
            left_ms = round((self._end - time.monotonic()) * 1000)
            if left_ms > 0:
                set_for(min(self.lease_ms, left_ms))
            if left_ms <= self.lease_ms:
                return
