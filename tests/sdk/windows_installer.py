#!/usr/bin/env python3
"""The MSI as an administrator deploys it, under Wine's msiexec in a fresh prefix: a line break in
any MQTT_* property fails it before anything is installed; a silent install of the previous version
with a broker and a hostile password given, on a PC without the driver libraries yet, whose verbose
log holds no password and whose settings file holds it exactly, in a folder no one else may enter;
the LED service waits for the driver libraries and serves once they are there; the bridge's own
service reaches a native mosquitto on loopback and carries out a command; an upgrade in place to
this version keeps the state and the bridge's settings and changes those given; repairs with other
hostile passwords; an uninstall that takes the light off the broker and removes the services, the
programs and the password, and leaves the state. First, what finish_msi.py adds beyond wixl, read
back from the built MSI's tables.

    windows_installer.py --msi KAV_MORV_LED-VERSION-win64.msi --stage INSTALLED_TREE --wxs kav_morv_led.wxs
                         --finish finish_msi.py --epoch SECONDS --simulator BIN --launcher WINE
                         --mosquitto MOSQUITTO --show-security SHOW_SECURITY_EXE
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
import time
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from staging import clean_environment  # noqa: E402
from verdict import report  # noqa: E402
from waiting import wait_until  # noqa: E402

DEADLINE_S = 60
PREVIOUS = "1.2.99"
PROPERTIES = ("MQTT_BROKER", "MQTT_MACHINE", "MQTT_FLEET", "MQTT_PRIORITY", "MQTT_USER", "MQTT_PASSWORD")
# Passwords as an administrator may have them. The first, with a quote, spaces and a trailing
# backslash, is given in the package's Property table, as a transform would, so that what is tested
# is the installer's path and not Wine's quoting of a command line (a repair takes the package
# installed, not its copy); the others on msiexec's command line, in repairs (msibuild writes no
# text but ASCII).
PASSWORDS = [' s3"cr;et w\\', "s3;cret;", "p\u00e4ss\u2713w\u00f6rd"]


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
                                             WINEDLLOVERRIDES="mscoree,mshtml=", LC_ALL="C.UTF-8")
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

    def msiexec(self, *arguments, log=None):
        """Whether msiexec succeeded, and what it said; with `log`, its verbose log is written there."""
        logging = ["/l*v", "Z:" + log.replace("/", "\\")] if log else []
        done = self.run("msiexec", *arguments, "/qn", *logging)
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


def with_properties(msi, properties, path):
    """A copy of `msi` whose Property table gives `properties` (as a transform would)."""
    shutil.copy(msi, path)
    for name, value in properties.items():
        subprocess.run(["msibuild", path, "-q", f"INSERT INTO Property (Property, Value) VALUES ('{name}', '{value}')"],
                       check=True, capture_output=True)
    return path


def settings_of(text):
    """A settings file's settings, read as the bridge reads them."""
    settings = {}
    for line in text.splitlines():
        name, equals, value = line.partition("=")
        if equals and not line.lstrip().startswith("#"):
            value = value.strip(" \t")
            settings[name.strip()] = value[1:-1] if len(value) >= 2 and value[0] == value[-1] == '"' else value
    return settings


def log_text(path):
    """A verbose log's text, whichever encoding msiexec wrote it in."""
    data = open(path, "rb").read() if os.path.exists(path) else b""
    return data.decode("utf-16") if data[:2] == b"\xff\xfe" else data.decode("utf-8", "replace")


