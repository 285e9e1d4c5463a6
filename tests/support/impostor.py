"""Programs in the LED service's place, for the clients' tests: at a UNIX socket, each answers every
request by its command word as its table says (a reply, nothing at all, a reply trickled a byte at
a time, or, after a watch, events), and keeps the lines it was asked. The clients' checks, in each
language, say what must come of each."""
import json
import os
import socket
import threading
import time

NEVER = None        # the request is never answered
TRICKLE = object()  # "o" every 200 ms, without a line feed, until the client goes


def event(seq, kind="set", name="alarm", owner="alice", owner_id="1000", showing="alarm", showing_owner="alice",
          color="red"):
    fields = {"seq": seq, "event": kind, "name": name, "owner": owner, "owner_id": owner_id, "showing": showing,
              "showing_owner": showing_owner, "color": color}
    return "event " + json.dumps(fields)


STATUS = {"showing": "alarm", "owner": "alice", "color": "red", "read_back": "green", "indications": [
    {"name": "alarm", "owner": "alice", "owner_id": "1000", "priority": 200,
     "steps": [{"color": "red", "ms": 100}, {"color": "off", "ms": 100}], "cycles": 3, "shows": "red", "left_ms": 500}]}


def lines(*texts):
    return "".join(text + "\n" for text in texts).encode()


# What each impostor answers, by command word.
IMPOSTORS = {
    "silent": {"get": NEVER},
    "trickle": {"get": TRICKLE},
    "error_dash": {"set": lines("error - too many connections (at most 512); try again later")},
    "nested": {"status": b"ok " + b"[" * 100000 + b"\n"},
    "huge_number": {"status": lines("ok " + json.dumps(STATUS).replace('"priority": 200', '"priority": 1' + "0" * 22))},
    "long_line": {"get": b"o" * (5 << 20)},
    "status_fields": {"status": lines("ok " + json.dumps(STATUS))},
    "events": {"watch": lines("ok", event(7, "restored", "kept", "bob", "1001", "kept", "bob", "blue"),
                              event(8, "set", "alarm", "alice", "1000", "kept", "bob", "blue"))},
    "null_seq": {"watch": lines("ok", event(None))},
    "number_name": {"watch": lines("ok", event(1, name=5))},
    "unanswered_set": {"set": NEVER, "clear": lines("ok")},
}


class Impostor:
    """One of IMPOSTORS at `path`, until closed; `asked` holds every line it read."""

    def __init__(self, path, answers):
        self.answers = answers
        self.asked = []
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen()
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return  # closed
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        with client:
            pending = b""
            while True:
                try:
                    chunk = client.recv(4096)
                except OSError:
                    return
                if not chunk:
                    return
                pending += chunk
                while b"\n" in pending:
                    line, _, pending = pending.partition(b"\n")
                    text = line.decode(errors="replace")
                    self.asked.append(text)
                    answer = self.answers.get(text.split(" ", 1)[0], NEVER)
                    try:
                        if answer is TRICKLE:
                            while True:
                                client.sendall(b"o")
                                time.sleep(0.2)
                        elif answer is not NEVER:
                            client.sendall(answer)
                    except OSError:
                        return


def start_all(folder):
    """Every impostor, each at FOLDER/NAME.sock; returns them by name."""
    return {name: Impostor(os.path.join(folder, name + ".sock"), answers) for name, answers in IMPOSTORS.items()}
