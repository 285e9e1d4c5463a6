#!/usr/bin/env python3
"""Checks the installed man pages: each program's page is where man looks for it, and names every
option that the program's --help, or one of its subcommands' --help, names.

    check_man_pages.py --sdk PREFIX --bin BIN PROGRAM:SECTION...
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from verdict import report  # noqa: E402

OPTION = re.compile(r"(?<![\w-])--[a-z][a-z0-9-]*")


def options_of(program):
    """Every option the program's --help names, and its subcommands' --help."""
    help_text = subprocess.run([program, "--help"], capture_output=True, text=True, check=True).stdout
    options = set(OPTION.findall(help_text))
    if "\nSubcommands:\n" in help_text:
        block = help_text.split("\nSubcommands:\n", 1)[1]
        for subcommand in re.findall(r"^  ([a-z][a-z-]*)", block, re.M):
            sub_help = subprocess.run([program, subcommand, "--help"], capture_output=True, text=True,
                                      check=True).stdout
            options |= set(OPTION.findall(sub_help))
    return options


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sdk", required=True, help="the prefix the build was installed into")
    parser.add_argument("--bin", required=True, help="the build's bin folder")
    parser.add_argument("pages", nargs="+", help="PROGRAM:SECTION")
    options = parser.parse_args()

    checks = []
    for page in options.pages:
        program, section = page.split(":")
        path = os.path.join(options.sdk, "share", "man", f"man{section}", f"{program}.{section}")
        if not os.path.isfile(path):
            checks.append((f"{program}({section}) is installed", False, f"no file {path}"))
            continue
        with open(path, encoding="utf-8") as man:
            # Without roff's escapes: \- for a hyphen, \e for a backslash, \fB and the like for fonts.
            text = re.sub(r"\\f[BIRP]", "", man.read()).replace("\\-", "-").replace("\\e", "\\")
        named = options_of(os.path.join(options.bin, program))
        missing = sorted(option for option in named if option not in set(OPTION.findall(text)))
        checks.append((f"{program}({section}) names all {len(named)} options its --help names", not missing,
                       f"missing {missing}"))
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
