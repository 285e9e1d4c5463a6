#!/usr/bin/env python3
"""Consumes the SDK as its users do, from the unpacked package (or installed tree) alone, and checks
that the consumer runs to exit status 0 and leaves the simulated LED green; then, for an example
that passes on the library's reason for a failure, that without inpoutx64.dll it fails and says
which file could not be loaded and where it was looked for.

    consume_sdk.py CONSUMER --sdk PACKAGE.zip|INSTALLED_TREE --simulator BIN_FOLDER
                   [--launcher WINE] [--toolchain FILE] [--cc COMPILER] [--dlltool DLLTOOL]

CONSUMER:
  msvc-c, msvc-cxx  Visual Studio's ABI: the C example compiled by clang-cl at /W4 /WX as C or as
                    C++, linked by lld-link against lib/kav_morv_led_dll_64.lib and nothing of
                    MinGW's; with no C runtime, its own entry point calls only kernel32
  cmake             examples/CMakeLists.txt: find_package and kav_morv_led::kav_morv_led
  def               the C example linked against an import library that GNU dlltool makes from
                    lib/kav_morv_led_dll_64.def, as a MinGW user without the .dll.a would
  run-time          examples/load_at_run_time.c, which loads the library itself, compiled as C89
  python            examples/set_led.py through ctypes
  csharp            examples/SetLed.cs through P/Invoke, compiled by mcs and run by mono

The simulated LED's stand-ins (and its viewer) come from the build's bin folder and are put beside
the library the consumer loads, as a user puts the real driver libraries.
"""
import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from staging import clean_environment  # noqa: E402

# The Windows entry point of a program that has no C runtime: run main, exit with its status.
NO_RUNTIME_ENTRY = """\
__declspec(dllimport) void __stdcall ExitProcess(unsigned int exit_code);
int main(void);
void consumer_entry(void) {
    ExitProcess((unsigned int)main());
}
"""
KERNEL32_DEF = "LIBRARY kernel32.dll\nEXPORTS\n    ExitProcess\n"


def run(command, **options):
    print("$ " + shlex.join(str(part) for part in command), flush=True)
    return subprocess.run(command, check=True, **options)


def tool(*names):
    for name in names:
        if shutil.which(name):
            return name
    sys.exit(f"none of {', '.join(names)} is installed")


class Sdk:
    """The package, unpacked into a scratch folder; for Windows or for this system."""

    def __init__(self, source, root):
        self.root = root
        if os.path.isdir(source):
            shutil.copytree(source, root)
        else:
            with zipfile.ZipFile(source) as package:
                package.extractall(root)
        self.windows = os.path.exists(os.path.join(root, "bin", "kav_morv_led_dll_64.dll"))
        self.examples = os.path.join(root, "examples" if self.windows else "share/doc/kav_morv_led/examples")
        self.include = os.path.join(root, "include")
        self.library = os.path.join(root, "bin/kav_morv_led_dll_64.dll" if self.windows
                                    else "lib/kav_morv_led_dll_64.so")

    def beside(self, program):
        """Where the program finds the library: on Windows a copy beside it, else the tree's own."""
        if not self.windows:
            return os.path.dirname(self.library)
        folder = os.path.dirname(program)
        shutil.copy2(self.library, folder)
        return folder


def msvc(sdk, work, as_cxx):
    clang_cl = tool("clang-cl-14", "clang-cl")
    target = ["--target=x86_64-pc-windows-msvc", "/nologo", "/W4", "/WX", "/GS-"]
    with open(os.path.join(work, "entry.c"), "w") as entry:
        entry.write(NO_RUNTIME_ENTRY)
    with open(os.path.join(work, "kernel32.def"), "w") as definition:
        definition.write(KERNEL32_DEF)
    example = os.path.join(sdk.examples, "link_import_library.c")
    run([clang_cl, *target, "/c", *(["/TP"] if as_cxx else []), "/I" + sdk.include, "/Fo" + f"{work}/example.obj",
         "--", example])
    run([clang_cl, *target, "/c", "/Fo" + f"{work}/entry.obj", "--", f"{work}/entry.c"])
    run([tool("llvm-dlltool-14", "llvm-dlltool"), "-m", "i386:x86-64", "-d", f"{work}/kernel32.def",
         "-l", f"{work}/kernel32.lib"])
    program = f"{work}/consumer.exe"
    run([tool("lld-link-14", "lld-link"), "/nologo", "/nodefaultlib", "/entry:consumer_entry", "/subsystem:console",
         f"{work}/example.obj", f"{work}/entry.obj", f"{sdk.root}/lib/kav_morv_led_dll_64.lib",
         f"{work}/kernel32.lib", "/out:" + program])
    return [program], sdk.beside(program), {}


def cmake(sdk, work, options):
    build = os.path.join(work, "build")
    toolchain = [f"-DCMAKE_TOOLCHAIN_FILE={options.toolchain}"] if options.toolchain else []
    run(["cmake", "-S", sdk.examples, "-B", build, *toolchain, f"-DCMAKE_PREFIX_PATH={sdk.root}",
         "-DCMAKE_BUILD_TYPE=Release"], stdout=subprocess.DEVNULL)
    run(["cmake", "--build", build])
    program = os.path.join(build, "set_led.exe" if sdk.windows else "set_led")
    # The example copies the DLL beside the program itself.
    return [program], build if sdk.windows else os.path.dirname(sdk.library), {}


