#!/usr/bin/env python3
"""The MSI as an administrator deploys it, under Wine's msiexec in a fresh prefix: a silent install
of the previous version with a broker given, on a PC without the driver libraries yet; the LED
service waits for them and serves once they are there; the bridge's own service reaches a native
mosquitto on loopback and carries out a command; an upgrade in place to this version keeps the
state and the bridge's settings; a repair; an uninstall that removes the services and programs and
leaves the state.

    windows_installer.py --msi KAV_MORV_LED-VERSION-win64.msi --stage INSTALLED_TREE --wxs kav_morv_led.wxs
                         --condition Condition.idt --simulator BIN --launcher WINE --mosquitto MOSQUITTO
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from staging import clean_environment  # noqa: E402
from verdict import report  # noqa: E402
from waiting import wait_until  # noqa: E402

DEADLINE_S = 60
PREVIOUS = "1.2.99"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Prefix:
    """A Wine prefix of its own, with its own wineserver."""

    def __init__(self, launcher, folder):
        self.launcher = launcher
        self.folder = folder
        # msiexec's own errors are said, so that a failed install says why.
        self.environment = clean_environment(WINEPREFIX=folder, WINEDEBUG="-all,err+msi",
                                             WINEDLLOVERRIDES="mscoree,mshtml=")
        self.program_files = os.path.join(folder, "drive_c", "Program Files", "KAV MORV LED")
        self.program_data = os.path.join(folder, "drive_c", "ProgramData", "kav_morv_led")

    def run(self, *command, timeout=300):
        return subprocess.run([self.launcher, *command], env=self.environment, stdin=subprocess.DEVNULL,
                              capture_output=True, text=True, timeout=timeout)

    def installed(self, program, *arguments):
        return self.run(os.path.join(self.program_files, "bin", program), *arguments)

    def state(self, service):
        found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", self.run("sc", "query", service).stdout)
        return found.group(1) if found else None

    def msiexec(self, *arguments):
        done = self.run("msiexec", *arguments, "/qn")
        return done.returncode == 0, f"msiexec {' '.join(arguments)}: {done.returncode} {done.stdout}{done.stderr}"

    def server(self, option):
        subprocess.run([os.path.join(os.path.dirname(self.launcher), "wineserver"), option], env=self.environment,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=300)

    def start(self):
        """Makes the prefix, and starts its session as Windows' is: its server kept up (else its
        services would end whenever no other program of it runs), the event log running."""
        quiet = {"env": self.environment, "stdin": subprocess.DEVNULL, "stdout": subprocess.DEVNULL,
                 "stderr": subprocess.DEVNULL, "timeout": 300}
        subprocess.run([self.launcher, "wineboot", "-i"], **quiet)
        # A fresh prefix goes on making itself after wineboot: until it is done, a service just
        # registered is not found.
        self.server("-w")
        self.server("-p")
        # Started by a program whose output nobody reads, since the services it starts keep it.
        subprocess.run([self.launcher, "net", "start", "eventlog"], **quiet)

    def stop(self):
        self.server("-k")


def previous_msi(options, version, scratch):
    """This build's files as the version before this one, with a product code of its own."""
    stage = os.path.join(scratch, "previous")
    shutil.copytree(options.stage, stage)
    msi = os.path.join(scratch, f"KAV_MORV_LED-{PREVIOUS}-win64.msi")
    shutil.copy(options.wxs, stage)
    for command in (["wixl", "-a", "x64", "-D", f"Version={PREVIOUS}", "-D", f"PackagesVersion={version}", "-D",
                     "ProductCode=0B1D2C3E-4F50-5617-8293-A4B5C6D7E8F9", "-o", msi, os.path.basename(options.wxs)],
                    ["msibuild", msi, "-i", os.path.abspath(options.condition)]):
        subprocess.run(command, cwd=stage, check=True, capture_output=True)
    return msi


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--msi", "--stage", "--wxs", "--condition", "--simulator", "--launcher", "--mosquitto"):
        parser.add_argument(option, required=True)
    options = parser.parse_args()
    version = re.search(r"KAV_MORV_LED-([\d.]+)-win64\.msi$", options.msi).group(1)

    checks = []
    with tempfile.TemporaryDirectory(prefix="led_msi_") as scratch:
        port = free_port()
        broker = subprocess.Popen([options.mosquitto, "-p", str(port)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        wait_until(lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0, DEADLINE_S)
        watched = subprocess.Popen(["mosquitto_sub", "-p", str(port), "-t", "kav_morv_led/#", "-v", "-W", "600"],
                                   stdout=subprocess.PIPE, text=True)
        seen = []
        threading.Thread(target=lambda: seen.extend(watched.stdout), daemon=True).start()
        wine = Prefix(options.launcher, os.path.join(scratch, "prefix"))
        try:
            wine.start()
            previous = previous_msi(options, version, scratch)
            checks.append(("a silent install with a broker given",
                           *wine.msiexec("/i", previous, f"MQTT_BROKER=mqtt://127.0.0.1:{port}", "MQTT_MACHINE=pc9")))
            checks.append(("the programs are in Program Files", os.path.isfile(os.path.join(
                wine.program_files, "bin", "kav_morv_led_mqtt.exe")),
                os.listdir(wine.program_files) if os.path.isdir(wine.program_files) else "no such folder"))
            if not checks[-1][1]:
                return report(checks)  # the rest would only fail after it
            settings = os.path.join(wine.program_data, "mqtt.conf")
            text = open(settings).read() if os.path.exists(settings) else ""
            checks.append(("the bridge's settings come from the properties given",
                           f"broker = mqtt://127.0.0.1:{port}" in text and "machine = pc9" in text, text))
            running = wait_until(lambda: wine.state("kav_morv_led") == "RUNNING", DEADLINE_S)
            missing = wine.installed("kav_morv_ledctl.exe", "--timeout", "1000", "get")
            checks.append(("without the driver libraries the LED service runs, waiting for them",
                           running and missing.returncode == 1, (wine.state("kav_morv_led"), missing.stderr)))
            for name in ("WinIo64.dll", "inpoutx64.dll"):
                shutil.copy(os.path.join(options.simulator, name), os.path.join(wine.program_files, "bin"))
            served = wait_until(lambda: wine.installed("kav_morv_ledctl.exe", "get").returncode == 0, DEADLINE_S)
            checks.append(("once they are there, it serves the installed client", served,
                           wine.installed("kav_morv_ledctl.exe", "get").stderr))
            online = wait_until(lambda: "kav_morv_led/pc9/availability online\n" in seen, DEADLINE_S)
            subprocess.run(["mosquitto_pub", "-p", str(port), "-t", "kav_morv_led/pc9/set", "-m",
                            '{"state":"ON","color":{"r":255,"g":0,"b":255}}'], check=True)
            shown = wait_until(lambda: wine.installed("kav_morv_ledctl.exe", "get").stdout.strip() == "purple",
                               DEADLINE_S)
            checks.append(("the bridge's service reaches the broker and carries out a command", online and shown,
                           (wine.state("kav_morv_led"), wine.state("kav_morv_led_mqtt"), seen[-8:],
                            wine.installed("kav_morv_ledctl.exe", "status").stdout)))

            checks.append(("an upgrade in place to this version", *wine.msiexec("/i", options.msi)))
            kept = wait_until(lambda: wine.installed("kav_morv_ledctl.exe", "get").stdout.strip() == "purple",
                              DEADLINE_S)
            listed = wine.run("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s").stdout
            bridge = wait_until(lambda: wine.state("kav_morv_led_mqtt") == "RUNNING", DEADLINE_S)
            checks.append(("after it the state is kept, the bridge runs with its settings, and one version is listed",
                           kept and bridge and os.path.exists(settings) and listed.count("DisplayName    REG_SZ    KAV MORV LED") == 1 and
                           f"DisplayVersion    REG_SZ    {version}" in listed,
                           (kept, wine.state("kav_morv_led_mqtt"), listed[-1500:])))
            # A repair as its properties ask one (Wine's msiexec has no /fa of its own).
            checks.append(("a repair", *wine.msiexec("/i", options.msi, "REINSTALL=ALL", "REINSTALLMODE=amus")))
            repaired = wait_until(lambda: wine.installed("kav_morv_ledctl.exe", "get").returncode == 0, DEADLINE_S)
            checks.append(("after it the service serves", repaired, wine.installed("kav_morv_ledctl.exe", "get").stderr))
            checks.append(("an uninstall", *wine.msiexec("/x", options.msi)))
            gone = wait_until(lambda: wine.state("kav_morv_led") is None and wine.state("kav_morv_led_mqtt") is None,
                              DEADLINE_S)
            checks.append(("it removes the services and the programs, and leaves the state",
                           gone and not os.path.exists(os.path.join(wine.program_files, "bin", "kav_morv_led_service.exe"))
                           and os.path.exists(os.path.join(wine.program_data, "state.json")),
                           (wine.state("kav_morv_led"), wine.state("kav_morv_led_mqtt"),
                            [os.path.join(folder, name) for folder, _, names in os.walk(wine.program_files)
                             for name in names],
                            os.listdir(wine.program_data) if os.path.exists(wine.program_data) else "no program data",
                            subprocess.run(["pgrep", "-af", "KAV MORV LED"], capture_output=True, text=True).stdout)))
        finally:
            wine.stop()
            for process in (watched, broker):
                process.terminate()
                process.wait()
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
