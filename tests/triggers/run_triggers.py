#!/usr/bin/env python3
"""The triggers program end to end, against the real things: the LED service over a simulated LED,
and each condition's thing made to hold and then not: a TCP listener closed and opened; an HTTP
server answering 500, 200 and never; a heartbeat file set back, touched and removed; a command
exiting 1, 0 and hanging past its timeout; a process stopped and started; a small file system
filled (a tmpfs in a private mount namespace, natively); a service (natively what systemctl says of
a unit, as systemd is not PID 1 here; under Wine a Windows service stopped and started); memory and
processor use; the heartbeat pattern. Then a reload that changes one rule, one that finds a
mistake, the program killed (what it showed stays until it expires, then goes), a stop (which
clears at once), and rules files with mistakes.

    run_triggers.py --bin BUILD/bin --probe PROBE [--launcher WINE --service-control PROGRAM]
"""
import argparse
import http.server
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402
from verdict import report  # noqa: E402
from waiting import wait_until  # noqa: E402

DEADLINE_S = 30
TMPFS_BYTES = 1 << 20


class Listener:
    """A TCP port that accepts, and closes each connection at once, until it is closed."""

    def __init__(self):
        self.socket = None
        self.port = None

    def open(self):
        self.socket = socket.socket()
        self.socket.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.socket.bind(("127.0.0.1", self.port or 0))
        self.port = self.socket.getsockname()[1]
        self.socket.listen(16)
        listening = self.socket
        threading.Thread(target=lambda: self.accept(listening), daemon=True).start()

    @staticmethod
    def accept(listening):
        while True:
            try:
                listening.accept()[0].close()
            except OSError:
                return

    def close(self):
        self.socket.shutdown(socket.SHUT_RDWR)
        self.socket.close()


class Site:
    """An HTTP server whose answer is chosen: a status (200, 302, 500), or none at all."""

    def __init__(self):
        self.answer = "200"
        self.released = threading.Event()
        site = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                if site.answer == "never":
                    site.released.wait()
                    return
                self.send_response(int(site.answer))
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.url = f"http://127.0.0.1:{self.server.server_address[1]}/health"

    def stop(self):
        self.released.set()
        self.server.shutdown()