def from_def(sdk, work, options):
    import_library = os.path.join(work, "libfrom_def.a")
    run([options.dlltool, "-d", os.path.join(sdk.root, "lib", "kav_morv_led_dll_64.def"), "-l", import_library])
    program = os.path.join(work, "from_def.exe")
    run([options.cc, "-Wall", "-Wextra", "-Werror", "-I", sdk.include,
         os.path.join(sdk.examples, "link_import_library.c"), import_library, "-o", program])
    return [program], sdk.beside(program), {}


def run_time(sdk, work, options):
    program = os.path.join(work, "load_at_run_time.exe" if sdk.windows else "load_at_run_time")
    run([options.cc, "-std=c89", "-pedantic-errors", "-Wall", "-Wextra", "-Werror", "-I", sdk.include,
         os.path.join(sdk.examples, "load_at_run_time.c"), "-o", program, *([] if sdk.windows else ["-ldl"])])
    folder = sdk.beside(program)
    return [program], folder, {} if sdk.windows else {"LD_LIBRARY_PATH": folder}


def python(sdk, work, options):
    return [sys.executable, os.path.join(sdk.examples, "set_led.py"), sdk.library], os.path.dirname(sdk.library), {}


def csharp(sdk, work, options):
    program = os.path.join(work, "SetLed.exe")
    run([tool("mcs"), "-nologo", "-warnaserror", f"-out:{program}", os.path.join(sdk.examples, "SetLed.cs")])
    # Mono looks for a bare library name without a ".so" of its own; a map names the file.
    with open(program + ".config", "w") as config:
        config.write(f'<configuration><dllmap dll="kav_morv_led_dll_64" target="{sdk.library}"/></configuration>\n')
    return [tool("mono"), program], os.path.dirname(sdk.library), {}


CONSUMERS = {
    "msvc-c": lambda sdk, work, _: msvc(sdk, work, as_cxx=False),
    "msvc-cxx": lambda sdk, work, _: msvc(sdk, work, as_cxx=True),
    "cmake": cmake,
    "def": from_def,
    "run-time": run_time,
    "python": python,
    "csharp": csharp,
}


# What an example that passes on the library's reason writes before it.
REASON_PREFIX = {"run-time": "Why: ", "python": "The LED could not be started: ",
                 "csharp": "The LED could not be started: "}
NO_PORT_IO_REASON = "inpoutx64.dll could not be loaded: looked for beside this library as "


def led_color(launcher, folder):
    viewer = os.path.join(folder, "led_sim.exe" if os.path.exists(os.path.join(folder, "led_sim.exe")) else "led_sim")
    shown = subprocess.run(launcher + [viewer, "show"], capture_output=True, text=True, env=clean_environment())
    for line in shown.stdout.splitlines():
        if line.startswith("colour: "):
            return line[len("colour: "):].strip()
    return f"unreadable ({shown.stdout!r} {shown.stderr!r})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("consumer", choices=sorted(CONSUMERS))
    parser.add_argument("--sdk", required=True, help="the package zip, or an installed tree")
    parser.add_argument("--simulator", required=True, help="a build's bin folder, for the stand-ins and led_sim")
    parser.add_argument("--launcher", default="", help="command prefix that runs Windows programs")
    parser.add_argument("--toolchain", default="", help="CMake toolchain file for the cmake consumer")
    parser.add_argument("--cc", default="cc", help="C compiler for the run-time and def consumers")
    parser.add_argument("--dlltool", default="dlltool", help="GNU dlltool for the def consumer")
    options = parser.parse_args()
    launcher = shlex.split(options.launcher)

    with tempfile.TemporaryDirectory(prefix="led_sdk_") as scratch:
        sdk = Sdk(os.path.abspath(options.sdk), os.path.join(scratch, "sdk"))
        work = os.path.join(scratch, "work")
        os.mkdir(work)
        command, library_folder, settings = CONSUMERS[options.consumer](sdk, work, options)
        for name in os.listdir(options.simulator):
            if os.path.splitext(name)[0] in ("WinIo64", "inpoutx64", "led_sim"):
                shutil.copy2(os.path.join(options.simulator, name), library_folder)

        windows_program = command[0].endswith(".exe") and sdk.windows
        command = (launcher if windows_program else []) + command
        result = subprocess.run(command, cwd=work, env=clean_environment(**settings), stdin=subprocess.DEVNULL)
        color = led_color(launcher if sdk.windows else [], library_folder)
        problems = [f"exit status {result.returncode}"] if result.returncode != 0 else []
        problems += [f"the LED is {color}, not green"] if color != "green" else []
        prefix = REASON_PREFIX.get(options.consumer)
        if prefix is not None:
            os.remove(os.path.join(library_folder, "inpoutx64.dll"))
            failed = subprocess.run(command, cwd=work, env=clean_environment(**settings), stdin=subprocess.DEVNULL,
                                    capture_output=True, text=True)
            if failed.returncode == 0 or prefix + NO_PORT_IO_REASON not in failed.stderr:
                problems.append(f"without inpoutx64.dll: exit status {failed.returncode}, {failed.stderr!r}")
    print(f"{'FAIL' if problems else 'ok  '} {options.consumer}: {', '.join(problems) or 'the LED is green'}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
