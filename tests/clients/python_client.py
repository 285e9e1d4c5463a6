#!/usr/bin/env python3
"""The Python client, installed from its wheel with Debian's own Python as a user installs it (in a
virtual environment, with no registry), against the real service over the simulated LED: every
call, its dataclasses, the indication that clears however its block ends, change events, and each
kind of failure; then against programs in the service's place that answer what no service would.

    python_client.py --bin BUILD/bin --wheel kav_morv_led-VERSION-py3-none-any.whl --python /usr/bin/python3
"""
import argparse
import itertools
import os
import subprocess
import sys
import tempfile
import threading

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
from impostor import start_all  # noqa: E402
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402
from verdict import report  # noqa: E402


def raised(call, kind, text=""):
    """Whether call() raised `kind` with `text` in its message; what it did instead."""
    try:
        call()
    except kind as error:
        return text in str(error), str(error)
    except Exception as error:  # noqa: BLE001 - a wrong kind is a finding, not a crash of the check
        return False, f"{type(error).__name__}: {error}"
    return False, "nothing raised"


def checks_against_the_service(kml, endpoint, led_sim):
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

    sent = [led.set("cb", name=f"n{index}") for index in range(255)]
    held, said = raised(lambda: led.set("cb", name="one_too_many"), kml.ServiceRefused,
                        "you have 256 indications in force")
    checks.append(("an error reply raises ServiceRefused with the service's message", held and len(sent) == 255, said))
    for index in range(255):
        led.clear(f"n{index}")

    for what, call, text in (
            ("a colour", lambda: led.set("pink"), "unknown colour 'pink'"),
            ("a name with a space", lambda: led.set("red", name="x priority=255"), "is not 1 to 64 letters"),
            ("a priority", lambda: led.set("red", priority=256), "priority 256 is not a whole number from 0 to 255"),
            ("an owner", lambda: led.clear(owner="a b"), "is not a user's name or id"),
            ("a step", lambda: led.pattern([("red", 0)]), "step time 0 is not")):
        held, said = raised(call, ValueError, text)
        checks.append((f"{what} checked before anything is sent, as ValueError", held, said))

    watching = led.watch()
    led.set("purple", name="watched", priority=210)
    led.clear("watched")
    led.set("white", name="brief", priority=220, for_ms=100)
    events = []
    follower = threading.Thread(target=lambda: events.extend(itertools.islice(watching, 4)), daemon=True)
    follower.start()
    follower.join(20)
    kinds = [(event.event, event.name, event.color) for event in events]
    seqs = [event.seq for event in events]
    checks.append(("watch yields set, cleared and expired events, numbered one after another",
                   kinds == [("set", "watched", "purple"), ("cleared", "watched", "red"), ("set", "brief", "white"),
                             ("expired", "brief", "red")] and seqs == list(range(seqs[0], seqs[0] + 4)), kinds))
    return checks


def ended_within(call, seconds):
    """What call() raised (or returned) within `seconds`, or None if it was still running then."""
    outcome = []

    def run():
        try:
            outcome.append(call())
        except Exception as error:  # noqa: BLE001 - what it raised is the finding
            outcome.append(error)
    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(seconds)
    return outcome[0] if outcome else None


