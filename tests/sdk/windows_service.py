#!/usr/bin/env python3
"""Installs the LED service from the unpacked zip as a Windows service under Wine and takes it
through its life with Windows' own tools: install, sc query, net start, a round trip with
kav_morv_ledctl, net stop, uninstall. Checks what the Service Control Manager records of it (start
at boot, LocalSystem, a description), the states it reports, and that it kept what was asked in
its state file.

    windows_service.py --sdk PACKAGE.zip --simulator BIN_FOLDER --launcher WINE

The simulated LED's stand-ins are put beside the library, as a user puts the real driver libraries.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from staging import clean_environment  # noqa: E402
from verdict import report  # noqa: E402
from waiting import wait_until  # noqa: E402

SERVICE = "kav_morv_led"
REGISTRY_KEY = rf"HKLM\System\CurrentControlSet\Services\{SERVICE}"
WAIT_S = 20


ENDPOINT = 'led "q'


class Wine:
    def __init__(self, launcher, folder):
        self.launcher = [launcher]
        self.folder = folder

    def run(self, *command):
        return subprocess.run(self.launcher + list(command), cwd=self.folder,
                              env=clean_environment(KAV_MORV_LED_ENDPOINT=ENDPOINT),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)

    def state(self):
        """The service's state as sc query prints it ("RUNNING"), or None when there is no service."""
        found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", self.run("sc", "query", SERVICE).stdout)
        return found.group(1) if found else None

    def wait_for(self, wanted):
        """The states seen until `wanted` came (or the time ran out)."""
        seen = []
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            state = self.state()
            if not seen or seen[-1] != state:
                seen.append(state)
            if state == wanted:
                break
            time.sleep(0.05)
        return seen


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--sdk", required=True)
    parser.add_argument("--simulator", required=True)
    parser.add_argument("--launcher", required=True)
    options = parser.parse_args()

    # A space in every path, so that the command line the service is installed with must quote it.
    with tempfile.TemporaryDirectory(prefix="led windows service ") as scratch:
        with zipfile.ZipFile(options.sdk) as package:
            package.extractall(scratch)
        bin_folder = os.path.join(scratch, "bin")
        for name in ("WinIo64.dll", "inpoutx64.dll", "led_sim.exe"):
            shutil.copy2(os.path.join(options.simulator, name), bin_folder)
        state_file = "Z:" + os.path.join(scratch, "state", "state.json").replace("/", "\\")
        wine = Wine(options.launcher, bin_folder)
        wine.run("kav_morv_led_service.exe", "uninstall")  # one left by a run that was cut short

        checks = []
        try:
            refused = wine.run("kav_morv_led_service.exe", "--endpoint", "tb\\", "install")
            checks.append(("install refuses an endpoint that is no pipe name of its own",
                           refused.returncode == 1 and "may hold no backslash" in refused.stderr and wine.state() is None,
                           f"{refused.returncode} {refused.stderr!r}"))
            # An endpoint with a quote and a space: the command line it is installed with must escape both.
            installed = wine.run("kav_morv_led_service.exe", "--state", state_file, "--endpoint", ENDPOINT, "install")
            checks.append(("install", installed.returncode == 0, installed.stderr))
            registry = wine.run("reg", "query", REGISTRY_KEY).stdout
            for what, pattern in (("starts at boot", r"Start\s+REG_DWORD\s+0x2\b"),
                                  ("runs as LocalSystem", r"ObjectName\s+REG_SZ\s+LocalSystem"),
                                  ("has a description", r"Description\s+REG_SZ\s+Owns the built-in"),
                                  ("starts with its endpoint and state file, quoted, waiting for its LED",
                                   r'ImagePath\s+REG_SZ\s+"Z:\\[^"]*led windows service [^"]*" --service '
                                   r'--endpoint "led \\"q" --state "Z:\\[^"]*" --wait-for-led')):
                checks.append((f"the service manager records that it {what}", re.search(pattern, registry), registry))
            # Wine's service manager keeps no failure actions: then install must say so.
            checks.append(("the service manager records the restart after a failure, or install says it cannot",
                           re.search(r"FailureActions\s+REG_BINARY", registry) or
                           "does not keep the restart after a failure" in installed.stderr,
                           f"{registry!r} {installed.stderr!r}"))
            checks.append(("sc query: stopped once installed", wine.state() == "STOPPED", wine.state()))

            started = wine.run("net", "start", SERVICE)
            seen = wine.wait_for("RUNNING")
            checks.append(("net start, and it reports running", started.returncode == 0 and seen[-1] == "RUNNING",
                           f"{started.stdout!r} {seen}"))
            asked = wine.run("kav_morv_ledctl.exe", "set", "purple", "--name", "installed")
            got = wine.run("kav_morv_ledctl.exe", "get")
            shown = wine.run("led_sim.exe", "show").stdout
            checks.append(("a round trip with kav_morv_ledctl", asked.returncode == 0 and got.stdout.strip() == "purple"
                           and "colour: purple" in shown, f"{asked.stderr!r} {got.stdout!r} {shown!r}"))

            stopped = wine.run("net", "stop", SERVICE)
            seen = wine.wait_for("STOPPED")
            exit_code = re.search(r"SERVICE_EXIT_CODE\s*:\s*(\d+)", wine.run("sc", "query", SERVICE).stdout)
            checks.append(("net stop, and it reports stopped, with no error",
                           stopped.returncode == 0 and seen[-1] == "STOPPED" and exit_code and exit_code.group(1) == "0",
                           f"{stopped.stdout!r} {seen}"))
            # A change is kept by the journal until the state file takes it in.
            state_path = os.path.join(scratch, "state", "state.json")
            kept = "".join(open(path).read() for path in (state_path, state_path + ".journal") if os.path.exists(path))
            checks.append(("the state file or its journal keeps what was asked", "set purple name=installed" in kept,
                           kept))
            checks.append(("the LED keeps its colour", "colour: purple" in wine.run("led_sim.exe", "show").stdout, ""))

            # Installed before its driver library, the service runs and waits for it, and serves once
            # it is there.
            os.rename(os.path.join(bin_folder, "WinIo64.dll"), os.path.join(scratch, "WinIo64.dll"))
            wine.run("net", "start", SERVICE)
            seen = wine.wait_for("RUNNING")
            waiting = wine.run("kav_morv_ledctl.exe", "--timeout", "1000", "get").returncode == 1
            os.rename(os.path.join(scratch, "WinIo64.dll"), os.path.join(bin_folder, "WinIo64.dll"))
            served = wait_until(lambda: wine.run("kav_morv_ledctl.exe", "get").returncode == 0, 30)
            checks.append(("without its driver it runs, waiting for it, and serves once it is there",
                           seen[-1] == "RUNNING" and waiting and served, seen))
            wine.run("net", "stop", SERVICE)
            wine.wait_for("STOPPED")
        finally:
            removed = wine.run("kav_morv_led_service.exe", "uninstall")
        checks.append(("uninstall, and sc query knows it no more", removed.returncode == 0 and wine.state() is None,
                       removed.stderr))
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
