"""kav_morv_led_mqtt: this PC's LED as a light of Home Assistant's, or of any dashboard that speaks
MQTT, through a broker. It publishes the light's discovery config, its state (from the service's
change events, so that a change made locally shows at once) and its availability, all retained,
with a last will; and turns commands into an indication of the name "mqtt", so that a local alarm
of higher priority still wins. Topics carry the machine's name, and every bridge of a fleet also
takes the commands sent to the fleet's topic.

    kav_morv_led_mqtt --broker mqtt://broker.example:1883 [--machine NAME] [--credentials FILE]
"""
from __future__ import annotations

import argparse
import json
import os
import re
import signal
import socket
import sys
import threading
from typing import Dict, List, Optional, Tuple
from urllib.parse import urlsplit

from .client import COLORS, Led, LedError, ServiceUnavailable, Status, Step

INDICATION = "mqtt"
DEFAULT_PRIORITY = 50
MAX_PAYLOAD_BYTES = 4096
# A lit colour's channels; "off" is the light's OFF, not a colour of its.
RGB = {"red": (255, 0, 0), "green": (0, 255, 0), "blue": (0, 0, 255), "white": (255, 255, 255),
       "cb": (0, 255, 255), "yellow": (255, 255, 0), "purple": (255, 0, 255)}
BLINK = "blink"
BLINK_MS = 500
RETRY_LEAST_S, RETRY_MOST_S = 1, 30


def say(line: str) -> None:
    print(f"kav_morv_led_mqtt: {line}", file=sys.stderr, flush=True)


def nearest_color(red: int, green: int, blue: int) -> str:
    """The LED's colour nearest to an RGB one, its brightness set aside: the channels are scaled
    until the brightest is full, then the nearest of the seven lit colours is taken."""
    brightest = max(red, green, blue)
    if brightest <= 0:
        return "white"
    scaled = [channel * 255 / brightest for channel in (red, green, blue)]
    return min(RGB, key=lambda name: sum((a - b) ** 2 for a, b in zip(scaled, RGB[name])))


def read_effects(path: Optional[str]) -> Dict[str, List[Tuple[str, int]]]:
    """Named patterns from a JSON file: {"alarm": "red:100 off:100", ...}."""
    if path is None:
        return {}
    with open(path) as file:
        named = json.load(file)
    effects = {}
    for name, steps in named.items():
        if name == BLINK or not isinstance(steps, str):
            raise ValueError(f"effect {name!r}: give a pattern as \"COLOUR:MS COLOUR:MS ...\", under another name than blink")
        pattern = []
        for step in steps.split():
            color, _, ms = step.partition(":")
            if color.lower() not in COLORS or not ms.isdigit():
                raise ValueError(f"effect {name!r}: step {step!r} is not COLOUR:MS")
            pattern.append((color.lower(), int(ms)))
        effects[name] = pattern
    return effects


def read_credentials(path: Optional[str]) -> Tuple[Optional[str], Optional[str]]:
    """User and password from a file (two lines), else from KAV_MORV_LED_MQTT_USER and
    KAV_MORV_LED_MQTT_PASSWORD: never from the command line, where every user could read them."""
    if path is not None:
        with open(path) as file:
            lines = file.read().splitlines()
        return (lines[0] if lines else None), (lines[1] if len(lines) > 1 else None)
    return os.environ.get("KAV_MORV_LED_MQTT_USER"), os.environ.get("KAV_MORV_LED_MQTT_PASSWORD")


