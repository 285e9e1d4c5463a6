#!/usr/bin/env python3
"""The Python client, installed from its wheel with Debian's own Python as a user installs it (in a
virtual environment, with no registry): against every case of the impostors' table (impostor.py),
then against the real service over the simulated LED: every call, its dataclasses, the indication
that clears however its block ends and outlives a killed program only by its lease, change events,
and the examples of docs/clients.md and the package's README, run as written.

    python_client.py --bin BUILD/bin --wheel kav_morv_led-VERSION-py3-none-any.whl --python /usr/bin/python3
"""
import argparse
import dataclasses
import itertools
import os
import re
import signal
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here.parent / "support"))
from impostor import cases_for, judge, start_all  # noqa: E402
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402
from verdict import report  # noqa: E402
from waiting import wait_until  # noqa: E402

ROOT = here.parents[1]
DEADLINE_S = 30  # for what a case's call may take, however busy the machine: past it, the call hangs


class BlockFailed(Exception):
    """The error of the code inside an indication's block."""


class Interrupted(Exception):
    """What a program's own signal handler raises."""


def raise_interrupted(*_):
    raise Interrupted("the program's own handler")


def raised(call, kind, text=""):
    """Whether call() raised `kind` with `text` in its message; what it did instead."""
    try:
        call()
    except kind as error:
        return text in str(error), str(error)
    except Exception as error:  # noqa: BLE001 - a wrong kind is a finding, not a crash of the check
        return False, f"{type(error).__name__}: {error}"
    return False, "nothing raised"


# The impostors' cases ------------------------------------------------------------------------

def outcome_of(kml, error):
    for kind, name in ((kml.ServiceUnavailable, "unavailable"), (kml.ServiceRefused, "refused"),
                       (kml.ProtocolError, "protocol"), (ValueError, "argument"), (KeyboardInterrupt, "interrupted"),
                       (Interrupted, "interrupted"), (BlockFailed, "block")):
        if isinstance(error, kind):
            return name
    return type(error).__name__


def watching(led, events, close_after=None, leave_after=None):
    """Follows a watch into `events`; closes it from another thread once it has `close_after`, or
    leaves its with block once it has `leave_after` (and then it yields no more)."""
    watch = led.watch()
    if close_after:
        threading.Thread(target=lambda: wait_until(lambda: len(events) >= close_after, DEADLINE_S) and watch.close(),
                         daemon=True).start()
    if leave_after:
        with watch:
            events.extend(itertools.islice(watch, leave_after))
    events.extend(watch)


def holding(led, call, impostor):
    """Holds an indication while a block runs: one that raises, or waits for `sets` sets to be
    asked, or until `until_ms` after it began."""
    block, sets, until_ms, how = (call.pop(key, None) for key in ("block", "sets", "until_ms", "interrupt"))
    if how:
        main = threading.main_thread().ident
        threading.Thread(target=lambda: wait_until(lambda: any(a.startswith("set ") for a in impostor.asked), DEADLINE_S)
                         and signal.pthread_kill(main, signal.SIGINT if how == "signal" else signal.SIGUSR1),
                         daemon=True).start()
    with led.indication(**call):
        began = time.monotonic()
        if block == "raise":
            raise BlockFailed("the block failed")
        if block == "interrupt":
            raise KeyboardInterrupt
        wait_until(lambda: sum(a.startswith("set ") for a in impostor.asked) >= (sets or 0), DEADLINE_S)
        wait_until(lambda: time.monotonic() >= began + (until_ms or 0) / 1000, DEADLINE_S)


def run_case(kml, case, impostor):
    """(outcome, value, message) of the case's call."""
    call = dict(case.call)
    what = call.pop("call")
    led = kml.Led(impostor.path, timeout=call.pop("timeout_ms", 20000) / 1000)
    events = []
    calls = {"get": led.get, "status": led.status, "set": led.set, "blink": led.blink, "pattern": led.pattern,
             "clear": led.clear, "watch": lambda **c: watching(led, events, **c),
             "indication": lambda **c: holding(led, c, impostor)}
    outcome, value, message = "ok", None, ""
    try:
        value = calls[what](**call)
    except BaseException as error:  # noqa: BLE001 - an interruption is one of the outcomes
        outcome, message = outcome_of(kml, error), str(error)
        if isinstance(error, kml.ServiceRefused):
            message += f" [{error.command}] [{error.message}]"
    if what == "watch":
        value, outcome = [dataclasses.asdict(e) for e in events], "closed" if outcome == "ok" else outcome
    return outcome, dataclasses.asdict(value) if dataclasses.is_dataclass(value) else value, message


