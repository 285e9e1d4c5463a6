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
import json
import os
import re
import shlex
import signal
import subprocess
import sys
import tempfile
import time

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [here, os.path.join(here, "..", "support")]
from cases import CASES, Ctl, Led, Probe, SecondService, Stop, Transitions, Wait  # noqa: E402
from journal import transitions_in  # noqa: E402
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402

TIMEOUT_S = 60
# How far a change of the LED may stray from its asked time, in this end-to-end check (the
# benchmarks measure how close it really comes).
TOLERANCE_MS = {False: 30, True: 120}  # natively, under Wine

class Service:
    """One case's service: its folder, endpoint, environment and process."""

    def __init__(self, runner, root, index, faults):
        self.runner = runner
        self.bin = copy_bin(runner.bin, os.path.join(root, "bin"))
        self.journal = os.path.join(root, "journal.txt")
        endpoint = (f"kav_morv_led_e2e_{os.getpid()}_{index}" if runner.under_emulator
                    else os.path.join(root, "led.sock"))
        self.environment = clean_environment(LED_SIM_JOURNAL=self.journal, KAV_MORV_LED_ENDPOINT=endpoint)
        self.faults = faults
        self.process = None
        self.stderr = []

    def run(self, name, args, **options):
        return subprocess.run(self.runner.command(self.bin, name, args), env=self.environment,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT_S, **options)

    def start(self):
        """Starts the service; returns None once it serves, else what it wrote before it ended."""
        environment = dict(self.environment, **({"LED_SIM_FAULTS": self.faults} if self.faults else {}))
        self.process, self.stderr, serving = start_service(
            self.runner.command(self.bin, "kav_morv_led_service", ["--foreground"]), environment)
        return None if serving else "".join(self.stderr)

    def stop(self):
        if self.process and self.process.poll() is None:
            if self.runner.under_emulator:
                self.process.kill()
            else:
                self.process.send_signal(signal.SIGTERM)
            self.process.wait(TIMEOUT_S)

    def journal_lines(self):
        if not os.path.exists(self.journal):
            return []  # nothing has called the driver yet
        with open(self.journal) as journal:
            return journal.read().splitlines()

    def led(self):
        shown = self.run("led_sim", ["show"], text=True)
        found = re.search(r"^colour: (.+)$", shown.stdout, re.M)
        return found.group(1) if found else f"unreadable: {shown.stdout!r} {shown.stderr!r}"


class Runner:
    def __init__(self, launcher, bin_folder, probe):
        self.launcher = shlex.split(launcher)
        self.bin = os.path.abspath(bin_folder)
        self.probe = probe

    @property
    def under_emulator(self):
        return bool(self.launcher)

    def command(self, folder, name, args):
        return self.launcher + [program(folder, name)] + args

    def check(self, case, service):
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
            result = service.run("kav_morv_ledctl", step.args, text=True)
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
        raise TypeError(step)

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
    parser.add_argument("--launcher", default="", help="command prefix that runs the bin folder's programs")
    parser.add_argument("--jobs", type=int, default=4, help="cases run at once")
    options = parser.parse_args()

    runner = Runner(options.launcher, options.bin, options.probe)
    cases = [case for case in CASES if not (case.native_only and runner.under_emulator)]
    failed = 0
    with tempfile.TemporaryDirectory(prefix="led_service_e2e_") as scratch:
        # Every folder is staged before any process starts: one started while a program is being
        # copied would hold the copy open, and it could not be run ("Text file busy").
        services = [Service(runner, os.path.join(scratch, str(index)), index, case.faults)
                    for index, case in enumerate(cases)]
        with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
            outcomes = [pool.submit(runner.check, case, service) for case, service in zip(cases, services)]
            for case, outcome in zip(cases, outcomes):
                problems = outcome.result()
                print(("FAIL " if problems else "ok   ") + case.name, flush=True)
                for problem in problems:
                    print("     " + problem)
                failed += bool(problems)
    print(f"{len(cases) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
