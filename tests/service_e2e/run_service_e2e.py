#!/usr/bin/env python3
"""Runs the LED service's end-to-end table (cases.py) against one build's bin folder.

    run_service_e2e.py --bin build/native/bin --probe build/native/tests/protocol_probe
    run_service_e2e.py --bin build/windows/bin --probe .../protocol_probe.exe --launcher /usr/lib/wine/wine64

Each case gets a fresh copy of the bin folder, a simulated LED reset to power-on, an endpoint of
its own and a service started on it; then its steps run in order against the real client, the
protocol probe and the simulated LED's viewer and timestamped journal.
"""
import argparse
import concurrent.futures
import grp
import json
import os
import pwd
import random
import re
import shlex
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [here, os.path.join(here, "..", "support")]
from cases import (CASES, Access, Crashes, Ctl, Flood, Kill, Led, Load, PipeAccess, Probe, Restart,  # noqa: E402
                   Said, SecondService, StateFile, Stop, Transitions, Wait)
from journal import transitions_in  # noqa: E402
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402

TIMEOUT_S = 60
# How far a change of the LED may stray from its asked time, in this end-to-end check (the
# benchmarks measure how close it really comes).
TOLERANCE_MS = {False: 30, True: 120}  # natively, under Wine

class Service:
    """One case's service: its folder, endpoint, state file, environment and process."""

    def __init__(self, runner, root, index, case):
        self.runner = runner
        self.bin = copy_bin(runner.bin, os.path.join(root, "bin"))
        self.journal = os.path.join(root, "journal.txt")
        self.endpoint = (f"kav_morv_led_e2e_{os.getpid()}_{index}" if runner.under_emulator
                         else os.path.join(root, "run" if case.socket_folder else "", "led.sock"))
        self.state = os.path.join(root, "state", "state.json")
        if case.state is not None:
            os.mkdir(os.path.dirname(self.state))
            with open(self.state, "w") as state:
                state.write(case.state)
        self.args = ["--foreground", "--state", self.state, *case.args]
        # The stand-in journals every driver call (a file opened and closed each time) only for the
        # cases that read the journal: under load it would cost more than the service.
        reads_journal = any(isinstance(step, (Transitions, Stop)) for step in case.steps)
        self.environment = clean_environment(KAV_MORV_LED_ENDPOINT=self.endpoint,
                                             **({"LED_SIM_JOURNAL": self.journal} if reads_journal else {}))
        self.faults = case.faults
        self.process = None
        self.outputs = []  # what each start of the service has written, read on as it comes
        self.started_in = None

    def run(self, name, args, **options):
        return subprocess.run(self.runner.command(self.bin, name, args), env=self.environment,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT_S, **options)

    def start(self, prefix=()):
        """Starts the service; returns None once it serves, else what it wrote before it ended."""
        environment = dict(self.environment, **({"LED_SIM_FAULTS": self.faults} if self.faults else {}))
        started = time.monotonic()
        self.process, said, serving = start_service(
            [*prefix, *self.runner.command(self.bin, "kav_morv_led_service", self.args)], environment)
        self.started_in = time.monotonic() - started
        self.outputs.append(said)
        return None if serving else "".join(said)

    def stop(self, now=False):
        """Asks it to stop (SIGTERM), or ends it at once; under Wine, always at once."""
        if self.process and self.process.poll() is None:
            if now or self.runner.under_emulator:
                self.process.kill()
            else:
                self.process.send_signal(signal.SIGTERM)
            self.process.wait(TIMEOUT_S)

    def said(self):
        time.sleep(0.1)  # what it writes is read on by another thread
        return "".join(line for said in self.outputs for line in said)

    def journal_lines(self):
        if not os.path.exists(self.journal):
            return []  # nothing has called the driver yet
        with open(self.journal) as journal:
            return journal.read().splitlines()

    def led(self):
        shown = self.run("led_sim", ["show"], text=True)
        found = re.search(r"^colour: (.+)$", shown.stdout, re.M)
        return found.group(1) if found else f"unreadable: {shown.stdout!r} {shown.stderr!r}"


# Requests per client under a sanitizer, which makes each many times slower, and under Wine, where
# memory is not measured and 64 clients x 1000 requests take over a minute (every reply right).
SANITIZED_REQUESTS = 50
EMULATED_REQUESTS = 250


