#!/usr/bin/env python3
"""The clients' copies of the protocol's numbers, colour names and default endpoints, read from their
sources and compared with the C++ sources that the service and kav_morv_ledctl are built from (and
the impostors' copy of the longest reply); the two clients' leases compared with each other. A
client that drifts from them refuses what the service takes, or sends what it refuses."""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]


def read(relative):
    return (ROOT / relative).read_text(encoding="utf-8")


def number(text):
    text = text.replace("'", "").replace("_", "")
    if text == "int.MaxValue":
        return 2**31 - 1
    shifted = re.fullmatch(r"(\d+)\s*<<\s*(\d+)", text)
    if shifted:
        return int(shifted[1]) << int(shifted[2])
    multiplied = re.fullmatch(r"(\d+)\s*\*\s*(\d+)", text)
    return int(multiplied[1]) * int(multiplied[2]) if multiplied else int(text)


def cpp_constants():
    limits = read("protocol/protocol_limits.h")
    found = {name: value.strip() for name, value in
             re.findall(r"constexpr [\w:\s*]+?\b(k[A-Z]\w*)(?:\{|\s*=\s*)([^;}]+)", limits)}
    colours = re.findall(r'\{LED_COLOR_\w+, "\w+", "(\w+)"\}', read("led_library/color_names.h"))
    posix = re.search(r'kSystemDefault = "([^"]+)"', read("protocol/endpoint_posix.cpp"))[1]
    windows = re.search(r'kSystemDefault = "([^"]+)"', read("protocol/endpoint_windows.cpp"))[1]
    return found, colours, posix, windows


def csharp(source, pattern):
    match = re.search(pattern, source)
    if not match:
        raise LookupError(f"KavMorvLed.cs has nothing matching {pattern!r}")
    return match[1]


def python(source, name):
    match = re.search(rf"^{name} = ([^#\n]+)", source, re.M)
    if not match:
        raise LookupError(f"no '{name} = ...' in the Python source")
    return match[1].strip()


def main():
    limits, colours, posix, windows = cpp_constants()
    py_client = read("clients/python/kav_morv_led/client.py")
    py_transport = read("clients/python/kav_morv_led/_transport.py")
    cs = read("clients/dotnet/KavMorvLed.cs")
    reply_bytes = number(re.search(r"kMaxReplyBytes = ([^;]+);", read("protocol/endpoint.cpp"))[1])

    py_endpoints = re.fullmatch(r'"([^"]+)" if IS_WINDOWS else "([^"]+)"', python(py_transport, "DEFAULT_ENDPOINT"))
    cs_endpoints = re.search(r'DefaultEndpoint => OnWindows \? "([^"]+)" : "([^"]+)"', cs)
    py_name = re.search(r"\{1,(\d+)\}", python(py_client, "_NAME"))
    rows = [
        # (what, the protocol's, the client's)
        ("longest request line", number(limits["kMaxLineBytes"]), number(python(py_client, "_MAX_LINE_BYTES"))),
        ("longest request line", number(limits["kMaxLineBytes"]), number(csharp(cs, r"MaxLineBytes = ([\d_]+)"))),
        ("longest step", number(limits["kMaxStepMs"]), number(python(py_client, "_MAX_STEP_MS"))),
        ("longest step", number(limits["kMaxStepMs"]), number(csharp(cs, r"MaxStepMs = (\d+)"))),
        ("longest for=", number(limits["kMaxForMs"]), number(python(py_client, "_MAX_FOR_MS"))),
        ("longest for=", number(limits["kMaxForMs"]), number(csharp(cs, r"MaxForMs = ([\w.]+)"))),
        ("most cycles", number(limits["kMaxCycles"]), number(python(py_client, "_MAX_CYCLES"))),
        ("most cycles", number(limits["kMaxCycles"]), number(csharp(cs, r"MaxCycles = (\d+)"))),
        ("longest name", number(limits["kMaxNameBytes"]), int(py_name[1]) if py_name else None),
        ("longest name", number(limits["kMaxNameBytes"]), number(csharp(cs, r"MaxNameBytes = (\d+)"))),
        ("longest owner", number(limits["kMaxOwnerBytes"]), number(csharp(cs, r"MaxOwnerBytes = (\d+)"))),
        ("longest reply line", reply_bytes, number(python(py_transport, "MAX_REPLY_BYTES"))),
        ("longest reply line", reply_bytes, number(csharp(cs, r"MaxReplyBytes = ([\d<\s]+);"))),
        ("longest reply line, the impostors'", reply_bytes,
         number(python(read("tests/support/impostor.py"), "MAX_REPLY_BYTES"))),
        ("default lease, Python's and .NET's", number(python(py_client, "DEFAULT_LEASE_MS")),
         number(csharp(cs, r"DefaultLeaseMs = (\d+)"))),
        ("shortest lease, Python's and .NET's", number(python(py_client, "_MIN_LEASE_MS")),
         number(csharp(cs, r"MinLeaseMs = (\d+)"))),
        ("default priority", number(limits["kDefaultPriority"]), number(python(py_client, "DEFAULT_PRIORITY"))),
        ("default name", limits["kDefaultName"], python(py_client, "DEFAULT_NAME")),
        ("colours, in code order", colours, list(re.findall(r'"(\w+)"', python(py_client, "COLORS")))),
        ("colours, in code order", colours,
         re.findall(r'"(\w+)"', csharp(cs, r"IReadOnlyList<string> Colors =\s*new\[\] \{([^}]*)\}"))),
        ("default endpoint (POSIX)", posix, py_endpoints[2] if py_endpoints else None),
        ("default endpoint (Windows)", windows, py_endpoints[1] if py_endpoints else None),
        ("default endpoint (POSIX)", posix, cs_endpoints[2] if cs_endpoints else None),
        ("default endpoint (Windows)", windows, cs_endpoints[1] if cs_endpoints else None),
    ]
    wrong = [f"{what}: the protocol says {ours!r}, a client has {theirs!r}" for what, ours, theirs in rows
             if ours != theirs]
    for line in wrong:
        print(line, file=sys.stderr)
    print(f"{len(rows) - len(wrong)} of {len(rows)} client constants match the protocol's")
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())
