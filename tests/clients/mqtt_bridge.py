#!/usr/bin/env python3
"""The MQTT bridge end to end: a real mosquitto broker on a free loopback port, two machines (each a
service over a simulated LED of its own, and a bridge), and mosquitto_pub and mosquitto_sub as the
other side. Discovery, availability and state, commands to one machine and to the fleet, a change
made locally, bad payloads, the broker restarted, a service restarted.

    mqtt_bridge.py --bin BUILD/bin --package clients/python --python DEBIAN_PYTHON [--mosquitto PROGRAM]
"""
import argparse
import json
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
from waiting import wait_until  # noqa: E402

DEADLINE_S = 30
EFFECTS = {"alarm": "red:100 off:100"}


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Broker:
    """mosquitto on a loopback port, and a subscriber that keeps every message it sees."""

    def __init__(self, scratch, mosquitto):
        self.mosquitto = mosquitto
        self.port = free_port()
        self.config = os.path.join(scratch, "mosquitto.conf")
        with open(self.config, "w") as config:
            config.write(f"listener {self.port} 127.0.0.1\nallow_anonymous true\npersistence false\n")
        self.messages = []  # (topic, payload), in order
        self.lock = threading.Lock()
        self.process = self.subscriber = None

    def start(self):
        self.process = subprocess.Popen([self.mosquitto, "-c", self.config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        up = wait_until(lambda: self.accepts(), DEADLINE_S)
        self.subscriber = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-t", "#", "-v"],
                                           stdout=subprocess.PIPE, text=True)
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

    def publish(self, topic, payload):
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-t", topic, "-m", payload],
                       check=True, timeout=DEADLINE_S)

    def seen(self, topic, since=0):
        with self.lock:
            return [payload for got, payload in self.messages[since:] if got == topic]

    def mark(self):
        with self.lock:
            return len(self.messages)

    def comes(self, topic, wanted, since=0):
        """Whether a message on `topic` for which wanted(payload) holds comes, and the last seen."""
        def found():
            return any(wanted(payload) for payload in self.seen(topic, since))
        came = wait_until(found, DEADLINE_S)
        return came, (self.seen(topic, since) or ["nothing"])[-1]