class Runner:
    def __init__(self, launcher, bin_folder, tools, sanitized):
        self.launcher = shlex.split(launcher)
        self.bin = os.path.abspath(bin_folder)
        self.probe, self.load, self.pipe_access = tools
        self.sanitized = sanitized

    @property
    def under_emulator(self):
        return bool(self.launcher)

    def command(self, folder, name, args):
        return self.launcher + [program(folder, name)] + args

    def check(self, case, service):
        """What went wrong (with the end of what the service said, if anything did), and how long
        the case took."""
        started = time.monotonic()
        problems = self.problems(case, service)
        if problems and service.outputs:
            problems.append("the service said, last: " + "".join(service.said().splitlines(True)[-40:]))
        return problems, time.monotonic() - started

    def problems(self, case, service):
        reset = service.run("led_sim", ["reset"])
        if reset.returncode != 0:
            return [f"led_sim reset failed: status {reset.returncode}, {reset.stderr!r}"]
        problems = []
        if case.service != "absent":
            refused = service.start()
            if case.service == "refuses":
                if refused is None or case.start_err not in refused or service.process.returncode != 1:
                    problems.append(f"the service should have refused to start with {case.start_err!r}; "
                                    f"status {service.process.returncode}, said {refused!r}")
            elif refused is not None:
                return [f"the service did not start: {refused!r}"]
        try:
            mark = 0
            for step in case.steps:
                if isinstance(step, Ctl):
                    mark = len(service.journal_lines())
                problems += self.take(step, service, mark)
                if problems:
                    break
        finally:
            service.stop()
        return problems

    def take(self, step, service, mark):
        """What went wrong with one step."""
        if isinstance(step, Ctl):
            as_user = ([] if step.user is None else
                       ["setpriv", f"--reuid={step.user}", f"--regid={grp.getgrgid(pwd.getpwnam(step.user).pw_gid).gr_name}",
                        "--clear-groups"])
            result = subprocess.run(as_user + self.command(service.bin, "kav_morv_ledctl", step.args),
                                    env=service.environment, stdin=subprocess.DEVNULL, capture_output=True,
                                    text=True, timeout=TIMEOUT_S)
            out = result.stdout.replace("\r\n", "\n").splitlines()
            problems = [] if result.returncode == step.status else [f"{step.args}: status {result.returncode}, "
                                                                    f"not {step.status}: {result.stderr!r}"]
            if step.out is not None and out != step.out:
                problems.append(f"{step.args}: printed {out}, not {step.out}")
            if step.err is not None and step.err not in result.stderr:
                problems.append(f"{step.args}: said {result.stderr!r}, not {step.err!r}")
            if step.json is not None:
                problems += json_problems(result.stdout, step.json)
            return problems
        if isinstance(step, Probe):
            return self.probe_problems(step, service)
        if isinstance(step, Led):
            seen = service.led()
            return [] if seen == step.colour else [f"the LED is {seen}, not {step.colour}"]
        if isinstance(step, Wait):
            time.sleep(step.ms / 1000)
            return []
        if isinstance(step, Transitions):
            return transition_problems(transitions_in(service.journal_lines()[mark:]), step.expected,
                                       TOLERANCE_MS[self.under_emulator])
        if isinstance(step, SecondService):
            second = subprocess.run(self.command(service.bin, "kav_morv_led_service", ["--foreground"]),
                                    env=service.environment, stdin=subprocess.DEVNULL, capture_output=True,
                                    text=True, timeout=TIMEOUT_S)
            if second.returncode == 1 and step.err in second.stderr and "InitDll" not in second.stderr:
                return []
            return [f"a second service: status {second.returncode}, said {second.stderr!r}"]
        if isinstance(step, Stop):
            service.stop()
            last = service.journal_lines()[-1].split(" ", 1)[1]
            problems = [] if service.process.returncode == 0 else [f"stopped with {service.process.returncode}"]
            return problems + ([] if last == "ShutdownWinIo" else [f"the driver's last call was {last!r}"])
        if isinstance(step, Kill):
            service.stop(now=True)
            return []
        if isinstance(step, Restart):
            refused = service.start(step.prefix)
            if refused is not None:
                return [f"the service did not start again: {refused!r}"]
            late = step.seconds is not None and service.started_in > step.seconds
            return [f"it served again {service.started_in:.2f} s after its start"] if late else []
        if isinstance(step, Said):
            said = service.said()
            return [] if step.text in said else [f"the service did not say {step.text!r}: {said!r}"]
        if isinstance(step, StateFile):
            return state_problems(service, step)
        if isinstance(step, Access):
            return access_problems(service, step)
        if isinstance(step, Load):
            return self.load_problems(service, step)
        if isinstance(step, Flood):
            return self.flood_problems(service, step)
        if isinstance(step, Crashes):
            return self.crash_problems(service, step)
        if isinstance(step, PipeAccess):
            result = subprocess.run(self.launcher + [self.pipe_access, service.endpoint], env=service.environment,
                                    stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=TIMEOUT_S)
            got = result.stdout.strip()
            return [] if got == step.sddl else [f"the pipe's DACL is {got!r} {result.stderr!r}, not {step.sddl!r}"]
        raise TypeError(step)

    def run_load(self, service, *args):
        return subprocess.run(self.launcher + [self.load, *map(str, args)], env=service.environment,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=300)

    def load_problems(self, service, step):
        self.run_load(service, "many", step.clients, 16)
        measured = step.memory_kib is not None and not (self.sanitized or self.under_emulator)
        warm = resident_kib(service.process.pid) if measured else 0
        requests = min(step.requests, SANITIZED_REQUESTS if self.sanitized
                       else EMULATED_REQUESTS if self.under_emulator else step.requests)
        result = self.run_load(service, "many", step.clients, requests)
        printed = result.stdout.replace("\r\n", "\n").splitlines()
        expected = [f"replies {step.clients * requests} 0"]
        if result.returncode != 0 or printed[:1] != expected:
            return [f"load: printed {printed}, not {expected}: {result.stderr!r}"]
        problems = self.take(Ctl(["get"], out=[printed[1]]), service, 0) + self.take(Led(SEEN_AS[printed[1]]), service, 0)
        after = resident_kib(service.process.pid) if measured else 0
        if after - warm > (step.memory_kib or 0):
            problems.append(f"resident memory {warm} KiB after the warm-up, then {after} KiB")
        return problems

    def flood_problems(self, service, step):
        result = self.run_load(service, "flood", 500, 200_000)
        found = re.match(r"idle ([\d.]+) flooded ([\d.]+)", result.stdout)
        if result.returncode != 0 or not found:
            return [f"flood: {result.stdout!r} {result.stderr!r}"]
        idle, flooded = float(found.group(1)), float(found.group(2))
        return [] if flooded <= step.times * idle else [f"round trip {flooded} µs flooded, {idle} µs idle"]

    def crash_problems(self, service, step):
        asked = set()
        for round_number in range(step.rounds):
            stop = threading.Event()
            busy = threading.Thread(target=keep_setting, args=(service.endpoint, stop, asked))
            busy.start()
            time.sleep(random.uniform(0.05, 0.4))
            service.stop(now=True)
            stop.set()
            busy.join()
            problems = self.take(Restart(seconds=1.0), service, 0)
            seen = service.led()
            if seen not in {SEEN_AS[colour] for colour in asked} | {"off"}:
                problems.append(f"after crash {round_number + 1} the LED is {seen}, which nobody asked for")
            if problems:
                return problems
        return []

    def probe_problems(self, step, service):
        replies = len(step.replies) if step.counts is None else 1
        args = ["--send", step.data.hex(), "--connections", str(step.connections), "--replies", str(replies),
                "--hold-ms", str(step.hold_ms)] + (["--hang-up"] if step.hang_up else [])
        started = time.monotonic()
        result = subprocess.run(self.launcher + [self.probe] + args, env=service.environment,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=TIMEOUT_S)
        took = time.monotonic() - started
        printed = result.stdout.replace("\r\n", "\n").splitlines()
        what = f"probe {step.data[:40]!r}"
        problems = [] if result.returncode == 0 else [f"{what}: status {result.returncode}: {result.stderr!r}"]
        if step.counts is not None:
            counts = {line: printed.count(line) for line in set(printed)}
            if counts != step.counts:
                problems.append(f"{what}: printed {counts}, not {step.counts}")
        elif printed != step.replies:
            problems.append(f"{what}: printed {printed}, not {step.replies}")
        if step.seconds is not None and took > step.seconds:
            problems.append(f"{what}: took {took:.1f} s, more than {step.seconds} s")
        return problems


