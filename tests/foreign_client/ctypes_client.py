#!/usr/bin/env python3
"""A foreign client: Python's ctypes loads kav_rv5520_led.dll by path, beside the simulated LED's
stand-ins, which journal every driver call. Checks the library's lines on standard error, its
results, and the exact register traffic, including a second DeInit and SetLED after DeInit.

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

CLIENT = r"""
import ctypes, sys
led = ctypes.CDLL(sys.argv[1])
led.Init.restype = led.DeInit.restype = ctypes.c_uint8
led.SetLED.argtypes = [ctypes.c_uint8]
results = [led.Init()]
led.SetLED(1)      # red
led.SetLED(200)    # selects nothing
results.append(led.DeInit())
led.SetLED(2)      # after DeInit: must touch nothing
results.append(led.DeInit())
print(*results)
"""

EXPECTED_STDERR = [*INIT_LINES, UNLOADS_FAILED]

EXPECTED_JOURNAL = [
    "InitializeWinIo -> 1",
    "GetPhysLong FD6E0830 -> 1 44000201", "SetPhysLong FD6E0830 44000200 -> 1",
    "GetPhysLong FD6E0840 -> 1 44000203", "SetPhysLong FD6E0840 44000202 -> 1",
    "GetPhysLong FD6E0850 -> 1 84000A01", "SetPhysLong FD6E0850 84000A01 -> 1",
    "GetPhysLong FD6E0860 -> 1 40000301", "SetPhysLong FD6E0860 40000301 -> 1",
    "ShutdownWinIo -> 1",
]


def main():
    bin_folder = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="led_ctypes_") as root:
        stage = copy_bin(bin_folder, os.path.join(root, "bin"))
        journal = os.path.join(root, "journal.txt")
        env = clean_environment(LED_SIM_JOURNAL=journal)
        run = subprocess.run([sys.executable, "-c", CLIENT, os.path.join(stage, "kav_rv5520_led.dll")],
                             cwd=root, env=env, capture_output=True, text=True, timeout=60)
        traffic = open(journal).read().splitlines() if os.path.exists(journal) else []

    checks = [(what, got == expected, f"{got}, not {expected}") for what, got, expected in (
        ("results of Init, DeInit, DeInit", run.stdout.split(), ["1", "1", "0"]),
        ("standard error", run.stderr.splitlines(), EXPECTED_STDERR),
        ("driver calls", traffic, EXPECTED_JOURNAL),
    )]
    status = report(checks)
    if status:
        print(f"the client's standard error:\n{run.stderr}")
    return status


if __name__ == "__main__":
    sys.exit(main())
