#!/usr/bin/env python3
"""The .NET client as its users take it: the NuGet package (a library for .NET Framework 4.6 with
its XML documentation), restored by a consumer project from a folder feed with nuget, built with
xbuild and run with Mono (which, like any .NET on POSIX, reaches the service's UNIX socket); the
client's own check against every case of the impostors' table (impostor.py) and against the real
service over the simulated LED; and the Mono lines and the C# example of docs/clients.md, run as
written.

    dotnet_client.py --bin BUILD/bin --package KavMorvLed.VERSION.nupkg --version VERSION --sample Sample.cs
                     --nuget NUGET --xbuild XBUILD --mcs MCS --mono MONO
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

here = Path(__file__).resolve().parent
sys.path.insert(0, str(here.parent / "support"))
from impostor import call_words, cases_for, judge, start_all  # noqa: E402
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402
from verdict import report  # noqa: E402

DOCUMENT = here.parents[1] / "docs" / "clients.md"


def run(command, capture=True, timeout=300, **options):
    """The program's run; one still running after `timeout` seconds is killed, and its status is None."""
    try:
        return subprocess.run(command, capture_output=capture, text=True, timeout=timeout, **options)
    except subprocess.TimeoutExpired as expired:
        said = expired.stdout.decode(errors="replace") if isinstance(expired.stdout, bytes) else expired.stdout or ""
        return subprocess.CompletedProcess(command, None, said + f"(still running after {timeout} s: killed)", "")


def consumer(options, scratch, feed):
    """A project that restores the package from a folder feed and builds the sample against it;
    what went wrong, or the program built."""
    project = os.path.join(scratch, "consumer")
    shutil.copytree(here / "nuget_consumer", project)
    shutil.copy(options.sample, project)
    for name in ("packages.config", "Consumer.csproj"):
        path = os.path.join(project, name)
        with open(path) as template:
            text = template.read().replace("@VERSION@", options.version)
        with open(path, "w") as made:
            made.write(text)
    for command in ([options.nuget, "install", "packages.config", "-OutputDirectory", "packages", "-Source", feed,
                     "-NonInteractive"],
                    [options.xbuild, "/nologo", "/verbosity:quiet", "Consumer.csproj"]):
        # A temporary folder of its own: nuget's default, /tmp/nuget, may be another user's.
        done = run(command, cwd=project, env=dict(os.environ, HOME=scratch, TMPDIR=scratch))
        if done.returncode != 0:
            return f"{' '.join(command)}: {done.stdout}{done.stderr}", None
    return "", os.path.join(project, "bin", "Consumer.exe")


def checks_against_impostors(options, check, folder):
    """Every case, each watch both through LedEvents and LedWatcher; judged once all have run."""
    cases = cases_for("dotnet")
    impostors = start_all(folder, cases)
    ran = run([options.mono, check, "cases", folder], input="".join(call_words(c) + "\n" for c in cases))
    came = {}
    for line in ran.stdout.split("\n")[:-1]:
        name, outcome, value, message = line.split("\t")
        came[name] = (outcome, json.loads(value), message)
    results = []
    for case in cases:
        for name in (case.name, case.name + "/watcher") if case.call["call"] == "watch" else (case.name,):
            outcome, value, message = came.get(name, ("never run", None, ran.stderr[-2000:]))
            results.append((name, *judge(case, outcome, value, message, impostors[case.name].asked)))
    return results


