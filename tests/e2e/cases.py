"""The end-to-end table: one row per run of the console tester against the simulated LED.

Each case names the tester's arguments, how the staged bin folder differs from the build's, which
faults the simulated LED injects, and what must come out: standard error and standard output line
by line, the exit status, and the colour the simulated LED's viewer sees afterwards.
"""
import os
import sys
from dataclasses import dataclass, field

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from status_lines import (INIT_LINES, LIBRARY_MISSING, LOAD_FAILED_TAIL, LOADED, LOADING,  # noqa: E402
                          LOCK_TIMED_OUT, NOT_STARTED, NOT_UNLOADED, PORT_IO_LOADED, PORT_IO_NOT_LOADED,
                          UNLOADED, UNLOADS_FAILED, USAGE, WINIO_LOADED, WINIO_NOT_LOADED)

LIBRARY = "kav_rv5520_led.dll"

GOOD_RUN = [LOADED, *INIT_LINES, UNLOADED]
WINIO_MISSING_RUN = [LOADED, LOADING, WINIO_NOT_LOADED, LOAD_FAILED_TAIL, UNLOADS_FAILED, NOT_UNLOADED]
NOT_STARTED_RUN = [LOADED, LOADING, WINIO_LOADED, PORT_IO_LOADED, NOT_STARTED, UNLOADED]

# What a person sees for each keyword: the viewer names green-and-blue "cyan".
SEEN = {"off": "off", "red": "red", "green": "green", "blue": "blue", "white": "white", "cb": "cyan",
        "yellow": "yellow", "purple": "purple"}


# Stands for the longest single argument the platform allows; the runner sizes it.
LONGEST_ARGUMENT = object()


@dataclass
class Case:
    name: str
    args: list
    stderr: list
    stdout: list = field(default_factory=list)
    status: int = 0
    color: str = "off"           # the LED starts off
    absent: list = field(default_factory=list)      # removed from the staged bin folder
    replaced: dict = field(default_factory=dict)    # staged file name -> bin file copied over it
    planted: list = field(default_factory=list)     # bin files copied into the working folder
    faults: str = ""                                # LED_SIM_FAULTS for the tester's run
    sinks: dict = field(default_factory=dict)       # "stdout"/"stderr" -> "full" or "closed pipe"
    interrupt: str = ""          # a signal sent to the tester once SetLED has begun
    lock_held: bool = False      # another process holds the register lock throughout
    debugger: bool = False       # the library's lines must also reach a debugger (under Wine)
    native_only: bool = False    # Wine does not pass POSIX signals on as Windows would


CASES = [
    *[Case(f"keyword {word}", [word], GOOD_RUN, color=SEEN[word.lower()])
      for lower in SEEN for word in (lower.upper(), lower)],

    Case("usage: no argument", [], GOOD_RUN, USAGE),
    Case("usage: two arguments", ["red", "blue"], GOOD_RUN, USAGE),
    Case("usage: mixed case", ["Red"], GOOD_RUN, USAGE),
    Case("usage: mixed case cb", ["Cb"], GOOD_RUN, USAGE),
    Case("usage: a prefix", ["RE"], GOOD_RUN, USAGE),
    Case("usage: a longer word", ["REDX"], GOOD_RUN, USAGE),
    Case("usage: an empty argument", [""], GOOD_RUN, USAGE),
    Case("usage: standard output cannot take it", ["bogus"], GOOD_RUN, status=1, sinks={"stdout": "full"}),

    Case("hostile: the longest argument allowed", [LONGEST_ARGUMENT], GOOD_RUN, USAGE),
    Case("hostile: 1000 arguments", ["red"] * 1000, GOOD_RUN, USAGE),
    Case("hostile: a byte that is not UTF-8", [b"r\xe9d"], GOOD_RUN, USAGE),
    Case("hostile: non-ASCII letters", ["\u7ea2\u8272"], GOOD_RUN, USAGE),
    # Windows' best-fit conversion to the ANSI code page once turned these into red, BLUE and cb.
    Case("hostile: full-width red", ["\uff52\uff45\uff44"], GOOD_RUN, USAGE),
    Case("hostile: full-width BLUE", ["\uff22\uff2c\uff35\uff25"], GOOD_RUN, USAGE),
    Case("hostile: full-width cb", ["\uff43\uff42"], GOOD_RUN, USAGE),
    Case("hostile: control bytes", ["\x1b[31mred\x07"], GOOD_RUN, USAGE),
    Case("hostile: a keyword with a newline", ["red\n"], GOOD_RUN, USAGE),
    Case("hostile: a keyword with a tab", ["\tred"], GOOD_RUN, USAGE),
    Case("hostile: whoever reads standard error has gone", ["blue"], [], color="blue",
         sinks={"stderr": "closed pipe"}),
] + [
    # Stopped between two of its four lines, it would leave a colour nobody asked for: every signal
    # that would end it waits until the colour is whole.
    Case(f"hostile: {name} while the colour is being set", ["white"], [LOADED, *INIT_LINES], status=-number,
         color="white", faults="slow", interrupt=name, native_only=True)
    for name, number in (("SIGTERM", 15), ("SIGQUIT", 3), ("SIGUSR1", 10), ("SIGUSR2", 12), ("SIGALRM", 14))
] + [
    Case("hostile: a hung program holding the register lock", ["purple"],
         [LOADED, *INIT_LINES, LOCK_TIMED_OUT, UNLOADED], color="purple", lock_held=True),

    Case("the library missing", ["red"], LIBRARY_MISSING, status=1, absent=[LIBRARY]),
    Case("the library lacks its entries", ["red"], [LOADED, f"{LIBRARY} has no entry named Init."], status=1,
         replaced={LIBRARY: "WinIo64.dll"}),
    Case("inpoutx64.dll missing", ["red"],
         [LOADED, LOADING, WINIO_LOADED, PORT_IO_NOT_LOADED, LOAD_FAILED_TAIL, UNLOADS_FAILED, NOT_UNLOADED],
         status=1, absent=["inpoutx64.dll"], debugger=True),
    Case("WinIo64.dll missing", ["red"], WINIO_MISSING_RUN, status=1, absent=["WinIo64.dll"]),
    Case("WinIo64.dll lacking its entries", ["red"], NOT_STARTED_RUN, status=1,
         replaced={"WinIo64.dll": "inpoutx64.dll"}),

    Case("InitializeWinIo failing", ["red"], NOT_STARTED_RUN, status=1, faults="init"),
    # The driver's shutdown reports nothing, so DeInit writes no line of it and the colour stays.
    Case("ShutdownWinIo reporting nothing", ["green"], GOOD_RUN, color="green", debugger=True),
    # Line 2 (blue) cannot be read, so it keeps its level: white without blue is yellow.
    Case("one read failing", ["white"], GOOD_RUN, color="yellow", faults="read:2"),

    Case("the library planted only in the working folder", ["red"], LIBRARY_MISSING, status=1,
         absent=[LIBRARY], planted=[LIBRARY]),
    Case("WinIo64.dll planted only in the working folder", ["red"], WINIO_MISSING_RUN, status=1,
         absent=["WinIo64.dll"], planted=["WinIo64.dll"]),
]


@dataclass
class ConcurrentCase:
    """Testers started at once, one per keyword, on one LED: it must end in one of their colours."""
    name: str
    keywords: list
    repeats: int
    faults: str = ""


CONCURRENT_CASES = [
    # "slow" paces each register access at random, so unserialised runs would interleave.
    ConcurrentCase("four testers at once", ["red", "green", "blue", "purple"], repeats=10, faults="slow"),
]