# The viewer's name for each colour keyword.
SEEN_AS = {"off": "off", "red": "red", "green": "green", "blue": "blue", "white": "white", "cb": "cyan",
           "yellow": "yellow", "purple": "purple"}


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def keep_setting(endpoint, stop, asked):
    """Sets colours over and over, on fresh connections and reused ones, until told to stop or the
    service goes away; adds each colour it asked to `asked`."""
    colours = list(SEEN_AS)
    while not stop.is_set():
        try:
            with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as client:
                client.connect(endpoint)
                for _ in range(20):
                    colour = random.choice(colours)
                    asked.add(colour)
                    client.sendall(f"set {colour} name=busy{random.randrange(4)} priority={random.randrange(9)}\n"
                                   .encode())
                    client.recv(64)
        except OSError:
            time.sleep(0.01)


def state_problems(service, step):
    problems = []
    if step.set_aside and not os.path.exists(service.state + ".corrupt"):
        problems.append("the corrupt state file was not set aside")
    time.sleep(0.2)  # the state file is written by a thread of its own
    text = open(service.state).read() if os.path.exists(service.state) else ""
    if step.text is not None and step.text not in text:
        problems.append(f"the state file holds {text!r}, not {step.text!r}")
    return problems


def access_problems(service, step):
    folder, socket_path = os.stat(os.path.dirname(service.endpoint)), os.stat(service.endpoint)
    got = (stat.S_IMODE(folder.st_mode), stat.S_IMODE(socket_path.st_mode), grp.getgrgid(folder.st_gid).gr_name,
           grp.getgrgid(socket_path.st_gid).gr_name)
    expected = (step.folder_mode, step.socket_mode, step.group, step.group)
    return [] if got == expected else [f"folder and socket modes and groups {got}, not {expected}"]


