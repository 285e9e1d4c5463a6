#!/usr/bin/env python3
"""Runs scripts/demo.sh as a newcomer would, through a symbolic link from another folder, and
checks what it passes to the tester, what it shows and its exit status.

    check_demo.py --script scripts/demo.sh --bin build/native/bin

The script is run in a scratch tree of its own whose build steps do nothing (a stub cmake and
dependency installer) and whose build/demo/bin is a copy of the given one, so this checks the
script itself, not a rebuild.
"""
import argparse
import os
import re
import shutil
import stat
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from staging import clean_environment, copy_bin  # noqa: E402
from status_lines import USAGE  # noqa: E402
from verdict import report  # noqa: E402

# (arguments, LED_SIM_FAULTS, exit status, colours shown in turn, whether the usage block is printed)
CASES = [
    ([], "", 0, ["red"], False),
    ([""], "", 0, ["off"], True),
    (["green"], "", 0, ["green"], False),
    (["red"], "init", 1, ["off"], False),
    (["blink", "purple"], "", 0, ["purple", "off"] * 3, False),
]


def stub(path):
    with open(path, "w") as script:
        script.write("#!/bin/sh\nexit 0\n")
    os.chmod(path, os.stat(path).st_mode | stat.S_IXUSR)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--script", required=True)
    parser.add_argument("--bin", required=True)
    options = parser.parse_args()

    checks = []
    with tempfile.TemporaryDirectory(prefix="led_demo_") as scratch:
        tree = os.path.join(scratch, "tree")
        os.makedirs(os.path.join(tree, "scripts"))
        shutil.copy2(options.script, os.path.join(tree, "scripts", "demo.sh"))
        os.chmod(os.path.join(tree, "scripts", "demo.sh"), 0o755)
        stub(os.path.join(tree, "scripts", "install-dependencies.sh"))
        copy_bin(options.bin, os.path.join(tree, "build", "demo", "bin"))
        tools = os.path.join(scratch, "tools")
        os.mkdir(tools)
        stub(os.path.join(tools, "cmake"))
        elsewhere = os.path.join(scratch, "elsewhere")
        os.mkdir(elsewhere)
        os.symlink(os.path.join(tree, "scripts", "demo.sh"), os.path.join(elsewhere, "demo"))

        for arguments, faults, status, colours, usage in CASES:
            settings = {"PATH": tools + os.pathsep + os.environ["PATH"],
                        "LED_SIM_STATE": os.path.join(scratch, "state.bin")}
            if faults:
                settings["LED_SIM_FAULTS"] = faults
            subprocess.run([os.path.join(tree, "build", "demo", "bin", "led_sim"), "reset"],
                           env=clean_environment(**settings), capture_output=True)
            run = subprocess.run(["./demo", *arguments], cwd=elsewhere, env=clean_environment(**settings),
                                 capture_output=True, text=True, timeout=60)
            seen = re.findall(r"^colour: (.+)$", run.stdout, re.M)
            shown = [colour for at, colour in enumerate(seen) if at == 0 or colour != seen[at - 1]]
            got = (run.returncode, shown, "\n".join(USAGE) in run.stdout)
            checks.append((f"demo {arguments!r} with faults {faults!r}", got == (status, colours, usage),
                           f"status, colour, usage {got}; {run.stderr.strip()!r}"))
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