class Bridge:
    """One machine's LED on one broker."""

    def __init__(self, options: argparse.Namespace, led: Led, effects: Dict[str, List[Tuple[str, int]]]):
        self.led = led
        self.effects = effects
        self.priority = options.priority
        self.machine = options.machine
        base = f"{options.topic_prefix}/{self.machine}"
        self.state_topic = f"{base}/state"
        self.command_topics = [f"{base}/set", f"{options.topic_prefix}/{options.fleet}/set"]
        self.availability_topic = f"{base}/availability"
        self.config_topic = f"{options.discovery_prefix}/light/kav_morv_led_{self.machine}/config"
        self.last_color = "white"
        self.available = False
        self.lock = threading.Lock()  # the broker's thread and the watching one both publish
        self.client = self.make_client(options)

    def make_client(self, options: argparse.Namespace):
        import paho.mqtt.client as mqtt
        broker = urlsplit(options.broker)
        if broker.scheme not in ("mqtt", "mqtts") or not broker.hostname:
            raise ValueError(f"--broker {options.broker!r} is not mqtt://HOST[:PORT] or mqtts://HOST[:PORT]")
        client_id = f"kav_morv_led_{self.machine}"
        # paho 2 asks which callbacks it is given; paho 1 knows only these.
        version = getattr(getattr(mqtt, "CallbackAPIVersion", None), "VERSION1", None)
        client = mqtt.Client(version, client_id=client_id) if version else mqtt.Client(client_id=client_id)
        user, password = read_credentials(options.credentials)
        if user is not None:
            client.username_pw_set(user, password)
        if broker.scheme == "mqtts":
            client.tls_set(ca_certs=options.ca_file)
        client.will_set(self.availability_topic, "offline", qos=1, retain=True)
        client.reconnect_delay_set(RETRY_LEAST_S, RETRY_MOST_S)
        client.on_connect = self.on_connect
        client.on_message = self.on_message
        client.connect_async(broker.hostname, broker.port or (8883 if broker.scheme == "mqtts" else 1883))
        return client

    # The broker's side -------------------------------------------------------------------------

    def on_connect(self, client, userdata, flags, result) -> None:
        if result != 0:
            say(f"the broker refused the connection ({result})")
            return
        say("connected to the broker")
        for topic in self.command_topics:
            client.subscribe(topic, qos=1)
        client.publish(self.config_topic, json.dumps(self.discovery_config()), qos=1, retain=True)
        # Everything again: the broker may have lost what was retained.
        self.publish_state()

    def discovery_config(self) -> dict:
        return {
            "name": f"{self.machine} LED",
            "unique_id": f"kav_morv_led_{self.machine}",
            "schema": "json",
            "command_topic": self.command_topics[0],
            "state_topic": self.state_topic,
            "availability_topic": self.availability_topic,
            "payload_available": "online",
            "payload_not_available": "offline",
            "supported_color_modes": ["rgb"],
            "effect": True,
            "effect_list": [BLINK, *self.effects],
            "device": {"identifiers": [f"kav_morv_led_{self.machine}"], "name": f"{self.machine} LED",
                       "model": "KAV MORV LED"},
        }

    def on_message(self, client, userdata, message) -> None:
        if len(message.payload) > MAX_PAYLOAD_BYTES:
            say(f"a command of {len(message.payload)} bytes on {message.topic} ignored: at most {MAX_PAYLOAD_BYTES}")
            return
        try:
            command = json.loads(message.payload)
        except ValueError:
            say(f"a command on {message.topic} that is not JSON ignored: {message.payload[:100]!r}")
            return
        if not isinstance(command, dict) or command.get("state") not in ("ON", "OFF"):
            say(f"a command on {message.topic} without a \"state\" of ON or OFF ignored: {message.payload[:100]!r}")
            return
        try:
            self.carry_out(command)
        except (LedError, ValueError, TypeError) as error:
            say(f"the command {message.payload[:100]!r} was not carried out: {error}")

    def carry_out(self, command: dict) -> None:
        if command["state"] == "OFF":
            self.led.clear(INDICATION)
            return
        color = command.get("color")
        if isinstance(color, dict):
            self.last_color = nearest_color(*(int(color.get(channel, 0)) for channel in ("r", "g", "b")))
        effect = command.get("effect")
        if effect == BLINK:
            self.led.blink(self.last_color, BLINK_MS, BLINK_MS, name=INDICATION, priority=self.priority)
        elif effect in self.effects:
            self.led.pattern(self.effects[effect], name=INDICATION, priority=self.priority)
        elif effect in (None, "none"):
            self.led.set(self.last_color, name=INDICATION, priority=self.priority)
        else:
            raise ValueError(f"unknown effect {str(effect)[:50]!r}; one of {', '.join([BLINK, *self.effects])}")

    # The service's side ------------------------------------------------------------------------

    def state_of(self, status: Status) -> dict:
        """The light's state: what the LED shows, whoever asked it."""
        showing = next((indication for indication in status.indications if indication.name == status.showing
                        and indication.owner == status.owner), None)
        if showing is None:
            return {"state": "OFF"}
        lit = [step.color for step in showing.steps if step.color != "off"]
        if not lit:
            return {"state": "OFF"}
        state = {"state": "ON", "color_mode": "rgb", "color": dict(zip("rgb", RGB[lit[0]])), "effect": "none"}
        if len(showing.steps) > 1:
            named = [name for name, steps in self.effects.items() if tuple(Step(*step) for step in steps) == showing.steps]
            state["effect"] = named[0] if named else BLINK
        return state

    def publish_state(self) -> None:
        with self.lock:
            try:
                status = self.led.status()
            except ServiceUnavailable:
                self.client.publish(self.availability_topic, "offline", qos=1, retain=True)
                return
            self.client.publish(self.state_topic, json.dumps(self.state_of(status)), qos=1, retain=True)
            self.client.publish(self.availability_topic, "online", qos=1, retain=True)

    def follow_the_service(self, stopping: threading.Event) -> None:
        """Publishes the state at each change the service reports, until `stopping`; while the
        service is away, the light is offline and the service is looked for again, less and less often."""
        retry_s = RETRY_LEAST_S
        while not stopping.is_set():
            try:
                self.publish_state()
                for _ in self.led.watch():
                    retry_s = RETRY_LEAST_S
                    self.publish_state()
                    if stopping.is_set():
                        return
            except LedError as error:
                say(f"the LED service is away ({error}); trying again in {retry_s} s")
                with self.lock:
                    self.client.publish(self.availability_topic, "offline", qos=1, retain=True)
                stopping.wait(retry_s)
                retry_s = min(retry_s * 2, RETRY_MOST_S)


