"""Sets the LED to green from Python through ctypes.

    python set_led.py PATH_TO_LIBRARY   (kav_morv_led_dll_64.dll, or kav_morv_led_dll_64.so)

The library writes every step and every failure on standard error itself.
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

if not led.Init():
    led.DeInit()  # a failed Init still loaded what it could
    sys.exit("The LED could not be started.")
led.SetLED(LED_COLOR_GREEN)
if led.DeInit() != 1:
    sys.exit("The LED library could not unload its driver libraries.")