def documented(environment, scratch, feed, mcs, mono):
    """What the Mono lines of docs/clients.md print, then its C# example, run as written in a fresh
    folder, with the zip's clients/dotnet folder where they say /path/to/clients/dotnet."""
    text = DOCUMENT.read_text()
    lines = next(block for block in re.findall(r"```sh\n(.*?)```", text, re.S) if "mono " in block)
    example = re.search(r"```csharp\n(.*?)```", text, re.S)[1]
    folder = os.path.join(scratch, "as_documented")
    os.makedirs(folder)
    Path(folder, "Example.cs").write_text(example)
    script = lines.replace("/path/to/clients/dotnet", feed) + f"{mcs} -r:KavMorvLed.dll Example.cs && {mono} Example.exe\n"
    done = run(["bash", "-e", "-c", script], timeout=120, cwd=folder, env=dict(environment, HOME=scratch))
    return done.returncode, done.stdout + done.stderr


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    for option in ("--bin", "--package", "--version", "--sample", "--nuget", "--xbuild", "--mcs", "--mono"):
        parser.add_argument(option, required=True)
    options = parser.parse_args()

    checks = []
    with zipfile.ZipFile(options.package) as package:
        names = set(package.namelist())
    wanted = {"lib/net46/KavMorvLed.dll", "lib/net46/KavMorvLed.xml", "KavMorvLed.nuspec", "LICENSE.txt"}
    checks.append(("the package holds the library, its documentation and the licence", wanted <= names, names))

    with tempfile.TemporaryDirectory(prefix="led_dotnet_client_") as scratch:
        feed = os.path.join(scratch, "clients", "dotnet")  # as the zip has it: the package and the sample
        os.makedirs(feed)
        shutil.copy(options.package, feed)
        shutil.copy(options.sample, feed)
        failed, consumer_program = consumer(options, scratch, feed)
        checks.append(("a project restores the package from a folder feed and builds against it", not failed, failed))
        library = os.path.join(scratch, "consumer", "packages", f"KavMorvLed.{options.version}", "lib", "net46",
                               "KavMorvLed.dll")
        check = os.path.join(scratch, "DotnetClientCheck.exe")
        built = run([options.mcs, "-warnaserror", "-r:System.Core.dll", f"-r:{library}", f"-out:{check}",
                     str(here / "DotnetClientCheck.cs")])
        checks.append(("the client's check builds against the package", built.returncode == 0, built.stdout))
        if failed or built.returncode != 0:
            return report(checks)
        shutil.copy(library, scratch)

        impostors = os.path.join(scratch, "impostors")
        os.makedirs(impostors)
        checks += checks_against_impostors(options, check, impostors)

        bin_folder = copy_bin(options.bin, os.path.join(scratch, "bin"))
        endpoint = os.path.join(scratch, "led.sock")
        environment = clean_environment(KAV_MORV_LED_ENDPOINT=endpoint)
        service, said, serving = start_service(
            [program(bin_folder, "kav_morv_led_service"), "--foreground", "--state",
             os.path.join(scratch, "state.json")], environment)
        checks.append(("the service starts", serving, "".join(said)))
        if not serving:
            return report(checks)
        try:
            abandoned = run([options.mono, check, "abandon", endpoint], env=environment, cwd=scratch)
            ran = run([options.mono, check, "service", endpoint], capture=False, env=environment, cwd=scratch)
            shown = run([options.mono, consumer_program], env=environment, cwd=scratch)
            as_documented = documented(environment, scratch, feed, options.mcs, options.mono)
        finally:
            service.terminate()
            service.wait()
        checks.append(("a program holding an indication is killed in its block", abandoned.returncode == -signal.SIGKILL,
                       abandoned))
        checks.append(("the client's own check against the service", ran.returncode == 0, f"status {ran.returncode}"))
        checks.append(("the consumer's program, the shipped sample, runs against the service",
                       shown.returncode == 0 and shown.stdout.startswith("while busy the LED shows red\nnow it shows green"),
                       shown.stdout + shown.stderr))
        checks.append(("the Mono lines and the C# example of docs/clients.md run as written",
                       as_documented[0] == 0 and re.search(r"while busy the LED shows red\nnow it shows green.*\n"
                                                           r"while deploying the LED shows yellow\ncleared build \w+\n$",
                                                           as_documented[1]) is not None, as_documented))
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
