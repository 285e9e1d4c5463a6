#!/usr/bin/env python3
"""The MQTT bridge end to end: a table of cases, each with a mosquitto broker of its own on a free
loopback port (or a fake broker, for what mosquitto will not do), machines of its own (each a
service over a simulated LED, and a bridge), and mosquitto_pub and mosquitto_sub as the other side,
as Home Assistant and a hostile publisher would be. Each case is named in the output, can be run
alone (--cases), and runs beside the others (--jobs). With --launcher, the Windows build runs under
it (Wine) against the native broker: the cases marked for it.

    mqtt_bridge.py --bin BUILD/bin [--mosquitto PROGRAM] [--cases REGEX] [--jobs N]
                   [--launcher WINE --add-root ADD_ROOT_CERTIFICATE_EXE]
"""
import argparse
import concurrent.futures
import json
import os
import re
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from dataclasses import dataclass

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(here, "..", "support"), os.path.join(here, "..", "mqtt_bridge")]
from fake_broker import CONNECT, DISCONNECT, PUBLISH, SUBSCRIBE, FakeBroker  # noqa: E402
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402
from waiting import wait_until  # noqa: E402

DEADLINE_S = 30
EFFECTS = {"alarm": "red:100 off:100"}
RED = {"r": 255, "g": 0, "b": 0}
GREEN = {"r": 0, "g": 255, "b": 0}
BLUE = {"r": 0, "g": 0, "b": 255}
PURPLE = {"r": 255, "g": 0, "b": 255}
SECRET = "s3cretLEAK"  # in every file the bridge must refuse: never in its log
# What a hostile publisher sends the fleet: not one of them may stop a bridge taking the next.
HOSTILE = [b"[" * 3000, b'{"state":"ON","color":{"r":1e400,"g":0,"b":0}}', b'{"state":"ON","color":{"r":1e30,"g":0}}',
           b'{"state":"ON","effect":5}', b'{"state":["ON"]}', b'{"state":"ON","name":"\xff\xfe"}', b"x" * 5000, b"",
           b'{"state":"ON","effect":"rainbow"}', b'{"state":"ON","flash":"forever"}',
           # Beyond the ten lines a minute the log takes of them.
           b'{"state":"ON","brightness":-1}', b'{"state":"DIM"}', b'{"state":"ON","color":{"r":"x"}}']


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def command(**fields):
    return json.dumps({"state": "ON", **fields})


