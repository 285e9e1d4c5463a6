#!/usr/bin/env python3
"""The fault-planting runner on a product of its own (fixture/), so that it cannot rot unseen: each
verdict given as it should be, in its lines, summary, report and exit status; with --since, only
the faults of the files changed; stopped in the middle of a fault, the planted file put back and the
test it was running ended; and a fixture that fails never taken for a fault caught."""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here.parent / "support"))
from verdict import report  # noqa: E402
from waiting import wait_until  # noqa: E402

VERDICT_LINE = re.compile(r"^\[\s*\d+/\d+\] (caught|survived|not built|stale|would plant)\s+(\S+)", re.MULTILINE)

# Each fault of the fixture's list, and the verdict the runner must give it.
VERDICTS = {
    "verdicts/bound-off-by-one": "caught",
    "verdicts/comment-reworded": "survived",
    "verdicts/text-gone": "stale",
    "verdicts/does-not-compile": "not built",
    "verdicts/text-twice": "stale",
    "verdicts/file-gone": "stale",
}

# Dry runs after a change of ratio.cpp: their options, the verdicts they give and their exit status.
DRY_RUNS = [
    ("a dry run tells the stale faults from the others", ["--area", "verdicts"],
     {name: "stale" if verdict == "stale" else "would plant" for name, verdict in VERDICTS.items()}, 1),
    ("--since picks the faults of the changed files alone", ["--since", "HEAD~1"],
     {"verdicts/does-not-compile": "would plant", "hanging/never-returns": "would plant"}, 0),
]


def git(repo, *words):
    subprocess.run(["git", "-C", str(repo), "-c", "user.name=fixture", "-c", "user.email=fixture@localhost", *words],
                   check=True, stdout=subprocess.DEVNULL)


def runner(project, work, *options):
    return [sys.executable, str(here / "plant_faults.py"), "--repo", str(project), "--faults", str(project / "faults"),
            "--workdir", str(work), *options]


def verdicts_in(output):
    return {name: verdict for verdict, name in VERDICT_LINE.findall(output)}


def planted_files_put_back(work):
    status = subprocess.run(["git", "-C", str(work / "source"), "status", "--porcelain", "--untracked-files=no"],
                            capture_output=True, text=True)
    return status.returncode == 0 and status.stdout == ""


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def main():
    checks = []
    with tempfile.TemporaryDirectory() as folder:
        folder = Path(folder)
        project, work, report_file = folder / "project", folder / "work", folder / "report.md"
        shutil.copytree(here / "fixture", project)
        git(project, "init", "--quiet")
        git(project, "add", "--all")
        git(project, "commit", "--quiet", "--message", "fixture")

        done = subprocess.run(runner(project, work, "--area", "verdicts", "--report", str(report_file)),
                              capture_output=True, text=True)
        found = verdicts_in(done.stdout)
        checks.append(("each fault gets its verdict", found == VERDICTS, done.stdout + done.stderr))
        checks.append(("the summary counts the caught among the planted, then the others",
                       "caught 1 of 2, 1 not built, 3 stale" in done.stdout, done.stdout))
        checks.append(("a fault not caught makes the exit status 1", done.returncode == 1, done.returncode))
        written = report_file.read_text() if report_file.exists() else ""
        checks.append(("the report gives each verdict",
                       all(f"| {verdict} | {name} |" in written for name, verdict in VERDICTS.items()), written))
        checks.append(("every planted file is put back", planted_files_put_back(work), "changes left in the checkout"))

        with (project / "ratio.cpp").open("a") as ratio:
            ratio.write("// A change that plants nothing.\n")
        git(project, "commit", "--quiet", "--all", "--message", "change")
        for what, options, expected, status in DRY_RUNS:
            done = subprocess.run(runner(project, work, "--dry-run", *options), capture_output=True, text=True)
            checks.append((what, (verdicts_in(done.stdout), done.returncode) == (expected, status),
                           f"status {done.returncode}: {done.stdout}{done.stderr}"))

        # Without a fault the test runs once and adds the first line; the planted fault's run adds
        # the second, then never ends.
        started = folder / "started"
        stopped = subprocess.Popen(runner(project, work, "--area", "hanging"), stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, text=True,
                                   env={**os.environ, "FIXTURE_STARTED": str(started)})
        hung = wait_until(lambda: started.exists() and started.read_text().count("\n") >= 2, 300)
        stopped.send_signal(signal.SIGINT if hung else signal.SIGKILL)
        output, _ = stopped.communicate(timeout=120)
        checks.append(("the planted fault's test started", hung, output))
        checks.append(("stopped, the runner says so and exits 130",
                       stopped.returncode == 130 and "stopped by SIGINT" in output, f"{stopped.returncode}: {output}"))
        checks.append(("the file planted when it was stopped is put back", planted_files_put_back(work),
                       "changes left in the checkout"))
        if hung:
            test_pid = int(started.read_text().split()[1])
            checks.append(("the test it was running is ended", wait_until(lambda: not running(test_pid), 60),
                           f"process {test_pid} still running"))
            checks.append(("by SIGINT, as Ctrl-C would, so that it may clean up",
                           started.read_text().endswith("interrupted\n"), started.read_text()))

        # The stopped test's fixture was never stopped, so it cannot be started again.
        done = subprocess.run(runner(project, work, "--area", "verdicts"), capture_output=True, text=True)
        checks.append(("a fixture left standing is told as the tests' environment failing, and nothing is judged",
                       done.returncode == 2 and "running_start failed around percent: the tests' environment failed"
                       in done.stderr and not verdicts_in(done.stdout), f"{done.returncode}: {done.stdout}{done.stderr}"))
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
