#!/usr/bin/env python3
"""Configures the project on a machine whose tools are missing (CMake told to look in none of the
system's program folders) and checks what a newcomer reads: a plain configure leaves each part out
in one line naming the Debian package that brings its tool, and goes on; with
KAV_MORV_LED_ALL_PARTS, as the test presets have it, configure fails saying the same.

    check_configure_parts.py --source REPOSITORY --cmake CMAKE --cxx COMPILER
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from verdict import report  # noqa: E402

# The parts whose tools a bare machine lacks, as configure names them.
LEFT_OUT = [
    "-- Left out: the same bytes from every build of a commit's zip and client packages "
    "(it needs the Debian package strip-nondeterminism)",
    "-- Left out: the man pages (it needs the Debian package help2man)",
    "-- Left out: the .NET package (it needs the Debian package mono-xbuild)",
    "-- Left out: the .NET package (it needs the Debian package nuget)",
]


def configure(options, folder, *settings):
    return subprocess.run(
        [options.cmake, "-S", options.source, "-B", folder, f"-DCMAKE_CXX_COMPILER={options.cxx}",
         f"-DCMAKE_MAKE_PROGRAM={shutil.which('make')}",
         "-DCMAKE_IGNORE_PATH=/usr/bin;/usr/sbin;/bin;/sbin;/usr/local/bin", "-DKAV_MORV_LED_BUILD_TESTS=OFF",
         "-DKAV_MORV_LED_BUILD_BENCHMARKS=OFF", "-DKAV_MORV_LED_BUILD_MQTT_BRIDGE=OFF", *settings],
        capture_output=True, text=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", required=True)
    parser.add_argument("--cxx", required=True)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="led_parts_") as scratch:
        plain = configure(options, os.path.join(scratch, "plain"))
        strict = configure(options, os.path.join(scratch, "strict"), "-DKAV_MORV_LED_ALL_PARTS=ON")
    lines = plain.stdout.splitlines()
    checks = [("a plain configure goes on without the parts", plain.returncode == 0, plain.stderr[-2000:])]
    checks += [(f"it says, once: {line}", lines.count(line) == 1, lines.count(line)) for line in LEFT_OUT]
    checks.append(("with every part asked for, configure fails naming the package",
                   strict.returncode != 0 and "cannot be built: it needs the Debian package strip-nondeterminism"
                   in " ".join(strict.stderr.split()), strict.stderr[-2000:]))
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
