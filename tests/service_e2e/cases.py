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
    """kav_morv_ledctl with these arguments: its exit status, its standard output's lines (when
    given), a part of its standard error (when given), and, for --json, keys of the reply."""
    args: list
    status: int = 0
    out: list = None
    err: str = None
    json: dict = None


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
class Case:
    name: str
    steps: list
    faults: str = ""            # LED_SIM_FAULTS for the service
    service: str = "runs"       # or "refuses" (to start: start_err is a part of what it says), or "absent"
    start_err: str = None
    native_only: bool = False   # needs POSIX signals, which Wine does not pass on as Windows would


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
]
