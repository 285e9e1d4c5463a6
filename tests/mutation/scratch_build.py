"""The commit under test in a checkout and build of the runner's own, where faults are planted: a
git worktree, built by one CMake preset with unity builds off, so that a fault recompiles its own
file alone and the caller's files and builds are never touched."""

import json
import re

import commands

# ctest takes a CMake regular expression: names are passed to it as exact matches, which these
# characters allow without escaping (a dot is written [.]).
_PLAIN_TEST_NAME = re.compile(r"[A-Za-z0-9_./-]+")


class ScratchBuild:
    def __init__(self, repo, folder, preset, jobs, test_timeout):
        self.repo = repo
        self.source = folder / "source"
        self.preset = preset
        self.jobs = jobs
        self.test_timeout = test_timeout

    def check_out(self, commit):
        """The source folder at the commit, with anything a stopped run left planted put back."""
        if (self.source / ".git").exists():
            commands.output_of(["git", "checkout", "--quiet", "--force", "--detach", commit], self.source)
        else:
            commands.output_of(["git", "worktree", "prune"], self.repo)
            commands.output_of(["git", "worktree", "add", "--quiet", "--detach", str(self.source), commit], self.repo)

    def configure(self, log):
        return commands.run(["cmake", "--preset", self.preset, "-DCMAKE_UNITY_BUILD=OFF"], self.source, log) == 0

    def build(self, log):
        return commands.run(["cmake", "--build", "--preset", self.preset, "-j", str(self.jobs)], self.source, log) == 0

    def test_names(self):
        listing = json.loads(commands.output_of(["ctest", "--preset", self.preset, "--show-only=json-v1"], self.source))
        names = [test["name"] for test in listing["tests"]]
        odd = [name for name in names if not _PLAIN_TEST_NAME.fullmatch(name)]
        if odd:
            raise commands.CommandFailed(f"the test name {odd[0]!r} cannot be passed to ctest as it is")
        return names

    def run_tests(self, names, log):
        """The first of the tests to fail, run one at a time in their order; None when all pass.
        Each runs in a ctest of its own, between its fixtures' setup and cleanup, so that a failure
        never leaves a fixture standing for the next. A fixture's failure is the tests' environment
        failing, in which nothing can be judged."""
        for name in names:
            before = log.stat().st_size if log.exists() else 0
            status = commands.run(["ctest", "--preset", self.preset, "--timeout", str(self.test_timeout), "-R",
                                   f"^{name.replace('.', '[.]')}$"], self.source, log)
            if status == 0:
                continue
            output = log.read_bytes()[before:].decode(errors="replace")
            _, heading, summary = output.partition("The following tests FAILED:")
            failed = re.findall(r"^\s*\d+ - (\S+) \(", summary, re.MULTILINE) if heading else []
            if failed == [name]:
                return name
            raise commands.CommandFailed(f"{', '.join(failed) or 'ctest'} failed around {name}: the tests' environment "
                                         f"failed, and no fault can be judged in it; see {log}")
        return None
