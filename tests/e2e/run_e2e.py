#!/usr/bin/env python3
"""Runs the end-to-end table (cases.py) against one build's bin folder.

    run_e2e.py --bin build/native/bin --lock-holder build/native/tests/lock_holder
    run_e2e.py --bin build/windows/bin --launcher /usr/lib/wine/wine64 --lock-holder .../lock_holder.exe

Every case runs in a fresh copy of the bin folder with the simulated LED reset to power-on, and is
judged on standard error and standard output (captured apart, compared line by line, so CRLF and LF
endings both pass), the exit status, and the simulated LED's state read through its viewer.
"""
import argparse
import concurrent.futures
import contextlib
import os
import re
import shlex
import shutil
import resource
import signal
import subprocess
import sys
import tempfile
import threading

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [here, os.path.join(here, "..", "support")]
from cases import CASES, CONCURRENT_CASES, GOOD_RUN, LONGEST_ARGUMENT, SEEN  # noqa: E402
from register_lock import private_locks_possible, sharing_lock_file  # noqa: E402
from status_lines import INIT_LINES, LIBRARY_LINES  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402
from waiting import wait_until  # noqa: E402

TIMEOUT_S = 120

# Linux: one argument may hold 128 KiB with its terminating zero. Windows: the whole command line
# holds 32767 characters, the program's path and the quoting included.
LONGEST_POSIX_ARGUMENT = 128 * 1024 - 1
LONGEST_WINDOWS_ARGUMENT = 32000

# How long a case's lock holder keeps the register lock: well beyond the 2 s a tester waits for it.
HOLD_MS = 5000


def lines_of(output):
    """The output's lines; None if the last line lacks its end-of-line."""
    text = output.decode("utf-8", errors="replace").replace("\r\n", "\n")
    if text and not text.endswith("\n"):
        return None
    return text.split("\n")[:-1]