def within_deadline(call):
    """What call() returned, or ("hung", ...) when it was still running at the deadline."""
    outcome = [("hung", None, f"still running after {DEADLINE_S} s")]
    worker = threading.Thread(target=lambda: outcome.append(call()), daemon=True)
    worker.start()
    worker.join(DEADLINE_S)
    return outcome[-1]


def checks_against_impostors(kml, folder):
    """Every case of the table; the lines asked judged once all have run, so that a lease left
    setting after its clear shows."""
    cases = cases_for("python")
    impostors = start_all(folder, cases)
    signal.signal(signal.SIGUSR1, raise_interrupted)
    came = {case.name: run_case(kml, case, impostors[case.name]) if "interrupt" in case.call else
            within_deadline(lambda: run_case(kml, case, impostors[case.name])) for case in cases}
    return [(case.name, *judge(case, *came[case.name], impostors[case.name].asked)) for case in cases]


# The real service ----------------------------------------------------------------------------

def checks_against_the_service(kml, endpoint, led_sim, environment):
    led = kml.Led(endpoint, timeout=20)
    checks = []

    led.set("Red", name="base", priority=1)
    led.blink("green", 60000, 100, name="alarm", priority=200, count=3)
    status = led.status()
    alarm = status.indications[0]
    checks.append(("set, blink and status: dataclasses of what the service says",
                   (status.showing, status.color, status.read_back, [i.name for i in status.indications],
                    alarm.steps, alarm.cycles, alarm.priority, alarm.owner_id) ==
                   ("alarm", "green", "green", ["alarm", "base"],
                    (kml.Step("green", 60000), kml.Step("off", 100)), 3, 200, str(os.getuid())), status))
    led.pattern([("blue", 60000), kml.Step("white", 5)], name="alarm", priority=200, repeat=2)
    checks.append(("pattern replaces under its name; get says what shows", led.get() == "blue", led.get()))
    led.clear("alarm")
    checks.append(("clear reveals what lies beneath", led.get() == "red" and "colour: red" in led_sim(), led_sim()))

    try:
        with led.indication("yellow", name="build", priority=250):
            inside = led_sim()
            raise RuntimeError("the build failed")
    except RuntimeError:
        pass
    checks.append(("an indication shows in its block and is cleared when the block raises",
                   "colour: yellow" in inside and led.get() == "red", (inside, led.get())))

    killed = subprocess.run([sys.executable, "-c", "import os, signal, kav_morv_led\n"
                             "with kav_morv_led.Led().indication('white', name='abandoned', priority=250):\n"
                             "    os.kill(os.getpid(), signal.SIGKILL)"], env=environment, capture_output=True,
                            timeout=DEADLINE_S)
    left = {i.name: i.left_ms for i in led.status().indications}.get("abandoned")
    checks.append(("a program killed in an indication's block leaves it for its lease, not for good",
                   killed.returncode == -signal.SIGKILL and left is not None and 0 < left <= kml.DEFAULT_LEASE_MS,
                   (killed, left)))
    led.clear("abandoned")

    sent = [led.set("cb", name=f"n{index}") for index in range(255)]
    held, said = raised(lambda: led.set("cb", name="one_too_many"), kml.ServiceRefused,
                        "you have 256 indications in force")
    checks.append(("an error reply raises ServiceRefused with the service's message", held and len(sent) == 255, said))
    for index in range(255):
        led.clear(f"n{index}")

    watching_it = led.watch()
    led.set("purple", name="watched", priority=210)
    led.clear("watched")
    led.set("white", name="brief", priority=220, for_ms=100)
    events = []
    follower = threading.Thread(target=lambda: events.extend(itertools.islice(watching_it, 4)), daemon=True)
    follower.start()
    follower.join(20)
    watching_it.close()
    kinds = [(event.event, event.name, event.color) for event in events]
    seqs = [event.seq for event in events]
    checks.append(("watch yields set, cleared and expired events, numbered one after another",
                   kinds == [("set", "watched", "purple"), ("cleared", "watched", "red"), ("set", "brief", "white"),
                             ("expired", "brief", "red")] and seqs == list(range(seqs[0], seqs[0] + 4)), kinds))

    lease_events = []
    lease_watch = led.watch()
    follower = threading.Thread(target=lambda: lease_events.extend(lease_watch), daemon=True)
    follower.start()
    with led.indication("cb", name="leased", priority=230, lease_ms=1000):
        renewed = wait_until(lambda: sum((e.event, e.name) == ("set", "leased") for e in lease_events) >= 4, DEADLINE_S)
    lease_watch.close()
    follower.join(DEADLINE_S)
    kinds = [event.event for event in lease_events if event.name == "leased"]
    checks.append(("a held indication is set again before its lease runs out, never lapsing in between",
                   renewed and "expired" not in kinds, kinds))

    for document in (ROOT / "docs" / "clients.md", ROOT / "clients" / "python" / "README.md"):
        example = re.search(r"```python\n(.*?)```", document.read_text(), re.S)[1]
        try:
            ran = subprocess.run([sys.executable, "-c", example], env=environment, capture_output=True, text=True,
                                 timeout=DEADLINE_S)
            said, held = ran.stdout + ran.stderr, ran.returncode == 0 and re.fullmatch(
                r"while deploying the LED shows yellow\ncleared build \w+\n", ran.stdout) is not None
        except subprocess.TimeoutExpired:
            said, held = f"still running after {DEADLINE_S} s: killed", False
        checks.append((f"the Python example of {document.relative_to(ROOT)} runs as written", held, said))
    return checks