def machine_name() -> str:
    return re.sub(r"[^a-z0-9_-]", "_", socket.gethostname().lower()) or "this_pc"


def parse(arguments: Optional[List[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="kav_morv_led_mqtt", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--broker", required=True, help="mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883)")
    parser.add_argument("--credentials", help="a file holding the broker's user name, then its password, on two lines "
                                              "(else KAV_MORV_LED_MQTT_USER and KAV_MORV_LED_MQTT_PASSWORD)")
    parser.add_argument("--ca-file", help="for mqtts: the certificate authority the broker's certificate is checked "
                                          "against (else the system's)")
    parser.add_argument("--machine", default=machine_name(), help="this machine's name in the topics (%(default)s)")
    parser.add_argument("--fleet", default="all", help="the fleet's name: commands to PREFIX/FLEET/set reach every "
                                                       "machine of it (%(default)s)")
    parser.add_argument("--priority", type=int, default=DEFAULT_PRIORITY, help="the priority of the broker's "
                                                                               "indication, 0 to 255 (%(default)s)")
    parser.add_argument("--effects", help="a JSON file of named patterns offered as effects beside blink: "
                                          "{\"alarm\": \"red:100 off:100\"}")
    parser.add_argument("--endpoint", help="the LED service's endpoint (else KAV_MORV_LED_ENDPOINT, else the system's)")
    parser.add_argument("--topic-prefix", default="kav_morv_led", help="(%(default)s)")
    parser.add_argument("--discovery-prefix", default="homeassistant", help="(%(default)s)")
    options = parser.parse_args(arguments)
    if not 0 <= options.priority <= 255:
        parser.error("--priority must be 0 to 255")
    if not re.fullmatch(r"[A-Za-z0-9_-]+", options.machine) or not re.fullmatch(r"[A-Za-z0-9_-]+", options.fleet):
        parser.error("--machine and --fleet are letters, digits, '_' and '-'")
    return options


def main(arguments: Optional[List[str]] = None) -> int:
    options = parse(arguments)
    try:
        bridge = Bridge(options, Led(options.endpoint), read_effects(options.effects))
    except ImportError:
        say("needs the MQTT library paho-mqtt (on Debian, the package python3-paho-mqtt)")
        return 1
    except (OSError, ValueError) as error:
        say(str(error))
        return 2
    stopping = threading.Event()
    for stop in (signal.SIGINT, signal.SIGTERM):
        signal.signal(stop, lambda *_: stopping.set())
    bridge.client.loop_start()
    watcher = threading.Thread(target=bridge.follow_the_service, args=(stopping,), daemon=True)
    watcher.start()
    stopping.wait()
    say("stopping")
    with bridge.lock:
        published = bridge.client.publish(bridge.availability_topic, "offline", qos=1, retain=True)
    try:
        published.wait_for_publish(5)
    except (RuntimeError, ValueError):
        pass  # not connected to the broker: the last will says it
    bridge.client.disconnect()
    bridge.client.loop_stop()
    return 0


if __name__ == "__main__":
    sys.exit(main())
