#!/usr/bin/env python3
"""Plants the faults of the fault lists one at a time in a build of a commit, runs the tests that
should catch each, and says which did: caught (a test failed), survived (all passed), not built
(the fault does not compile: a bad fault) or stale (its text is no longer in its file exactly
once). The fault lists' format is in fault_lists.py; how to run it, in docs/developing.md.

Exit status: 0 when every fault was caught, 1 when one was not (or was stale or did not build),
2 when the runner could not judge (a bad list, a commit that does not build or fails its tests
without any fault), 130 when stopped.
"""

import argparse
import re
import sys
import time
from pathlib import Path

import commands
import fault_lists
import planting
from scratch_build import ScratchBuild

CAUGHT, SURVIVED, NOT_BUILT, STALE = "caught", "survived", "not built", "stale"


def parse_arguments():
    here = Path(__file__).resolve().parent
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--commit", default="HEAD", help="the commit to plant in (default HEAD)")
    parser.add_argument("--since", metavar="REV", help="only the faults in files changed from REV to the commit")
    parser.add_argument("--area", action="append", default=[], help="only this area's faults (repeatable)")
    parser.add_argument("--fault", action="append", default=[], metavar="ID", help="only this fault (repeatable)")
    parser.add_argument("--preset", default="native", help="the CMake preset to build (default native); "
                        "only the faults meant for it are planted")
    parser.add_argument("--jobs", type=int, default=1, help="build jobs at once (default 1); tests run one at a time")
    parser.add_argument("--test-timeout", type=int, default=600, metavar="SECONDS",
                        help="for a test with no time limit of its own (default 600)")
    parser.add_argument("--report", type=Path, metavar="FILE", help="also write the verdicts to FILE (Markdown)")
    parser.add_argument("--dry-run", action="store_true",
                        help="only say which faults would be planted and which are stale; build nothing")
    parser.add_argument("--repo", type=Path, default=here.parent.parent, help="the repository (default this one)")
    parser.add_argument("--faults", type=Path, help="the folder of fault lists (default REPO/tests/mutation/faults)")
    parser.add_argument("--workdir", type=Path,
                        help="where the runner keeps its checkout, build and logs (default REPO/build/mutation)")
    arguments = parser.parse_args()
    arguments.repo = arguments.repo.resolve()
    arguments.faults = arguments.faults or arguments.repo / "tests/mutation/faults"
    arguments.workdir = (arguments.workdir or arguments.repo / "build/mutation").resolve()
    return arguments


def git(repo, *words):
    return commands.output_of(["git", *words], repo)


def uncommitted(arguments):
    """Whether the product has changes the commit lacks (the fault lists are read as they are)."""
    changed = [arguments.repo / name for name in git(arguments.repo, "diff", "--name-only", "HEAD").split()]
    return any(arguments.faults.resolve() not in path.parents for path in changed)


def chosen_faults(arguments, commit):
    faults = fault_lists.read_fault_lists(arguments.faults)
    changed = None
    if arguments.since:
        changed = set(git(arguments.repo, "diff", "--name-only", arguments.since, commit).split())
    chosen = fault_lists.select(faults, arguments.area, arguments.fault, changed)
    elsewhere = [fault for fault in chosen if fault.preset != arguments.preset]
    if elsewhere:
        presets = ", ".join(sorted({fault.preset for fault in elsewhere}))
        print(f"{len(elsewhere)} of these faults are for another preset ({presets}): run with --preset to plant them")
    return [fault for fault in chosen if fault.preset == arguments.preset]


def dry_run(arguments, commit, faults):
    stale = 0
    for number, fault in enumerate(faults, 1):
        try:
            original = commands.output_of(["git", "show", f"{commit}:{fault.file}"], arguments.repo, binary=True)
        except commands.CommandFailed:
            original = None
        why = planting.why_stale(fault, original)
        stale += why is not None
        print(line_of(number, len(faults), fault, STALE if why else "would plant", why))
    return 1 if stale else 0


def line_of(number, count, fault, verdict, detail, seconds=None):
    width = len(str(count))
    took = f" ({seconds:.0f} s)" if seconds is not None else ""
    return f"[{number:>{width}}/{count}] {verdict:<11} {fault.name}{'  ' + detail if detail else ''}{took}"


def tests_of(fault, names):
    chosen = [name for name in names if re.search(fault.tests, name)]
    if not chosen:
        raise fault_lists.FaultListError(f"the tests of fault {fault.name} ({fault.tests}) match no test of this build")
    return chosen


