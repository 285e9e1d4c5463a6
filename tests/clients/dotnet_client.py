#!/usr/bin/env python3
"""The .NET client as its users take it: the NuGet package (a library for .NET Framework 4.6 with
its XML documentation), restored by a consumer project from a folder feed with nuget, built with
xbuild and run with Mono against the real service over the simulated LED (Mono's
NamedPipeClientStream reaches the service's UNIX socket by its path); and the client's own check,
against the service and against programs in its place.

    dotnet_client.py --bin BUILD/bin --package KavMorvLed.VERSION.nupkg --version VERSION --sample Sample.cs
                     --nuget NUGET --xbuild XBUILD --mcs MCS --mono MONO
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import zipfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
from impostor import start_all  # noqa: E402
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402
from verdict import report  # noqa: E402


def run(command, **options):
    return subprocess.run(command, capture_output=True, text=True, timeout=300, **options)


def consumer(options, scratch):
    """A project that restores the package from a folder feed and builds the sample against it;
    what went wrong, or the program built."""
    project = os.path.join(scratch, "consumer")
    feed = os.path.join(scratch, "feed")
    os.makedirs(feed)
    shutil.copy(options.package, feed)
    shutil.copytree(os.path.join(here, "nuget_consumer"), project)
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
        done = run(command, cwd=project, env=dict(os.environ, HOME=scratch))
        if done.returncode != 0:
            return f"{' '.join(command)}: {done.stdout}{done.stderr}", None
    return "", os.path.join(project, "bin", "Consumer.exe")


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
        failed, consumer_program = consumer(options, scratch)
        checks.append(("a project restores the package from a folder feed and builds against it", not failed, failed))
        library = os.path.join(scratch, "consumer", "packages", f"KavMorvLed.{options.version}", "lib", "net46",
                               "KavMorvLed.dll")
        check = os.path.join(scratch, "DotnetClientCheck.exe")
        built = run([options.mcs, "-warnaserror", "-r:System.Core.dll", f"-r:{library}", f"-out:{check}",
                     os.path.join(here, "DotnetClientCheck.cs")])
        checks.append(("the client's check builds against the package", built.returncode == 0, built.stdout))
        if failed or built.returncode != 0:
            return report(checks)
        shutil.copy(library, scratch)

        impostors = start_all(os.path.join(scratch))
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
            ran = subprocess.run([options.mono, check, endpoint, os.path.join(scratch, "absent.sock"), scratch],
                                 env=environment, cwd=scratch, timeout=300)
            shown = run([options.mono, consumer_program], env=environment, cwd=scratch)
        finally:
            service.terminate()
            service.wait()
        checks.append(("the client's own check", ran.returncode == 0, f"status {ran.returncode}"))
        checks.append(("the consumer's program, the shipped sample, runs against the service",
                       shown.returncode == 0 and shown.stdout.startswith("while busy the LED shows red\nnow it shows green"),
                       shown.stdout + shown.stderr))
        asked = impostors["unanswered_set"].asked
        checks.append(("an indication whose set was not answered was cleared", "clear name=deploy" in asked, asked))
    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
