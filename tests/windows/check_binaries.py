#!/usr/bin/env python3
"""Checks the Windows deliverables as a loader sees them: they import system DLLs only (and the
programs that link the library, the library), the library exports exactly its entries, and every
one carries the project's version and a copyright and is stripped."""
import argparse
import os
import re
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from verdict import report  # noqa: E402

# USER32: OpenSSL, in the MQTT bridge, asks whether it runs as a service; CRYPT32: the bridge reads
# the machine's trusted roots. WINHTTP: the triggers'
# HTTP checks.
SYSTEM_DLLS = {"KERNEL32.dll", "msvcrt.dll", "ADVAPI32.dll", "WS2_32.dll", "MSWSOCK.dll", "SHELL32.dll", "ole32.dll",
               "USER32.dll", "WINHTTP.dll", "CRYPT32.dll"}
SHIPPED_DLLS = {"kav_morv_led_dll_64.dll"}
LIBRARY_EXPORTS = {"Init", "DeInit", "SetLED", "GetLEDError", "GetLED"}
LEGAL_COPYRIGHT = "LegalCopyright".encode("utf-16-le")
FIXED_FILE_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def objdump(tool, *args):
    return subprocess.run([tool, *args], capture_output=True, text=True, check=True).stdout


def imports(tool, path):
    return set(re.findall(r"^\s*DLL Name: (\S+)$", objdump(tool, "-p", path), re.M))


def exports(tool, path):
    table = objdump(tool, "-p", path).split("[Ordinal/Name Pointer] Table", 1)
    return set(re.findall(r"^\s*\[\s*\d+\] (\S+)$", table[1], re.M)) if len(table) == 2 else set()


def file_version(path):
    """(major, minor, patch, build) from the VERSIONINFO resource, or None."""
    with open(path, "rb") as file:
        data = file.read()
    at = data.find(FIXED_FILE_INFO_SIGNATURE)
    if at < 0:
        return None
    _, _, version_ms, version_ls = struct.unpack_from("<IIII", data, at)
    return version_ms >> 16, version_ms & 0xFFFF, version_ls >> 16, version_ls & 0xFFFF


def is_stripped(tool, path):
    headers = objdump(tool, "-h", path)
    return ".debug" not in headers and "no symbols" in objdump(tool, "-t", path)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--version", required=True, help="major.minor.patch")
    parser.add_argument("--library", required=True)
    parser.add_argument("--programs", nargs="+", required=True)
    options = parser.parse_args()

    expected_version = tuple(int(part) for part in options.version.split(".")) + (0,)
    checks = []
    for path in (options.library, *options.programs):
        checks += [
            (f"{path}: imports system DLLs only", imports(options.objdump, path) <= SYSTEM_DLLS | SHIPPED_DLLS,
             sorted(imports(options.objdump, path))),
            (f"{path}: version {options.version}", file_version(path) == expected_version, file_version(path)),
            (f"{path}: a LegalCopyright", LEGAL_COPYRIGHT in open(path, "rb").read(), "none"),
            (f"{path}: stripped", is_stripped(options.objdump, path), ""),
        ]
    library_exports = exports(options.objdump, options.library)
    checks.append((f"{options.library}: exports exactly {sorted(LIBRARY_EXPORTS)}", library_exports == LIBRARY_EXPORTS,
                   sorted(library_exports)))

    return report(checks)


if __name__ == "__main__":
    sys.exit(main())