class Machine:
    """The LED service, its client, and the programs and files the rules look at."""

    def __init__(self, scratch, options):
        self.scratch = scratch
        self.launcher = [options.launcher] if options.launcher else []
        self.windows = bool(options.launcher)
        self.bin = copy_bin(options.bin, os.path.join(scratch, "bin"))
        self.endpoint = f"kav_morv_led_triggers_{os.getpid()}" if self.windows else os.path.join(scratch, "led.sock")
        self.environment = clean_environment(KAV_MORV_LED_ENDPOINT=self.endpoint)
        self.probe = os.path.join(scratch, os.path.basename(options.probe))
        shutil.copy2(options.probe, self.probe)
        self.sleeper = os.path.join(scratch, "trigger_sleeper" + (".exe" if self.windows else ""))
        shutil.copy2(options.probe, self.sleeper)
        self.service = self.sleeping = None

    def path(self, *parts):
        """A path of the scratch folder as the programs under test name it."""
        path = os.path.join(self.scratch, *parts)
        return "Z:" + path.replace("/", "\\") if self.windows else path

    def start_service(self):
        self.service, said, serving = start_service(
            self.launcher + [program(self.bin, "kav_morv_led_service"), "--foreground", "--state",
                             self.path("state.json")], self.environment)
        return serving

    def ctl(self, *args):
        return subprocess.run(self.launcher + [program(self.bin, "kav_morv_ledctl"), *args], env=self.environment,
                              capture_output=True, text=True, timeout=DEADLINE_S)

    def indications(self):
        """{name: indication} of what is in force."""
        status = self.ctl("status", "--json")
        try:
            return {entry["name"]: entry for entry in json.loads(status.stdout)["indications"]}
        except (ValueError, KeyError):
            return {}

    def led(self):
        return subprocess.run(self.launcher + [program(self.bin, "led_sim"), "show"], env=self.environment,
                              capture_output=True, text=True).stdout

    def start_sleeper(self):
        self.sleeping = subprocess.Popen(self.launcher + [self.sleeper, "run"], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def stop_sleeper(self):
        self.sleeping.kill()
        self.sleeping.wait()

    def probes_running(self):
        found = subprocess.run(["pgrep", "-c", "-f", os.path.basename(self.probe) + " exit-as"], capture_output=True,
                               text=True)
        return int(found.stdout.strip() or 0)

    def stop(self):
        for process in (self.sleeping, self.service):
            if process and process.poll() is None:
                process.terminate()
                process.wait()


class Triggers:
    """A run of the triggers program on the scratch folder's rules.toml, and every line it has said."""

    def __init__(self, machine, prefix=()):
        self.said = []
        self.process = subprocess.Popen(
            list(prefix) + machine.launcher + [program(machine.bin, "kav_morv_led_triggers"), "--rules",
                                               machine.path("rules.toml")],
            env=machine.environment, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            text=True)
        threading.Thread(target=lambda: self.said.extend(self.process.stderr), daemon=True).start()

    def says(self, text, since=0):
        return wait_until(lambda: any(text in line for line in self.said[since:]), DEADLINE_S)

    def end(self, how=signal.SIGTERM):
        self.process.send_signal(how)
        return self.process.wait(timeout=DEADLINE_S)


def rules_file(machine, site, listener, every, slow_every, memory_percent, service, disk):
    """Every condition at once, each rule at a priority of its own (the port's highest)."""
    timeout = f"{int(every[:-2]) * 4 // 5}ms"
    slow_timeout = f"{int(slow_every[:-2]) * 2 // 3}ms"
    rules = f"""
[defaults]
every = "{every}"
timeout = "{timeout}"
after = 1

[rule.port]
when.tcp_refused = "127.0.0.1:{listener.port}"
show = "red"
priority = 250

[rule.site]
when.http_failing = "{site.url}"
show = "blink purple 100 100"
priority = 240

[rule.stamp]
when.file_older_than = {{ path = '{machine.path("stamp")}', age = "10m" }}
show = "yellow"
priority = 230

[rule.check]
when.command_fails = ['{machine.path(os.path.basename(machine.probe))}', "exit-as", '{machine.path("status")}']
show = "blue"
priority = 220
every = "{slow_every}"
timeout = "{slow_timeout}"

[rule.sleeper]
when.process_missing = "trigger_sleeper"
show = "cb"
priority = 210

[rule.unit]
when.service_stopped = "{service}"
show = "white"
priority = 200
every = "{slow_every}"
timeout = "{slow_timeout}"

[rule.memory_high]
when.memory_above = {{ percent = {memory_percent} }}
show = "green"
priority = 20
after = 2

[rule.memory_full]
when.memory_above = {{ percent = 99.9 }}
show = "green"
priority = 21

[rule.busy]
when.cpu_above = {{ percent = 50, for = "{every}" }}
show = "purple"
priority = 30

[rule.beat]
when.always = true
show = "pattern green:100 off:900"
priority = 10

[rule.space_short]
when.disk_free_below = {{ path = '{machine.path()}', percent = 99.999 }}
show = "off"
priority = 1

[rule.space_ample]
when.disk_free_below = {{ path = '{machine.path()}', bytes = 1 }}
show = "off"
priority = 2
"""
    if disk:
        rules += f"""
[rule.disk]
when.disk_free_below = {{ path = "{disk}", percent = 50 }}
show = "yellow"
priority = 190
"""
    path = os.path.join(machine.scratch, "rules.toml")
    with open(path, "w") as file:
        file.write(rules)
    return path


def memory_use():
    """In percent, as the program reckons it."""
    fields = dict(line.split(":", 1) for line in open("/proc/meminfo"))
    total, available = (int(fields[key].split()[0]) for key in ("MemTotal", "MemAvailable"))
    return 100.0 * (total - available) / total


def namespace_with_tmpfs(folder):
    """The command prefix that runs a program in a mount namespace of its own with a small tmpfs at
    `folder`; none where no such namespace can be made."""
    mount = ["sh", "-c", f'mount -t tmpfs -o size={TMPFS_BYTES} tmpfs "$0" && exec "$@"', folder]
    for unshare in (["unshare", "--mount", "--propagation", "private"],
                    ["unshare", "--user", "--map-root-user", "--mount", "--propagation", "private"]):
        if subprocess.run(unshare + ["true"], capture_output=True).returncode == 0:
            return unshare + mount
    return None


class Wine:
    """Windows' service manager under Wine, for the service rule and the triggers as a service."""

    def __init__(self, machine, control):
        self.machine = machine
        self.control = control

    def run(self, *command):
        return subprocess.run(self.machine.launcher + list(command), env=self.machine.environment,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)

    def install_idle_service(self, name):
        """A service to stop and start: the triggers program itself, on a rule that shows nothing
        anyone sees (its endpoint is nobody's)."""
        write(os.path.join(self.machine.scratch, "idle.toml"), '[rule.idle]\nwhen.always = true\nshow = "red"\n')
        self.run("sc", "delete", name)
        self.run("sc", "create", name, "binPath=",
                 f'"{self.machine.path("bin", "kav_morv_led_triggers.exe")}" --service --rules '
                 f'"{self.machine.path("idle.toml")}" --endpoint nobody_{os.getpid()}')


def walk(machine, checks, triggers, steps):
    """Each step: do something, then wait until these rules' indications are (True) or are not
    (False) in force; what else is in force is not looked at."""
    for what, act, wanted in steps:
        act()
        held = wait_until(lambda: all((name in machine.indications()) == present for name, present in wanted.items()),
                          DEADLINE_S, every_s=0.1)
        checks.append((what, held, f"{sorted(machine.indications())}; said {triggers.said[-3:]}"))


def write(path, text):
    with open(path, "w") as file:
        file.write(text)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--probe", required=True, help="the probe program built for the bin folder's system")
    parser.add_argument("--launcher", help="the emulator of a cross build's programs")
    parser.add_argument("--service-control", help="(Windows) the program that sends a service its parameter change")
    options = parser.parse_args()

    checks = []
    with tempfile.TemporaryDirectory(prefix="led_triggers_") as scratch:
        machine = Machine(scratch, options)
        site, listener = Site(), Listener()
        listener.open()
        wine = Wine(machine, options.service_control) if machine.windows else None
        # Natively systemd is not PID 1 here: systemctl cannot be asked, which counts as holding.
        # Under Wine a service of its own that can be stopped and started.
        service = "kav_morv_led_triggers_test" + ("" if machine.windows else ".service")
        disk = None
        prefix = ()
        if not machine.windows:
            disk = os.path.join(scratch, "disk")
            os.mkdir(disk)
            prefix = namespace_with_tmpfs(disk) or ()
            if not prefix:
                print("not run: a tmpfs filled in a private mount namespace (no namespace can be made here)")
                disk = None
        write(os.path.join(scratch, "stamp"), "")
        write(os.path.join(scratch, "bad.toml"), "[rule.web]\nwhen.tcp_refused = \"localhost\"\nshow = \"pink\"\n")
        write(os.path.join(scratch, "status"), "0")
        machine.start_sleeper()
        every, slow_every = ("1000ms", "3000ms") if machine.windows else ("300ms", "600ms")
        rules = rules_file(machine, site, listener, every, slow_every, max(1, int(memory_use() / 2)), service, disk)
        triggers = None
        try:
            checks.append(("the service starts", machine.start_service(), ""))
            if wine:
                wine.install_idle_service(service)
            triggers = Triggers(machine, prefix)
            count = open(rules).read().count("[rule.")
            checks.append(("it says what it checks", triggers.says(f"checking {count} rules"), triggers.said))
            fine = {"port": False, "site": False, "stamp": False, "check": False, "sleeper": False, "beat": True,
                    "memory_high": True, "memory_full": False, "space_short": True, "space_ample": False}
            walk(machine, checks, triggers, [
                ("while all is well only what always holds, memory above half its use and a volume not all free "
                 "show", lambda: None, fine)])
            pid = triggers.process.pid
            root = f"/proc/{pid}/root{disk}" if disk else None
            walk(machine, checks, triggers, [
                ("a port closed shows", listener.close, {"port": True}),
                ("and opened again, is cleared", listener.open, {"port": False}),
                ("a URL answering 500 shows", lambda: setattr(site, "answer", "500"), {"site": True}),
                ("answering 200, is cleared", lambda: setattr(site, "answer", "200"), {"site": False}),
                ("a redirect (302) is no answer, and shows", lambda: setattr(site, "answer", "302"), {"site": True}),
                ("answering 200 after it, is cleared", lambda: setattr(site, "answer", "200"), {"site": False}),
                ("answering nothing within the timeout, shows", lambda: setattr(site, "answer", "never"),
                 {"site": True}),
                ("answering 200 again, is cleared", lambda: setattr(site, "answer", "200"), {"site": False}),
                ("a heartbeat file set back past its age shows",
                 lambda: os.utime(os.path.join(scratch, "stamp"), (time.time() - 3600, time.time() - 3600)),
                 {"stamp": True}),
                ("touched, is cleared", lambda: os.utime(os.path.join(scratch, "stamp")), {"stamp": False}),
                ("missing, shows", lambda: os.remove(os.path.join(scratch, "stamp")), {"stamp": True}),
                ("there again, is cleared", lambda: write(os.path.join(scratch, "stamp"), ""), {"stamp": False}),
                ("a command exiting 1 shows", lambda: write(os.path.join(scratch, "status"), "1"), {"check": True}),
                ("exiting 0, is cleared", lambda: write(os.path.join(scratch, "status"), "0"), {"check": False}),
                ("hanging past its timeout, shows", lambda: write(os.path.join(scratch, "status"), "hang"),
                 {"check": True}),
            ])
            if not machine.windows:
                counts = []
                wait_until(lambda: counts.append(machine.probes_running()) or len(counts) > 40, DEADLINE_S,
                           every_s=0.05)
                checks.append(("a command past its timeout is killed: never two at once", max(counts) <= 1, counts))
            checks.append(("the log says it was killed", triggers.says("did not end in time, and was killed"),
                           triggers.said[-3:]))
            walk(machine, checks, triggers, [
                ("exiting 0 again, is cleared", lambda: write(os.path.join(scratch, "status"), "0"), {"check": False}),
                ("a process stopped shows", machine.stop_sleeper, {"sleeper": True}),
                ("and started again, is cleared", machine.start_sleeper, {"sleeper": False}),
            ])
            if disk:
                filler = os.path.join(root, "filler")
                walk(machine, checks, triggers, [
                    ("a volume filled past its free share shows", lambda: write(filler, "x" * (TMPFS_BYTES * 7 // 10)),
                     {"disk": True}),
                    ("emptied, is cleared", lambda: os.remove(filler), {"disk": False})])
            if wine:
                walk(machine, checks, triggers, [
                    ("a Windows service stopped shows", lambda: None, {"unit": True}),
                    ("started, is cleared", lambda: wine.run("net", "start", service), {"unit": False}),
                    ("stopped again, shows", lambda: wine.run("net", "stop", service), {"unit": True})])
            else:
                walk(machine, checks, triggers, [("a unit whose state systemctl cannot tell shows", lambda: None,
                                                  {"unit": True})])
                checks.append(("the log says systemd could not be asked",
                               triggers.says("systemd does not run here, or may not be asked"), triggers.said[-3:]))
            shown = machine.indications()
            checks.append(("memory use shows", "memory_high" in shown and "memory_full" not in shown, sorted(shown)))
            checks.append(("the heartbeat pattern", shown.get("beat", {}).get("steps") ==
                           [{"color": "green", "ms": 100}, {"color": "off", "ms": 900}], shown.get("beat")))
            # Both cores busy; whether another's load leaves them below the threshold is not ours.
            burners = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(os.cpu_count() or 2)]
            try:
                walk(machine, checks, triggers,
                     [("processor use above its threshold shows", lambda: None, {"busy": True})])
            finally:
                for burner in burners:
                    burner.kill()
                    burner.wait()
            listener.close()
            walk(machine, checks, triggers, [("the highest priority's shows on the LED", lambda: None, {"port": True})])
            checks.append(("the LED shows it", wait_until(lambda: "colour: red" in machine.led(), DEADLINE_S),
                           machine.led()))
            listener.open()

            if machine.windows:
                triggers.end(signal.SIGKILL)
                wait_until(lambda: not machine.indications(), DEADLINE_S)
                checks.extend(reload_as_windows_service(machine, wine, rules))
            else:
                checks.extend(reload_by_signal(machine, triggers, rules))
                triggers.end()
                wait_until(lambda: not machine.indications(), DEADLINE_S)
            checks.extend(killed_and_stopped(machine, prefix, slow_every))
            checks.extend(mistakes(machine))
        finally:
            if triggers and triggers.process.poll() is None:
                triggers.end(signal.SIGKILL)
            if wine:
                wine.run("sc", "delete", service)
            machine.stop()
            site.stop()
    return report(checks)


def reloaded_rules(rules):
    """The same rules with one changed: the heartbeat's colour."""
    text = open(rules).read().replace("pattern green:100 off:900", "pattern blue:100 off:900")
    changed = rules + ".changed"
    write(changed, text)
    return changed


def watch(machine):
    """A watcher of the service's events, once it is told them, and the list they are read into."""
    events = []
    watcher = subprocess.Popen(machine.launcher + [program(machine.bin, "kav_morv_ledctl"), "watch", "--json"],
                               env=machine.environment, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    threading.Thread(target=lambda: events.extend(json.loads(line) for line in watcher.stdout), daemon=True).start()
    # The rules in force are set again at their interval: each renewal is an event.
    wait_until(lambda: events, DEADLINE_S)
    return watcher, events


def reload_checks(machine, events, mark, said_reloaded):
    """An unchanged rule kept through the reload is never cleared; one started afresh would be, as
    its first verdict takes two results. The changes are told in order: once a set of the test's own
    is told, all that the reload asked before it has been."""
    changed = wait_until(
        lambda: machine.indications().get("beat", {}).get("steps", [{}])[0].get("color") == "blue", DEADLINE_S)
    machine.ctl("set", "off", "--name", "marker", "--priority", "0")
    told = wait_until(lambda: any(event["name"] == "marker" for event in events[mark:]), DEADLINE_S)
    cleared = {event["name"] for event in events[mark:] if event["event"] in ("cleared", "expired")}
    machine.ctl("clear", "--name", "marker")
    return [
        ("a reload says how many rules it kept", said_reloaded, ""),
        ("the changed rule shows what it now says", changed, machine.indications().get("beat")),
        ("an unchanged rule's indication stays through the reload", told and "memory_high" not in cleared, cleared),
    ]


def reload_by_signal(machine, triggers, rules):
    watcher, events = watch(machine)
    try:
        changed = reloaded_rules(rules)
        os.replace(changed, rules)
        mark, seen = len(triggers.said), len(events)
        triggers.process.send_signal(signal.SIGHUP)
        count = open(rules).read().count("[rule.")
        said = triggers.says(f"{count} rules, {count - 1} of them unchanged", mark)
        checks = reload_checks(machine, events, seen, said)
    finally:
        watcher.kill()
        watcher.wait()
    kept = open(rules).read()
    write(rules, "[rule.broken]\nshow = \"red\"\n")
    mark = len(triggers.said)
    triggers.process.send_signal(signal.SIGHUP)
    checks.append(("a reload of a file with mistakes says them and keeps the rules at work",
                   triggers.says("rules.toml:1: rule.broken needs one condition", mark) and
                   triggers.says("the rules are not reloaded: those at work stay", mark) and
                   "beat" in machine.indications(), triggers.said[-3:]))
    write(rules, kept)
    return checks


def reload_as_windows_service(machine, wine, rules):
    """The triggers program as a Windows service under Wine, as an installer sets it up: its rules
    put in the program-data folder by configure (and kept by a second), started by its own start,
    reloaded by the service manager's parameter-change control, and stopped by its own stop, which
    clears what it showed."""
    name = "kav_morv_led_triggers"
    installed = os.path.join(os.environ["WINEPREFIX"], "drive_c", "ProgramData", "kav_morv_led", "triggers.toml")
    program_file = [program(machine.bin, "kav_morv_led_triggers")]
    wine.run("sc", "delete", name)
    created = wine.run("sc", "create", name, "binPath=",
                       f'"{machine.path("bin", "kav_morv_led_triggers.exe")}" --service --endpoint {machine.endpoint}')
    checks = [("the triggers program installed as a Windows service", created.returncode == 0, created.stdout)]
    try:
        configured = wine.run(*program_file, "configure", "--rules-from", machine.path("rules.toml"))
        again = wine.run(*program_file, "configure", "--rules-from", machine.path("bad.toml"))
        checks.append(("configure puts the rules in the program-data folder, and a second keeps them",
                       configured.returncode == 0 and again.returncode == 0 and "is kept" in again.stderr and
                       os.path.exists(installed) and open(installed).read() == open(rules).read(),
                       (configured.stderr, again.stderr)))
        started = wine.run(*program_file, "start")
        checks.append(("started by its own start, it shows what always holds", started.returncode == 0 and
                       wait_until(lambda: "beat" in machine.indications(), DEADLINE_S),
                       (started.stderr, sorted(machine.indications()))))
        watcher, events = watch(machine)
        try:
            os.replace(reloaded_rules(installed), installed)
            seen = len(events)
            sent = subprocess.run(machine.launcher + [wine.control, name], env=machine.environment, capture_output=True,
                                  text=True, timeout=60)
            checks.append(("the service takes the parameter-change control", sent.returncode == 0, sent.stderr))
            checks.extend(reload_checks(machine, events, seen, True))
        finally:
            watcher.kill()
            watcher.wait()
        stopped = wine.run(*program_file, "stop")
        checks.append(("stopped by its own stop, it clears what it showed", stopped.returncode == 0 and
                       wait_until(lambda: "beat" not in machine.indications(), DEADLINE_S),
                       (stopped.stderr, sorted(machine.indications()))))
    finally:
        wine.run("sc", "delete", name)
        if os.path.exists(installed):
            os.remove(installed)
    return checks


def killed_and_stopped(machine, prefix, every):
    """Killed, what it showed stays until it expires, then goes; stopped (natively by a signal; under
    Wine the service manager's stop is above), it clears at once."""
    again = Triggers(machine, prefix)
    came = wait_until(lambda: "beat" in machine.indications(), DEADLINE_S)
    again.end(signal.SIGKILL)
    asked_at = time.monotonic()
    left_ms = [entry["left_ms"] for entry in machine.indications().values()]
    gone = wait_until(lambda: not machine.indications(), DEADLINE_S)
    # Each was to expire its rule's interval and as long again (at least 2 s, at most 30 s) after its
    # last renewal, no later (the slowest rules' interval is `every`), and goes when it does; a
    # status under Wine takes a while to ask.
    interval_ms = int(every[:-2])
    expiry_ms = interval_ms + min(max(interval_ms, 2000), 30000)
    due_s = max(left_ms, default=0) / 1000
    took_s = time.monotonic() - asked_at
    checks = [
        (f"killed, what it showed stays, each for at most its expiry ({expiry_ms} ms)",
         came and left_ms and None not in left_ms and max(left_ms) <= expiry_ms, left_ms),
        ("and is gone once it expires", gone and took_s <= due_s + 1.5, (took_s, due_s)),
    ]
    if machine.windows:
        return checks
    again = Triggers(machine, prefix)
    came = wait_until(lambda: "beat" in machine.indications(), DEADLINE_S)
    status = again.end(signal.SIGTERM)
    checks.append(("stopped, it clears what it showed at once, and exits with 0",
                   came and status == 0 and not machine.indications(), (status, sorted(machine.indications()),
                                                                          again.said[-2:])))
    return checks


def mistakes(machine):
    """--check says each mistake with its line; a run of a file with one refuses to start."""
    bad, good = machine.path("bad.toml"), machine.path("rules.toml")

    def triggers(*args):
        return subprocess.run(machine.launcher + [program(machine.bin, "kav_morv_led_triggers"), *args],
                              env=machine.environment, capture_output=True, text=True, timeout=DEADLINE_S)
    checked, fine, run = triggers("--check", bad), triggers("--check", good), triggers("--rules", bad)
    lines = checked.stderr.splitlines()
    return [
        ("--check says each mistake with its file and line, with status 2",
         checked.returncode == 2 and len(lines) == 2 and lines[0].startswith(bad + ":2: ") and
         lines[1].startswith(bad + ":3: "), (checked.returncode, lines)),
        ("--check of a good file: status 0", fine.returncode == 0 and "none with a mistake" in fine.stdout,
         (fine.returncode, fine.stdout, fine.stderr)),
        ("a run of a file with mistakes does not start: status 2", run.returncode == 2 and ":3: " in run.stderr,
         (run.returncode, run.stderr)),
    ]


if __name__ == "__main__":
    sys.exit(main())