class Machine:
    """A service over a simulated LED of its own, and a bridge on the broker."""

    def __init__(self, name, scratch, options, broker):
        self.name = name
        self.folder = os.path.join(scratch, name)
        self.bin = copy_bin(options.bin, os.path.join(self.folder, "bin"))
        self.endpoint = os.path.join(self.folder, "led.sock")
        self.environment = clean_environment(KAV_MORV_LED_ENDPOINT=self.endpoint, PYTHONPATH=options.package)
        effects = os.path.join(self.folder, "effects.json")
        with open(effects, "w") as file:
            json.dump(EFFECTS, file)
        self.bridge_command = [options.python, "-m", "kav_morv_led.mqtt", "--broker", f"mqtt://127.0.0.1:{broker.port}",
                               "--machine", name, "--effects", effects, "--priority", "50"]
        self.service = self.bridge = None

    def start_service(self):
        self.service, said, serving = start_service(
            [program(self.bin, "kav_morv_led_service"), "--foreground", "--state",
             os.path.join(self.folder, "state.json")], self.environment)
        return serving

    def stop_service(self):
        self.service.terminate()
        self.service.wait()

    def start_bridge(self):
        self.bridge = subprocess.Popen(self.bridge_command, env=self.environment, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

    def ctl(self, *args):
        return subprocess.run([program(self.bin, "kav_morv_ledctl"), *args], env=self.environment,
                              capture_output=True, text=True, timeout=DEADLINE_S)

    def led(self):
        return subprocess.run([program(self.bin, "led_sim"), "show"], env=self.environment, capture_output=True,
                              text=True).stdout

    def mqtt_indication(self):
        status = json.loads(self.ctl("status", "--json").stdout or "{}")
        return next((entry for entry in status.get("indications", []) if entry["name"] == "mqtt"), None)

    def stop(self):
        if self.bridge and self.bridge.poll() is None:
            self.bridge.terminate()
            self.bridge.wait()
        if self.service and self.service.poll() is None:
            self.stop_service()


def state_is(color=None, state="ON", effect=None):
    def holds(payload):
        try:
            got = json.loads(payload)
        except ValueError:
            return False
        return got.get("state") == state and (color is None or got.get("color") == color) and \
            (effect is None or got.get("effect") == effect)
    return holds


RED = {"r": 255, "g": 0, "b": 0}
BLUE = {"r": 0, "g": 0, "b": 255}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--python", required=True, help="a Python with paho-mqtt (Debian's)")
    parser.add_argument("--mosquitto", default="mosquitto", help="the broker's program")
    options = parser.parse_args()

    checks = []
    with tempfile.TemporaryDirectory(prefix="led_mqtt_") as scratch:
        broker = Broker(scratch, options.mosquitto)
        machines = [Machine(name, scratch, options, broker) for name in ("pc1", "pc2")]
        pc1, pc2 = machines
        try:
            checks.append(("the broker starts", broker.start(), broker.port))
            for machine in machines:
                checks.append((f"{machine.name}'s service starts", machine.start_service(), machine.name))
                machine.start_bridge()

            came, last = broker.comes("homeassistant/light/kav_morv_led_pc1/config", lambda payload: json.loads(
                payload).get("command_topic") == "kav_morv_led/pc1/set" and json.loads(payload).get("effect_list") ==
                ["blink", "alarm"] and json.loads(payload).get("schema") == "json")
            checks.append(("the discovery config of a JSON light, with blink and the named patterns", came, last))
            # A bridge says it is available once it has subscribed to its commands.
            for machine in machines:
                came, last = broker.comes(f"kav_morv_led/{machine.name}/availability", lambda payload: payload == "online")
                checks.append((f"{machine.name} is available once its service is reached", came, last))
            checks.append(("its state: off", *broker.comes("kav_morv_led/pc1/state", state_is(state="OFF"))))

            mark = broker.mark()
            broker.publish("kav_morv_led/pc1/set", json.dumps({"state": "ON", "color": {"r": 240, "g": 20, "b": 30}}))
            came, last = broker.comes("kav_morv_led/pc1/state", state_is(RED), mark)
            shown = wait_until(lambda: "colour: red" in pc1.led(), DEADLINE_S)
            indication = pc1.mqtt_indication()
            checks.append(("a command of a reddish colour shows red, as the indication mqtt at the priority given",
                           came and shown and indication and indication["priority"] == 50, (last, indication)))

            mark = broker.mark()
            local = pc1.ctl("set", "blue", "--name", "local", "--priority", "100")
            came, last = broker.comes("kav_morv_led/pc1/state", state_is(BLUE), mark)
            checks.append(("a change made locally shows in the state at once", local.returncode == 0 and came, last))
            pc1.ctl("clear", "--name", "local")

            mark = broker.mark()
            broker.publish("kav_morv_led/pc1/set", json.dumps({"state": "ON", "effect": "alarm"}))
            checks.append(("a named pattern as an effect", *broker.comes("kav_morv_led/pc1/state",
                                                                         state_is(RED, effect="alarm"), mark)))

            mark = broker.mark()
            for bad in ("not json", json.dumps({"state": "ON", "color": "pink"}), json.dumps([1, 2]),
                        json.dumps({"state": "ON", "effect": "rainbow"}), "x" * 100_000, json.dumps({"state": "DIM"})):
                broker.publish("kav_morv_led/pc1/set", bad)
            broker.publish("kav_morv_led/all/set", json.dumps({"state": "ON", "color": BLUE, "effect": "blink"}))
            came = all(broker.comes(f"kav_morv_led/{name}/state", state_is(BLUE, effect="blink"), mark)[0]
                       for name in ("pc1", "pc2"))
            checks.append(("bad payloads are answered in the log, and a command to the fleet reaches every machine",
                           came and pc1.bridge.poll() is None and pc2.bridge.poll() is None, broker.seen(
                               "kav_morv_led/pc2/state", mark)))

            mark = broker.mark()
            broker.publish("kav_morv_led/pc2/set", json.dumps({"state": "OFF"}))
            came, last = broker.comes("kav_morv_led/pc2/state", state_is(state="OFF"), mark)
            checks.append(("OFF clears the indication", came and pc2.mqtt_indication() is None, last))

            broker.stop()
            broker.messages.clear()
            checks.append(("the broker starts again", broker.start(), broker.port))
            came, last = broker.comes("homeassistant/light/kav_morv_led_pc1/config", lambda payload: "pc1" in payload)
            came_state, last_state = broker.comes("kav_morv_led/pc1/state", state_is(BLUE, effect="blink"))
            checks.append(("after the broker's restart the bridge reconnects and publishes its config and state again",
                           came and came_state, (last, last_state)))

            mark = broker.mark()
            pc1.stop_service()
            came, last = broker.comes("kav_morv_led/pc1/availability", lambda payload: payload == "offline", mark)
            checks.append(("the service gone, the light is unavailable", came, last))
            mark = broker.mark()
            checks.append(("the service starts again", pc1.start_service(), "pc1"))
            came, last = broker.comes("kav_morv_led/pc1/availability", lambda payload: payload == "online", mark)
            came_state = broker.comes("kav_morv_led/pc1/state", state_is(BLUE, effect="blink"), mark)[0]
            checks.append(("and available again, with the state the service kept", came and came_state, last))

            mark = broker.mark()
            pc2.bridge.terminate()
            pc2.bridge.wait()
            came, last = broker.comes("kav_morv_led/pc2/availability", lambda payload: payload == "offline", mark)
            checks.append(("a bridge that stops says it is offline", came and pc2.bridge.returncode == 0, last))
        finally:
            for machine in machines:
                machine.stop()
            broker.stop()
        said = {machine.name: machine.bridge.stderr.read() if machine.bridge else "" for machine in machines}
        checks.append(("the bridge said why it ignored each bad payload",
                       all(text in said["pc1"] for text in ("that is not JSON", "unknown effect", "at most 4096",
                                                            "\"state\"")), said["pc1"][-2000:]))
    status = report(checks)
    if status != 0:
        for name, lines in said.items():
            print(f"{name}'s bridge said:\n{lines}")
    return status


if __name__ == "__main__":
    sys.exit(main())
