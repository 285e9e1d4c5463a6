#!/usr/bin/env python3
"""Runs the LED service's end-to-end table (cases.py) against one build's bin folder.

    run_service_e2e.py --bin build/native/bin --probe build/native/tests/protocol_probe ...
    run_service_e2e.py --bin build/windows/bin --probe .../protocol_probe.exe --launcher /usr/lib/wine/wine64 ...

Each case gets a fresh copy of the bin folder, a simulated LED reset to power-on, an endpoint of
its own and a service started on it; then its steps run in order against the real client, the
protocol probe and the simulated LED's viewer and timestamped journal. The cases in which another
program holds the register lock run only with --holding-lock: under Wine, where that lock is the
whole machine's, one at a time.
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
from cases import (CASES, Access, Crashes, Ctl, DeafWatcher, DeInitCalled, DriverArrives, Events,  # noqa: E402
                   EverySignal, Flood, FlushesSeen, HoldLock, Impostor, Kill, Led, Load, PipeAccess, Probe, ReaderGone, Restart, Said, SecondService,
                   Signal, StateFile, StatusFlood, Stop, StopWatch, Tester, Together, Transitions, Watch)
from journal import transitions_in  # noqa: E402
from register_lock import private_locks_possible, sharing_lock_file  # noqa: E402
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402
from waiting import wait_until  # noqa: E402

TIMEOUT_S = 60
# How long a step waits for what it expects to come about (the LED to change, a line in the log,
# the state file to be written) before it fails: far more than it ever takes.
DEADLINE_S = 20


def as_user(user, group=None, primary=None):
    """The command prefix that runs a program as `user`, with that user's own group (or `primary`)
    and, when given, `group` beside it."""
    if user is None:
        return []
    supplementary = f"--groups={grp.getgrnam(group).gr_gid}" if group else "--clear-groups"
    primary_gid = grp.getgrnam(primary).gr_gid if primary else pwd.getpwnam(user).pw_gid
    return ["setpriv", f"--reuid={user}", f"--regid={primary_gid}", supplementary]


class Service:
    """One case's service: its folder, endpoint, state file, environment and process."""

    def __init__(self, runner, root, index, case):
        self.runner = runner
        self.bin = copy_bin(runner.bin, os.path.join(root, "bin"))
        self.journal = os.path.join(root, "journal.txt")
        self.endpoint = (f"kav_morv_led_e2e_{os.getpid()}_{index}" if runner.under_emulator
                         else os.path.join(root, "run" if case.socket_folder else "", "led.sock"))
        if case.socket_path_bytes is not None:
            padding = "p" * (case.socket_path_bytes - len(os.path.join(root, "", "led.sock")) - 1)
            os.mkdir(os.path.join(root, padding))
            self.endpoint = os.path.join(root, padding, "led.sock")
        self.state = os.path.join(root, "state", "state.json")
        # Natively each case has a register lock of its own, which its service, testers and lock
        # holders share: a case that sets the LED without pause never starves another's blink of
        # it. Under Wine the lock is the wineserver's.
        self.locked = [] if runner.under_emulator else sharing_lock_file(os.path.join(root, "register.lock"))
        self.group = case.args[case.args.index("--group") + 1] if "--group" in case.args else None
        if case.state is not None:
            os.mkdir(os.path.dirname(self.state))
            if case.state == "<folder>":
                os.mkdir(self.state)
            elif case.state == "<fifo>":
                os.mkfifo(self.state)
            else:
                with open(self.state, "w") as state:
                    state.write(case.state)
        if case.state_new is not None:
            os.makedirs(os.path.dirname(self.state), exist_ok=True)
            plant(self.state + ".new", case.state_new)
        if case.journal is not None:
            os.makedirs(os.path.dirname(self.state), exist_ok=True)
            if case.journal.startswith("<"):
                plant(self.state + ".journal", case.journal)
            else:
                with open(self.state + ".journal", "w") as journal:
                    journal.write(case.journal)
        # What the flush watch, preloaded into the service alone, writes down.
        self.flushes = os.path.join(root, "flushes.txt") if case.flushes_watched else None
        if case.occupied == "<folder>":
            os.mkdir(self.endpoint)
        elif case.occupied is not None:
            with open(self.endpoint, "w") as occupant:
                occupant.write(case.occupied)
        self.args = ["--foreground", "--state", self.state, *case.args]
        # The stand-in journals every driver call (a file opened and closed each time) only for the
        # cases that read the journal: under load it would cost more than the service.
        reads_journal = any(isinstance(step, (Transitions, Stop, StatusFlood, EverySignal, DeInitCalled))
                            for step in case.steps)
        self.environment = clean_environment(KAV_MORV_LED_ENDPOINT=self.endpoint,
                                             **({"LED_SIM_JOURNAL": self.journal} if reads_journal else {}))
        self.faults = case.faults
        self.umask = case.umask
        self.process = None
        self.outputs = []  # what each start of the service has written, read on as it comes
        self.started_in = None
        self.helpers = []  # programs a step started beside the service: a lock holder, an impostor
        self.watch = None  # a kav_morv_ledctl watch, and the lines it printed
        self.watch_plain = False
        self.watched = []

    def run(self, name, args, locked=False, **options):
        return subprocess.run((self.locked if locked else []) + self.runner.command(self.bin, name, args),
                              env=self.environment,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT_S, **options)

    def start(self, prefix=(), until="serving on"):
        """Starts the service; returns None once it serves (or says `until`), else what it wrote
        before it ended."""
        environment = dict(self.environment, **({"LED_SIM_FAULTS": self.faults} if self.faults else {}),
                           **({"LD_PRELOAD": self.runner.flush_watch, "FLUSH_WATCH_REPORT": self.flushes}
                              if self.flushes else {}))
        started = time.monotonic()
        self.process, said, serving = start_service(
            [*self.locked, *prefix, *self.runner.service_prefix,
             *self.runner.command(self.bin, "kav_morv_led_service", self.args)], environment, self.umask, until)
        self.started_in = time.monotonic() - started
        self.outputs.append(said)
        return None if serving else "".join(said)

    def stop(self, now=False, how=signal.SIGTERM):
        """Asks it to stop (SIGTERM, or the signal given), or ends it at once; under Wine, always at once.
        Returns what went wrong: a service that does not stop when asked is killed."""
        if self.process and self.process.poll() is None:
            if now or self.runner.under_emulator:
                self.process.kill()
            else:
                self.process.send_signal(how)
            try:
                self.process.wait(TIMEOUT_S)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
                return [f"the service did not stop within {TIMEOUT_S} s of being asked: killed"]
        return []

    def end_helpers(self):
        for helper in self.helpers:
            if hasattr(helper, "poll") and helper.poll() is not None:
                continue
            if hasattr(helper, "kill"):
                helper.kill()
                helper.wait()
            else:
                helper.close()
        self.helpers = []

    def said(self):
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
    def __init__(self, launcher, bin_folder, tools, sanitized, service_prefix="", flush_watch=None):
        self.launcher = shlex.split(launcher)
        self.flush_watch = flush_watch
        self.service_prefix = shlex.split(service_prefix)
        self.bin = os.path.abspath(bin_folder)
        self.probe, self.load, self.pipe_access, self.lock_holder = tools
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
        if case.squatted:
            squatter = subprocess.Popen(self.launcher + [self.pipe_access, "squat", service.endpoint], env=service.environment,
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            service.helpers.append(squatter)
            if squatter.stdout.readline().strip() != "held":
                return ["the other program could not make the pipe"]
        if case.service == "waits":
            os.rename(os.path.join(service.bin, "WinIo64.dll"), service.bin + ".WinIo64.dll")
            refused = service.start(until="cannot be driven yet")
            if refused is not None:
                return [f"the service did not wait for its LED: {refused!r}"]
        elif case.service != "absent":
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
            # Helpers first: a lock holder left holding would keep the stopping service's DeInit waiting.
            service.end_helpers()
            problems += service.stop()
        return problems

    def take(self, step, service, mark):
        """What went wrong with one step."""
        if isinstance(step, Ctl):
            return self.ctl_problems(step, service)
        if isinstance(step, Probe):
            return self.probe_problems(step, service)
        if isinstance(step, Together):
            with concurrent.futures.ThreadPoolExecutor(len(step.probes)) as pool:
                return [problem for problems in pool.map(lambda probe: self.probe_problems(probe, service), step.probes)
                        for problem in problems]
        if isinstance(step, Led):
            if step.eventually:
                wait_until(lambda: service.led() == step.colour, DEADLINE_S)
            seen = service.led()
            return [] if seen == step.colour else [f"the LED is {seen}, not {step.colour}"]
        if isinstance(step, Transitions):
            # Until the LED has taken as many colours as expected, then a moment more for any
            # it should not have taken.
            def changes():
                return transitions_in(service.journal_lines()[mark:])
            wait_until(lambda: len(changes()) >= len(step.expected), DEADLINE_S)
            return transition_problems(changes(), step.expected)
        if isinstance(step, SecondService):
            spelling = ["--endpoint", step.spelled(service.endpoint)] if step.spelled else []
            second = subprocess.run(self.command(service.bin, "kav_morv_led_service", ["--foreground", *spelling]),
                                    env=service.environment, stdin=subprocess.DEVNULL, capture_output=True,
                                    text=True, timeout=TIMEOUT_S)
            if second.returncode == 1 and step.err in second.stderr and "InitDll" not in second.stderr:
                return []
            return [f"a second service: status {second.returncode}, said {second.stderr!r}"]
        if isinstance(step, Stop):
            return stop_problems(service, step)
        if isinstance(step, DeInitCalled):
            return deinit_problems(service)
        if isinstance(step, EverySignal):
            return self.every_signal_problems(service)
        if isinstance(step, StatusFlood):
            return self.status_flood_problems(service, step, mark)
        if isinstance(step, Watch):
            service.watch_plain = step.plain
            service.watch = subprocess.Popen(self.command(service.bin, "kav_morv_ledctl",
                                                          ["watch"] + ([] if step.plain else ["--json"])),
                                             env=service.environment, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                             stderr=subprocess.PIPE, text=True)
            service.helpers.append(service.watch)
            began = service.watch.stderr.readline()
            threading.Thread(target=lambda: service.watched.extend(service.watch.stdout), daemon=True).start()
            return [] if "watching the LED service" in began else [f"the watch did not begin: {began!r}"]
        if isinstance(step, Events):
            return events_problems(service, step)
        if isinstance(step, StopWatch):
            if step.interrupt:
                service.watch.send_signal(signal.SIGINT)
            status = service.watch.wait(TIMEOUT_S)
            return [] if status == step.status else [f"the watch ended with {status}, not {step.status}: "
                                                     f"{service.watch.stderr.read()!r}"]
        if isinstance(step, DeafWatcher):
            return deaf_watcher_problems(service, step)
        if isinstance(step, Tester):
            tester = service.run("KAV_MORV_LED_ConsoleTester", [step.keyword], locked=True, text=True)
            return [] if tester.returncode == 0 else [f"the tester: status {tester.returncode}, {tester.stderr!r}"]
        if isinstance(step, DriverArrives):
            os.rename(service.bin + ".WinIo64.dll", os.path.join(service.bin, "WinIo64.dll"))
            return []
        if isinstance(step, Signal):
            service.process.send_signal(getattr(signal, step.name))
            return []
        if isinstance(step, Kill):
            service.stop(now=True)
            return []
        if isinstance(step, Restart):
            refused = service.start(step.prefix)
            if refused is not None:
                return [f"the service did not start again: {refused!r}"]
            return []
        if isinstance(step, Said):
            found = wait_until(lambda: step.text in service.said(), DEADLINE_S)
            return [] if found else [f"the service did not say {step.text!r}: {service.said()!r}"]
        if isinstance(step, StateFile):
            return state_problems(service, step)
        if isinstance(step, FlushesSeen):
            seen = open(service.flushes).read().splitlines() if os.path.exists(service.flushes) else []
            breaches = [line for line in seen if line.startswith("breach")]
            flushes = seen.count("journal flushed")
            return breaches + ([] if flushes >= step.least else [f"the journal was flushed {flushes} times, "
                                                                    f"not at least {step.least}"])
        if isinstance(step, Access):
            return access_problems(service, step)
        if isinstance(step, Load):
            return self.load_problems(service, step)
        if isinstance(step, Flood):
            return self.flood_problems(service, step)
        if isinstance(step, Crashes):
            return self.crash_problems(service, step)
        if isinstance(step, HoldLock):
            holder = subprocess.Popen(service.locked + self.launcher + [self.lock_holder, str(step.ms)],
                                      stdout=subprocess.PIPE,
                                      stdin=subprocess.DEVNULL, text=True)
            service.helpers.append(holder)
            return [] if holder.stdout.readline().strip() == "held" else ["the lock holder did not take the lock"]
        if isinstance(step, Impostor):
            service.helpers.append(impostor(service.endpoint, step.reply, step.then_close))
            return []
        if isinstance(step, ReaderGone):
            return self.reader_gone_problems(service)
        if isinstance(step, PipeAccess):
            result = subprocess.run(self.launcher + [self.pipe_access, service.endpoint], env=service.environment,
                                    stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=TIMEOUT_S)
            got = result.stdout.strip()
            return [] if got == step.sddl else [f"the pipe's DACL is {got!r} {result.stderr!r}, not {step.sddl!r}"]
        raise TypeError(step)

    def ctl_problems(self, step, service):
        # status says read_back null when the LED could not be read within its bound, which a busy machine
        # can make happen: such a status is asked again, as a script would, until a deadline.
        deadline = time.monotonic() + TIMEOUT_S
        while True:
            problems, stdout = self.one_ctl_problems(step, service)
            if not (problems and unread(stdout, step.json)) or time.monotonic() > deadline:
                return problems

    def one_ctl_problems(self, step, service):
        started = time.monotonic()
        result = subprocess.run(as_user(step.user, service.group if step.member else None, step.primary) +
                                self.command(service.bin, "kav_morv_ledctl", step.args),
                                env=service.environment, stdin=subprocess.DEVNULL, capture_output=True,
                                text=True, timeout=TIMEOUT_S)
        took = time.monotonic() - started
        out = result.stdout.replace("\r\n", "\n").splitlines()
        problems = [] if result.returncode == step.status else [f"{step.args}: status {result.returncode}, "
                                                                f"not {step.status}: {result.stderr!r}"]
        if step.out is not None and out != step.out:
            problems.append(f"{step.args}: printed {out}, not {step.out}")
        if step.err is not None and step.err not in result.stderr:
            problems.append(f"{step.args}: said {result.stderr!r}, not {step.err!r}")
        if step.json is not None:
            problems += json_problems(result.stdout, step.json)
        if step.within_s is not None and took > step.within_s:
            problems.append(f"{step.args}: took {took:.1f} s, more than {step.within_s} s")
        return problems, result.stdout

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
        # A millisecond beside: on an oversubscribed machine a median of microseconds is the
        # scheduler's, while a client held up waits for the flood, many milliseconds.
        return [] if flooded <= step.times * idle + 1000 else [f"round trip {flooded} µs flooded, {idle} µs idle"]

    def status_flood_problems(self, service, step, mark):
        """A status flood: every reply a status, the blink set before still blinking, memory bounded."""
        measured = not (self.sanitized or self.under_emulator)
        before = resident_kib(service.process.pid) if measured else 0
        cpu_before, began = (cpu_seconds(service.process.pid) if measured else 0), time.monotonic()
        started = len(service.journal_lines())
        result = subprocess.run(as_user(step.user, service.group if step.user else None) + self.launcher +
                                [self.load, "status-flood", str(step.connections), str(step.ms)],
                                env=service.environment, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                timeout=TIMEOUT_S)
        found = re.match(r"statuses (\d+) (\d+)", result.stdout)
        if result.returncode != 0 or not found:
            return [f"status flood: {result.stdout!r} {result.stderr!r}"]
        problems = []
        if measured:
            cpu = (cpu_seconds(service.process.pid) - cpu_before) / (time.monotonic() - began)
            if cpu > step.most_cpu:
                problems.append(f"the service used {cpu:.0%} of a core during the flood")
            grown = resident_kib(service.process.pid) - before
            if step.memory_mib is not None and grown > step.memory_mib * 1024:
                problems.append(f"resident memory grew by {grown} KiB during the flood")
        if step.blink_ms is not None:
            changes = len(transitions_in(service.journal_lines()[started:]))
            due = step.ms // step.blink_ms
            if changes < step.least_share * due:
                problems.append(f"the blink changed the LED {changes} times during the flood, of {due} due")
        return problems

    def every_signal_problems(self, service):
        for number in sent_signals():
            if f"signal {number} cannot be caught here" in service.said():
                continue  # kept by the debugger the service runs under, as the service said
            name = signal.strsignal(number) or f"signal {number}"
            said_before = len(service.said())
            # Only these two may be discarded without a word: writes then fail instead.
            discarded = number in signals_ignored_by(service.process.pid)
            if discarded and number not in (signal.SIGPIPE, signal.SIGXFSZ):
                return [f"{name} is discarded, neither stopping the service nor said to be ignored"]
            service.process.send_signal(number)
            # It either ends, or says it ignores the signal, or the system discards it.
            wait_until(lambda: discarded or service.process.poll() is not None or
                       f"signal {number} ignored" in service.said()[said_before:], DEADLINE_S)
            status = service.process.poll()
            if (status is None) == (number in STOPPING_SIGNALS):
                return [f"{name} {'was ignored' if status is None else 'stopped the service'}: only "
                        f"{', '.join(signal.Signals(stopping).name for stopping in sorted(STOPPING_SIGNALS))} stop it"]
            if status is None:
                served = self.take(Ctl(["get"]), service, 0)
                if served:
                    return [f"after {name}: " + problem for problem in served]
                continue
            problems = ([] if status == 0 else [f"{name} ended it with {status}"]) + deinit_problems(service)
            problems += self.take(Restart(), service, 0)
            if problems:
                return [f"after {name}: " + problem for problem in problems]
        return []

    def reader_gone_problems(self, service):
        watch = subprocess.Popen(self.command(service.bin, "kav_morv_ledctl", ["watch"]), env=service.environment,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        service.helpers.append(watch)
        if "watching" not in watch.stderr.readline():
            return ["the watch did not begin"]
        problems = self.take(Ctl(["set", "red", "--name", "first"]), service, 0)
        first = watch.stdout.readline()
        watch.stdout.close()  # the reader goes, as head does after its line
        problems += self.take(Ctl(["set", "blue", "--name", "second"]), service, 0)
        try:
            status = watch.wait(DEADLINE_S)
        except subprocess.TimeoutExpired:
            return problems + [f"the watch went on after its reader had gone (it printed {first!r})"]
        said = watch.stderr.read()
        if status != 1 or "standard output was closed" not in said:
            problems.append(f"the watch ended with {status}, saying {said!r}")
        return problems

    def crash_problems(self, service, step):
        asked = set()
        for round_number in range(step.rounds):
            stop = threading.Event()
            busy = threading.Thread(target=keep_setting, args=(service.endpoint, stop, asked))
            busy.start()
            time.sleep(random.uniform(0.05, 0.4))  # a random moment to crash at, not a wait for anything
            service.stop(now=True)
            stop.set()
            busy.join()
            problems = self.take(Restart(), service, 0)
            seen = service.led()
            if seen not in {SEEN_AS[colour] for colour in asked} | {"off"}:
                problems.append(f"after crash {round_number + 1} the LED is {seen}, which nobody asked for")
            if problems:
                return problems
        return []

    def probe_problems(self, step, service):
        problems = self.one_probe_problems(step, service)
        deadline = time.monotonic() + DEADLINE_S
        while step.eventually and problems and time.monotonic() < deadline:
            time.sleep(0.1)
            problems = self.one_probe_problems(step, service)
        return problems

    def background_probe_problems(self, step, service):
        probe = subprocess.Popen(as_user(step.user, service.group if step.user else None) + self.launcher +
                                 [self.probe, "--connections", str(step.connections), *step.actions],
                                 env=service.environment, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        service.helpers.append(probe)
        printed = [probe.stdout.readline().strip() for _ in step.replies]
        return [] if printed == step.replies else [f"a probe in the background printed {printed}, not {step.replies}"]

    def one_probe_problems(self, step, service):
        if step.background:
            return self.background_probe_problems(step, service)
        if step.actions is not None:
            actions = step.actions
        else:
            replies = len(step.replies) if step.counts is None else step.data.count(b"\n")
            actions = [f"send:{step.data.hex()}"] + ([f"pause:{step.hold_ms}"] if step.hold_ms else []) + \
                      (["hangup"] if step.hang_up else [f"read:{replies}"])
        started = time.monotonic()
        what = f"probe {(step.data or ' '.join(actions).encode())[:40]!r}"
        deadline_s = step.deadline_s or TIMEOUT_S
        try:
            result = subprocess.run(as_user(step.user, service.group if step.user else None) + self.launcher +
                                    [self.probe, "--connections", str(step.connections), *actions],
                                    env=service.environment, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                    timeout=deadline_s)
        except subprocess.TimeoutExpired:
            return [f"{what}: not done after {deadline_s} s"]
        took = time.monotonic() - started
        printed = result.stdout.replace("\r\n", "\n").splitlines()
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


def cpu_seconds(pid):
    """The processor time a process has used, in its threads and the system's for it."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


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
            stop.wait(0.01)  # the service is restarting: try again soon


def impostor(path, reply, then_close=False):
    """A socket at the service's endpoint that answers every line it reads with `reply` (or never,
    for None), as a broken or hostile program in the service's place would; with `then_close` it
    closes the connection after it."""
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen()

    def serve():
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return  # closed at the end of the case
            with client:
                if client.recv(4096) and reply is not None:
                    client.sendall(reply)
                if not then_close:
                    client.recv(4096)  # until the client goes
    threading.Thread(target=serve, daemon=True).start()
    return listener


def events_problems(service, step):
    """The watch's events so far, against those expected."""
    wait_until(lambda: len(service.watched) >= len(step.expected), DEADLINE_S)
    watched = [line.rstrip("\r\n") for line in service.watched]
    if service.watch_plain:
        got = watched
        numbers = [int(re.match(r"#(\d+) ", line).group(1)) if re.match(r"#\d+ ", line) else None for line in got]
    else:
        try:
            events = [json.loads(line) for line in watched]
        except json.JSONDecodeError:
            return [f"the watch printed {service.watched!r}, which is not JSON lines"]
        got = [" ".join(str(event[field]) for field in step.fields) for event in events]
        numbers = [event["seq"] for event in events]
    problems = [] if (got == step.expected or (step.more and got[:len(step.expected)] == step.expected)) else \
        [f"the watch saw {got}, not {step.expected}"]
    first = step.first_seq if step.first_seq is not None else (numbers[0] if numbers else None)
    if numbers and None not in numbers and numbers != list(range(first, first + len(numbers))) or None in numbers:
        problems.append(f"the events are numbered {numbers}, not one by one from {first}")
    return problems


def deaf_watcher_problems(service, step):
    """A watcher that reads nothing while another client makes changes in a stream of requests."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as deaf, \
            socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as busy:
        deaf.connect(service.endpoint)
        deaf.sendall(b"watch\n")
        busy.connect(service.endpoint)
        reader = threading.Thread(target=lambda: read_replies(busy, step.changes), daemon=True)
        reader.start()
        for index in range(step.changes):
            busy.sendall(f"set {'red' if index % 2 else 'blue'} name=busy\n".encode())
        reader.join(TIMEOUT_S)
        # Cut off, what it was sent ends: it reads to the end of what the system held for it.
        deaf.settimeout(TIMEOUT_S)
        try:
            while deaf.recv(65536):
                pass
        except OSError as error:
            return [f"the deaf watcher was not cut off: {error}"]
    return []


def read_replies(connection, count):
    received = b""
    while received.count(b"\n") < count:
        chunk = connection.recv(65536)
        if not chunk:
            return
        received += chunk


# The signals that stop the service as it should stop: those its help names (Ctrl-C, SIGTERM,
# SIGHUP, SIGQUIT), and the system's warning that its processor time runs out. Every other is
# ignored.
STOPPING_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGXCPU,
                    *([signal.SIGSTKFLT] if hasattr(signal, "SIGSTKFLT") else [])}


def sent_signals():
    """Every signal another process may send whose default is to end the process or dump its core,
    but for the faults, which stay faults, and SIGKILL, which nothing can catch."""
    faults = {signal.SIGSEGV, signal.SIGBUS, signal.SIGILL, signal.SIGFPE, signal.SIGABRT, signal.SIGSYS,
              signal.SIGTRAP, signal.SIGKILL, signal.SIGSTOP}
    ignored_by_default = {signal.SIGCHLD, signal.SIGCONT, signal.SIGURG, signal.SIGWINCH, signal.SIGTSTP,
                          signal.SIGTTIN, signal.SIGTTOU}
    return [number for number in range(1, signal.SIGRTMAX + 1)
            if number in signal.valid_signals() and number not in faults | ignored_by_default]


def signals_ignored_by(pid):
    """The signals the process has set to be discarded (its SigIgn mask)."""
    with open(f"/proc/{pid}/status") as status:
        mask = next(int(line.split()[1], 16) for line in status if line.startswith("SigIgn:"))
    return {number for number in range(1, 65) if mask >> (number - 1) & 1}


def deinit_problems(service):
    """Whether DeInit was called: ShutdownWinIo, which only it calls, is the driver's last call."""
    lines = service.journal_lines()
    last = lines[-1].split(" ", 1)[1] if lines else "none"
    return [] if last == "ShutdownWinIo" else [f"the driver's last call was {last!r}"]


def plant(path, kind):
    """Something at `path` that is not a file to write: a FIFO, a folder, or a link to elsewhere."""
    if kind == "<fifo>":
        os.mkfifo(path)
    elif kind == "<folder>":
        os.mkdir(path)
    else:
        os.symlink(os.path.join(os.path.dirname(path), "elsewhere"), path)


def stop_problems(service, step):
    """The service asked to stop, with a client connected if the step says so: exit status 0, and
    DeInit called (its ShutdownWinIo is the driver's last call)."""
    clients = []
    for _ in range(step.connected):
        client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        client.connect(service.endpoint)
        client.sendall(b"get\n")
        client.recv(64)  # served, and still connected
        clients.append(client)
    problems = service.stop(how=getattr(signal, step.signal))
    for client in clients:
        client.close()
    problems += [] if service.process.returncode == 0 else [f"stopped with {service.process.returncode}"]
    return problems + deinit_problems(service)


def state_problems(service, step):
    problems = []
    if step.set_aside and not os.path.exists(service.state + ".corrupt"):
        problems.append("the corrupt state file was not set aside")

    def text():
        # A change is appended to the journal, which is folded into the state file now and then.
        return "".join(open(path).read() if os.path.isfile(path) else ""
                       for path in (service.state, service.state + ".journal"))
    if step.text is not None and not wait_until(lambda: step.text in text(), DEADLINE_S):
        problems.append(f"the state file and its journal hold {text()!r}, not {step.text!r}")
    return problems


def access_problems(service, step):
    if step.lock_file is not None:
        there = os.path.exists(service.endpoint + ".lock")
        return [] if there == step.lock_file else [f"the endpoint's lock file is {'' if there else 'not '}there"]
    if step.occupant is not None:
        kind = "<folder>" if os.path.isdir(service.endpoint) else open(service.endpoint).read()
        return [] if kind == step.occupant else [f"what was at the socket's path is now {kind!r}"]
    folder, socket_path = os.stat(os.path.dirname(service.endpoint)), os.stat(service.endpoint)
    got = (stat.S_IMODE(folder.st_mode), stat.S_IMODE(socket_path.st_mode), grp.getgrgid(folder.st_gid).gr_name,
           grp.getgrgid(socket_path.st_gid).gr_name)
    expected = (step.folder_mode, step.socket_mode, step.group, step.group)
    return [] if got == expected else [f"folder and socket modes and groups {got}, not {expected}"]


def unread(stdout, expected):
    """Whether a status expected to read a colour back said read_back null instead."""
    try:
        return expected is not None and expected.get("read_back") and json.loads(stdout)["read_back"] is None
    except (json.JSONDecodeError, KeyError, TypeError):
        return False


def json_problems(stdout, expected):
    try:
        status = json.loads(stdout)
    except json.JSONDecodeError:
        return [f"status --json printed {stdout!r}, which is not JSON"]
    listed = {"names": "name", "owners": "owner", "lefts": "left_ms"}  # a field of each, in the order listed
    got = {key: [indication.get(listed[key]) for indication in status.get("indications", [])] if key in listed
           else status.get(key) for key in expected}
    wrong = {key: got[key] for key, want in expected.items() if not (want(got[key]) if callable(want) else
                                                                      got[key] == want)}
    return [] if not wrong else [f"status --json: {got}, not as expected in {sorted(wrong)}"]


def transition_problems(changes, expected):
    tolerance_ms = 0.4 * min(later - earlier for (_, earlier), (_, later) in zip(expected, expected[1:]))
    if not changes:
        return ["the LED did not change"]
    first = changes[0][0]
    got = [(colour, (stamp - first) / 1000) for stamp, colour in changes]
    matches = len(got) == len(expected) and all(
        colour == want and abs(at - want_at) <= tolerance_ms for (colour, at), (want, want_at) in zip(got, expected))
    rounded = [(colour, round(at)) for colour, at in got]
    return [] if matches else [f"the LED changed as {rounded}, not {expected} (within {tolerance_ms} ms)"]


def needs_root(case):
    """Whether a case counts on root's exemption from the caps, runs a program as another user, or
    gives the socket to a group: natively, only root may."""
    steps = [*case.steps, *[probe for step in case.steps if isinstance(step, Together) for probe in step.probes]]
    return case.as_root or "--group" in case.args or any(getattr(step, "user", None) for step in steps)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, help="the build's bin folder")
    parser.add_argument("--probe", required=True, help="the protocol probe program")
    parser.add_argument("--load", required=True, help="the load program")
    parser.add_argument("--lock-holder", required=True, help="the program that holds the register lock")
    parser.add_argument("--pipe-access", help="the program that shows a pipe's DACL (Windows)")
    parser.add_argument("--sanitized", action="store_true", help="the build is instrumented by a sanitizer")
    parser.add_argument("--launcher", default="", help="command prefix that runs the bin folder's programs")
    parser.add_argument("--jobs", type=int, default=4, help="cases run at once")
    parser.add_argument("--cases", default="", help="run only the cases whose name this regular expression finds")
    parser.add_argument("--service-prefix", default="",
                        help="command prefix for the service alone, such as valgrind and its options")
    parser.add_argument("--flush-watch", help="the library preloaded into the service to watch its flushes "
                                              "(natively, not under a sanitizer); without it, the cases that need it are left out")
    parser.add_argument("--holding-lock", action="store_true",
                        help="run only the cases in which another program holds the register lock, one at a time")
    options = parser.parse_args()

    runner = Runner(options.launcher, options.bin,
                    (options.probe, options.load, options.pipe_access, options.lock_holder), options.sanitized,
                    options.service_prefix, options.flush_watch and os.path.abspath(options.flush_watch))
    cases = [case for case in CASES if not (case.native_only and runner.under_emulator)
             and not (case.flushes_watched and not runner.flush_watch)
             and not (case.windows_only and not runner.under_emulator)
             and any(isinstance(step, HoldLock) for step in case.steps) == options.holding_lock
             and re.search(options.cases, case.name)]
    cases.sort(key=lambda case: not case.slow)
    if not runner.under_emulator and os.geteuid() != 0:
        for case in [case for case in cases if needs_root(case)]:
            print(f"skip {case.name} (it needs root: run the table as root)")
        cases = [case for case in cases if not needs_root(case)]
    failed = 0
    with tempfile.TemporaryDirectory(prefix="led_service_e2e_") as scratch:
        # Every folder is staged before any process starts: one started while a program is being
        # copied would hold the copy open, and it could not be run ("Text file busy").
        # Other users run programs from it in some cases.
        os.chmod(scratch, 0o755)
        services = [Service(runner, os.path.join(scratch, str(index)), index, case)
                    for index, case in enumerate(cases)]
        # Each case's programs share a register lock of their own where one can be had; else every
        # case shares the machine's, and a case holding it would make another's wait too long.
        one_at_a_time = (options.holding_lock and runner.under_emulator) or \
            (not runner.under_emulator and not private_locks_possible())
        with concurrent.futures.ThreadPoolExecutor(1 if one_at_a_time else options.jobs) as pool:
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