def previous_msi(options, version, scratch):
    """This build's files as the version before this one, with a product code of its own."""
    stage = os.path.join(scratch, "previous")
    shutil.copytree(options.stage, stage)
    msi = os.path.join(scratch, f"KAV_MORV_LED-{PREVIOUS}-win64.msi")
    shutil.copy(options.wxs, stage)
    for command in (["wixl", "-a", "x64", "-D", f"Version={PREVIOUS}", "-D", f"PackagesVersion={version}", "-D",
                     "ProductCode=0B1D2C3E-4F50-5617-8293-A4B5C6D7E8F9", "-o", msi, os.path.basename(options.wxs)],
                    ["/usr/bin/python3", os.path.abspath(options.finish), msi, "0B1D2C3E-0000-5617-8293-A4B5C6D7E8F9",
                     str(options.epoch)]):
        subprocess.run(command, cwd=stage, check=True, capture_output=True)
    return msi


def table(msi, name):
    """A table of the MSI as msiinfo exports it: its rows, each a list of fields."""
    exported = subprocess.run(["msiinfo", "export", msi, name], capture_output=True, text=True).stdout
    return [line.split("\t") for line in exported.splitlines()[3:]]


def finished_checks(msi, epoch):
    """What finish_msi.py adds beyond wixl, as the built MSI's tables and summary hold it."""
    actions = {row[0]: int(row[1]) for row in table(msi, "CustomAction")}
    sequence = {row[0]: int(row[2]) for row in table(msi, "InstallExecuteSequence")}
    summary = subprocess.run(["msiinfo", "suminfo", msi], capture_output=True, text=True).stdout
    stamped = time.strftime("%a %b %e %H:%M:%S %Y", time.gmtime(epoch))
    return [
        ("the bridge's feature is installed when a broker is given, or kept when it was installed",
         ["MqttBridge", "1", "MQTT_BROKER OR MQTT_BRIDGE_INSTALLED"] in table(msi, "Condition"), table(msi, "Condition")),
        ("the actions that carry the password hide their data (HideTarget), and only they",
         sorted(name for name, kind in actions.items() if kind & 8192) == ["ConfigureBridge", "ForgetBridgePassword"],
         actions),
        ("the previous version is removed after this one is installed",
         sequence.get("RemoveExistingProducts", 0) > sequence.get("InstallFinalize", 1 << 30), sequence),
        ("the light is taken off the broker on uninstall, after the bridge stops, before its password goes",
         sequence.get("StopBridge", 1 << 30) < sequence.get("WithdrawLight", 0) < sequence.get("ForgetBridgePassword", 0),
         sequence),
        ("the summary holds the commit's time, and a package code of ours",
         f"Created: {stamped}" in summary and f"Last saved: {stamped}" in summary and "{" in summary, summary),
    ]


