#!/usr/bin/env python3
"""Builds the .NET client and its check with Mono's compiler, and runs the check against the real
service over the simulated LED (Mono's NamedPipeClientStream reaches the service's UNIX socket by
its path).

    dotnet_client.py --bin BUILD/bin --client clients/dotnet/KavMorvLed.cs --mcs MCS --mono MONO
"""
import argparse
import os
import subprocess
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "support"))
from service_process import start_service  # noqa: E402
from staging import clean_environment, copy_bin, program  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--bin", required=True)
    parser.add_argument("--client", required=True)
    parser.add_argument("--mcs", required=True)
    parser.add_argument("--mono", required=True)
    options = parser.parse_args()

    with tempfile.TemporaryDirectory(prefix="led_dotnet_client_") as scratch:
        library = os.path.join(scratch, "KavMorvLed.dll")
        check = os.path.join(scratch, "DotnetClientCheck.exe")
        sample = os.path.join(scratch, "Sample.exe")
        for command in ([options.mcs, "-target:library", "-warnaserror", "-r:System.Core.dll", f"-out:{library}",
                         options.client],
                        [options.mcs, "-warnaserror", "-r:System.Core.dll", f"-r:{library}", f"-out:{check}",
                         os.path.join(here, "DotnetClientCheck.cs")],
                        [options.mcs, "-warnaserror", "-r:System.Core.dll", f"-r:{library}", f"-out:{sample}",
                         os.path.join(os.path.dirname(options.client), "Sample.cs")]):
            built = subprocess.run(command, capture_output=True, text=True)
            if built.returncode != 0:
                print(f"FAIL building: {built.stdout}{built.stderr}")
                return 1
        bin_folder = copy_bin(options.bin, os.path.join(scratch, "bin"))
        endpoint = os.path.join(scratch, "led.sock")
        environment = clean_environment(KAV_MORV_LED_ENDPOINT=endpoint)
        service, said, serving = start_service(
            [program(bin_folder, "kav_morv_led_service"), "--foreground", "--state",
             os.path.join(scratch, "state.json")], environment)
        if not serving:
            print(f"FAIL the service did not start: {''.join(said)}")
            return 1
        try:
            ran = subprocess.run([options.mono, check, endpoint, os.path.join(scratch, "absent.sock")],
                                 env=environment, cwd=scratch, timeout=300)
            shown = subprocess.run([options.mono, sample], env=environment, cwd=scratch, capture_output=True, text=True,
                                   timeout=300)
        finally:
            service.terminate()
            service.wait()
        sample_right = shown.returncode == 0 and shown.stdout.startswith("while busy the LED shows red\nnow it shows green")
        print(("ok   " if sample_right else "FAIL ") + "the sample runs: " + shown.stdout.replace("\n", " / ") + shown.stderr)
        return ran.returncode or (0 if sample_right else 1)


if __name__ == "__main__":
    sys.exit(main())
