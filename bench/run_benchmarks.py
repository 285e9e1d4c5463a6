#!/usr/bin/env python3
"""Runs every benchmark against the built native and windows presets and prints one table of
medians with min-max, each measure beside its floor from the same run. scripts/bench.sh builds
first and then runs this.

    run_benchmarks.py --root .
"""
import argparse
import grp
import http.server
import json
import os
import pwd
import random
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from journal import transitions_in  # noqa: E402
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
WAITS_S = 1.3  # 300 + 500 + 200 + 300 ms of fixed waits in one tester run
REPETITIONS = 10
ROUND_TRIPS = 20000
SET_ROUND_TRIPS = 2000
# Alternating colours, so each step is a change of the LED; as many as one request line holds.
PATTERN_STEPS, PATTERN_REPEAT, STEP_MS = 120, 2, 20
IDLE_S = 5
FLOOD_CONNECTIONS, FLOOD_MS = 32, 4000
MQTT_COMMANDS, MQTT_SPACING_MS, MQTT_BURST, MQTT_LOCAL_CHANGES, MQTT_IDLE_S = 300, 20, 2000, 100, 30
UNFINISHED_LINE_S = 5  # how long the service waits for the rest of a line
EXPIRY_MS = 3000
DURABLE_ROUNDS = 20
TRIGGERS_RULES, TRIGGERS_S, TRIGGERS_IDLE_S, TRIGGERS_CHANGES = 20, 10, 5, 20


def google_benchmark(command, env=None):
    """{name: [ns per iteration, one per repetition]}"""
    run = subprocess.run(command + [f"--benchmark_repetitions={REPETITIONS}", "--benchmark_min_time=0.1",
                                    "--benchmark_format=json", "--benchmark_report_aggregates_only=false"],
                         capture_output=True, text=True, check=True, env=env)
    times = {}
    for entry in json.loads(run.stdout)["benchmarks"]:
        if entry.get("run_type") == "iteration":
            times.setdefault(entry["run_name"], []).append(entry["real_time"])
            if "heap_allocations" in entry:
                times.setdefault(entry["run_name"] + " heap allocations", []).append(entry["heap_allocations"])
    return times


def hyperfine(commands, env):
    """{command: [seconds per run]}"""
    with tempfile.NamedTemporaryFile(suffix=".json") as export:
        subprocess.run(["hyperfine", "-N", "--warmup", "1", "--runs", str(REPETITIONS), "--export-json", export.name,
                        *commands], check=True, env=env, stdout=subprocess.DEVNULL)
        return {result["command"]: result["times"] for result in json.load(open(export.name))["results"]}


