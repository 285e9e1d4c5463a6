#!/usr/bin/env python3
"""The Python client against the real service over the simulated LED: every call, its dataclasses,
the indication that clears however its block ends, change events, and each kind of failure; and
the package installed as a user installs it, with no registry.

    python_client.py --bin BUILD/bin --package clients/python [--launcher WINE]
"""
import argparse
import itertools
import os
import socket
import subprocess
import sys
import tempfile
import threading

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
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


def impostor(path, reply):
    """A program at the endpoint that answers every line with `reply`."""
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen()

    def serve():
        while True:
            client, _ = listener.accept()
            with client:
                if client.recv(4096):
                    client.sendall(reply)
    threading.Thread(target=serve, daemon=True).start()
    return listener


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


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--package", required=True, help="clients/python")
    options = parser.parse_args()

    checks = []
    with tempfile.TemporaryDirectory(prefix="led_python_client_") as scratch:
        installed = os.path.join(scratch, "installed")
        pip = subprocess.run([sys.executable, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--quiet",
                              "--target", installed, options.package], capture_output=True, text=True)
        checks.append(("pip installs the package with no registry", pip.returncode == 0, pip.stderr[-500:]))
        sys.path.insert(0, installed)
        import kav_morv_led as kml
        checks.append(("it is the installed package that is used", kml.__file__.startswith(installed), kml.__file__))
        script = os.path.join(installed, "bin", "kav_morv_led_mqtt")
        checks.append(("the MQTT bridge is installed as a program", os.path.exists(script), os.listdir(installed)))

        bin_folder = copy_bin(options.bin, os.path.join(scratch, "bin"))
        endpoint = os.path.join(scratch, "led.sock")
        environment = clean_environment(KAV_MORV_LED_ENDPOINT=endpoint)

        def led_sim():
            return subprocess.run([program(bin_folder, "led_sim"), "show"], env=environment, capture_output=True,
                                  text=True).stdout

        absent = kml.Led(endpoint)
        held, said = raised(absent.get, kml.ServiceUnavailable, "kav_morv_led_service --foreground")
        checks.append(("no service: ServiceUnavailable says how to start it", held, said))
        fake = impostor(endpoint, b"okay whatever\n")
        held, said = raised(lambda: absent.set("red"), kml.ProtocolError, "is not a reply to set")
        checks.append(("an answer that is not a reply: ProtocolError", held, said))
        fake.close()
        os.unlink(endpoint)

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


if __name__ == "__main__":
    sys.exit(main())
