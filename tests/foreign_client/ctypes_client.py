#!/usr/bin/env python3
"""A foreign client: Python's ctypes loads the library by path, beside the simulated LED's
stand-ins, which journal every driver call.

- One client checks the library's lines on standard error, its results, GetLEDError, and the exact
  register traffic, including a second DeInit and SetLED after DeInit.
- Another loads the library under both its names, cycles Init and DeInit through one while the
  other sets the LED from another thread: the process must not crash, and the LED must end in a
  whole colour.

    ctypes_client.py BIN_FOLDER
"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from staging import clean_environment, copy_bin  # noqa: E402
from status_lines import INIT_LINES, UNLOADS_FAILED  # noqa: E402
from verdict import report  # noqa: E402

BINDINGS = r"""
import ctypes, sys
def load(path):
    led = ctypes.CDLL(path)
    led.Init.restype = led.DeInit.restype = ctypes.c_uint8
    led.SetLED.argtypes = [ctypes.c_uint8]
    led.GetLEDError.restype = ctypes.c_char_p
    return led
"""

CLIENT = BINDINGS + r"""
led = load(sys.argv[1])
results = [led.Init()]
led.SetLED(1)      # red
led.SetLED(200)    # selects nothing
results.append(led.DeInit())
results.append(led.GetLEDError().decode())
led.SetLED(2)      # after DeInit: must touch nothing
results.append(led.DeInit())
results.append(led.GetLEDError().decode())
print(*results, sep="\n")
"""

TWO_NAMES = BINDINGS + r"""
import threading
cycling, setting = load(sys.argv[1]), load(sys.argv[2])
setting.Init()
done = threading.Event()
def set_colours():
    while not done.is_set():
        for code in range(8):
            setting.SetLED(code)
    setting.SetLED(3)  # blue, if hardware access is still on
thread = threading.Thread(target=set_colours)
thread.start()
for _ in range(3):
    cycling.Init()
    cycling.DeInit()
done.set()
thread.join()
setting.DeInit()
"""

EXPECTED_STDERR = [*INIT_LINES, UNLOADS_FAILED]
EXPECTED_RESULTS = ["1", "1", "", "0",
                    "WinIo64.dll could not be unloaded: it is not loaded, so there is no load of it for this DeInit "
                    "to undo."]

EXPECTED_JOURNAL = [
    "InitializeWinIo -> 1",
    "GetPhysLong FD6E0830 -> 1 44000201", "SetPhysLong FD6E0830 44000200 -> 1",
    "GetPhysLong FD6E0840 -> 1 44000203", "SetPhysLong FD6E0840 44000202 -> 1",
    "GetPhysLong FD6E0850 -> 1 84000A01", "SetPhysLong FD6E0850 84000A01 -> 1",
    "GetPhysLong FD6E0860 -> 1 40000301", "SetPhysLong FD6E0860 40000301 -> 1",
    "ShutdownWinIo",
]

# What a whole colour leaves in the lines' bit 0 (0 enable, 1 red, 2 blue, 3 green); the viewer's
# names, as the end-to-end table has them.
WHOLE_COLOURS = {"off", "red", "green", "blue", "white", "cyan", "yellow", "purple"}


def run_python(script, *args, cwd, env):
    return subprocess.run([sys.executable, "-c", script, *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=120)


def main():
    bin_folder = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="led_ctypes_") as root:
        stage = copy_bin(bin_folder, os.path.join(root, "bin"))
        journal = os.path.join(root, "journal.txt")
        run = run_python(CLIENT, os.path.join(stage, "kav_rv5520_led.dll"), cwd=root,
                         env=clean_environment(LED_SIM_JOURNAL=journal))
        # Each line starts with its time, which this check has no use for.
        traffic = [line.split(" ", 1)[1] for line in open(journal).read().splitlines()] if os.path.exists(journal) else []

        two_names = run_python(TWO_NAMES, os.path.join(stage, "kav_rv5520_led.dll"),
                               os.path.join(stage, "kav_morv_led_dll_64.so"), cwd=root, env=clean_environment())
        shown = subprocess.run([os.path.join(stage, "led_sim"), "show"], capture_output=True, text=True,
                               env=clean_environment()).stdout.splitlines()
    colour = shown[0].removeprefix("colour: ") if shown else "unreadable"

    checks = [(what, got == expected, f"{got}, not {expected}") for what, got, expected in (
        ("results of Init, DeInit, GetLEDError, DeInit, GetLEDError", run.stdout.splitlines(), EXPECTED_RESULTS),
        ("standard error", run.stderr.splitlines(), EXPECTED_STDERR),
        ("driver calls", traffic, EXPECTED_JOURNAL),
        ("both names in one process, one cycling Init and DeInit: exit status", two_names.returncode, 0),
    )]
    checks.append(("both names in one process: the LED shows a whole colour", colour in WHOLE_COLOURS, colour))
    status = report(checks)
    if status:
        print(f"the clients' standard error:\n{run.stderr}\n{two_names.stderr}")
    return status


if __name__ == "__main__":
    sys.exit(main())