def first_error(log, source):
    """The compiler's or linker's first error, with paths from the checkout's root."""
    for line in log.read_text(errors="replace").splitlines():
        if "error:" in line:
            return line.strip().replace(f"{source}/", "")
    return f"see {log}"


def plant_one(build, fault, tests, log):
    try:
        with planting.planted(build.source, fault):
            if not build.build(log):
                return NOT_BUILT, first_error(log, build.source)
            first_failed = build.run_tests(tests, log)
    except planting.Stale as stale:
        return STALE, str(stale)
    if first_failed:
        return CAUGHT, f"by {first_failed}"
    return SURVIVED, f"its {len(tests)} test{'s' if len(tests) > 1 else ''} passed"


def write_report(path, commit, preset, results, summary):
    lines = [f"# Faults planted in {commit[:12]} ({preset} preset)", "", summary, "",
             "| verdict | fault | file | caught by, or why not | what a user would see |",
             "|---|---|---|---|---|"]
    for fault, verdict, detail in results:
        cells = [verdict, fault.name, fault.file, detail, fault.effect]
        lines.append("| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |")
    path.write_text("\n".join(lines) + "\n")


def summary_of(results):
    count = {verdict: sum(1 for _, v, _ in results if v == verdict) for verdict in (CAUGHT, SURVIVED, NOT_BUILT, STALE)}
    summary = f"caught {count[CAUGHT]} of {count[CAUGHT] + count[SURVIVED]}"
    for verdict in (NOT_BUILT, STALE):
        if count[verdict]:
            summary += f", {count[verdict]} {verdict}"
    return summary


def plant_all(arguments, commit, faults):
    logs = arguments.workdir / "logs"
    logs.mkdir(parents=True, exist_ok=True)
    build = ScratchBuild(arguments.repo, arguments.workdir, arguments.preset, arguments.jobs, arguments.test_timeout)
    build.check_out(commit)
    baseline_log = logs / "baseline.log"
    baseline_log.unlink(missing_ok=True)
    started = time.monotonic()
    if not (build.configure(baseline_log) and build.build(baseline_log)):
        print(f"plant_faults: commit {commit[:12]} does not build without any fault; see {baseline_log}", file=sys.stderr)
        return 2
    names = build.test_names()
    tests = {fault.id: tests_of(fault, names) for fault in faults}
    every_test = [name for name in names if any(name in chosen for chosen in tests.values())]
    first_failed = build.run_tests(every_test, baseline_log)
    if first_failed:
        print(f"plant_faults: without any fault, {first_failed} failed, so no fault can be judged; see {baseline_log}",
              file=sys.stderr)
        return 2
    print(f"without any fault: built, and {len(every_test)} tests pass ({time.monotonic() - started:.0f} s)", flush=True)

    results = []
    for number, fault in enumerate(faults, 1):
        log = logs / f"{fault.area}.{fault.id}.log"
        log.unlink(missing_ok=True)
        started = time.monotonic()
        verdict, detail = plant_one(build, fault, tests[fault.id], log)
        results.append((fault, verdict, detail))
        print(line_of(number, len(faults), fault, verdict, detail, time.monotonic() - started), flush=True)

    summary = summary_of(results)
    print(summary)
    for fault, verdict, detail in results:
        if verdict != CAUGHT:
            print(f"  {verdict}: {fault.name} ({fault.file}): {fault.effect}")
    if arguments.report:
        write_report(arguments.report, commit, arguments.preset, results, summary)
    return 0 if all(verdict == CAUGHT for _, verdict, _ in results) else 1


def main():
    arguments = parse_arguments()
    commands.handle_stop_signals()
    try:
        commit = git(arguments.repo, "rev-parse", "--verify", f"{arguments.commit}^{{commit}}").strip()
        faults = chosen_faults(arguments, commit)
        if commit == git(arguments.repo, "rev-parse", "HEAD").strip() and uncommitted(arguments):
            print(f"note: uncommitted changes are left out; faults are planted in commit {commit[:12]}")
        print(f"{len(faults)} faults to plant in {commit[:12]} ({arguments.preset} preset), in {arguments.workdir}",
              flush=True)
        if not faults:
            return 0
        return dry_run(arguments, commit, faults) if arguments.dry_run else plant_all(arguments, commit, faults)
    except (fault_lists.FaultListError, commands.CommandFailed) as error:
        print(f"plant_faults: {error}", file=sys.stderr)
        return 2
    except commands.Interrupted as stop:
        print(f"plant_faults: {stop}; every planted file was put back", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
