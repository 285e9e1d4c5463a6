"""The LED service's end-to-end table: each case starts a service of its own over a fresh simulated
LED, then takes its steps in order, each with what must come of it."""
from dataclasses import dataclass, field

# Every way of asking that runs into a limit, as the service answers it.
TOO_LONG = "error - line longer than 1024 bytes"
NOT_UTF8 = "error - not UTF-8"
UNFINISHED = "error - no end of line within 5 s"
TOO_MANY = "error - too many connections (at most 512); try again later"
COLOURS = "one of off, red, green, blue, white, cb, yellow, purple"


@dataclass
class Ctl:
    """kav_morv_ledctl with these arguments, as `user` when given (with that user's own group):
    its exit status, its standard output's lines (when given), a part of its standard error (when
    given), and, for --json, keys of the reply."""
    args: list
    status: int = 0
    out: list = None
    err: str = None
    json: dict = None
    user: str = None


@dataclass
class Probe:
    """Raw bytes on `connections` connections at once; `replies` is what each connection must
    print ("reply TEXT", or "closed"), in order. `seconds` bounds how long it may take."""
    data: bytes
    replies: list = field(default_factory=list)
    connections: int = 1
    hold_ms: int = 0
    hang_up: bool = False
    seconds: float = None
    # For many connections: how many printed each reply, instead of `replies`.
    counts: dict = None


@dataclass
class Led:
    """The colour the simulated LED's viewer sees."""
    colour: str


@dataclass
class Wait:
    ms: int


@dataclass
class Transitions:
    """The colours the LED took since the last Ctl step, with the time of each after the first,
    as the stand-in's journal timestamps them."""
    expected: list  # (colour, ms)


@dataclass
class SecondService:
    """Another service started on the same endpoint: it must refuse, and the first go on."""
    err: str


@dataclass
class Stop:
    """The service asked to stop (SIGTERM): exit status 0, and DeInit called (its ShutdownWinIo is
    the driver's last call)."""


@dataclass
class Kill:
    """The service killed at once (SIGKILL, or TerminateProcess): no chance to tidy up."""


@dataclass
class Restart:
    """The service started again on the same endpoint and state file, run through `prefix` (a
    command such as prlimit); it must serve within `seconds` of being started."""
    prefix: list = field(default_factory=list)
    seconds: float = None


@dataclass
class Said:
    """A part of what the service has written on its standard error."""
    text: str


@dataclass
class StateFile:
    """The state file holds `text` (a part of it); with set_aside, the one that was there was
    moved to .corrupt."""
    text: str = None
    set_aside: bool = False


@dataclass
class Access:
    """The socket's folder and file modes, and the group they belong to."""
    folder_mode: int
    socket_mode: int
    group: str


@dataclass
class PipeAccess:
    """The pipe's DACL, in SDDL."""
    sddl: str


@dataclass
class Load:
    """`clients` clients at once, after a warm-up of 16 requests each, make `requests` requests each
    (fewer under a sanitizer, which makes each one many times slower, and under Wine, where
    memory is not measured and each costs ten times as much): every reply right, and the
    LED showing what the highest of them set last. With `memory_kib`, natively and not under a
    sanitizer, the service's resident memory afterwards is within that of what it was after the
    warm-up."""
    clients: int
    requests: int
    memory_kib: int = None


@dataclass
class Flood:
    """One client's median round trip while another floods the service without reading its
    replies: at most `times` its idle median."""
    times: float


@dataclass
class Crashes:
    """`rounds` times: clients busy setting colours, the service killed at a random moment and
    started again; each time the LED must show a whole colour that was asked, and the service
    serve again within a second."""
    rounds: int


@dataclass
class Case:
    name: str
    steps: list
    faults: str = ""            # LED_SIM_FAULTS for the service
    service: str = "runs"       # or "refuses" (to start: start_err is a part of what it says), or "absent"
    start_err: str = None
    native_only: bool = False   # POSIX only: signals, users and groups, file modes, resource limits
    windows_only: bool = False  # Windows only: the pipe's security
    args: list = field(default_factory=list)  # more options for the service
    state: str = None           # what the state file holds before the service starts
    socket_folder: bool = False  # the socket in a folder the service makes


