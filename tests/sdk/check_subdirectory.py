#!/usr/bin/env python3
"""Builds a small project that adds this repository with add_subdirectory() and links
kav_morv_led::kav_morv_led, as the SDK's guide says a project may, and checks that the repository
builds only the library and the tester there, and leaves the parent's install and packaging alone.

    check_subdirectory.py --source REPOSITORY --cmake CMAKE
"""
import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from verdict import report  # noqa: E402

PARENT = """cmake_minimum_required(VERSION 3.25)
project(parent LANGUAGES C CXX)
add_subdirectory({source} kav_morv_led)
add_executable(sets_the_led sets_the_led.c)
target_link_libraries(sets_the_led PRIVATE kav_morv_led::kav_morv_led)
install(TARGETS sets_the_led)
"""
PROGRAM = """#include <kav_morv_led.h>
int main(void) {
    if (!Init()) return 1;
    SetLED(0);
    return DeInit() ? 0 : 1;
}
"""


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--source", required=True)
    parser.add_argument("--cmake", required=True)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="led_parent_") as scratch:
        source, build, prefix = (os.path.join(scratch, name) for name in ("source", "build", "prefix"))
        os.mkdir(source)
        with open(os.path.join(source, "CMakeLists.txt"), "w") as lists:
            lists.write(PARENT.format(source=options.source))
        with open(os.path.join(source, "sets_the_led.c"), "w") as program:
            program.write(PROGRAM)
        steps = [[options.cmake, "-S", source, "-B", build, "-DCMAKE_BUILD_TYPE=Release"],
                 [options.cmake, "--build", build, "-j2"],
                 [options.cmake, "--install", build, "--prefix", prefix]]
        for step in steps:
            run = subprocess.run(step, capture_output=True, text=True)
            if run.returncode != 0:
                return report([(" ".join(step[:2]) + " of the parent project", False, run.stdout + run.stderr)])
        installed = sorted(os.path.relpath(os.path.join(folder, name), prefix)
                           for folder, _, names in os.walk(prefix) for name in names)
        built = os.path.join(build, "kav_morv_led", "bin")
        checks = [
            ("the parent's program links kav_morv_led::kav_morv_led",
             os.path.isfile(os.path.join(build, "sets_the_led")), os.listdir(build)),
            ("only the library and the tester are built", sorted(os.listdir(built)) ==
             ["KAV_MORV_LED_ConsoleTester", "kav_morv_led_dll_64.so", "kav_rv5520_led.dll"], os.listdir(built)),
            ("the parent's install holds only its own program", installed == [os.path.join("bin", "sets_the_led")],
             installed),
            ("no package configuration of ours in the parent's build",
             not os.path.exists(os.path.join(build, "CPackConfig.cmake")), "CPackConfig.cmake"),
        ]
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
