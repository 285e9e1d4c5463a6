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

def shipped(version):
    return {
        "README.txt", "LICENSE.txt", "CHANGELOG.txt", "protocol.md",
        "bin/kav_morv_led_dll_64.dll", "bin/kav_rv5520_led.dll", "bin/KAV_MORV_LED_ConsoleTester.exe",
        "bin/kav_morv_led_service.exe", "bin/kav_morv_ledctl.exe", "bin/kav_morv_led_mqtt.exe",
        "bin/kav_morv_led_triggers.exe", "triggers.md", "triggers.example.toml",
        "include/kav_morv_led.h",
        "lib/kav_morv_led_dll_64.lib", "lib/libkav_morv_led_dll_64.dll.a", "lib/kav_morv_led_dll_64.def",
        "lib/cmake/kav_morv_led/kav_morv_led-config.cmake", "lib/cmake/kav_morv_led/kav_morv_led-config-version.cmake",
        "examples/CMakeLists.txt", "examples/link_import_library.c", "examples/load_at_run_time.c",
        "examples/SetLed.cs", "examples/set_led.py",
        f"clients/dotnet/KavMorvLed.{version}.nupkg", "clients/dotnet/Sample.cs",
        f"clients/python/kav_morv_led-{version}-py3-none-any.whl", f"clients/python/kav_morv_led-{version}.tar.gz",
    }


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cpack", required=True)
    parser.add_argument("--config", required=True, help="the build's CPackConfig.cmake")
    parser.add_argument("--name", required=True, help="expected zip file name")
    parser.add_argument("--into", required=True, help="the folder that receives the zip (emptied first)")
    parser.add_argument("--version", required=True, help="the product's version")
    parser.add_argument("--msi", help="the MSI, whose files must be the zip's")
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

    expected = shipped(options.version)
    checks = [
        (f"{options.name} holds exactly what ships", contents == expected,
         f"missing {sorted(expected - contents)}, unexpected {sorted(contents - expected)}"),
        (f"{options.name}.sha256 is what sha256sum -c reads", written_sum == expected_sum, repr(written_sum)),
    ]
    if options.msi and not os.path.isfile(options.msi):
        checks.append(("the MSI is there to compare with the zip", False, f"no file {options.msi}"))
    elif options.msi:
        installed = msi_files(options.msi)
        checks.append(("the MSI installs the zip's files", installed == {os.path.basename(name) for name in expected},
                       f"missing {sorted({os.path.basename(name) for name in expected} - installed)}, "
                       f"unexpected {sorted(installed - {os.path.basename(name) for name in expected})}"))
    return report(checks)


def msi_files(msi):
    """The names of the files the MSI installs, from its File table."""
    table = subprocess.run(["msiinfo", "export", msi, "File"], capture_output=True, text=True, check=True).stdout
    return {row.split("\t")[2].split("|")[-1] for row in table.splitlines()[3:] if row}


if __name__ == "__main__":
    sys.exit(main())
