#!/usr/bin/env python3
"""Runs every benchmark against the built native and windows presets and prints one table of
medians with min-max. scripts/bench.sh builds first and then runs this.

    run_benchmarks.py --root .
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from staging import clean_environment, copy_bin  # noqa: E402

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
WAITS_S = 1.3  # 300 + 500 + 200 + 300 ms of fixed waits in one tester run
REPETITIONS = 10


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


def number(value):
    return f"{value:.0f}" if abs(value) >= 100 else f"{value:.1f}" if abs(value) >= 10 else f"{value:.2f}"


def summary(values, scale=1.0):
    values = [v * scale for v in values]
    return statistics.median(values), min(values), max(values)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--root", default=".", help="the source tree, with build/native and build/windows built")
    root = os.path.abspath(parser.parse_args().root)
    rows = []

    def row(what, values, unit, scale=1.0, target="", met=None):
        """Adds a table row; met, given the median, says whether the target holds."""
        median, low, high = summary(values, scale)
        verdict = "" if met is None else "yes" if met(median) else "NO"
        rows.append((what, f"{number(median)} {unit}".strip(), f"{number(low)}–{number(high)}", target, verdict))
        return median

    def ratio_row(what, measured, floor, most):
        """Adds the row that judges a measure: its median over its floor's, from the same run."""
        ratio = measured / floor
        rows.append((what, f"{ratio:.2f}×", "", f"≤ {most}×", "yes" if ratio <= most else "NO"))

    with tempfile.TemporaryDirectory(prefix="led_bench_") as scratch:
        native_bin = copy_bin(f"{root}/build/native/bin", f"{scratch}/native")
        windows_bin = copy_bin(f"{root}/build/windows/bin", f"{scratch}/windows")
        env = clean_environment(WINEPREFIX=f"{root}/build/windows/wineprefix", WINEDEBUG="-all",
                                WINEDLLOVERRIDES="mscoree,mshtml=")

        logic = google_benchmark([f"{root}/build/native/bench/set_led_benchmark"])
        floor = row("1. eight indirect calls (floor)", logic["BM_EightIndirectCallsFloor"], "ns")
        row("1. std::mutex lock + unlock (the thread lock)", logic["BM_MutexLockUnlock"], "ns")
        set_led = row("1. SetLED, do-nothing entries", logic["BM_SetLED"], "ns")
        ratio_row("1. SetLED / floor", set_led, floor, 2)
        row("1. SetLED heap allocations (per run)", logic["BM_SetLED heap allocations"], "", target="0",
            met=lambda m: m == 0)

        standin = google_benchmark([f"{root}/build/native/bench/standin_benchmark", native_bin],
                                   clean_environment(LED_SIM_STATE=f"{scratch}/bench_state.bin"))
        through = row("2. SetLED through the stand-in", standin["BM_SetLEDThroughStandIn"], "ns")
        lock = row("2. machine-wide lock take + release (floor)", standin["BM_MachineWideLockFloor"], "ns")
        row("2. bare flock take + release", standin["BM_BareFlockPair"], "ns")
        row("2. one system call", standin["BM_OneSystemCall"], "ns")
        ratio_row("2. SetLED through the stand-in / floor", through, lock, 1.3)

        native_tester = f"{native_bin}/KAV_MORV_LED_ConsoleTester red"
        times = hyperfine([native_tester, f"sleep {WAITS_S}"], env)
        waits = statistics.median(times[f"sleep {WAITS_S}"])
        row("3. tester red, native", times[native_tester], "ms", 1000)
        row(f"3. sleep {WAITS_S}", times[f"sleep {WAITS_S}"], "ms", 1000)
        row("3. native tester above the waits", [t - waits for t in times[native_tester]], "ms", 1000,
            target="≤ 10 ms", met=lambda m: m <= 10)

        subprocess.run(["mkdir", "-p", env["WINEPREFIX"]], check=True)
        subprocess.run([WINESERVER, "-p"], env=env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            # Wine's services would hold a captured pipe open for good.
            subprocess.run([WINE, "wineboot", "-i"], env=env, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wine_tester = f"{WINE} {windows_bin}/KAV_MORV_LED_ConsoleTester.exe red"
            times = hyperfine([wine_tester, f"sleep {WAITS_S}"], env)
        finally:
            subprocess.run([WINESERVER, "-k"], env=env)
        waits = statistics.median(times[f"sleep {WAITS_S}"])
        row("3. tester red, under Wine", times[wine_tester], "ms", 1000)
        row("3. Wine tester above the waits", [t - waits for t in times[wine_tester]], "ms", 1000,
            target="≤ 300 ms", met=lambda m: m <= 300)

        rss = peak_rss_kib(native_tester.split(), env)
        row("3. native tester peak resident memory", rss, "MiB", 1 / 1024, target="≤ 4 MiB", met=lambda m: m <= 4)

        for name, target in (("kav_morv_led_dll_64.dll", 300), ("KAV_MORV_LED_ConsoleTester.exe", None)):
            size = os.path.getsize(f"{root}/build/windows/bin/{name}") / 1024
            rows.append((f"4. {name}, stripped", f"{size:.0f} KiB", "", f"≤ {target} KiB" if target else "",
                         ("yes" if size <= target else "NO") if target else ""))

    widths = [max(len(r[i]) for r in rows + [HEADER]) for i in range(len(HEADER))]
    for line in [HEADER, tuple("-" * w for w in widths)] + rows:
        print("| " + " | ".join(cell.ljust(width) for cell, width in zip(line, widths)) + " |")


HEADER = ("measure", "median", "min–max", "target", "met")

if __name__ == "__main__":
    main()
