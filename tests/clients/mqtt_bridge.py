#!/usr/bin/env python3
"""The MQTT bridge end to end: a real mosquitto broker on a free loopback port, two machines (each a
service over a simulated LED of its own, and a bridge), and mosquitto_pub and mosquitto_sub as the
other side, as Home Assistant and a hostile publisher would be. Discovery (and again on Home
Assistant's birth), availability and state, commands to one machine and to the fleet, what Home
Assistant sends (flash, brightness, transition, hs), a change made locally, hostile and retained
payloads, a burst, the broker restarted, refusing or gone, a service restarted, settings and
credentials files of every kind (links, FIFOs, devices, Notepad's, malformed around a secret).

    mqtt_bridge.py --bin BUILD/bin [--mosquitto PROGRAM]
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

    def __init__(self, scratch, mosquitto, passwords=None, tls=""):
        self.mosquitto = mosquitto
        self.port = free_port()
        self.config = os.path.join(scratch, f"mosquitto{self.port}.conf")
        with open(self.config, "w") as config:
            config.write(f"listener {self.port} 127.0.0.1\n{tls}persistence false\n" +
                         (f"allow_anonymous false\npassword_file {passwords}\n" if passwords else
                          "allow_anonymous true\n"))
        self.messages = []  # (topic, payload), in order
        self.lock = threading.Lock()
        self.process = self.subscriber = None

    def start(self):
        self.process = subprocess.Popen([self.mosquitto, "-c", self.config], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        up = wait_until(lambda: self.accepts(), DEADLINE_S)
        self.subscriber = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.port), "-t", "#", "-v"],
                                           stdout=subprocess.PIPE, text=True, errors="replace")
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

    def publish(self, topic, payload, retain=False):
        data = payload if isinstance(payload, bytes) else payload.encode()
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-t", topic, "-s" if data else "-n"] +
                       (["-r"] if retain else []), input=data, check=True, timeout=DEADLINE_S)

    def publish_many(self, topic, payloads):
        """Every payload, in order, on one connection (a line each)."""
        subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.port), "-t", topic, "-l"],
                       input="".join(payload + "\n" for payload in payloads).encode(), check=True, timeout=DEADLINE_S)

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
        self.environment = clean_environment(KAV_MORV_LED_ENDPOINT=self.endpoint)
        effects = os.path.join(self.folder, "effects.json")
        with open(effects, "w") as file:
            json.dump(EFFECTS, file)
        self.broker_port = broker.port
        self.bridge_command = [program(self.bin, "kav_morv_led_mqtt"), "--machine", name, "--effects", effects,
                               "--priority", "50"]
        self.service = self.bridge = None
        self.said = []  # what its bridges said, each start's in turn

    def start_service(self):
        self.service, said, serving = start_service(
            [program(self.bin, "kav_morv_led_service"), "--foreground", "--state",
             os.path.join(self.folder, "state.json")], self.environment)
        return serving

    def stop_service(self):
        self.service.terminate()
        self.service.wait()

    def start_bridge(self, *more, port=None, scheme="mqtt"):
        broker = ["--broker", f"{scheme}://127.0.0.1:{port or self.broker_port}"]
        self.bridge = subprocess.Popen(self.bridge_command + broker + list(more), env=self.environment,
                                       stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        bridge = self.bridge
        threading.Thread(target=lambda: self.said.extend(bridge.stderr), daemon=True).start()

    def stop_bridge(self):
        self.bridge.terminate()
        return self.bridge.wait()

    def says(self, text, since=0):
        """Whether a line holding `text` is said, among those from the `since`th on."""
        return wait_until(lambda: any(text in line for line in self.said[since:]), DEADLINE_S)

    def ctl(self, *args):
        return subprocess.run([program(self.bin, "kav_morv_ledctl"), *args], env=self.environment,
                              capture_output=True, text=True, timeout=DEADLINE_S)

    def led(self):
        return subprocess.run([program(self.bin, "led_sim"), "show"], env=self.environment, capture_output=True,
                              text=True).stdout

    def indication(self, name="mqtt"):
        status = json.loads(self.ctl("status", "--json").stdout or "{}")
        return next((entry for entry in status.get("indications", []) if entry["name"] == name), None)

    def stop(self):
        if self.bridge and self.bridge.poll() is None:
            self.stop_bridge()
        if self.service and self.service.poll() is None:
            self.stop_service()


def state_is(color=None, state="ON", effect=None):
    """The state holds these; with effect "", it has none."""
    def holds(payload):
        try:
            got = json.loads(payload)
        except ValueError:
            return False
        return got.get("state") == state and (color is None or got.get("color") == color) and \
            (effect is None or got.get("effect", "") == effect)
    return holds


RED = {"r": 255, "g": 0, "b": 0}
BLUE = {"r": 0, "g": 0, "b": 255}


RED = {"r": 255, "g": 0, "b": 0}
BLUE = {"r": 0, "g": 0, "b": 255}
PURPLE = {"r": 255, "g": 0, "b": 255}
# What a hostile publisher sends the fleet: not one of them may stop a bridge taking the next.
HOSTILE = [b"[" * 3000, b'{"state":"ON","color":{"r":1e400,"g":0,"b":0}}', b'{"state":"ON","color":{"r":1e30,"g":0}}',
           b'{"state":"ON","effect":5}', b'{"state":["ON"]}', b'{"state":"ON","name":"\xff\xfe"}', b"x" * 5000, b"",
           b'{"state":"ON","effect":"rainbow"}', b'{"state":"ON","flash":"forever"}',
           # Beyond the ten lines a minute the log takes of them.
           b'{"state":"ON","brightness":-1}', b'{"state":"DIM"}', b'{"state":"ON","color":{"r":"x"}}']


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
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

            def config_right(payload):
                config = json.loads(payload)
                return (config.get("command_topic"), config.get("effect_list"), config.get("schema"),
                        config.get("flash_time_short"), config.get("flash_time_long")) == \
                    ("kav_morv_led/pc1/set", ["blink", "alarm"], "json", 2, 10)
            came, last = broker.comes("homeassistant/light/kav_morv_led_pc1/config", config_right)
            checks.append(("the discovery config of a JSON light, with blink, the named patterns and flashes", came, last))
            configs = [broker.comes(f"homeassistant/light/kav_morv_led_{name}/config", lambda payload: True)[1]
                       for name in ("pc1", "pc2")]
            ids = {json.loads(config).get("unique_id") for config in configs if config != "nothing"}
            checks.append(("each light's unique_id is its own", len(ids) == 2, ids))
            for machine in machines:
                came, last = broker.comes(f"kav_morv_led/{machine.name}/availability", lambda payload: payload == "online")
                checks.append((f"{machine.name} is available once its service is reached", came, last))
            checks.append(("its state: off", *broker.comes("kav_morv_led/pc1/state", state_is(state="OFF"))))

            mark = broker.mark()
            broker.publish("homeassistant/status", "online")
            checks.append(("Home Assistant's birth message brings the discovery config again",
                           *broker.comes("homeassistant/light/kav_morv_led_pc1/config", config_right, mark)))

            mark = broker.mark()
            broker.publish("kav_morv_led/pc1/set", json.dumps({"state": "ON", "color": {"r": 240, "g": 20, "b": 30}}))
            came, last = broker.comes("kav_morv_led/pc1/state", state_is(RED, effect=""), mark)
            shown = wait_until(lambda: "colour: red" in pc1.led(), DEADLINE_S)
            indication = pc1.indication()
            checks.append(("a command of a reddish colour shows red, as the indication mqtt at the priority given, "
                           "its state with no effect", came and shown and indication and indication["priority"] == 50,
                           (last, indication)))

            mark = broker.mark()
            local = pc1.ctl("set", "blue", "--name", "local", "--priority", "100")
            came, last = broker.comes("kav_morv_led/pc1/state", state_is(BLUE), mark)
            checks.append(("a change made locally shows in the state at once", local.returncode == 0 and came, last))
            pc1.ctl("clear", "--name", "local")

            mark = broker.mark()
            broker.publish("kav_morv_led/pc1/set", json.dumps({"state": "ON", "effect": "alarm"}))
            checks.append(("a named pattern as an effect", *broker.comes("kav_morv_led/pc1/state",
                                                                         state_is(RED, effect="alarm"), mark)))
            broker.publish("kav_morv_led/pc1/set", json.dumps({"state": "ON", "color": {"h": 300, "s": 100},
                                                               "transition": 2, "flash": "short"}))
            flash = wait_until(lambda: (pc1.indication("mqtt_flash") or {}).get("steps") ==
                               [{"color": "purple", "ms": 500}, {"color": "off", "ms": 500}], DEADLINE_S)
            left = (pc1.indication("mqtt_flash") or {}).get("left_ms") or 0
            checks.append(("a short flash of an hs colour is a blink of the nearest colour for 2 s, over what was; "
                           "its transition is said to be ignored", flash and 0 < left <= 2000 and pc1.indication() and
                           pc1.says("transition is ignored"), (pc1.indication("mqtt_flash"), pc1.indication())))

            mark = broker.mark()
            for bad in HOSTILE:
                broker.publish("kav_morv_led/all/set", bad)
            broker.publish("kav_morv_led/all/set", json.dumps({"state": "ON", "color": BLUE, "effect": "blink"}))
            came = all(broker.comes(f"kav_morv_led/{name}/state", state_is(BLUE, effect="blink"), mark)[0]
                       for name in ("pc1", "pc2"))
            checks.append(("no hostile payload on the fleet's topic stops a bridge taking the next, which reaches "
                           "every machine", came and pc1.bridge.poll() is None and pc2.bridge.poll() is None,
                           broker.seen("kav_morv_led/pc2/state", mark)))

            mark = broker.mark()
            colours = [{"r": 255, "g": 0, "b": 0}, {"r": 0, "g": 255, "b": 0}]
            broker.publish_many("kav_morv_led/pc2/set", [json.dumps({"state": "ON", "color": colours[index % 2]})
                                                         for index in range(1999)] +
                                [json.dumps({"state": "ON", "color": PURPLE})])
            came, last = broker.comes("kav_morv_led/pc2/state", state_is(PURPLE), mark)
            shown = wait_until(lambda: "colour: purple" in pc2.led(), DEADLINE_S)
            checks.append(("of 2000 commands in a burst the last shows", came and shown, last))

            mark = broker.mark()
            broker.publish("kav_morv_led/pc2/set", json.dumps({"state": "ON", "brightness": 0}))
            came, last = broker.comes("kav_morv_led/pc2/state", state_is(state="OFF"), mark)
            checks.append(("brightness 0 is OFF, which clears the indication", came and pc2.indication() is None, last))

            mark = broker.mark()
            pc2.stop_bridge()
            broker.publish("kav_morv_led/pc2/set", json.dumps({"state": "ON", "color": RED}), retain=True)
            pc2.start_bridge()
            said_retained = pc2.says("retained command")
            came, last = broker.comes("kav_morv_led/pc2/availability", lambda payload: payload == "online", mark)
            checks.append(("a retained command is never carried out, and the log says why",
                           said_retained and came and pc2.indication() is None, pc2.indication()))
            broker.publish("kav_morv_led/pc2/set", b"", retain=True)  # the retained command let go

            broker.stop()
            broker.messages.clear()
            checks.append(("the broker starts again", broker.start(), broker.port))
            came, last = broker.comes("homeassistant/light/kav_morv_led_pc1/config", lambda payload: "pc1" in payload)
            came_state, last_state = broker.comes("kav_morv_led/pc1/state", state_is(BLUE, effect="blink"))
            checks.append(("after the broker's restart the bridge said so, reconnects and publishes its config and "
                           "state again", came and came_state and pc1.says("lost the broker"), (last, last_state)))

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
            checks.append(("a bridge that stops says it is offline", pc2.stop_bridge() == 0 and broker.comes(
                "kav_morv_led/pc2/availability", lambda payload: payload == "offline", mark)[0], pc2.bridge.returncode))

            checks += credential_checks(scratch, options, pc2)
            checks += tls_checks(scratch, options, pc2)
        finally:
            for machine in machines:
                machine.stop()
            broker.stop()
        said = "".join(pc2.said).split("bridging the LED service")[1]  # its first run's
        ignored = said.count("is ignored: ")
        checks.append(("the bridge said why it ignored each bad payload, at most ten a minute",
                       all(text in said for text in ("nested deeper than 4", "not JSON", "its colour is not",
                                                     "effect 5 is not a name", "\"state\"", "not UTF-8", "5000 bytes",
                                                     "0 bytes", "unknown effect", "flash")) and ignored <= 10,
                       (ignored, said[-3000:])))
    status = report(checks)
    if status != 0:
        for machine in machines:
            print(f"{machine.name}'s bridges said:\n{''.join(machine.said)}")
    return status


SECRET = "s3cretLEAK"  # in every file the bridge must refuse: never in its log


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
    os.chown(foreign, 65534, 65534)
    secret_first = made("first_lines", f"{SECRET}\n{SECRET}\n", 0o600)
    return [
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
        ("a settings file that another user owns", ["--settings", foreign], "is owned by user 65534"),
        ("a settings file that others may change", ["--settings", made("writable.conf", "user = led\n", 0o660)],
         "may be changed by others than its owner (mode 0660)"),
        ("a credentials file that others may read", ["--credentials", made("open.credentials", "led\nsecret\n", 0o644)],
         "holds a secret, but others may read it (mode 0644); make it its owner's and the bridge's group's alone: "
         "chmod 640"),
    ]


def tls_checks(scratch, options, machine):
    """Brokers on TLS with certificates made here: the bridge takes one that its CA signed for the
    broker's address, with a client certificate when asked; it refuses one that another CA signed or
    that names another host, saying OpenSSL's reason."""
    folder = os.path.join(scratch, "tls")
    os.mkdir(folder)

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
    ca = os.path.join(folder, "ca.pem")
    client = ["--certificate", os.path.join(folder, "client.pem"), "--key", os.path.join(folder, "client.key")]
    rows = [  # what, the broker's certificate, whether it asks for the client's, the bridge's options, its refusal
        ("a broker whose certificate the CA given signed for its address", "broker", False, ["--ca-file", ca], None),
        ("a broker that asks for a client certificate, given one", "broker", True, ["--ca-file", ca, *client], None),
        ("a broker whose certificate another CA signed", "stranger", False, ["--ca-file", ca],
         "certificate verify failed"),
        ("a broker whose certificate names another host", "elsewhere", False, ["--ca-file", ca],
         "certificate verify failed"),
    ]
    checks = []
    for what, certificate, asks, given, refusal in rows:
        broker = Broker(scratch, options.mosquitto, tls=f"cafile {ca}\ncertfile {folder}/{certificate}.pem\n"
                                                          f"keyfile {folder}/{certificate}.key\n"
                                                          f"require_certificate {str(asks).lower()}\n")
        said = len(machine.said)
        try:
            broker.start()
            machine.start_bridge(*given, port=broker.port, scheme="mqtts")
            held = machine.says(f"connected to the broker at 127.0.0.1:{broker.port}" if refusal is None else refusal, said)
            machine.stop_bridge()
        finally:
            broker.stop()
        checks.append((f"TLS, {what}: " + ("connected" if refusal is None else "refused, saying why"), held,
                       machine.said[said:]))
    return checks