class Broker:
    """mosquitto on a loopback port, and a subscriber that keeps every message it sees."""

    def __init__(self, folder, mosquitto, more=""):
        self.mosquitto = mosquitto
        self.port = free_port()
        self.config = os.path.join(folder, f"mosquitto{self.port}.conf")
        with open(self.config, "w") as config:
            config.write(f"listener {self.port} 127.0.0.1\npersistence false\n{more}" +
                         ("" if "password_file" in more else "allow_anonymous true\n"))
        self.messages = []  # (topic, payload), in order
        self.lock = threading.Lock()
        self.process = self.subscriber = None

    def start(self):
        self.process = subprocess.Popen([self.mosquitto, "-c", self.config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        up = wait_until(self.accepts, DEADLINE_S)
        # (A broker that asks for a password lets it in to nothing: its cases look at the bridge's log.)
        self.subscriber = subprocess.Popen(["mosquitto_sub", "-p", str(self.port), "-t", "#", "-v"],
                                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True,
                                           errors="replace")
        threading.Thread(target=self.read, args=(self.subscriber,), daemon=True).start()
        return up

    def accepts(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def read(self, subscriber):
        for line in subscriber.stdout:
            topic, _, payload = line.rstrip("\n").partition(" ")
            with self.lock:
                self.messages.append((topic, payload))

    def stop(self):
        for process in (self.subscriber, self.process):
            if process and process.poll() is None:
                process.terminate()
                process.wait()

    def publish(self, topic, payload, retain=False, qos=0):
        data = payload if isinstance(payload, bytes) else payload.encode()
        subprocess.run(["mosquitto_pub", "-p", str(self.port), "-t", topic, "-q", str(qos), "-s" if data else "-n"] +
                       (["-r"] if retain else []), input=data, check=True, timeout=DEADLINE_S)

    def publish_many(self, topic, payloads, qos=0):
        """Every payload, in order, on one connection (a line each)."""
        subprocess.run(["mosquitto_pub", "-p", str(self.port), "-t", topic, "-q", str(qos), "-l"],
                       input="".join(payload + "\n" for payload in payloads).encode(), check=True, timeout=DEADLINE_S)

    def seen(self, topic, since=0):
        with self.lock:
            return [payload for got, payload in self.messages[since:] if got == topic]

    def mark(self):
        with self.lock:
            return len(self.messages)

    def comes(self, topic, wanted, since=0):
        """Whether a message on `topic` for which wanted(payload) holds comes; and the last seen."""
        came = wait_until(lambda: any(wanted(payload) for payload in self.seen(topic, since)), DEADLINE_S)
        return came, (self.seen(topic, since) or ["nothing"])[-1]

    def retained(self, *topics):
        """What the broker keeps retained on each topic now ({topic: payload}, none for a topic without):
        a subscription to them and, last, to a marker retained here, whose message comes after theirs."""
        marker = f"test/marker/{uuid.uuid4().hex}"
        self.publish(marker, "mark", retain=True)
        reader = subprocess.Popen(["mosquitto_sub", "-p", str(self.port), "-F", "%r %t %p",
                                   *[part for topic in (*topics, marker) for part in ("-t", topic)]],
                                  stdout=subprocess.PIPE, text=True)
        kept = {}
        timer = threading.Timer(DEADLINE_S, reader.kill)
        timer.start()
        for line in reader.stdout:
            flag, topic, payload = (line.rstrip("\n").split(" ", 2) + [""])[:3]
            if topic == marker:
                break
            if flag == "1":
                kept[topic] = payload
        timer.cancel()
        reader.kill()
        reader.wait()
        self.publish(marker, b"", retain=True)
        return kept


class Machine:
    """A service over a simulated LED of its own, and its bridges."""

    def __init__(self, world, name, effects=True):
        self.world = world
        self.name = name
        self.folder = os.path.join(world.folder, name)
        self.bin = copy_bin(world.options.bin, os.path.join(self.folder, "bin"))
        self.endpoint = (f"kav_morv_led_mqtt_e2e_{os.getpid()}_{world.index}_{name}" if world.launcher
                         else os.path.join(self.folder, "led.sock"))
        self.environment = clean_environment(KAV_MORV_LED_ENDPOINT=self.endpoint)
        self.options = ["--machine", name, "--priority", "50"]
        if effects:
            path = os.path.join(self.folder, "effects.json")
            with open(path, "w") as file:
                json.dump(EFFECTS, file)
            self.options += ["--effects", world.path(path)]
        self.service = None
        self.bridges = []
        self.readers = []
        self.said = []  # what its bridges said, each start's in turn

    def run(self, name, *args, **more):
        return subprocess.run(self.world.launcher + [program(self.bin, name), *args], env=self.environment,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=DEADLINE_S, **more)

    def start_service(self):
        self.service, said, serving = start_service(
            self.world.launcher + [program(self.bin, "kav_morv_led_service"), "--foreground", "--state",
                                   os.path.join(self.folder, "state.json")], self.environment)
        return serving

    def stop_service(self):
        if self.service and self.service.poll() is None:
            self.service.kill() if self.world.launcher else self.service.terminate()
            self.service.wait()

    def start_bridge(self, *more, port=None, scheme="mqtt", options=None, environment=None):
        """Starts a bridge on the broker's port (or `port`), with the machine's options (or `options`)
        and `more`; returns it."""
        broker = ["--broker", f"{scheme}://127.0.0.1:{port or self.world.port}"]
        bridge = subprocess.Popen(self.world.launcher + [program(self.bin, "kav_morv_led_mqtt")] +
                                  (self.options if options is None else options) + broker + list(more),
                                  env=dict(self.environment, **(environment or {})), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True, errors="replace")
        reader = threading.Thread(target=lambda: self.said.extend(bridge.stderr), daemon=True)
        reader.start()
        self.readers.append(reader)
        self.bridges.append(bridge)
        return bridge

    def stop_bridge(self, bridge=None):
        """Stops it as its supervisor would; its exit status."""
        bridge = bridge or self.bridges[-1]
        if bridge.poll() is None:
            # Under Wine a signal would end the launcher, not the bridge: ended at once there.
            bridge.kill() if self.world.launcher else bridge.terminate()
        return ended(bridge)

    def says(self, text, since=0):
        """Whether a line holding `text` is said, among those from the `since`th on."""
        return wait_until(lambda: any(text in line for line in self.said[since:]), DEADLINE_S)

    def led(self):
        return self.run("led_sim", "show").stdout

    def indication(self, name="mqtt"):
        status = json.loads(self.run("kav_morv_ledctl", "status", "--json").stdout or "{}")
        return next((entry for entry in status.get("indications", []) if entry["name"] == name), None)

    def stop(self):
        for bridge in self.bridges:
            if bridge.poll() is None:
                bridge.kill()
                bridge.wait()
        for reader in self.readers:
            reader.join(DEADLINE_S)
        self.stop_service()


def ended(process):
    """Its exit status, or None (and it is ended) when it is still running after the deadline."""
    try:
        return process.wait(DEADLINE_S)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None


def state_is(color=None, state="ON", effect="any"):
    """A test of a state message: it holds these; effect None means the key is there and null."""
    def holds(payload):
        try:
            got = json.loads(payload)
        except ValueError:
            return False
        return got.get("state") == state and (color is None or got.get("color") == color) and \
            (effect == "any" or ("effect" in got and got["effect"] == effect))
    return holds


class World:
    """One case's own folder, broker, fake brokers and machines; what went wrong in it so far."""

    def __init__(self, options, folder, index):
        self.options = options
        self.folder = folder
        self.index = index
        self.launcher = shlex.split(options.launcher)
        self.problems = []
        self.brokers, self.fakes, self.machines = [], [], []
        self.port = None

    def path(self, unix_path):
        """A file's path as the programs under test name it."""
        return "Z:" + unix_path.replace("/", "\\") if self.launcher else unix_path

    def check(self, held, what, found=""):
        if not held:
            self.problems.append(f"{what} (found {found})" if found != "" else what)
        return held

    def broker(self, more=""):
        broker = Broker(self.folder, self.options.mosquitto, more)
        self.brokers.append(broker)
        self.check(broker.start(), f"the broker on port {broker.port} started")
        self.port = self.port or broker.port
        return broker

    def fake(self, **how):
        fake = FakeBroker(**how)
        self.fakes.append(fake)
        return fake

    def machine(self, name="pc1", bridge=True, service=True, **more):
        """A machine, with its service (or none); with `bridge`, its bridge on the case's broker, once
        the light is online there (a command published before the bridge subscribes would reach no one)."""
        machine = Machine(self, name, **more)
        self.machines.append(machine)
        if service:
            self.check(machine.start_service(), f"{name}'s service started")
        if bridge:
            mark = self.brokers[0].mark()
            machine.start_bridge()
            self.comes(self.brokers[0], f"kav_morv_led/{name}/availability", lambda payload: payload == "online",
                       f"{name} online", mark)
        return machine

    def comes(self, broker, topic, wanted, what, since=0):
        """Whether a message on `topic` for which wanted(payload) holds comes; a problem if not."""
        came, last = broker.comes(topic, wanted, since)
        return self.check(came, what, last)

    def end(self):
        for machine in self.machines:
            machine.stop()
        for broker in self.brokers:
            broker.stop()
        for fake in self.fakes:
            fake.stop()


@dataclass
class Case:
    name: str
    run: object
    windows: bool = False


CASES = []


def case(name, windows=False):
    def register(function):
        CASES.append(Case(name, function, windows))
        return function
    return register


def discovery_of(broker, name):
    """The discovery config a bridge published for the light `name`, and its topic; (None, None)."""
    def found():
        return [(topic, payload) for topic, payload in list(broker.messages)
                if topic.startswith("homeassistant/light/") and f'"{name} LED"' in payload]
    wait_until(found, DEADLINE_S)
    return (json.loads(found()[-1][1]), found()[-1][0]) if found() else (None, None)


@case("discovery: a JSON light on the bridge's topics, keyed by its unique_id, again on Home Assistant's birth",
      windows=True)
def discovery(world):
    broker = world.broker()
    world.machine("pc1")
    config, topic = discovery_of(broker, "pc1")
    unique_id = (config or {}).get("unique_id", "")
    expected = {"name": None, "unique_id": unique_id, "schema": "json", "command_topic": "kav_morv_led/pc1/set",
                "state_topic": "kav_morv_led/pc1/state", "availability_topic": "kav_morv_led/pc1/availability",
                "payload_available": "online", "payload_not_available": "offline", "qos": 1,
                "supported_color_modes": ["rgb"], "brightness": False, "effect": True, "effect_list": ["blink", "alarm"],
                "flash_time_short": 2, "flash_time_long": 10}
    world.check(config is not None and {key: config.get(key) for key in expected} == expected and
                re.fullmatch(r"kav_morv_led_[0-9a-f]{16}", unique_id) and
                topic == f"homeassistant/light/{unique_id}/config", "the config, field by field", (topic, config))
    device = (config or {}).get("device", {})
    world.check(device.get("identifiers") == [unique_id] and device.get("name") == "pc1 LED" and
                device.get("manufacturer") and device.get("sw_version"), "its device", device)
    world.check(json.loads(broker.retained(topic).get(topic, "null")) == config, "it is retained",
                broker.retained(topic))
    mark = broker.mark()
    broker.publish("homeassistant/status", "online")
    world.check(broker.comes(topic, lambda payload: unique_id in payload, mark)[0],
                "Home Assistant's birth message brings it again")


@case("a command shows on the LED as the indication mqtt at the priority given; its state, no effect", windows=True)
def a_command(world):
    broker = world.broker()
    pc1 = world.machine("pc1")
    world.comes(broker, "kav_morv_led/pc1/state", state_is(state="OFF", effect=None), "off at first")
    mark = broker.mark()
    broker.publish("kav_morv_led/pc1/set", command(color={"r": 240, "g": 20, "b": 30}), qos=1)
    world.comes(broker, "kav_morv_led/pc1/state", state_is(RED, effect=None), "its state: red, no effect", mark)
    world.check(wait_until(lambda: "colour: red" in pc1.led(), DEADLINE_S), "the LED shows red", pc1.led())
    world.check((pc1.indication() or {}).get("priority") == 50, "as mqtt at priority 50", pc1.indication())


@case("a change made locally shows in the state at once")
def local_change(world):
    broker = world.broker()
    pc1 = world.machine("pc1")
    mark = broker.mark()
    local = pc1.run("kav_morv_ledctl", "set", "blue", "--name", "local", "--priority", "100")
    world.check(local.returncode == 0, "kav_morv_ledctl set", local.stderr)
    world.comes(broker, "kav_morv_led/pc1/state", state_is(BLUE, effect=None), "its state: blue", mark)


@case("effects: a named pattern, a blink, and their end said as effect null, after a flash of Home Assistant's too")
def effects(world):
    broker = world.broker()
    pc1 = world.machine("pc1")
    state = "kav_morv_led/pc1/state"
    for sent, wanted, what in (
            (command(effect="alarm"), state_is(RED, effect="alarm"), "a named pattern"),
            (command(color=BLUE, effect="blink"), state_is(BLUE, effect="blink"), "a blink"),
            (command(color=GREEN), state_is(GREEN, effect=None), "a steady colour after it: effect null"),
            (command(color=PURPLE, flash=2), state_is(PURPLE, effect="blink"), "a short flash (2 s) over it"),
            (None, state_is(GREEN, effect=None), "the flash's end: green again, effect null")):
        mark = broker.mark()
        if sent:
            broker.publish("kav_morv_led/pc1/set", sent, qos=1)
        world.comes(broker, state, wanted, what, mark)
    left = (pc1.indication("mqtt_flash") or {}).get("left_ms")
    world.check(left is None, "the flash is gone", left)


@case("brightness 0 is off, which clears the indication; a transition is said to be ignored")
def brightness_zero(world):
    broker = world.broker()
    pc1 = world.machine("pc1")
    mark = broker.mark()
    broker.publish("kav_morv_led/pc1/set", command(color=RED, transition=2), qos=1)
    world.check(broker.comes("kav_morv_led/pc1/state", state_is(RED), mark)[0], "red first")
    world.check(pc1.says("transition is ignored"), "the transition said to be ignored", pc1.said)
    mark = broker.mark()
    broker.publish("kav_morv_led/pc1/set", command(brightness=0), qos=1)
    world.comes(broker, "kav_morv_led/pc1/state", state_is(state="OFF", effect=None), "off", mark)
    world.check(pc1.indication() is None, "no indication mqtt", pc1.indication())


@case("no hostile payload on the fleet's topic stops a bridge taking the next, which reaches every machine; "
      "each said, at most ten a minute")
def hostile(world):
    broker = world.broker()
    machines = [world.machine(name) for name in ("pc1", "pc2")]
    mark = broker.mark()
    for bad in HOSTILE:
        broker.publish("kav_morv_led/all/set", bad)
    broker.publish("kav_morv_led/all/set", command(color=BLUE, effect="blink"))
    for machine in machines:
        world.comes(broker, f"kav_morv_led/{machine.name}/state", state_is(BLUE, effect="blink"),
                    f"{machine.name} takes the last", mark)
        world.check(machine.bridges[-1].poll() is None, f"{machine.name}'s bridge runs")
    said = "".join(machines[1].said)
    world.check(all(text in said for text in ("nested deeper than 4", "not JSON", "its colour is not",
                                              "effect 5 is not a name", "\"state\"", "not UTF-8", "5000 bytes",
                                              "0 bytes", "unknown effect", "flash")) and
                said.count("is ignored: ") <= 10, "why each was ignored, at most ten", said[-3000:])


@case("of 2000 commands in a burst the last shows, at QoS 0 and at QoS 1")
def burst(world):
    broker = world.broker()
    pc1 = world.machine("pc1")
    for qos, last in ((0, PURPLE), (1, GREEN)):
        mark = broker.mark()
        broker.publish_many("kav_morv_led/pc1/set", [command(color=(RED, BLUE)[index % 2]) for index in range(1999)] +
                            [command(color=last)], qos=qos)
        world.comes(broker, "kav_morv_led/pc1/state", state_is(last), f"the last at QoS {qos}", mark)
        colour = "purple" if last == PURPLE else "green"
        world.check(wait_until(lambda: f"colour: {colour}" in pc1.led(), DEADLINE_S), f"the LED at QoS {qos}",
                    pc1.led())


@case("a retained command is never carried out, on the machine's topic or the fleet's, and the log says why")
def retained_commands(world):
    broker = world.broker()
    pc1 = world.machine("pc1", bridge=False)
    for topic in ("kav_morv_led/pc1/set", "kav_morv_led/all/set"):
        broker.publish(topic, command(color=RED), retain=True)
    mark = broker.mark()
    pc1.start_bridge()
    world.check(broker.comes("kav_morv_led/pc1/availability", lambda payload: payload == "online", mark)[0], "online")
    for topic in ("kav_morv_led/pc1/set", "kav_morv_led/all/set"):
        world.check(pc1.says(f"a retained command on {topic} is not carried out"), f"said of {topic}", pc1.said)
    world.check(pc1.indication() is None, "nothing carried out", pc1.indication())


@case("the broker restarted: the bridge says it lost it, and publishes config, state and availability again")
def broker_restart(world):
    broker = world.broker()
    pc1 = world.machine("pc1")
    config, topic = discovery_of(broker, "pc1")
    broker.publish("kav_morv_led/pc1/set", command(color=BLUE), qos=1)
    broker.comes("kav_morv_led/pc1/state", state_is(BLUE))
    broker.stop()
    broker.messages.clear()
    world.check(broker.start(), "the broker started again")
    world.check(pc1.says("lost the broker"), "the loss said", pc1.said)
    state, availability = "kav_morv_led/pc1/state", "kav_morv_led/pc1/availability"
    world.check(wait_until(lambda: len(broker.retained(topic, state, availability)) == 3, DEADLINE_S),
                "all three retained again", broker.retained(topic, state, availability))
    kept = broker.retained(state, availability)
    world.check(state_is(BLUE)(kept.get(state, "")) and kept.get(availability) == "online", "as they were", kept)


@case("the LED service gone, the light is unavailable; back, available with the state it kept")
def service_restart(world):
    broker = world.broker()
    pc1 = world.machine("pc1")
    broker.publish("kav_morv_led/pc1/set", command(color=BLUE, effect="blink"), qos=1)
    broker.comes("kav_morv_led/pc1/state", state_is(BLUE, effect="blink"))
    mark = broker.mark()
    pc1.stop_service()
    world.comes(broker, "kav_morv_led/pc1/availability", lambda payload: payload == "offline", "offline", mark)
    mark = broker.mark()
    world.check(pc1.start_service(), "the service started again")
    world.comes(broker, "kav_morv_led/pc1/availability", lambda payload: payload == "online", "online", mark)
    world.comes(broker, "kav_morv_led/pc1/state", state_is(BLUE, effect="blink"), "the state it kept", mark)
    mark = broker.mark()
    broker.publish("kav_morv_led/pc1/set", command(color=PURPLE), qos=1)
    world.comes(broker, "kav_morv_led/pc1/state", state_is(PURPLE), "a command carried out after it", mark)


class FakeService:
    """A UNIX socket in the LED service's place that takes a watch and answers `refusals` statuses
    with an error before it gives one, as a service that cannot read its LED yet would."""

    def __init__(self, path, refusals):
        self.refusals = refusals
        self.statuses = 0  # asked so far
        self.listener = socket.socket(socket.AF_UNIX)
        self.listener.bind(path)
        self.listener.listen()
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # closed at the end of the case
            threading.Thread(target=self.serve, args=(client,), daemon=True).start()

    def serve(self, client):
        with client, client.makefile("rw") as lines:
            for line in lines:
                if line.startswith("status"):
                    self.statuses += 1
                    lines.write("error status the LED cannot be read yet\n" if self.statuses <= self.refusals else
                                'ok {"showing":null,"owner":null,"color":"off","read_back":"off","indications":[]}\n')
                else:
                    lines.write("ok\n")
                lines.flush()

    def stop(self):
        self.listener.close()


@case("a status the service will not give: the light unavailable, asked again each second until it gives one")
def status_refused(world):
    broker = world.broker()
    pc1 = world.machine("pc1", bridge=False, service=False)
    service = FakeService(pc1.endpoint, refusals=2)
    mark = broker.mark()
    pc1.start_bridge()
    world.check(pc1.says("status could not be read"), "said", pc1.said)
    world.comes(broker, "kav_morv_led/pc1/availability", lambda payload: payload == "online", "online once given", mark)
    world.check(service.statuses == 3 and all(payload == "online" for payload in
                                              broker.seen("kav_morv_led/pc1/availability", mark)[-1:]),
                "asked again until given", (service.statuses, broker.seen("kav_morv_led/pc1/availability", mark)))
    service.stop()


@case("a bridge that stops says it is offline, retained; one killed leaves its last will, retained")
def offline(world):
    broker = world.broker()
    pc1 = world.machine("pc1")
    availability = "kav_morv_led/pc1/availability"
    broker.comes(availability, lambda payload: payload == "online")
    world.check(pc1.stop_bridge() == 0, "it stops with status 0", pc1.bridges[-1].returncode)
    world.check(broker.retained(availability).get(availability) == "offline", "offline retained",
                broker.retained(availability))
    mark = broker.mark()
    bridge = pc1.start_bridge()
    broker.comes(availability, lambda payload: payload == "online", mark)
    bridge.kill()
    bridge.wait()
    world.check(wait_until(lambda: broker.retained(availability).get(availability) == "offline", DEADLINE_S),
                "killed, its will: offline retained", broker.retained(availability))


@case("the CONNECT: a client id of at most 23 bytes that is not published, a clean session, and a last will of "
      "offline on the availability topic, retained, at QoS 1")
def connect_packet(world):
    fake = world.fake()
    pc1 = world.machine("pc1", bridge=False)
    pc1.start_bridge(port=fake.port)
    world.check(wait_until(lambda: any(packet["topic"].endswith("/config") and packet["payload"]
                                       for packet in fake.seen(PUBLISH)), DEADLINE_S), "a discovery config", fake.packets)
    [connect] = fake.seen(CONNECT)[:1] or [{}]
    config = next((json.loads(packet["payload"]) for packet in fake.seen(PUBLISH)
                   if packet["topic"].endswith("/config") and packet["payload"]), {})
    client_id = connect.get("client_id", "")
    world.check(0 < len(client_id.encode()) <= 23 and client_id not in json.dumps(config) and
                client_id[4:] not in config.get("unique_id", ""), "its client id", (client_id, config.get("unique_id")))
    world.check((connect.get("protocol"), connect.get("level"), connect.get("clean"), connect.get("keepalive")) ==
                ("MQTT", 4, True, 60), "MQTT 3.1.1, clean, keepalive 60", connect)
    world.check(connect.get("will") == {"topic": "kav_morv_led/pc1/availability", "payload": "offline", "qos": 1,
                                        "retain": True}, "its will", connect.get("will"))
    subscribed = [topic for packet in fake.seen(SUBSCRIBE) for topic in packet["topics"]]
    world.check(all(qos == 1 for _, qos in subscribed) and ("kav_morv_led/pc1/set", 1) in subscribed and
                ("kav_morv_led/all/set", 1) in subscribed, "its subscriptions, at QoS 1", subscribed)
    # Stopped, it says so itself and disconnects, rather than leave it to its will.
    pc1.stop_bridge()
    wait_until(lambda: fake.seen(DISCONNECT), DEADLINE_S)
    last = [(packet["topic"], packet["payload"], packet["retain"]) for packet in fake.seen(PUBLISH)][-1:]
    world.check(last == [("kav_morv_led/pc1/availability", "offline", True)] and
                fake.packets[-1]["kind"] == DISCONNECT, "a stop: offline, retained, then DISCONNECT",
                (last, [packet["kind"] for packet in fake.packets]))


@case("a broker that refuses the command topic (SUBACK 0x80): the refusal said with the topic, the light offline")
def subscription_refused(world):
    fake = world.fake(refused={"kav_morv_led/pc1/set"})
    pc1 = world.machine("pc1", bridge=False)
    pc1.start_bridge(port=fake.port)
    world.check(pc1.says("refused the subscription to kav_morv_led/pc1/set"), "the refusal said", pc1.said)
    world.check(pc1.says("the light is unavailable"), "its consequence said", pc1.said)

    def availability():
        return [(packet["payload"], packet["retain"]) for packet in fake.seen(PUBLISH)
                if packet["topic"] == "kav_morv_led/pc1/availability"]
    wait_until(availability, DEADLINE_S)
    world.check(availability() and all(published == ("offline", True) for published in availability()),
                "offline, retained, and never online", availability())


@case("a broker that never sends CONNACK is given up on within 10 s, saying so, and tried again")
def no_connack(world):
    fake = world.fake(connack=False)
    pc1 = world.machine("pc1", bridge=False)
    started = time.monotonic()
    pc1.start_bridge(port=fake.port)
    world.check(pc1.says("sent no CONNACK within 10 s"), "said", pc1.said)
    took = time.monotonic() - started
    world.check(took < 20, "within the keepalive", f"{took:.1f} s")
    world.check(wait_until(lambda: len(fake.seen(CONNECT)) >= 2, DEADLINE_S), "tried again", fake.seen(CONNECT))


@case("two bridges with one client id: the takeover said once by each, with its likely cause, and both back off")
def takeover(world):
    world.broker()
    pc1 = world.machine("pc1")
    second = pc1.start_bridge()
    text = "another client likely connects with this bridge's client id"
    world.check(wait_until(lambda: sum(text in line for line in pc1.said) >= 2, DEADLINE_S),
                "each says so", pc1.said)

    def waits():
        return [int(found) for found in re.findall(r"trying again in (\d+) s", "".join(pc1.said), re.I)]
    world.check(wait_until(lambda: max(waits(), default=0) >= 8, DEADLINE_S), "backing off", waits())
    world.check(sum(text in line for line in pc1.said) == 2, "once each", pc1.said)
    pc1.stop_bridge(second)


@case("a topic prefix starting with $ is refused")
def dollar_prefix(world):
    pc1 = world.machine("pc1", bridge=False)
    for option in ("--topic-prefix", "--discovery-prefix"):
        bridge = pc1.start_bridge(option, "$SYS/x", port=free_port())
        world.check(ended(bridge) == 2 and pc1.says(f"not starting with $"), f"{option} $SYS/x", pc1.said)


@case("a light moved to other topics (a new name, another prefix) clears the state and availability left under "
      "the old ones")
def moved(world):
    broker = world.broker()
    pc1 = world.machine("pc1", bridge=False)
    # Without --machine the light is the machine's, whatever its name: a prefix stands in for a new host name.
    options = [option for option in pc1.options if option not in ("--machine", "pc1")]
    old = pc1.start_bridge("--topic-prefix", "old_site", options=options)
    world.check(pc1.says("bridging the LED service"), "it started", pc1.said)
    name = next(line for line in pc1.said if "bridging" in line).rsplit(" as ", 1)[1].strip()
    topics = [f"old_site/{name}/state", f"old_site/{name}/availability"]
    world.check(wait_until(lambda: len(broker.retained(*topics)) == 2, DEADLINE_S), "the old ones retained at first")
    pc1.stop_bridge(old)
    pc1.start_bridge(options=options)
    world.check(pc1.says("where this light was under an earlier name"), "said", pc1.said)
    world.check(wait_until(lambda: not broker.retained(*topics), DEADLINE_S), "cleared", broker.retained(*topics))


@case("withdraw takes the light off the broker; with no broker it says so within 10 s")
def withdraw(world):
    broker = world.broker()
    pc1 = world.machine("pc1")
    config, topic = discovery_of(broker, "pc1")
    topics = [topic, "kav_morv_led/pc1/state", "kav_morv_led/pc1/availability"]
    world.check(wait_until(lambda: len(broker.retained(*topics)) == 3, DEADLINE_S), "all three retained at first")
    pc1.stop_bridge()
    taken = pc1.run("kav_morv_led_mqtt", "withdraw", *pc1.options, "--broker", f"mqtt://127.0.0.1:{broker.port}")
    world.check(taken.returncode == 0 and "off the broker" in taken.stderr, "withdraw", taken.stderr)
    world.check(not broker.retained(*topics), "nothing retained", broker.retained(*topics))
    lost = pc1.run("kav_morv_led_mqtt", "withdraw", *pc1.options, "--broker", f"mqtt://127.0.0.1:{free_port()}")
    world.check(lost.returncode == 1 and "still on the broker" in lost.stderr, "no broker", lost.stderr)


@case("an unreachable broker is said, never as an unknown error, and tried again later each time", windows=True)
def unreachable(world):
    pc1 = world.machine("pc1", bridge=False)
    pc1.start_bridge(port=free_port())
    tried = re.compile(r"cannot reach the broker at 127\.0\.0\.1:\d+ \((.+)\); trying again in (\d+) s")
    world.check(wait_until(lambda: len(tried.findall("".join(pc1.said))) >= 3, DEADLINE_S), "tried three times",
                pc1.said)
    found = tried.findall("".join(pc1.said))
    world.check([int(wait) for _, wait in found[:3]] == [1, 2, 4], "1 s, 2 s, 4 s apart", found)
    world.check(all(said and "Unknown error" not in said and said == found[0][0] for said, _ in found),
                "each said, the same way", found)


@case("a wrong password: the broker's refusal said, with what to check")
def wrong_password(world):
    world.broker(more=f"password_file {passwords(world.folder)}\n")
    pc1 = world.machine("pc1", bridge=False)
    wrong = os.path.join(world.folder, "wrong.credentials")
    with open(wrong, "w") as file:
        file.write("led\nwrong\n")
    os.chmod(wrong, 0o600)
    pc1.start_bridge("--credentials", wrong)
    world.check(pc1.says("refused the connection") and pc1.says("check the user and password"), "said", pc1.said)


def passwords(folder):
    path = os.path.join(folder, "passwords")
    for user, password in (("led", "secret"), ("spaced", " s p ")):
        subprocess.run(["mosquitto_passwd", "-b", *(["-c"] if user == "led" else []), path, user, password],
                       check=True, capture_output=True)
    # mosquitto started as root reads it as its own user.
    os.chmod(folder, 0o755)
    os.chmod(path, 0o644)
    return path


@case("settings and credentials files of every kind: used, or refused saying why, never with a secret")
def files(world):
    world.broker(more=f"password_file {passwords(world.folder)}\n")
    pc1 = world.machine("pc1", bridge=False)
    folder = os.path.join(world.folder, "files")
    os.mkdir(folder)
    for what, given, refusal in file_rows(folder):
        said = len(pc1.said)
        options = pc1.options
        if given[0] == "--effects":  # the row's in place of the machine's own
            at = options.index("--effects")
            options = options[:at] + options[at + 2:]
        bridge = pc1.start_bridge(*given, options=options)
        if refusal is None:
            held = pc1.says(f"connected to the broker at 127.0.0.1:{world.port}", said)
            pc1.stop_bridge(bridge)
        else:
            held = ended(bridge) == 2 and pc1.says(refusal, said)
        world.check(held and not any(SECRET in line for line in pc1.said[said:]),
                    f"{what}: " + ("used" if refusal is None else "refused, saying why"), pc1.said[said:])


def file_rows(folder):
    """The settings and credentials files a bridge may be given: (what, the options naming them,
    None if it must connect, else what its refusal says). Each is made here."""
    def made(name, text, mode=0o640):
        path = os.path.join(folder, name)
        with open(path, "wb") as file:
            file.write(text.encode() if isinstance(text, str) else text)
        os.chmod(path, mode)
        return path

    def linked(name, target):
        path = os.path.join(folder, name)
        os.symlink(target, path)
        return path

    fifo = os.path.join(folder, "fifo")
    os.mkfifo(fifo, 0o600)
    foreign = made("foreign.conf", "password = secret\n")
    rows = []
    if os.geteuid() == 0:
        os.chown(foreign, 65534, 65534)
        rows.append(("a settings file that another user owns", ["--settings", foreign], "is owned by user 65534"))
    secret_first = made("first_lines", f"{SECRET}\n{SECRET}\n", 0o600)
    return rows + [
        ("settings with CRLF line ends and a byte order mark",
         ["--settings", made("notepad.conf", "\ufeffuser = led\r\npassword = secret\r\n")], None),
        ("credentials with CRLF line ends and a byte order mark",
         ["--credentials", made("notepad.credentials", "\ufeffled\r\nsecret\r\n")], None),
        ("a password with spaces around it, quoted in the settings file",
         ["--settings", made("spaced.conf", 'user = spaced\npassword = " s p "\n')], None),
        ("a settings file that is a link to another file", ["--settings", linked("link.conf", secret_first)],
         "is a symbolic link"),
        ("a credentials file that is a link to another file", ["--credentials", linked("link.credentials", secret_first)],
         "is a symbolic link"),
        ("a settings file that is a FIFO", ["--settings", fifo], "is a FIFO, not a regular file"),
        ("settings from /dev/zero", ["--settings", "/dev/zero"], "is a device, not a regular file"),
        ("effects from /dev/zero", ["--effects", "/dev/zero"], "is a device, not a regular file"),
        ("a settings file of more than 64 KiB", ["--settings", made("big.conf", "#" * 65536 + "\n")],
         "holds more than 65536 bytes"),
        ("a malformed line holding a secret", ["--settings", made("malformed.conf", f"user = led\n{SECRET}\n")],
         "line 2 is not \"NAME = VALUE\": it has no ="),
        ("a value holding a carriage return",
         ["--settings", made("return.conf", f"password = secret\rbroker = {SECRET}\n")],
         "line 1 (password): its value holds a control character"),
        ("a settings file its group may change", ["--settings", made("writable.conf", "user = led\n", 0o660)],
         "may be changed by others than its owner (mode 0660)"),
        ("a credentials file that others may read", ["--credentials", made("open.credentials", "led\nsecret\n", 0o644)],
         "holds a secret, but others may read it (mode 0644); make it its owner's and the bridge's group's alone: "
         "chmod 640"),
    ]


def certificates(folder):
    """Authorities and certificates made here: ca and other_ca; the broker's (127.0.0.1, by ca), a
    stranger's (127.0.0.1, by other_ca), one for elsewhere.example (by ca), and a client's."""
    os.makedirs(folder, exist_ok=True)

    def openssl(*arguments):
        subprocess.run(["openssl", *arguments], cwd=folder, check=True, capture_output=True)

    for authority in ("ca", "other_ca"):
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{authority}.key", "-out",
                f"{authority}.pem", "-days", "2", "-subj", f"/CN={authority}")
    for name, authority, names in (("broker", "ca", "IP:127.0.0.1"), ("stranger", "other_ca", "IP:127.0.0.1"),
                                   ("elsewhere", "ca", "DNS:elsewhere.example"), ("client", "ca", "DNS:client")):
        with open(os.path.join(folder, f"{name}.ext"), "w") as extensions:
            extensions.write(f"subjectAltName={names}\n")
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj",
                f"/CN={name}")
        openssl("x509", "-req", "-in", f"{name}.csr", "-CA", f"{authority}.pem", "-CAkey", f"{authority}.key",
                "-CAcreateserial", "-out", f"{name}.pem", "-days", "2", "-extfile", f"{name}.ext")
        # The broker's, read by mosquitto as its own user; the bridge's, its own alone.
        os.chmod(os.path.join(folder, f"{name}.key"), 0o600 if name == "client" else 0o644)
    os.chmod(folder, 0o755)
    return folder


@case("TLS: each broker's certificate taken or refused as its authority and name say, with OpenSSL's reason; "
      "without --ca-file the system's authorities", windows=True)
def tls(world):
    folder = certificates(os.path.join(world.folder, "tls"))
    pc1 = world.machine("pc1", bridge=False)
    ca = os.path.join(folder, "ca.pem")
    client = ["--certificate", world.path(os.path.join(folder, "client.pem")), "--key",
              world.path(os.path.join(folder, "client.key"))]
    rows = [  # what, the broker's certificate, whether it asks for the client's, the bridge's options, its refusal
        ("the CA given signed it for its address", "broker", False, ["--ca-file", world.path(ca)], None),
        ("it asks for a client certificate, given one", "broker", True, ["--ca-file", world.path(ca), *client], None),
        ("another CA signed it", "stranger", False, ["--ca-file", world.path(ca)], "certificate verify failed"),
        ("it names another host", "elsewhere", False, ["--ca-file", world.path(ca)], "certificate verify failed"),
        ("no --ca-file, its CA not among the system's", "broker", False, [], "certificate verify failed"),
    ]
    if world.launcher:
        rows.append(("no --ca-file, its CA added to the machine's certificate store", "broker", False, [], None))
    else:
        rows.append(("no --ca-file, its CA the system's (SSL_CERT_FILE)", "broker", False, [], None))
    for what, certificate, asks, given, refusal in rows:
        if world.launcher and not given and refusal is None:
            added = subprocess.run(world.launcher + [world.options.add_root, world.path(ca)], capture_output=True,
                                   text=True, timeout=DEADLINE_S)
            world.check(added.returncode == 0, "the CA added to the machine's store", added.stdout + added.stderr)
        broker = world.broker(more=f"cafile {ca}\ncertfile {folder}/{certificate}.pem\nkeyfile {folder}/{certificate}.key\n"
                                   f"require_certificate {str(asks).lower()}\n")
        said = len(pc1.said)
        system_authorities = {"SSL_CERT_FILE": ca} if not given and refusal is None and not world.launcher else {}
        bridge = pc1.start_bridge(*given, port=broker.port, scheme="mqtts", environment=system_authorities)
        held = pc1.says(f"connected to the broker at 127.0.0.1:{broker.port}" if refusal is None else refusal, said)
        pc1.stop_bridge(bridge)
        broker.stop()
        world.check(held, f"{what}: " + ("connected" if refusal is None else "refused, saying why"), pc1.said[said:])


def run_case(options, scratch, index, chosen):
    folder = os.path.join(scratch, str(index))
    os.mkdir(folder)
    world = World(options, folder, index)
    started = time.monotonic()
    try:
        chosen.run(world)
    except Exception as error:  # a case that breaks says so, and the others go on
        world.problems.append(f"the case broke: {error!r}")
    finally:
        world.end()
    for machine in world.machines:
        reports = [line for line in machine.said if re.search(r"Sanitizer|runtime error:", line)]
        world.check(not reports, f"{machine.name}'s bridges ran clean under the sanitizer", reports[:3])
    if world.problems:
        for machine in world.machines:
            world.problems.append(f"{machine.name}'s bridges said:\n" + "".join(machine.said)[-4000:])
    return world.problems, time.monotonic() - started


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--mosquitto", default="mosquitto", help="the broker's program")
    parser.add_argument("--cases", default="", help="run only the cases whose name this regular expression finds")
    parser.add_argument("--jobs", type=int, default=4, help="cases run at once")
    parser.add_argument("--launcher", default="", help="command prefix that runs the bin folder's programs (Wine)")
    parser.add_argument("--add-root", help="the program that adds a CA to the machine's certificate store (Windows)")
    options = parser.parse_args()
    chosen = [each for each in CASES if re.search(options.cases, each.name) and (each.windows or not options.launcher)]
    failed = 0
    with tempfile.TemporaryDirectory(prefix="led_mqtt_") as scratch:
        os.chmod(scratch, 0o755)
        with concurrent.futures.ThreadPoolExecutor(options.jobs) as pool:
            outcomes = [pool.submit(run_case, options, scratch, index, each) for index, each in enumerate(chosen)]
            for each, outcome in zip(chosen, outcomes):
                problems, took = outcome.result()
                print(("FAIL " if problems else "ok   ") + f"{each.name} ({took:.1f} s)", flush=True)
                for problem in problems:
                    print("     " + problem.replace("\n", "\n     "))
                failed += bool(problems)
    print(f"{len(chosen) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    sys.exit(main())