def peak_rss_kib(command, env, runs=3):
    peaks = []
    for _ in range(runs):
        run = subprocess.run(["/usr/bin/time", "-v", *command], capture_output=True, text=True, env=env)
        peaks.append(int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", run.stderr).group(1)))
    return peaks


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def number(value):
    return f"{value:.0f}" if abs(value) >= 100 else f"{value:.1f}" if abs(value) >= 10 else f"{value:.2f}"


def summary(values, scale=1.0):
    values = [v * scale for v in values]
    return statistics.median(values), min(values), max(values)


class Table:
    HEADER = ("measure", "median", "min–max", "target", "met")

    def __init__(self):
        self.rows = []

    def add(self, row):
        """Keeps a row for the table, and prints it at once: a later failure loses nothing measured."""
        self.rows.append(row)
        print(" | ".join(cell for cell in row if cell), flush=True)

    def row(self, what, values, unit, scale=1.0, target="", met=None):
        """Adds a row of a measure's values; met, given the median, says whether the target holds."""
        median, low, high = summary(values, scale)
        verdict = "" if met is None else "yes" if met(median) else "NO"
        self.add((what, f"{number(median)} {unit}".strip(), f"{number(low)}–{number(high)}", target, verdict))
        return median

    def failed(self, what, why):
        """Adds the row of a measure that could not be taken."""
        self.add((what, "FAILED", "", why, "NO"))

    def ratio(self, what, measured, floor, most):
        """Adds the row that judges a measure: its median over its floor's, from the same run."""
        ratio = measured / floor
        self.add((what, f"{ratio:.2f}×", "", f"≤ {most}×", "yes" if ratio <= most else "NO"))

    def times_faster(self, what, measured, floor, least):
        """Adds the row that judges a measure that must take a fraction of its floor."""
        times = floor / measured
        self.add((what, f"{times:.0f}×", "", f"≥ {least}×", "yes" if times >= least else "NO"))

    def print(self):
        widths = [max(len(r[i]) for r in self.rows + [self.HEADER]) for i in range(len(self.HEADER))]
        for line in [self.HEADER, tuple("-" * w for w in widths)] + self.rows:
            print("| " + " | ".join(cell.ljust(width) for cell, width in zip(line, widths)) + " |")


def task_wakeups(pid):
    """Context switches of every thread of a process so far: each one is a wake-up."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as status:
            total += sum(int(line.split()[1]) for line in status if "ctxt_switches" in line)
    return total


def waits_of(pid):
    """How often the threads of a process have waited so far: each wait ends in a wake-up (being
    preempted while running, which a loaded machine does, is not one)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as status:
            total += sum(int(line.split()[1]) for line in status if line.startswith("voluntary_ctxt_switches"))
    return total


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def json_output(command, env):
    return json.loads(subprocess.run(command, env=env, check=True, capture_output=True, text=True).stdout)


def measure_load(table, load, env, pid, where, native):
    """Many clients at once, memory as requests pile up, and one client flooding without reading."""
    started = time.monotonic()
    many = subprocess.run(load + ["many", "64", "1000"], env=env, capture_output=True, text=True)
    took = time.monotonic() - started
    right = many.stdout.split()[1:3] == ["64000", "0"]
    rate = 64000 / took
    # Natively: one flush of the journal serves every change that came while the last one ran.
    enough = rate >= 30000 or not native
    table.rows.append((f"5. 64 clients × 1000 requests at once, {where}", f"{rate:.0f} /s", "",
                       "every reply right" + (", ≥ 30,000 /s" if native else ""), "yes" if right and enough else "NO"))
    if native:
        subprocess.run(load + ["many", "64", "16"], env=env, capture_output=True, check=True)
        first = resident_kib(pid)
        subprocess.run(load + ["many", "64", "1547"], env=env, capture_output=True, check=True)
        table.row(f"5. resident memory after 1,024 requests (floor), {where}", [first], "MiB", 1 / 1024)
        table.row(f"5. resident memory after 100,032 more, {where}", [resident_kib(pid)], "MiB", 1 / 1024,
                  target="≤ floor + 1 MiB", met=lambda m: m <= first / 1024 + 1)
    flood = subprocess.run(load + ["flood", "500", "200000"], env=env, capture_output=True, text=True).stdout.split()
    idle, flooded = float(flood[1]), float(flood[3])
    table.row(f"5. round trip, idle (floor), {where}", [idle], "µs")
    table.row(f"5. round trip while another client floods, {where}", [flooded], "µs")
    table.ratio(f"5. flooded / idle round trip, {where}", flooded, idle, 10)


def measure_full_board(table, bench_folder, bin_folder, env):
    """A set's round trip on a board holding all it may (1,024 indications of four users, 4,093
    steps) beside the same on an empty board, from one service in one run. Natively, as root, who
    runs the other users' clients."""
    if os.geteuid() != 0:
        table.rows.append(("5. set with the board full / empty", "not run", "", "(needs root)", ""))
        return
    endpoint = os.path.join(bin_folder, "full", "led.sock")
    os.makedirs(os.path.dirname(endpoint))
    env = dict(env, KAV_MORV_LED_ENDPOINT=endpoint)
    bench = [program(bench_folder, "service_bench")]
    service, said, serving = start_service(
        [program(bin_folder, "kav_morv_led_service"), "--foreground", "--group", "nogroup",
         "--state", os.path.join(bin_folder, "full", "state.json")], env)
    if not serving:
        raise RuntimeError(f"the service did not start: {''.join(said)}")
    try:
        empty = json_output(bench + ["set-round-trips", str(SET_ROUND_TRIPS)], env)
        measure_durable_sets(table, bench, os.path.join(bin_folder, "full"), env)
        fill_board(bench, env)
        full = json_output(bench + ["set-round-trips", str(SET_ROUND_TRIPS)], env)
        empty_us = table.row("5. set round trip, empty board (floor), median, native", [statistics.median(empty)], "µs")
        full_us = table.row("5. set round trip, 1,024 indications in force, median, native",
                            [statistics.median(full)], "µs")
        table.ratio("5. set with the board full / empty, native", full_us, empty_us, 1.5)
        load = [program(os.path.join(bench_folder, "..", "tests"), "load_clients")]
        measure_floods(table, bench, load, env, service.pid)
        measure_full_board_expiry(table, bench, env, service.pid)
    finally:
        service.terminate()
        service.wait()


def as_user(user, command):
    """A command run as another user, a member of the group that may use the service."""
    return ["setpriv", f"--reuid={user}", f"--regid={pwd.getpwnam(user).pw_gid}",
            f"--groups={grp.getgrnam('nogroup').gr_gid}", *command]


def fill_board(bench, env, for_ms=None):
    """Every indication the board may hold, of four users, 4 steps each: three users' 256 and one
    user's 255, so a benchmark's own may still be set; expiring after `for_ms` when given."""
    expiring = [str(for_ms)] if for_ms else []
    for user, count in (("nobody", 256), ("daemon", 256), ("bin", 256), ("sys", 255)):
        subprocess.run(as_user(user, bench + ["fill", str(count), "4", *expiring]), env=env, check=True,
                       capture_output=True)


def disk_bytes_written(pid):
    with open(f"/proc/{pid}/io") as io:
        return next(int(line.split()[1]) for line in io if line.startswith("write_bytes:"))


def measure_full_board_expiry(table, bench, env, pid):
    """The full board's indications replaced by ones that expire, then the bytes the service writes
    to the disk while all of them expire: an expiry follows from the times kept, and needs no record."""
    fill_board(bench, env, EXPIRY_MS)
    before = disk_bytes_written(pid)
    time.sleep(EXPIRY_MS / 1000 + 1)
    table.row("5. 1,023 indications expiring: bytes written to the disk, native", [disk_bytes_written(pid) - before],
              "B", target="0", met=lambda m: m == 0)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rpartition(")")[2].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure_floods(table, bench, load, env, pid):
    """Another user's get round trips while one user's 32 connections ask status over and over, with
    the board full, beside the same while they ask get: a status reply is made once per period and
    shared, and each user's requests take turns with everyone else's."""
    idle = json_output(as_user("daemon", bench + ["round-trips", str(SET_ROUND_TRIPS)]), env)
    table.row("6. another user's round trip, no flood (floor), median, native", [statistics.median(idle)], "µs")
    p95 = {}
    for word in ("get", "status"):
        before = cpu_seconds(pid)
        flood = subprocess.Popen(as_user("nobody", load + [f"{word}-flood", str(FLOOD_CONNECTIONS), str(FLOOD_MS)]),
                                 env=env, stdout=subprocess.PIPE, text=True)
        time.sleep(0.3)
        trips = json_output(as_user("daemon", bench + ["round-trips", str(SET_ROUND_TRIPS)]), env)
        answered = int(flood.communicate()[0].split()[1])
        busy = (cpu_seconds(pid) - before) / (FLOOD_MS / 1000)
        table.row(f"6. {word} flood of 32 connections: answered", [answered / (FLOOD_MS / 1000)], "/s")
        table.row(f"6. {word} flood: the service's processor use", [busy * 100], "%")
        table.row(f"6. {word} flood: another user's round trip, median", [statistics.median(trips)], "µs")
        p95[word] = table.row(f"6. {word} flood: another user's round trip, p95", [percentile(trips, 0.95)], "µs")
    table.ratio("6. status flood / get flood, another user's p95", p95["status"], p95["get"], 3)


def measure_durable_sets(table, bench, folder, env):
    """A set is answered once the journal holding it is appended to and flushed: its round trip
    beside that append alone, and a state file's rewrite for scale."""
    # In turns, so that a disk that others make slower now and then weighs on both alike.
    sets, floor = [], []
    for _ in range(DURABLE_ROUNDS):
        sets += json_output(bench + ["set-round-trips", str(SET_ROUND_TRIPS // DURABLE_ROUNDS)], env)
        floor += json_output(bench + ["journal-appends", str(SET_ROUND_TRIPS // DURABLE_ROUNDS), folder], env)
    rewrite = json_output(bench + ["durable-writes", str(SET_ROUND_TRIPS), folder], env)
    set_us = table.row("7. set round trip, answered once kept, median, native", [statistics.median(sets)], "µs")
    table.row("7. set round trip, answered once kept, p99, native", [percentile(sets, 0.99)], "µs")
    floor_us = table.row("7. a record appended + fdatasync (floor), median", [statistics.median(floor)], "µs")
    table.row("7. a record appended + fdatasync (floor), p99", [percentile(floor, 0.99)], "µs")
    table.ratio("7. set answered once kept / its floor", set_us, floor_us, 2)
    table.row("7. write + fsync + rename + fsync of the folder (a state file rewritten), median",
              [statistics.median(rewrite)], "µs")


def measure_bridge(table, bench_folder, bin_folder, env, set_median_us):
    """The MQTT bridge on a mosquitto broker of its own, with the broker's default settings (as Home
    Assistant's own broker runs), commands at QoS 1 (as Home Assistant sends them to the bridge): a
    command's publish to the LED showing it, beside the broker's own publish to a subscriber and a
    set's round trip; bursts, whose last command must show within a second; a change made locally
    to its state on the broker, beside the service's own set to its event; and the bridge idle.
    Each point is printed as it is measured, and one that fails as failed."""
    folder = os.path.join(bin_folder, "mqtt")
    os.makedirs(folder)
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    config = os.path.join(folder, "mosquitto.conf")
    with open(config, "w") as file:
        file.write(f"listener {port} 127.0.0.1\npersistence false\nallow_anonymous true\n")
    journal = os.path.join(folder, "journal.txt")
    env = dict(env, KAV_MORV_LED_ENDPOINT=os.path.join(folder, "led.sock"))
    mqtt = [os.path.join(bench_folder, "mqtt_bench")]
    topic = "kav_morv_led/bench/set"
    broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", config], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL)
    service, said, serving = start_service(
        [program(bin_folder, "kav_morv_led_service"), "--foreground", "--state", os.path.join(folder, "state.json")],
        dict(env, LED_SIM_JOURNAL=journal))
    bridge = subprocess.Popen([program(bin_folder, "kav_morv_led_mqtt"), "--machine", "bench", "--broker",
                               f"mqtt://127.0.0.1:{port}"], env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def changes():
        """The LED's changes of colour so far, as its journal has them."""
        return transitions_in(open(journal).read().splitlines()) if os.path.exists(journal) else []

    def point(what, measure):
        try:
            measure()
        except subprocess.CalledProcessError as error:  # the next point is measured all the same
            table.failed(what, (error.stderr or "").strip() or str(error))
        except Exception as error:
            table.failed(what, str(error))

    def commands():
        # Until the bridge takes commands, one now and then.
        deadline = time.monotonic() + 30
        while not any(colour == "red" for _, colour in changes()):
            if time.monotonic() > deadline:
                raise RuntimeError("the bridge took no command within 30 s")
            json_output(mqtt + ["commands", str(port), topic, "1", "100"], env)
        # Red, then blue: the LED shows blue, so the first timed command (red) is a change too.
        json_output(mqtt + ["commands", str(port), topic, "2", "100"], env)
        if not wait_for(lambda: changes()[-1][1] == "blue", 30):
            raise RuntimeError("the bridge did not carry out a command within 30 s")
        mark = len(changes())
        sent = json_output(mqtt + ["commands", str(port), topic, str(MQTT_COMMANDS), str(MQTT_SPACING_MS)], env)
        # Every command a change, unless the bridge let a later one take an earlier one's place.
        wait_for(lambda: len(changes()) >= mark + MQTT_COMMANDS, 10)
        # Each command against the first change after it to its colour, in order.
        later, latency, at = changes()[mark:], [], 0
        for index, stamp in enumerate(sent):
            wanted = "red" if index % 2 == 0 else "blue"
            while at < len(later) and (later[at][0] < stamp or later[at][1] != wanted):
                at += 1
            if at < len(later):
                latency.append(later[at][0] - stamp)
        table.row(f"8. a command's publish to the LED showing it, median of {len(latency)} of {MQTT_COMMANDS}",
                  [statistics.median(latency)], "µs", target="≤ 2× floor + a set",
                  met=lambda m: m <= 2 * floor[0] + set_median_us and len(latency) == MQTT_COMMANDS)
        table.row("8. a command's publish to the LED showing it, p99", [percentile(latency, 0.99)], "µs",
                  target="≤ 2× floor + a set", met=lambda m: m <= 2 * floor[1] + set_median_us)

    def burst(qos):
        [last] = json_output(mqtt + ["burst", str(port), topic, str(MQTT_BURST), str(qos)], env)
        if not wait_for(lambda: changes()[-1][1] == "green", 30):
            raise RuntimeError(f"the last of {MQTT_BURST} commands did not show within 30 s (the LED's last changes: "
                               f"{changes()[-3:]})")
        green = next(at for at, colour in reversed(changes()) if colour == "green")
        table.row(f"8. {MQTT_BURST} commands in a burst at QoS {qos}: the last one's publish to the LED showing it",
                  [(green - last) / 1000], "ms", target="≤ 1000 ms", met=lambda m: m <= 1000)
        # Red again, so that the next burst's green is a change.
        json_output(mqtt + ["commands", str(port), topic, "1", "10"], env)
        wait_for(lambda: changes()[-1][1] == "red", 30)

    def local_changes():
        times = json_output(mqtt + ["local", str(port), "kav_morv_led/bench/state", str(MQTT_LOCAL_CHANGES)], env)
        events, states = times[:MQTT_LOCAL_CHANGES], times[MQTT_LOCAL_CHANGES:]
        event_median = table.row("8. a local set to its event on a watch, median", [statistics.median(events)], "µs")
        table.row("8. a local set to its state retained on the broker, median", [statistics.median(states)], "µs",
                  target="≤ 2× set→event + floor", met=lambda m: m <= 2 * event_median + floor[0])

    def idle():
        before = task_wakeups(bridge.pid)
        time.sleep(MQTT_IDLE_S)
        table.row(f"8. the bridge idle, wake-ups a second (over {MQTT_IDLE_S} s)",
                  [(task_wakeups(bridge.pid) - before) / MQTT_IDLE_S], "/s", target="0", met=lambda m: m < 0.1)

    floor = []

    def broker_floor():
        times = json_output(mqtt + ["floor", str(port), str(MQTT_COMMANDS), str(MQTT_SPACING_MS)], env)
        floor.extend([table.row("8. broker's publish to a subscriber (floor), median", [statistics.median(times)], "µs"),
                      table.row("8. broker's publish to a subscriber (floor), p99", [percentile(times, 0.99)], "µs")])

    try:
        if not serving:
            raise RuntimeError(f"the service did not start: {''.join(said)}")
        point("8. broker's publish to a subscriber (floor)", broker_floor)
        point("8. a command's publish to the LED showing it", commands)
        for qos in (0, 1):
            point(f"8. {MQTT_BURST} commands in a burst at QoS {qos}", lambda: burst(qos))
        point("8. a local set to its state on the broker", local_changes)
        point("8. the bridge idle", idle)
    finally:
        for process in (bridge, service, broker):
            process.terminate()
            process.wait()


def listen(port=0):
    """A TCP port that accepts every connection and closes it, until the socket it gives is closed."""
    listening = socket.socket()
    listening.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listening.bind(("127.0.0.1", port))
    listening.listen(64)

    def accept_all():
        while True:
            try:
                listening.accept()[0].close()
            except OSError:
                return
    threading.Thread(target=accept_all, daemon=True).start()
    return listening


def triggers_rules(folder, holding, every, ports):
    """20 rules of every kind the machine is asked of often, at `every`: none holding, or all."""
    closed, open_port, site = ports
    stamp = os.path.join(folder, "stamp")
    rules = [f'[defaults]\nevery = "{every}"\ntimeout = "500ms"\nafter = 1\n']
    kinds = [
        ("tcp_refused", f'"127.0.0.1:{closed if holding else open_port}"'),
        ("file_older_than", f'{{ path = "{stamp if not holding else stamp + ".missing"}", age = "1h" }}'),
        ("process_missing", '"no_such_program"' if holding else '"sleep"'),
        ("disk_free_below", f'{{ path = "/", percent = {99.999 if holding else 0.001} }}'),
        ("memory_above", f'{{ percent = {0.001 if holding else 99.999} }}'),
        ("http_failing", f'"http://127.0.0.1:{closed if holding else site}/"'),
        ("command_fails", '["false"]' if holding else '["true"]'),
    ]
    for index in range(TRIGGERS_RULES):
        kind, value = kinds[index % len(kinds)]
        rules.append(f'[rule.r{index}]\nwhen.{kind} = {value}\nshow = "red"\npriority = {index}\n')
    with open(stamp, "w"):
        pass
    path = os.path.join(folder, f"rules_{holding}_{every}.toml")
    with open(path, "w") as file:
        file.write("\n".join(rules))
    return path


def measure_triggers(table, bench_folder, bin_folder, env):
    """The triggers program: 20 rules at one-second intervals, of every kind but the processor's,
    none holding and all holding (each then set again every second), its processor use and wake-ups
    beside the checks their intervals ask; the same rules at a minute between two checks; and a
    port's closing to the LED showing it, beside the interval and a set's round trip."""
    folder = os.path.join(bin_folder, "triggers")
    os.makedirs(folder)
    journal = os.path.join(folder, "journal.txt")
    env = dict(env, KAV_MORV_LED_ENDPOINT=os.path.join(folder, "led.sock"))
    service, said, serving = start_service(
        [program(bin_folder, "kav_morv_led_service"), "--foreground", "--state", os.path.join(folder, "state.json")],
        dict(env, LED_SIM_JOURNAL=journal))
    listening = listen()
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        closed = probe.getsockname()[1]
    site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), http.server.SimpleHTTPRequestHandler)
    site.RequestHandlerClass.log_message = lambda *args: None
    threading.Thread(target=site.serve_forever, daemon=True).start()
    ports = (closed, listening.getsockname()[1], site.server_address[1])
    sleeper = subprocess.Popen(["sleep", "100000"])
    triggers = None
    try:
        if not serving:
            raise RuntimeError(f"the service did not start: {''.join(said)}")

        def run(rules, count=TRIGGERS_RULES):
            process = subprocess.Popen([program(bin_folder, "kav_morv_led_triggers"), "--rules", rules], env=env,
                                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                       text=True)
            lines = []
            threading.Thread(target=lambda: lines.extend(process.stderr), daemon=True).start()
            if not wait_for(lambda: sum(" hold" in line for line in lines) >= count, 30):
                raise RuntimeError(f"the triggers program did not decide its rules within 30 s: {lines}")
            return process

        for holding in (False, True):
            triggers = run(triggers_rules(folder, holding, "1s", ports))
            service_before, before = cpu_seconds(service.pid), cpu_seconds(triggers.pid)
            woken = waits_of(triggers.pid)
            time.sleep(TRIGGERS_S)
            use = (cpu_seconds(triggers.pid) - before) / TRIGGERS_S * 100
            wakeups = (waits_of(triggers.pid) - woken) / TRIGGERS_S
            service_use = (cpu_seconds(service.pid) - service_before) / TRIGGERS_S * 100
            what = "all holding, each set again every second" if holding else "none holding"
            table.row(f"9. 20 rules at 1 s, {what}: the program's processor use", [use], "% of a core",
                      target="≤ 1 %", met=lambda m: m <= 1)
            table.row(f"9. 20 rules at 1 s, {what}: wake-ups of its threads", [wakeups], "/s")
            table.row(f"9. 20 rules at 1 s, {what}: wake-ups per check", [wakeups / TRIGGERS_RULES], "")
            table.row(f"9. 20 rules at 1 s, {what}: the LED service's processor use", [service_use], "% of a core")
            triggers.terminate()
            triggers.wait()

        # At a minute, between two checks: nothing wakes it. The window keeps clear of the minute's
        # whole multiples on the monotonic clock, when the rules come due, and of the first
        # verdicts' requests.
        triggers = run(triggers_rules(folder, False, "1m", ports))
        time.sleep(2)
        while time.monotonic() % 60 > 60 - TRIGGERS_IDLE_S - 2 or time.monotonic() % 60 < 1:
            time.sleep(0.5)
        woken = waits_of(triggers.pid)
        time.sleep(TRIGGERS_IDLE_S)
        table.row(f"9. 20 rules at 1 min: wake-ups in {TRIGGERS_IDLE_S} s between their checks",
                  [waits_of(triggers.pid) - woken], "", target="0", met=lambda m: m == 0)
        triggers.terminate()
        triggers.wait()

        # A port closed at a moment of no rule's choosing, to the LED showing red; opened, to off.
        rules = os.path.join(folder, "latency.toml")
        with open(rules, "w") as file:
            file.write(f'[rule.port]\nwhen.tcp_refused = "127.0.0.1:{ports[1]}"\nshow = "red"\nevery = "1s"\n'
                       f'timeout = "500ms"\nafter = 1\n')
        triggers = run(rules, 1)
        latency = []
        for index in range(TRIGGERS_CHANGES):
            time.sleep(random.uniform(0.2, 1.2))
            wanted = "red" if index % 2 == 0 else "off"
            changed_at = time.monotonic_ns() // 1000
            if wanted == "red":
                listening.shutdown(socket.SHUT_RDWR)  # a thread in accept() would keep it listening
                listening.close()
            else:
                listening = listen(ports[1])

            def shown():
                changes = transitions_in(open(journal).read().splitlines())
                return next((at for at, colour in changes if at >= changed_at and colour == wanted), None)
            if not wait_for(lambda: shown() is not None, 10):
                raise RuntimeError(f"the LED did not show {wanted} within 10 s of the port's change")
            latency.append((shown() - changed_at) / 1000)
        trips = json_output([program(bench_folder, "service_bench"), "set-round-trips", "200"], env)
        trip_ms = statistics.median(trips) / 1000
        table.row("9. a set's round trip (floor), median", [trip_ms], "ms")
        table.row(f"9. a port's change to the LED showing it, rule at 1 s, {len(latency)} changes", latency, "ms")
        table.row("9. a port's change to the LED showing it, the slowest", [max(latency)], "ms",
                  target="≤ 1000 ms + a set", met=lambda m: m <= 1000 + trip_ms)
    finally:
        for process in (triggers, service, sleeper):
            if process and process.poll() is None:
                process.terminate()
                process.wait()
        site.shutdown()
        listening.close()


def wait_for(condition, seconds):
    """Whether the condition came to hold within the seconds."""
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def measure_service(table, bench_folder, bin_folder, launcher, env, where):
    """The LED service's rows, natively or under Wine (a launcher): a client's set beside the tester,
    round trips beside an echo server, the pattern clock beside the system's own sleep, and the
    service idle. Targets are judged natively; under Wine only the client's set has one. Gives a
    set's median round trip."""
    native = not launcher
    endpoint = os.path.join(bin_folder, "led.sock") if native else f"kav_morv_led_bench_{os.getpid()}"
    journal = os.path.join(bin_folder, "journal.txt")
    env = dict(env, KAV_MORV_LED_ENDPOINT=endpoint)
    ctl = launcher + [program(bin_folder, "kav_morv_ledctl")]
    bench = launcher + [program(bench_folder, "service_bench")]
    # Natively a state file of its own; under Wine the default one is inside the build's own prefix.
    state = ["--state", os.path.join(bin_folder, "state.json")] if native else []
    service, said, serving = start_service(
        launcher + [program(bin_folder, "kav_morv_led_service"), "--foreground", *state],
        dict(env, LED_SIM_JOURNAL=journal))
    if not serving:
        raise RuntimeError(f"the service did not start: {''.join(said)}")
    try:
        ctl_set = " ".join(ctl + ["set", "red"])
        tester = " ".join(launcher + [program(bin_folder, "KAV_MORV_LED_ConsoleTester"), "red"])
        times = hyperfine([ctl_set, tester], env)
        set_ms = table.row(f"5. kav_morv_ledctl set red, {where}", times[ctl_set], "ms", 1000)
        tester_ms = table.row(f"5. tester red (floor), {where}", times[tester], "ms", 1000)
        table.times_faster(f"5. ctl set red: times faster than the tester, {where}", set_ms, tester_ms,
                           50 if native else 5)

        trips = json_output(bench + ["round-trips", str(ROUND_TRIPS)], env)
        echo = json_output(bench + ["echo-round-trips", str(ROUND_TRIPS)], env)
        table.row(f"5. round trip on an open connection, median, {where}", [statistics.median(trips)], "µs")
        table.row(f"5. round trip on an open connection, p99, {where}", [percentile(trips, 0.99)], "µs",
                  target="≤ 1000 µs" if native else "", met=(lambda m: m <= 1000) if native else None)
        table.row(f"5. echo server round trip (floor), median, {where}", [statistics.median(echo)], "µs")
        table.row(f"5. echo server round trip (floor), p99, {where}", [percentile(echo, 0.99)], "µs")
        # One client asking status back to back: shared while nothing changes, read back again past the spacing.
        statuses = json_output(bench + ["status-round-trips", str(ROUND_TRIPS)], env)
        status_us = table.row(f"5. status round trip, one client, median, {where}", [statistics.median(statuses)], "µs")
        if native:
            table.ratio(f"5. status / get round trip, one client, {where}", status_us, statistics.median(trips), 5)

        # A change's event on another connection, beside the change's own round trip.
        sets = json_output(bench + ["set-round-trips", str(SET_ROUND_TRIPS)], env)
        events = json_output(bench + ["event-latency", str(SET_ROUND_TRIPS)], env)
        set_median = table.row(f"5. set round trip (floor), median, {where}", [statistics.median(sets)], "µs")
        table.row(f"5. set round trip (floor), p99, {where}", [percentile(sets, 0.99)], "µs")
        table.row(f"5. from a set to its event on another connection, median, {where}", [statistics.median(events)], "µs")
        table.row(f"5. from a set to its event on another connection, p99, {where}", [percentile(events, 0.99)], "µs")

        # The LED shows blue first, so that the pattern's first step is a change too.
        subprocess.run(ctl + ["set", "blue"], env=env, check=True, capture_output=True)
        mark = len(open(journal).read().splitlines())
        steps = " ".join(f"{'red' if step % 2 == 0 else 'blue'}:{STEP_MS}" for step in range(PATTERN_STEPS))
        [sent] = json_output(bench + ["send", f"pattern {steps} repeat={PATTERN_REPEAT}"], env)
        time.sleep(PATTERN_REPEAT * PATTERN_STEPS * STEP_MS / 1000 + 0.5)
        changes = transitions_in(open(journal).read().splitlines()[mark:])[:PATTERN_REPEAT * PATTERN_STEPS]
        # Each step against its time counted from when the request was sent (a little before the
        # service counts from), on the journal's clock: a late step counts, and so would drift.
        off = [abs((stamp - sent) / 1000 - step * STEP_MS) for step, (stamp, _) in enumerate(changes)]
        floor = [late / 1000 for late in json_output(bench + ["sleep-lateness", str(STEP_MS), str(PATTERN_STEPS)], env)]
        table.row(f"5. pattern step off its time, median of {len(off)}, {where}", [statistics.median(off)], "ms",
                  target="≤ 2 ms" if native else "", met=(lambda m: m <= 2) if native else None)
        table.row(f"5. pattern step off its time, p99, {where}", [percentile(off, 0.99)], "ms",
                  target="≤ 10 ms" if native else "", met=(lambda m: m <= 10) if native else None)
        table.row(f"5. sleeping until a time (floor), median, {where}", [statistics.median(floor)], "ms")
        table.row(f"5. sleeping until a time (floor), p99, {where}", [percentile(floor, 0.99)], "ms")

        load = launcher + [program(os.path.join(bench_folder, "..", "tests"), "load_clients")]
        measure_load(table, load, env, service.pid, where, native)

        # A connection's deadline, once cancelled, still wakes asio's reactor once when it would have
        # come: the flood's half line had 5 s. That is over before the idle time is counted.
        time.sleep(UNFINISHED_LINE_S + 1)
        before = task_wakeups(service.pid)
        time.sleep(IDLE_S)
        table.row(f"5. idle service: wake-ups in {IDLE_S} s, {where}", [task_wakeups(service.pid) - before], "",
                  target="0" if native else "", met=(lambda m: m == 0) if native else None)
        table.row(f"5. idle service: resident memory, {where}", [resident_kib(service.pid)], "MiB", 1 / 1024,
                  target="≤ 8 MiB" if native else "", met=(lambda m: m <= 8) if native else None)
        return set_median
    finally:
        if native:
            service.terminate()
        else:
            service.kill()
        service.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", default=".", help="the source tree, with build/native and build/windows built")
    parser.add_argument("--service-only", action="store_true",
                        help="only the service's native rows (points 5 to 7), with build/native alone built")
    arguments = parser.parse_args()
    root = os.path.abspath(arguments.root)
    table = Table()
    if arguments.service_only:
        with tempfile.TemporaryDirectory(prefix="led_bench_") as scratch:
            os.chmod(scratch, 0o755)  # other users' clients reach a socket in it
            native_bin = copy_bin(f"{root}/build/native/bin", f"{scratch}/native")
            env = clean_environment()
            measure_service(table, f"{root}/build/native/bench", native_bin, [], env, "native")
            measure_full_board(table, f"{root}/build/native/bench", native_bin, env)
        table.print()
        return

    with tempfile.TemporaryDirectory(prefix="led_bench_") as scratch:
        os.chmod(scratch, 0o755)  # other users' clients reach a socket in it
        native_bin = copy_bin(f"{root}/build/native/bin", f"{scratch}/native")
        windows_bin = copy_bin(f"{root}/build/windows/bin", f"{scratch}/windows")
        env = clean_environment(WINEPREFIX=f"{root}/build/windows/wineprefix", WINEDEBUG="-all",
                                WINEDLLOVERRIDES="mscoree,mshtml=")

        logic = google_benchmark([f"{root}/build/native/bench/set_led_benchmark"])
        floor = table.row("1. eight indirect calls (floor)", logic["BM_EightIndirectCallsFloor"], "ns")
        table.row("1. std::mutex lock + unlock (the thread lock)", logic["BM_MutexLockUnlock"], "ns")
        set_led = table.row("1. SetLED, do-nothing entries", logic["BM_SetLED"], "ns")
        table.ratio("1. SetLED / floor", set_led, floor, 2)
        table.row("1. SetLED heap allocations (per run)", logic["BM_SetLED heap allocations"], "", target="0",
                  met=lambda m: m == 0)

        standin = google_benchmark([f"{root}/build/native/bench/standin_benchmark", native_bin],
                                   clean_environment(LED_SIM_STATE=f"{scratch}/bench_state.bin"))
        through = table.row("2. SetLED through the stand-in", standin["BM_SetLEDThroughStandIn"], "ns")
        lock = table.row("2. machine-wide lock take + release (floor)", standin["BM_MachineWideLockFloor"], "ns")
        table.row("2. bare flock take + release", standin["BM_BareFlockPair"], "ns")
        table.row("2. one system call", standin["BM_OneSystemCall"], "ns")
        table.ratio("2. SetLED through the stand-in / floor", through, lock, 1.3)

        native_tester = f"{native_bin}/KAV_MORV_LED_ConsoleTester red"
        times = hyperfine([native_tester, f"sleep {WAITS_S}"], env)
        waits = statistics.median(times[f"sleep {WAITS_S}"])
        table.row("3. tester red, native", times[native_tester], "ms", 1000)
        table.row(f"3. sleep {WAITS_S}", times[f"sleep {WAITS_S}"], "ms", 1000)
        table.row("3. native tester above the waits", [t - waits for t in times[native_tester]], "ms", 1000,
                  target="≤ 10 ms", met=lambda m: m <= 10)
        rss = peak_rss_kib(native_tester.split(), env)
        table.row("3. native tester peak resident memory", rss, "MiB", 1 / 1024, target="≤ 4 MiB",
                  met=lambda m: m <= 4)

        subprocess.run(["mkdir", "-p", env["WINEPREFIX"]], check=True)
        subprocess.run([WINESERVER, "-p"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # Wine's services would hold a captured pipe open for good.
            subprocess.run([WINE, "wineboot"], env=env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wine_tester = f"{WINE} {windows_bin}/KAV_MORV_LED_ConsoleTester.exe red"
            times = hyperfine([wine_tester, f"sleep {WAITS_S}"], env)
            waits = statistics.median(times[f"sleep {WAITS_S}"])
            table.row("3. tester red, under Wine", times[wine_tester], "ms", 1000)
            table.row("3. Wine tester above the waits", [t - waits for t in times[wine_tester]], "ms", 1000,
                      target="≤ 300 ms", met=lambda m: m <= 300)

            for name, target in (("kav_morv_led_dll_64.dll", 300), ("KAV_MORV_LED_ConsoleTester.exe", None),
                                 ("kav_morv_led_service.exe", None), ("kav_morv_ledctl.exe", None)):
                size = os.path.getsize(f"{root}/build/windows/bin/{name}") / 1024
                table.rows.append((f"4. {name}, stripped", f"{size:.0f} KiB", "", f"≤ {target} KiB" if target else "",
                                   ("yes" if size <= target else "NO") if target else ""))

            set_median = measure_service(table, f"{root}/build/native/bench", native_bin, [], env, "native")
            measure_full_board(table, f"{root}/build/native/bench", native_bin, env)
            measure_bridge(table, f"{root}/build/native/bench", native_bin, env, set_median)
            measure_triggers(table, f"{root}/build/native/bench", native_bin, env)
            measure_service(table, f"{root}/build/windows/bench", windows_bin, [WINE], env, "under Wine")
        finally:
            subprocess.run([WINESERVER, "-k"], env=env)
    table.print()


if __name__ == "__main__":
    main()