def run_checks(options):
    """In the environment the wheel was installed into."""
    import kav_morv_led as kml
    checks = [("it is the installed package that is used", kml.__file__.startswith(sys.prefix), kml.__file__)]
    with tempfile.TemporaryDirectory(prefix="led_python_client_") as scratch:
        checks += checks_against_impostors(kml, scratch)

        bin_folder = copy_bin(options.bin, os.path.join(scratch, "bin"))
        endpoint = os.path.join(scratch, "led.sock")
        environment = clean_environment(KAV_MORV_LED_ENDPOINT=endpoint)

        def led_sim():
            return subprocess.run([program(bin_folder, "led_sim"), "show"], env=environment, capture_output=True,
                                  text=True).stdout

        service, said, serving = start_service(
            [program(bin_folder, "kav_morv_led_service"), "--foreground", "--state",
             os.path.join(scratch, "state.json")], environment)
        checks.append(("the service starts", serving, "".join(said)))
        if serving:
            try:
                checks += checks_against_the_service(kml, endpoint, led_sim, environment)
            finally:
                service.terminate()
                service.wait()
    return report(checks)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--wheel", help="the wheel to install and check")
    parser.add_argument("--python", default="/usr/bin/python3", help="the Python to install it with")
    parser.add_argument("--installed", action="store_true", help="(run in the environment it was installed into)")
    options = parser.parse_args()
    if options.installed:
        return run_checks(options)
    with tempfile.TemporaryDirectory(prefix="led_python_venv_") as scratch:
        # As docs/clients.md has it: a virtual environment, and the wheel installed there with no registry.
        environment = os.path.join(scratch, "venv")
        for command in ([options.python, "-m", "venv", environment],
                        [os.path.join(environment, "bin", "pip"), "install", "--no-index", "--quiet", options.wheel]):
            made = subprocess.run(command, capture_output=True, text=True)
            if made.returncode != 0:
                return report([(f"{' '.join(command)}", False, made.stdout + made.stderr)])
        return subprocess.run([os.path.join(environment, "bin", "python"), os.path.abspath(__file__), "--installed",
                               "--bin", options.bin]).returncode


if __name__ == "__main__":
    sys.exit(main())
