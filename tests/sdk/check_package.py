#!/usr/bin/env python3
"""Builds the release zip with cpack into a folder and checks it: exactly the files that ship (the
deliverables, the header, the import libraries and CMake package, the examples, the service's
clients and the user guide, and none of the simulated LED's stand-ins), and a checksum file that
`sha256sum -c` accepts."""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from verdict import report  # noqa: E402

SHIPPED = {
    "README.txt", "LICENSE.txt", "CHANGELOG.txt", "protocol.md",
    "bin/kav_morv_led_dll_64.dll", "bin/kav_rv5520_led.dll", "bin/KAV_MORV_LED_ConsoleTester.exe",
    "bin/kav_morv_led_service.exe", "bin/kav_morv_ledctl.exe",
    "include/kav_morv_led.h",
    "lib/kav_morv_led_dll_64.lib", "lib/libkav_morv_led_dll_64.dll.a", "lib/kav_morv_led_dll_64.def",
    "lib/cmake/kav_morv_led/kav_morv_led-config.cmake", "lib/cmake/kav_morv_led/kav_morv_led-config-version.cmake",
    "examples/CMakeLists.txt", "examples/link_import_library.c", "examples/load_at_run_time.c",
    "examples/SetLed.cs", "examples/set_led.py",
    "clients/python/pyproject.toml", "clients/python/kav_morv_led/__init__.py", "clients/python/kav_morv_led/client.py",
    "clients/python/kav_morv_led/_transport.py", "clients/python/kav_morv_led/mqtt.py",
    "clients/python/kav_morv_led/py.typed", "clients/dotnet/KavMorvLed.cs", "clients/dotnet/Sample.cs",
}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True, help="the build's CPackConfig.cmake")
    parser.add_argument("--name", required=True, help="expected zip file name")
    parser.add_argument("--into", required=True, help="the folder that receives the zip (emptied first)")
    options = parser.parse_args()

    shutil.rmtree(options.into, ignore_errors=True)
    subprocess.run([options.cpack, "--config", options.config, "-B", options.into], check=True,
                   stdout=subprocess.DEVNULL)
    package = os.path.join(options.into, options.name)
    with zipfile.ZipFile(package) as archive:
        contents = {name for name in archive.namelist() if not name.endswith("/")}
    with open(package, "rb") as zipped:
        expected_sum = f"{hashlib.sha256(zipped.read()).hexdigest()}  {options.name}\n"
    with open(package + ".sha256") as sums:
        written_sum = sums.read()

    checks = [
        (f"{options.name} holds exactly what ships", contents == SHIPPED,
         f"missing {sorted(SHIPPED - contents)}, unexpected {sorted(contents - SHIPPED)}"),
        (f"{options.name}.sha256 is what sha256sum -c reads", written_sum == expected_sum, repr(written_sum)),
    ]
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
