#!/usr/bin/env python3
"""Builds the release zip with cpack into a scratch folder and checks that it holds exactly what
ships: the two deliverables (the library under both names), the header, README and INSTALL, and
none of the simulated LED's stand-ins."""
import argparse
import subprocess
import sys
import tempfile
import zipfile

SHIPPED = {"kav_morv_led_dll_64.dll", "kav_rv5520_led.dll", "KAV_MORV_LED_ConsoleTester.exe", "kav_morv_led.h",
           "README.md", "INSTALL.txt"}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True, help="the build's CPackConfig.cmake")
    parser.add_argument("--name", required=True, help="expected zip file name")
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="led_package_") as scratch:
        subprocess.run([options.cpack, "--config", options.config, "-B", scratch], check=True,
                       stdout=subprocess.DEVNULL)
        with zipfile.ZipFile(f"{scratch}/{options.name}") as archive:
            contents = set(archive.namelist())
    if contents != SHIPPED:
        print(f"FAIL contents: missing {sorted(SHIPPED - contents)}, unexpected {sorted(contents - SHIPPED)}")
        print("0 passed, 1 failed")
        return 1
    print(f"ok   {options.name} holds {sorted(contents)}")
    print("1 passed, 0 failed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
