"""Sets the LED to green from Python through ctypes.

    python set_led.py PATH_TO_LIBRARY   (kav_morv_led_dll_64.dll, or kav_morv_led_dll_64.so)

The library writes every step and every failure on standard error itself; GetLEDError gives the
reason as one sentence, which this script passes on.
"""
import ctypes
import sys

LED_COLOR_GREEN = 2

if len(sys.argv) != 2:
    sys.exit(__doc__)
led = ctypes.CDLL(sys.argv[1])
led.Init.restype = ctypes.c_uint8
led.DeInit.restype = ctypes.c_uint8
led.SetLED.argtypes = [ctypes.c_uint8]
led.SetLED.restype = None
led.GetLEDError.restype = ctypes.c_char_p
led.GetLED.restype = ctypes.c_uint8


def reason():
    """The library's reason for the last failure; read it before the next Init or DeInit."""
    return led.GetLEDError().decode("utf-8", "replace")


if not led.Init():
    why = reason()
    led.DeInit()  # a failed Init still loaded what it could
    sys.exit(f"The LED could not be started: {why}")
led.SetLED(LED_COLOR_GREEN)
shown = led.GetLED()  # what the lines read back: 0 to 7, or 255 for none of the eight
led_ok = led.DeInit() == 1
if shown != LED_COLOR_GREEN:
    sys.exit(f"The LED reads back as {shown}, not green: another program wrote it.")
if not led_ok:
    sys.exit(f"The LED library could not unload its driver libraries: {reason()}")