def retained(port, topics):
    """What the broker keeps retained on each topic now: a subscription to them and, last, to a
    marker retained here, whose message comes after theirs."""
    marker = f"test/marker/{uuid.uuid4().hex}"
    subprocess.run(["mosquitto_pub", "-p", str(port), "-t", marker, "-r", "-m", "mark"], check=True)
    found = subprocess.run(["mosquitto_sub", "-p", str(port), "-F", "%r %t %p", "-W", str(DEADLINE_S),
                            *[part for topic in (*topics, marker) for part in ("-t", topic)], "-C",
                            str(len(topics) + 1)], capture_output=True, text=True).stdout
    kept = {}
    for line in found.splitlines():
        flag, topic, payload = (line.split(" ", 2) + [""])[:3]
        if topic == marker:
            break
        if flag == "1":
            kept[topic] = payload
    return kept


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--msi", "--stage", "--wxs", "--finish", "--simulator", "--launcher", "--mosquitto",
                   "--show-security"):
        parser.add_argument(option, required=True)
    parser.add_argument("--epoch", type=int, required=True, help="the commit's time, which the MSI's summary holds")
    options = parser.parse_args()
    version = re.search(r"KAV_MORV_LED-([\d.]+)-win64\.msi$", options.msi).group(1)

    checks = finished_checks(options.msi, options.epoch)
    with tempfile.TemporaryDirectory(prefix="led_msi_") as scratch:
        port = free_port()
        broker = subprocess.Popen([options.mosquitto, "-p", str(port)], stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL)
        wait_until(lambda: socket.socket().connect_ex(("127.0.0.1", port)) == 0, DEADLINE_S)
        watched = subprocess.Popen(["mosquitto_sub", "-p", str(port), "-t", "kav_morv_led/#", "-t", "homeassistant/#",
                                    "-v", "-W", "600"], stdout=subprocess.PIPE, text=True)
        seen = []
        threading.Thread(target=lambda: seen.extend(watched.stdout), daemon=True).start()
        wine = Prefix(options.launcher, os.path.join(scratch, "prefix"))
        try:
            wine.start()
            previous = previous_msi(options, version, scratch)
            for name in PROPERTIES:
                # The broker in the table too: one on the command line would override the row's.
                hostile = with_properties(previous, {"MQTT_BROKER": f"mqtt://127.0.0.1:{port}",
                                                     name: "x\r\nbroker = mqtt://evil.example:1"},
                                          os.path.join(scratch, f"{name}.msi"))
                succeeded, said = wine.msiexec("/i", hostile, log=os.path.join(scratch, f"{name}.log"))
                checks.append((f"a line break in {name} fails the install before anything is installed, saying so",
                               not succeeded and not os.path.exists(wine.program_files) and
                               f"{name} holds a control character" in log_text(os.path.join(scratch, f"{name}.log")),
                               said))
            first_log = os.path.join(scratch, "install.log")
            hostile = with_properties(previous, {"MQTT_PASSWORD": PASSWORDS[0]}, os.path.join(scratch, "first.msi"))
            checks.append(("a silent install with a broker and a password given",
                           *wine.msiexec("/i", hostile, f"MQTT_BROKER=mqtt://127.0.0.1:{port}", "MQTT_MACHINE=pc9",
                                         log=first_log)))
            checks.append(("the programs are in Program Files", os.path.isfile(os.path.join(
                wine.program_files, "bin", "kav_morv_led_mqtt.exe")),
                os.listdir(wine.program_files) if os.path.isdir(wine.program_files) else "no such folder"))
            if not checks[-1][1]:
                return report(checks)  # the rest would only fail after it
            settings = os.path.join(wine.program_data, "mqtt.conf")
            text = open(settings, encoding="utf-8").read() if os.path.exists(settings) else ""
            checks.append(("the bridge's settings come from the properties given, the password exactly",
                           settings_of(text) == {"broker": f"mqtt://127.0.0.1:{port}", "machine": "pc9",
                                                 "password": PASSWORDS[0]}, text))
            checks.append(("the verbose log holds no password", "s3\"cr;et" not in log_text(first_log),
                           [line for line in log_text(first_log).splitlines() if "s3\"cr;et" in line]))
            recovery = log_text(first_log)
            checks.append(("both services are set to restart after a failure, or the log says this service manager "
                           "keeps no such thing",
                           all(f"{service} is restarted after a failure" in recovery or
                               f"does not keep the restart of {service} after a failure" in recovery
                               for service in ("kav_morv_led", "kav_morv_led_mqtt")),
                           [line for line in recovery.splitlines() if "restart" in line]))
            # Wine keeps no security descriptor of its own: it reads one back from the file's mode.
            # What shows is whether Everyone (WD) may read, as ProgramData hands down.
            security = wine.run(options.show_security, r"C:\ProgramData", r"C:\ProgramData\kav_morv_led",
                             r"C:\ProgramData\kav_morv_led\mqtt.conf").stdout.splitlines()
            checks.append(("the program-data folder and the settings file let no one else in, unlike ProgramData",
                           len(security) == 3 and ";;;WD)" in security[0] and
                           not any(";;;WD)" in line for line in security[1:]), security))
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
            carried_out = wait_until(lambda: wine.installed("kav_morv_ledctl.exe", "get").stdout.strip() == "purple",
                               DEADLINE_S)
            checks.append(("the bridge's service reaches the broker and carries out a command", online and carried_out,
                           (wine.state("kav_morv_led"), wine.state("kav_morv_led_mqtt"), seen[-8:],
                            wine.installed("kav_morv_ledctl.exe", "status").stdout)))

            checks.append(("an upgrade in place to this version, with another fleet",
                           *wine.msiexec("/i", options.msi, "MQTT_FLEET=second")))
            kept = wait_until(lambda: wine.installed("kav_morv_ledctl.exe", "get").stdout.strip() == "purple",
                              DEADLINE_S)
            listed = wine.run("reg", "query", r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall", "/s").stdout
            bridge = wait_until(lambda: wine.state("kav_morv_led_mqtt") == "RUNNING", DEADLINE_S)
            upgraded = settings_of(open(settings, encoding="utf-8").read()) if os.path.exists(settings) else {}
            checks.append(("after it the state is kept, the bridge runs with its settings, the fleet given changed "
                           "and the rest kept, and one version is listed",
                           kept and bridge and upgraded.get("fleet") == "second" and
                           upgraded.get("password") == PASSWORDS[0] and listed.count("DisplayName    REG_SZ    KAV MORV LED") == 1 and
                           f"DisplayVersion    REG_SZ    {version}" in listed,
                           (kept, wine.state("kav_morv_led_mqtt"), upgraded, listed[-1500:])))
            # Repairs as their properties ask them (Wine's msiexec has no /fa of its own), each with
            # another password: the way a fleet rotates it.
            for index, password in enumerate(PASSWORDS[1:]):
                log = os.path.join(scratch, f"repair{index}.log")
                done = wine.msiexec("/i", options.msi, "REINSTALL=ALL", "REINSTALLMODE=omus", f"MQTT_PASSWORD={password}",
                                    log=log)
                now = settings_of(open(settings, encoding="utf-8").read()) if os.path.exists(settings) else {}
                checks.append((f"a repair with the password {password!r}: the settings hold it exactly, the log not",
                               done[0] and now.get("password") == password and now.get("fleet") == "second" and
                               password not in log_text(log), (done, now)))
            repaired = wait_until(lambda: wine.installed("kav_morv_ledctl.exe", "get").returncode == 0, DEADLINE_S)
            checks.append(("after the repairs the service serves", repaired,
                           wine.installed("kav_morv_ledctl.exe", "get").stderr))
            light = [next((line.split(" ", 1)[0] for line in seen if line.startswith("homeassistant/light/") and
                           '"pc9 LED"' in line), "homeassistant/light/none/config"),
                     "kav_morv_led/pc9/state", "kav_morv_led/pc9/availability"]
            checks.append(("an uninstall", *wine.msiexec("/x", options.msi)))
            kept = retained(port, light)
            checks.append(("it takes the light off the broker: its config, state and availability retained no more",
                           not kept, (light, kept)))
            gone = wait_until(lambda: wine.state("kav_morv_led") is None and wine.state("kav_morv_led_mqtt") is None,
                              DEADLINE_S)
            left = settings_of(open(settings, encoding="utf-8").read()) if os.path.exists(settings) else {}
            checks.append(("it removes the services, the programs and the password, and leaves the state and the "
                           "other settings",
                           gone and not os.path.exists(os.path.join(wine.program_files, "bin", "kav_morv_led_service.exe"))
                           and os.path.exists(os.path.join(wine.program_data, "state.json")) and
                           "password" not in left and left.get("broker") == f"mqtt://127.0.0.1:{port}",
                           (wine.state("kav_morv_led"), wine.state("kav_morv_led_mqtt"),
                            [os.path.join(folder, name) for folder, _, names in os.walk(wine.program_files)
                             for name in names],
                            os.listdir(wine.program_data) if os.path.exists(wine.program_data) else "no program data",
                            left,
                            subprocess.run(["pgrep", "-af", "KAV MORV LED"], capture_output=True, text=True).stdout)))
        finally:
            wine.stop()
            for process in (watched, broker):
                process.terminate()
                process.wait()
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