class Runner:
    def __init__(self, launcher, bin_folder, lock_holder):
        self.launcher = shlex.split(launcher)
        self.bin = os.path.abspath(bin_folder)
        self.lock_holder = lock_holder
        # Natively, where mount namespaces may be made, each group of concurrent testers shares a
        # register lock of its own. Otherwise every tester shares one (under Wine the wineserver's),
        # held for up to 240 ms by a "slow" run: one group at a time keeps every wait inside its 2 s.
        self.own_locks = not self.under_emulator and private_locks_possible()
        self.one_group_at_a_time = contextlib.nullcontext() if self.own_locks else threading.Lock()

    @property
    def under_emulator(self):
        return bool(self.launcher)

    def command(self, folder, name, args):
        path = program(folder, name)
        if LONGEST_ARGUMENT in args:
            room = LONGEST_WINDOWS_ARGUMENT - len(path) if path.endswith(".exe") else LONGEST_POSIX_ARGUMENT
            args = [("RED" + "D" * (room - 3)) if arg is LONGEST_ARGUMENT else arg for arg in args]
        return self.launcher + [path] + args

    @staticmethod
    def environment(faults="", **settings):
        return clean_environment(**settings, **({"LED_SIM_FAULTS": faults} if faults else {}))

    def run(self, folder, name, args, cwd, faults="", sinks=None, **settings):
        """Runs a program with standard output and error captured, or sent where sinks says."""
        with contextlib.ExitStack() as stack:
            streams = {"stdout": subprocess.PIPE, "stderr": subprocess.PIPE}
            for stream, sink in (sinks or {}).items():
                streams[stream] = stack.enter_context(open_sink(sink))
            return subprocess.run(self.command(folder, name, args), cwd=cwd, env=self.environment(faults, **settings),
                                  stdin=subprocess.DEVNULL, timeout=TIMEOUT_S, **streams)

    def run_interrupted(self, folder, args, cwd, faults, interrupt):
        """Runs the tester and sends it a signal once SetLED has begun: once the simulated LED's
        journal shows its first register access (the "slow" fault makes the other seven last about
        100 ms more)."""
        journal = os.path.join(cwd, "interrupted_journal.txt")
        # No core file from a signal that makes one (SIGQUIT).
        tester = subprocess.Popen(self.command(folder, "KAV_MORV_LED_ConsoleTester", args), cwd=cwd,
                                  env=self.environment(faults, LED_SIM_JOURNAL=journal), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))

        def set_led_began():
            return os.path.exists(journal) and " GetPhysLong " in open(journal).read()
        wait_until(set_led_began, TIMEOUT_S, every_s=0.002)
        tester.send_signal(getattr(signal, interrupt))
        stdout, stderr = tester.communicate(timeout=TIMEOUT_S)
        return subprocess.CompletedProcess(tester.args, tester.returncode, stdout, stderr)

    def run_while_lock_held(self, folder, args, cwd):
        """Runs the tester while another process holds the register lock; a problem if it let go first."""
        holder = subprocess.Popen(self.launcher + [self.lock_holder, str(HOLD_MS)], stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, env=clean_environment())
        try:
            if holder.stdout.readline().strip() != b"held":
                return None, ["the lock holder did not take the lock"]
            result = self.run(folder, "KAV_MORV_LED_ConsoleTester", args, cwd)
            outlasted = holder.poll() is not None
            return result, ["the tester ran until the holder let go"] if outlasted else []
        finally:
            holder.kill()
            holder.wait()

    def run_watched_by_debugger(self, folder, args, cwd):
        """Runs the tester with Wine showing what goes to the debugger; returns the result with
        those lines taken out of standard error, and the lines."""
        result = self.run(folder, "KAV_MORV_LED_ConsoleTester", args, cwd, WINEDEBUG="-all,+debugstr")
        own, shown = [], []
        for line in result.stderr.split(b"\n"):
            found = re.match(rb'^[0-9a-f]+:warn:debugstr:OutputDebugStringA "(.*)\\n"\r?$', line)
            (shown if found else own).append(found.group(1).decode() if found else line)
        result.stderr = b"\n".join(own)
        return result, shown

    def led_state(self, stage, cwd):
        """(color, [four register values]) as the viewer sees them."""
        shown = self.run(stage, "led_sim", ["show"], cwd)
        text = shown.stdout.decode().replace("\r\n", "\n")
        color = re.search(r"^colour: (.+)$", text, re.M)
        registers = [int(v, 16) for v in re.findall(r"^line \d \S+\s+[0-9A-F]{8} = ([0-9A-F]{8})$", text, re.M)]
        if shown.returncode != 0 or color is None or len(registers) != 4:
            raise RuntimeError(f"led_sim show failed: {shown.stdout!r} {shown.stderr!r}")
        return color.group(1), registers

    def stage(self, root, case=None):
        stage = copy_bin(self.bin, os.path.join(root, "bin"))
        for name in getattr(case, "absent", []):
            os.remove(os.path.join(stage, name))
        for name, source in getattr(case, "replaced", {}).items():
            os.remove(os.path.join(stage, name))  # a link to the build's own: written through, it would change that
            shutil.copyfile(os.path.join(self.bin, source), os.path.join(stage, name))
        work = os.path.join(root, "work")
        os.mkdir(work)
        for name in getattr(case, "planted", []):
            shutil.copyfile(os.path.join(self.bin, name), os.path.join(work, name))
        return stage, work

    def check(self, case, stage, work):
        """A list of what went wrong; empty when the case passed."""
        if self.run(stage, "led_sim", ["reset"], work).returncode != 0:
            return ["led_sim reset failed"]
        _, before = self.led_state(stage, work)
        problems = []
        if case.interrupt:
            result = self.run_interrupted(stage, case.args, work, case.faults, case.interrupt)
        elif case.lock_held:
            result, problems = self.run_while_lock_held(stage, case.args, work)
            if result is None:
                return problems
        elif case.debugger and self.under_emulator:
            result, shown = self.run_watched_by_debugger(stage, case.args, work)
            library_lines = [line for line in case.stderr if line in LIBRARY_LINES]
            if shown != library_lines:
                problems.append(f"debugger: expected {library_lines!r}\n          got {shown!r}")
        else:
            result = self.run(stage, "KAV_MORV_LED_ConsoleTester", case.args, work, case.faults, case.sinks)
        color, after = self.led_state(stage, work)

        problems += output_problems(result, case.stderr, case.stdout, case.status)
        if color != case.color:
            problems.append(f"LED: expected {case.color}, got {color}")
        return problems + register_problems(before, after)

    def check_concurrent(self, case, stage, work):
        """One repetition of a concurrent case: what went wrong, or an empty list."""
        if self.run(stage, "led_sim", ["reset"], work).returncode != 0:
            return ["led_sim reset failed"]
        _, before = self.led_state(stage, work)
        with self.one_group_at_a_time:
            results = self.run_together(case, stage, work)
        color, after = self.led_state(stage, work)

        problems = [problem for result in results for problem in output_problems(result, GOOD_RUN, [], 0)]
        allowed = sorted(SEEN[keyword] for keyword in case.keywords)
        if color not in allowed:
            problems.append(f"LED: expected one of {allowed}, got {color}")
        return problems + register_problems(before, after)

    def run_together(self, case, stage, work):
        own_lock = sharing_lock_file(os.path.join(work, "register.lock")) if self.own_locks else []
        testers = [subprocess.Popen(own_lock + self.command(stage, "KAV_MORV_LED_ConsoleTester", [keyword]), cwd=work,
                                    env=self.environment(case.faults), stdin=subprocess.DEVNULL,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                   for keyword in case.keywords]
        results = []
        for tester in testers:
            stdout, stderr = tester.communicate(timeout=TIMEOUT_S)
            results.append(subprocess.CompletedProcess(tester.args, tester.returncode, stdout, stderr))
        return results


@contextlib.contextmanager
def open_sink(sink):
    """A stream that takes nothing: a full device, or a pipe whose reader has gone."""
    if sink == "full":
        with open("/dev/full", "wb") as full:
            yield full
    elif sink == "closed pipe":
        reader, writer = os.pipe()
        os.close(reader)
        with os.fdopen(writer, "wb") as pipe:
            yield pipe
    else:
        raise ValueError(f"unknown sink {sink!r}")


def output_problems(result, stderr, stdout, status):
    """What differs from the expected output; a stream sent to a sink was not captured."""
    problems = []
    for stream, expected, got in (("stderr", stderr, result.stderr), ("stdout", stdout, result.stdout)):
        if got is not None and lines_of(got) != expected:
            problems.append(f"{stream}: expected {expected!r}\n          got {got[:2000]!r}")
    if result.returncode != status:
        problems.append(f"exit status: expected {status}, got {result.returncode}")
    return problems


def register_problems(before, after):
    return [f"line {line}: bits 1..31 changed from {old:08X} to {new:08X}"
            for line, (old, new) in enumerate(zip(before, after)) if old & ~1 != new & ~1]


def report(name, problems):
    print(("FAIL " if problems else "ok   ") + name, flush=True)
    for problem in problems:
        print("     " + problem)
    return bool(problems)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True, help="the build's bin folder")
    parser.add_argument("--launcher", default="", help="command prefix that runs the bin folder's programs")
    parser.add_argument("--lock-holder", required=True, help="the program that holds the register lock")
    parser.add_argument("--jobs", type=int, default=4, help="cases run at once (they mostly wait)")
    parser.add_argument("--holding-lock", action="store_true",
                        help="run only the cases in which another process holds the register lock")
    options = parser.parse_args()

    runner = Runner(options.launcher, options.bin, options.lock_holder)
    # A case that holds the machine-wide register lock would make every tester running beside it
    # wait: those run on their own (ctest runs them with nothing else beside).
    cases = [case for case in CASES if not (case.native_only and runner.under_emulator)
             and case.lock_held == options.holding_lock]
    runs = [(case.name, runner.check, case) for case in cases]
    if not options.holding_lock:
        runs += [(f"{case.name} (run {run + 1} of {case.repeats})", runner.check_concurrent, case)
                 for case in CONCURRENT_CASES for run in range(case.repeats)]
    with tempfile.TemporaryDirectory(prefix="led_e2e_") as scratch:
        # A program copied while another worker starts a process stays open in that process until it
        # executes, and cannot be run meanwhile ("Text file busy"): so every folder is staged first.
        staged = [runner.stage(os.path.join(scratch, str(index)), case) for index, (_, _, case) in enumerate(runs)]
        failed = 0
        with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
            outcomes = [pool.submit(check, case, *staged[index]) for index, (_, check, case) in enumerate(runs)]
            for (name, _, _), outcome in zip(runs, outcomes):
                failed += report(name, outcome.result())
    print(f"{len(runs) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