def json_problems(stdout, expected):
    try:
        status = json.loads(stdout)
    except json.JSONDecodeError:
        return [f"status --json printed {stdout!r}, which is not JSON"]
    got = {key: status.get(key) for key in expected if key != "names"}
    got["names"] = [indication["name"] for indication in status.get("indications", [])]
    return [] if got == expected else [f"status --json: {got}, not {expected}"]


def transition_problems(changes, expected, tolerance_ms):
    if not changes:
        return ["the LED did not change"]
    first = changes[0][0]
    got = [(colour, (stamp - first) / 1000) for stamp, colour in changes]
    matches = len(got) == len(expected) and all(
        colour == want and abs(at - want_at) <= tolerance_ms for (colour, at), (want, want_at) in zip(got, expected))
    rounded = [(colour, round(at)) for colour, at in got]
    return [] if matches else [f"the LED changed as {rounded}, not {expected} (within {tolerance_ms} ms)"]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, help="the build's bin folder")
    parser.add_argument("--probe", required=True, help="the protocol probe program")
    parser.add_argument("--load", required=True, help="the load program")
    parser.add_argument("--pipe-access", help="the program that shows a pipe's DACL (Windows)")
    parser.add_argument("--sanitized", action="store_true", help="the build is instrumented by a sanitizer")
    parser.add_argument("--launcher", default="", help="command prefix that runs the bin folder's programs")
    parser.add_argument("--jobs", type=int, default=4, help="cases run at once")
    options = parser.parse_args()

    runner = Runner(options.launcher, options.bin, (options.probe, options.load, options.pipe_access),
                    options.sanitized)
    cases = [case for case in CASES if not (case.native_only and runner.under_emulator)
             and not (case.windows_only and not runner.under_emulator)]
    failed = 0
    with tempfile.TemporaryDirectory(prefix="led_service_e2e_") as scratch:
        # Every folder is staged before any process starts: one started while a program is being
        # copied would hold the copy open, and it could not be run ("Text file busy").
        # Other users run programs from it in some cases.
        os.chmod(scratch, 0o755)
        services = [Service(runner, os.path.join(scratch, str(index)), index, case)
                    for index, case in enumerate(cases)]
        with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
            outcomes = [pool.submit(runner.check, case, service) for case, service in zip(cases, services)]
            for case, outcome in zip(cases, outcomes):
                problems, took = outcome.result()
                print(("FAIL " if problems else "ok   ") + f"{case.name} ({took:.1f} s)", flush=True)
                for problem in problems:
                    print("     " + problem)
                failed += bool(problems)
    print(f"{len(cases) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