def ended(process):
    """Its exit status, or None (and it is ended) when it is still running after the deadline."""
    try:
        return process.wait(DEADLINE_S)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
        return None


def credential_checks(scratch, options, machine):
    """A broker that asks for a password: refused and said so with a wrong one; each settings or
    credentials file of file_rows used or refused as it should be, and no secret in the log."""
    passwords = os.path.join(scratch, "passwords")
    for user, password in (("led", "secret"), ("spaced", " s p ")):
        subprocess.run(["mosquitto_passwd", "-b", *(["-c"] if user == "led" else []), passwords, user, password],
                       check=True, capture_output=True)
    # mosquitto started as root reads it as its own user.
    os.chmod(scratch, 0o755)
    os.chmod(passwords, 0o644)
    locked = Broker(scratch, options.mosquitto, passwords)
    checks = [("a broker that asks for a password starts", locked.start(), locked.port)]
    files = os.path.join(scratch, "files")
    os.mkdir(files)
    try:
        wrong = os.path.join(files, "wrong.credentials")
        with open(wrong, "w") as file:
            file.write("led\nwrong\n")
        os.chmod(wrong, 0o600)
        machine.start_bridge("--credentials", wrong, port=locked.port)
        checks.append(("a wrong password: the broker's refusal is said, with what to check",
                       machine.says("refused the connection") and machine.says("check the user and password"),
                       machine.said[-3:]))
        machine.stop_bridge()
        for what, given, refusal in file_rows(files):
            said = len(machine.said)
            command = machine.bridge_command
            if given[0] == "--effects":  # the row's in place of the machine's own
                at = command.index("--effects")
                machine.bridge_command = command[:at] + command[at + 2:]
            machine.start_bridge(*given, port=locked.port)
            machine.bridge_command = command
            if refusal is None:
                held = machine.says(f"connected to the broker at 127.0.0.1:{locked.port}", said)
                machine.stop_bridge()
            else:
                held = ended(machine.bridge) == 2 and machine.says(refusal, said)
            checks.append((f"{what}: " + ("used" if refusal is None else "refused, saying why"),
                           held and not any(SECRET in line for line in machine.said[said:]), machine.said[said:]))
        machine.start_bridge(port=free_port())
        checks.append(("an unreachable broker is said, and tried again", machine.says("cannot reach the broker"),
                       machine.said[-2:]))
        machine.stop_bridge()
    finally:
        locked.stop()
    return checks


if __name__ == "__main__":
    sys.exit(main())