def checks_against_impostors(kml, folder, impostors):
    """What no service answers: each must come out as its own error, never as another or a hang."""
    def at(name, timeout=20):
        return kml.Led(os.path.join(folder, name + ".sock"), timeout=timeout)

    def is_error(kind, text=""):
        return lambda got: isinstance(got, kind) and text in str(got)

    status = ended_within(lambda: at("status_fields").status(), 30)
    watched = ended_within(lambda: list(itertools.islice(at("events").watch(), 2)), 30)
    checks = [
        ("a service that never answers: ServiceUnavailable, not ProtocolError",
         ended_within(lambda: at("silent", 0.5).get(), 30), is_error(kml.ServiceUnavailable, "did not answer within")),
        ("a service that trickles a byte at a time: one deadline for the whole call",
         ended_within(lambda: at("trickle", 1).get(), 10), is_error(kml.ServiceUnavailable, "did not answer within")),
        ("an error that names no command is the service's refusal",
         ended_within(lambda: at("error_dash").set("red"), 30), lambda got: isinstance(got, kml.ServiceRefused)
         and got.command == "-" and got.message.startswith("too many connections")),
        ("JSON nested beyond reason: ProtocolError", ended_within(lambda: at("nested").status(), 30),
         is_error(kml.ProtocolError)),
        ("a line longer than any reply: ProtocolError", ended_within(lambda: at("long_line").get(), 30),
         is_error(kml.ProtocolError)),
        ("each field of a status in its place", status,
         lambda got: isinstance(got, kml.Status) and (got.showing, got.owner, got.color, got.read_back) ==
         ("alarm", "alice", "red", "green") and got.indications[0].left_ms == 500),
        ("a restored event, and each field of an event in its place", watched,
         lambda got: isinstance(got, list) and [(e.seq, e.event, e.name, e.owner, e.owner_id, e.showing,
                                                 e.showing_owner, e.color) for e in got] ==
         [(7, "restored", "kept", "bob", "1001", "kept", "bob", "blue"),
          (8, "set", "alarm", "alice", "1000", "kept", "bob", "blue")]),
        ("an event whose seq is null: ProtocolError", ended_within(lambda: next(at("null_seq").watch()), 30),
         is_error(kml.ProtocolError)),
        ("an event whose name is a number: ProtocolError", ended_within(lambda: next(at("number_name").watch()), 30),
         is_error(kml.ProtocolError)),
    ]
    results = [(what, judge(got), got) for what, got, judge in checks]

    def unanswered():
        with at("unanswered_set", 0.5).indication("yellow", name="deploy"):
            pass
    got = ended_within(unanswered, 30)
    results.append(("an indication whose set was not answered is cleared, then the error raised",
                    isinstance(got, kml.ServiceUnavailable) and "clear name=deploy" in impostors["unanswered_set"].asked,
                    (got, impostors["unanswered_set"].asked)))
    asked_before = impostors["events"].asked.count("watch")
    with at("events").watch() as watch:
        connected = impostors["events"].asked.count("watch") == asked_before + 1
        first = next(watch)
    results.append(("a watch asks at once, and is a context manager that ends it",
                    connected and first.seq == 7 and list(watch) == [], (connected, first)))
    return results


def run_checks(options):
    """In the environment the wheel was installed into."""
    import kav_morv_led as kml
    checks = [("it is the installed package that is used", kml.__file__.startswith(sys.prefix), kml.__file__)]
    with tempfile.TemporaryDirectory(prefix="led_python_client_") as scratch:
        impostors = start_all(scratch)
        checks += checks_against_impostors(kml, scratch, impostors)

        bin_folder = copy_bin(options.bin, os.path.join(scratch, "bin"))
        endpoint = os.path.join(scratch, "led.sock")
        environment = clean_environment(KAV_MORV_LED_ENDPOINT=endpoint)

        def led_sim():
            return subprocess.run([program(bin_folder, "led_sim"), "show"], env=environment, capture_output=True,
                                  text=True).stdout

        held, said = raised(kml.Led(endpoint).get, kml.ServiceUnavailable, "kav_morv_led_service --foreground")
        checks.append(("no service: ServiceUnavailable says how to start it", held, said))
        service, said, serving = start_service(
            [program(bin_folder, "kav_morv_led_service"), "--foreground", "--state",
             os.path.join(scratch, "state.json")], environment)
        checks.append(("the service starts", serving, "".join(said)))
        if serving:
            try:
                checks += checks_against_the_service(kml, endpoint, led_sim)
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
        # As the README has it: a virtual environment, and the wheel installed there with no registry.
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
