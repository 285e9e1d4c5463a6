"""Sets the PC's built-in LED through the LED service, from Python:

    from kav_morv_led import Led
    led = Led()
    led.set("red")
    with led.indication("red", name="build", priority=200):
        run_the_build()
"""
from .client import (COLORS, DEFAULT_LEASE_MS, Event, Indication, Led, LedError, ProtocolError, ServiceRefused,
                     ServiceUnavailable, Status, Step, Watch)

__all__ = ["COLORS", "DEFAULT_LEASE_MS", "Event", "Indication", "Led", "LedError", "ProtocolError", "ServiceRefused",
           "ServiceUnavailable", "Status", "Step", "Watch"]