def pattern_of(steps):
    return ["pattern", *[f"red:{1 + step % 5}" for step in range(steps)]]


CASES = [
    Case("set, get and off, in any case; the colour outlives the client", [
        Ctl(["set", "RED"]), Led("red"), Ctl(["get"], out=["red"]),
        Ctl(["set", "Cb"]), Led("cyan"), Ctl(["off"]), Led("off"), Ctl(["get"], out=["off"]),
    ]),
    Case("two names: the higher priority shows; clearing it reveals the lower", [
        Ctl(["set", "blue", "--name", "low", "--priority", "10"]),
        Ctl(["set", "red", "--name", "high", "--priority", "200"]), Led("red"),
        Ctl(["set", "green", "--name", "low", "--priority", "10"]), Led("red"),
        Ctl(["clear", "--name", "high"]), Led("green"), Ctl(["clear", "--name", "low"]), Led("off"),
    ]),
    Case("status, for people and for scripts", [
        Ctl(["set", "blue", "--name", "base", "--priority", "1"]),
        Ctl(["blink", "red", "1000", "1000", "--name", "alarm", "--priority", "200", "--for", "60000"]),
        Ctl(["status", "--json"], json={"showing": "alarm", "color": "red", "read_back": "red",
                                        "names": ["alarm", "base"]}),
        Ctl(["status"], out=None),
    ]),
    Case("a blink changes the LED at the asked times, and a count ends it", [
        Ctl(["blink", "green", "200", "100", "--count", "3"]), Wait(1200),
        Transitions([("green", 0), ("off", 200), ("green", 300), ("off", 500), ("green", 600), ("off", 800)]),
    ]),
    Case("a pattern runs its steps, repeat times, then shows what lies beneath", [
        Ctl(["set", "blue", "--name", "base", "--priority", "1"]),
        Ctl(["pattern", "red:150", "white:100", "--repeat", "2"]), Wait(800),
        Transitions([("red", 0), ("white", 150), ("red", 250), ("white", 400), ("blue", 500)]),
        Led("blue"),
    ]),
    Case("--for makes an indication expire", [
        Ctl(["set", "blue", "--name", "base", "--priority", "1"]), Ctl(["set", "red", "--for", "300"]),
        Led("red"), Wait(600), Led("blue"),
    ]),
    Case("bad command lines are usage errors, and nothing is sent", [
        Ctl(["set", "pink"], status=2, err=f'set unknown colour "pink"; {COLOURS}'),
        Ctl(["blink", "red", "0"], status=2, err='on time "0" is not a whole number from 1 to 3600000'),
        Ctl(["set", "red", "--priority", "256"], status=2, err='priority "256" is not a whole number from 0 to 255'),
        Ctl(pattern_of(1025), status=2, err="pattern has more than 1024 steps"),
        Ctl(pattern_of(300), status=2, err="longer than the 1024 bytes the service takes in one line"),
        Ctl(["frobnicate"], status=2, err="A subcommand is required"),
        Led("off"),
    ]),
    Case("bad requests get clear errors, and the service keeps serving", [
        Ctl(["set", "green", "--name", "kept"]),
        Probe(b"x" * 2000 + b"\nget\n", [f"reply {TOO_LONG}", "reply ok green"]),
        Probe(b"set r\xe9d\n", [f"reply {NOT_UTF8}"]),
        Probe(b"frobnicate\n", ['reply error - unknown command "frobnicate"; one of set, blink, pattern, clear, get, '
                                'status']),
        Probe(b"blink red 10 0\nset red priority=999\n",
              ['reply error blink off time "0" is not a whole number from 1 to 3600000',
               'reply error set priority "999" is not a whole number from 0 to 255']),
        Probe(("pattern" + " red:1" * 1025 + "\n").encode(), [f"reply {TOO_LONG}"]),
        Probe(b"set red name=kept", hang_up=True),
        Probe(b"set red name=kept", [f"reply {UNFINISHED}", "closed"], seconds=8),
        Ctl(["get"], out=["green"]), Led("green"),
    ]),
    Case("hundreds of connections at once are served; beyond 512 they are told so", [
        Probe(b"get\n", connections=300, counts={"reply ok off": 300}),
        Probe(b"get\n", connections=600, counts={"reply ok off": 512, f"reply {TOO_MANY}": 88}),
        Ctl(["get"], out=["off"]),
    ]),
    Case("a second service on the same endpoint refuses, and the first goes on", [
        Ctl(["set", "purple"]),
        SecondService("another instance of the service already serves it"),
        Ctl(["get"], out=["purple"]), Led("purple"),
    ]),
    Case("a service whose LED cannot be started refuses to start", [], faults="init", service="refuses",
         start_err="the LED cannot be driven: Hardware access did not start"),
    Case("with no service, the client says so and how to start one", [
        Ctl(["get"], status=1, err="cannot reach the LED service at"),
        Ctl(["set", "red"], status=1, err="kav_morv_led_service --foreground"),
    ], service="absent"),
    Case("asked to stop, the service calls DeInit; the LED keeps its colour", [
        Ctl(["set", "yellow"]), Stop(), Led("yellow"),
    ], native_only=True),

    Case("the socket lets in root and its group alone", [
        Access(folder_mode=0o750, socket_mode=0o660, group="nogroup"),
        Ctl(["set", "blue"], user="nobody"), Led("blue"),
        Ctl(["set", "red"], user="daemon", status=1, err="Permission denied"), Led("blue"),
    ], args=["--group", "nogroup"], socket_folder=True, native_only=True),
    Case("the pipe lets SYSTEM and Administrators do anything, interactive users connect and ask", [
        PipeAccess("D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12008b;;;IU)"),
    ], windows_only=True),
    Case("each change is logged with who asked it", [
        Ctl(["set", "green", "--name", "mine"]),
        Said("user "), Said(", process "), Said(": set green name=mine -> the LED shows green (mine)"),
    ]),
    Case("after a crash, what was asked is restored and a stale socket is replaced", [
        Ctl(["set", "blue", "--name", "base", "--priority", "1"]),
        Ctl(["blink", "red", "100", "100", "--name", "alarm", "--priority", "200"]),
        Ctl(["set", "green", "--name", "gone", "--for", "300"]),
        Wait(400), Kill(), Restart(seconds=1.0),
        Ctl(["status", "--json"], json={"showing": "alarm", "names": ["alarm", "base"]}),
        Ctl(["clear", "--name", "alarm"]), Led("blue"),
    ]),
    Case("a corrupt state file is reported and set aside, never trusted", [
        Said("is not to be trusted"), StateFile(set_aside=True), Ctl(["get"], out=["off"]), Led("off"),
        Ctl(["set", "red"]), StateFile(text="set red name=default"),
    ], state='{"version":1,"indications":[{"request":"set red name=x","set_at_ms":'),
    Case("a full disk keeps the last whole state file, and the LED a colour that was asked", [
        Ctl(["set", "green"]), StateFile(text="set green"), Stop(),
        Restart(prefix=["prlimit", "--fsize=64"]), Led("green"),
        Ctl(["set", "red"]), Led("red"), Said("cannot write the state file"), StateFile(text="set green"),
        Kill(), Restart(), Led("green"), Ctl(["get"], out=["green"]),
    ], native_only=True),
    Case("killed at any moment while clients are busy, it restarts showing a colour that was asked",
         [Crashes(rounds=6)], native_only=True),
    # 64 x 16 + 64 x 1547 = 100,032 requests: memory after them against memory after the first 1,024.
    Case("64 clients at once, 1547 requests each: every reply right, the right indication shows, and "
         "memory after 100,000 requests within 1 MiB of memory after 1,000",
         [Load(clients=64, requests=1547, memory_kib=1024)]),
    Case("a client that floods without reading does not hold up another",
         [Flood(times=10)]),
]
