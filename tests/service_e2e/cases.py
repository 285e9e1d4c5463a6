"""The LED service's end-to-end table: each case starts a service of its own over a fresh simulated
LED, then takes its steps in order, each with what must come of it."""
import hashlib
import struct
from dataclasses import dataclass, field

# Every way of asking that runs into a limit, as the service answers it.
TOO_LONG = "error - line longer than 1024 bytes"
NOT_UTF8 = "error - not UTF-8"
UNFINISHED = "error - no end of line within 5 s"
TOO_MANY = "error - too many connections (at most 512); try again later"
TOO_MANY_WATCHERS = "error watch too many watchers (at most 64, the last 8 for root, SYSTEM and Administrators); try " \
                    "again later"
COLOURS = "one of off, red, green, blue, white, cb, yellow, purple"


def service_account_sid(name):
    """The SID Windows gives the service `name`'s own account: S-1-5-80- and the SHA-1 of the name in
    capitals, in UTF-16LE, as five 32-bit little-endian numbers."""
    digest = hashlib.sha1(name.upper().encode("utf-16-le")).digest()
    return "S-1-5-80-" + "-".join(str(word) for word in struct.unpack("<5I", digest))


@dataclass
class Ctl:
    """kav_morv_ledctl with these arguments, as `user` when given (with that user's own group, or
    `primary` instead, and with `member` the socket's too): its exit status, its standard output's
    lines (when given), a part of its standard error (when given), for --json keys of the reply (and
    "names", "owners" and "lefts": each indication's name, owner and left_ms, in order; a value may
    be a test of the value instead), and that it ended within `within_s` seconds (when given)."""
    args: list
    status: int = 0
    out: list = None
    err: str = None
    json: dict = None
    user: str = None
    member: bool = False
    within_s: float = None
    primary: str = None


@dataclass
class Probe:
    """Raw bytes on `connections` connections at once (as `user`, in the socket's group, when
    given); `replies` is what each connection must print ("reply TEXT", or "closed"), in order.
    `actions`, when given, are the probe's own (send:HEX, pause:MS, read:N, hangup) instead of
    sending `data` and reading. `seconds` bounds how long it may take."""
    data: bytes = b""
    replies: list = field(default_factory=list)
    connections: int = 1
    hold_ms: int = 0
    hang_up: bool = False
    seconds: float = None
    # For many connections: how many printed each reply, instead of `replies`.
    counts: dict = None
    user: str = None
    actions: list = None
    # Asked again until it prints what it must, within the deadline: for what the service does
    # after a connection closes, which it learns a moment later.
    eventually: bool = False
    # Left running once it has printed its replies, holding its connections until the case ends.
    background: bool = False
    # How long it may run before it is given up on, when more than the runner's usual minute.
    deadline_s: float = None


@dataclass
class Together:
    """Probes taken at the same time, each judged as it would be alone."""
    probes: list


@dataclass
class Led:
    """The colour the simulated LED's viewer sees: now, or with `eventually`, within the deadline."""
    colour: str
    eventually: bool = False


@dataclass
class Transitions:
    """The colours the LED took since the last Ctl step, with the time of each after the first,
    as the stand-in's journal timestamps them (waiting until that many have come), each within 40%
    of the shortest step: enough to tell any step from another, and a busy machine's delays from
    a fault. The benchmarks measure how close they really come."""
    expected: list  # (colour, ms)


@dataclass
class SecondService:
    """Another service started on the same endpoint, or on the name `spelled` makes of the
    endpoint's: it must refuse, and the first go on."""
    err: str
    spelled: object = None


@dataclass
class Stop:
    """The service asked to stop (SIGTERM, or `signal`), with `connected` clients connected: exit
    status 0, and DeInit called (its ShutdownWinIo is the driver's last call)."""
    signal: str = "SIGTERM"
    connected: int = 0


@dataclass
class Kill:
    """The service killed at once (SIGKILL, or TerminateProcess): no chance to tidy up."""


@dataclass
class Restart:
    """The service started again on the same endpoint and state file, run through `prefix` (a
    command such as prlimit); it must serve again."""
    prefix: list = field(default_factory=list)


@dataclass
class FlushesSeen:
    """What a library preloaded into the service saw of its writes (natively, not under a
    sanitizer): no `ok` sent while the journal held bytes not flushed to the disk, no new state file
    renamed into place before it was flushed, and at least `least` flushes of the journal."""
    least: int


@dataclass
class Said:
    """A part of what the service writes on its standard error (waiting until it has)."""
    text: str


@dataclass
class StateFile:
    """The state file holds `text` (a part of it; waiting until it does); with set_aside, the one
    that was there was moved to .corrupt."""
    text: str = None
    set_aside: bool = False


@dataclass
class Access:
    """The socket's folder and file modes, and the group they belong to; or, with `lock_file`,
    whether the endpoint's lock file is there; or, with `occupant`, what is at the socket's path
    (a file's text, or "<folder>")."""
    folder_mode: int = None
    socket_mode: int = None
    group: str = None
    lock_file: bool = None
    occupant: str = None


@dataclass
class PipeAccess:
    """The pipe's DACL, in SDDL."""
    sddl: str


@dataclass
class Tester:
    """Another program sets the LED behind the service's back: the console tester, with this keyword."""
    keyword: str


@dataclass
class Watch:
    """kav_morv_ledctl watch --json (or, with plain, as people read it) started beside the later
    steps, once it says it watches; its events are read by Events."""
    plain: bool = False


@dataclass
class Events:
    """The watch's events so far (waiting until that many have come), as "event name color" (or
    the fields `fields` names, in order; or for a plain watch, the lines it printed), numbered one
    after another from `first_seq` when given; `more` events may follow them."""
    expected: list
    more: bool = False
    fields: tuple = ("event", "name", "color")
    first_seq: int = None


@dataclass
class StopWatch:
    """The watch ended with Ctrl-C (SIGINT), or seen to end by itself: its exit status."""
    status: int
    interrupt: bool = True


@dataclass
class DeafWatcher:
    """A client that watches and never reads, while another makes `changes` changes: it is cut off,
    and the others are served."""
    changes: int


@dataclass
class DriverArrives:
    """The driver library the service waits for is put in its folder."""


@dataclass
class Signal:
    """A signal sent to the service, which goes on."""
    name: str


@dataclass
class HoldLock:
    """Another program takes the machine-wide register lock and holds it for `ms`, as a hung one
    would, from this step on."""
    ms: int


@dataclass
class Impostor:
    """A program in the service's place at its endpoint that answers each request with `reply` (or
    never, for None), and with `then_close` closes the connection after it."""
    reply: bytes = None
    then_close: bool = False


@dataclass
class ReaderGone:
    """kav_morv_ledctl watch whose standard output's reader goes away after the first event (as
    with | head -n1): at the next event it ends, with status 1, and gives its watcher's place back."""


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
    replies: at most `times` its idle median, and a millisecond."""
    times: float


@dataclass
class StatusFlood:
    """`connections` connections of `user`'s (in the socket's group) ask status over and over for
    `ms`: every reply is a status; a blink of `blink_ms` steps set before keeps changing the LED
    (at least `least_share` of the changes due); natively and not under a sanitizer, the service
    uses at most `most_cpu` of a core meanwhile (a status is made once for all who ask it at once,
    and not more often than every 10 ms), and with `memory_mib` its resident memory is at most that
    much more after the flood than before."""
    connections: int
    ms: int
    user: str = None
    blink_ms: int = None
    least_share: float = 0.25
    most_cpu: float = 0.5
    memory_mib: int = None


@dataclass
class EverySignal:
    """Every signal another process may send the service, one by one: each either stops it as it
    should stop (exit status 0, DeInit called) or is ignored, and it serves on (started again after
    a stop). Faults (SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGSYS, SIGTRAP), SIGKILL, SIGSTOP
    and those the system ignores by default are not sent."""


@dataclass
class DeInitCalled:
    """The driver's last call was ShutdownWinIo: DeInit was called."""


@dataclass
class Crashes:
    """`rounds` times: clients busy setting colours, the service killed at a random moment and
    started again; each time the LED must show a whole colour that was asked, and the service
    serve again."""
    rounds: int


@dataclass
class Case:
    name: str
    steps: list
    faults: str = ""            # LED_SIM_FAULTS for the service
    service: str = "runs"       # or "refuses" (to start: start_err is a part of what it says), "absent", or
    #                             "waits": without its driver library, until DriverArrives
    start_err: str = None
    native_only: bool = False   # POSIX only: signals, users and groups, file modes, resource limits
    windows_only: bool = False  # Windows only: the pipe's security
    args: list = field(default_factory=list)  # more options for the service
    state: str = None           # what the state file holds before the service starts; "<folder>", "<fifo>"
    journal: str = None         # what its journal holds, likewise; "<folder>", "<fifo>", "<link>"
    state_new: str = None       # "<fifo>", "<folder>" or "<link>" at the state file's path + ".new"
    socket_folder: bool = False  # the socket in a folder the service makes
    occupied: str = None        # a file with this text, or "<folder>", at the socket's path beforehand
    socket_path_bytes: int = None  # the socket's path padded to this length
    umask: int = None           # the service's umask
    squatted: bool = False      # another program makes the service's pipe first (Windows)
    slow: bool = False          # ten seconds and more: started first, not left to the table's end
    as_root: bool = False       # counts on root being held to no user's caps (natively)
    flushes_watched: bool = False  # the service runs with the flush watch preloaded (natively, not sanitized)


def pattern_of(steps):
    return ["pattern", *[f"red:{1 + step % 5}" for step in range(steps)]]


def pattern_of_bytes(length):
    """kav_morv_ledctl's arguments for a pattern whose request line is `length` bytes long: steps of
    " red:1", the last with more digits, then " name=default priority=100"."""
    steps, extra = divmod(length - len("pattern") - len(" name=default priority=100"), len(" red:1"))
    return ["pattern", *["red:1"] * (steps - 1), "red:1" + "0" * extra]


def lines(*requests):
    return "".join(request + "\n" for request in requests).encode()


# The probe's actions: bytes sent, then replies read.
def send(data):
    return f"send:{data.hex()}"


# 250 blinking indications of each of four users at once: a board nearly as full as it may be.
# Each change is answered once a state file holding it is written and flushed: a thousand of them
# under a sanitizer on a machine oversubscribed many times over have taken 40 s and more.
FOUR_USERS_BOARD = Together([Probe(lines(*[f"pattern red:5 blue:5 name=n{index}" for index in range(250)]), user=user,
                                   counts={"reply ok": 250}, deadline_s=600)
                             for user in ("nobody", "daemon", "bin", None)])

# A watch's reply and event, from a program in the service's place, with a terminal's title
# (ESC ] 0 ; ... BEL) in a name, a C1 control (CSI) and DEL in an owner.
WATCHED_CONTROLS = ('ok\nevent {"seq":1,"event":"set","name":"a\\u001b]0;x\\u0007","owner":"\\u009b2J\\u007f",'
                    '"owner_id":"1","showing":null,"showing_owner":null,"color":"red"}\n').encode()

NOT_YOURS = "error clear only root, SYSTEM and Administrators may clear another user's indication; leave out owner= " \
            "to clear your own"
PER_OWNER = "error set you have 256 indications in force, the most one user may have; clear one of yours first"

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
    Case("status, for people and for scripts; read_back is what the LED holds, whoever wrote it", [
        Ctl(["set", "blue", "--name", "base", "--priority", "1"]),
        Ctl(["blink", "red", "60000", "1000", "--name", "alarm", "--priority", "200", "--for", "60000"]),
        Ctl(["status", "--json"], json={"showing": "alarm", "color": "red", "read_back": "red",
                                        "names": ["alarm", "base"]}),
        Ctl(["status"], out=None),
        Tester("purple"), Ctl(["status", "--json"], json={"color": "red", "read_back": "purple"}),
    ]),
    Case("a change is answered once the LED shows it, however slow the LED", [
        Ctl(["set", "red"]), Led("red"), Ctl(["blink", "blue", "60000"]), Led("blue"), Ctl(["clear"]), Led("off"),
    ], faults="slow"),
    Case("the client sends a request line of 1024 bytes, and refuses one of 1025", [
        Ctl(pattern_of_bytes(1024)), Ctl(["get"], out=["red"]),
        Ctl(pattern_of_bytes(1025), status=2, err="longer than the 1024 bytes the service takes in one line"),
    ]),
    Case("a blink changes the LED at the asked times, and a count ends it, which the log says", [
        Ctl(["blink", "green", "1000", "500", "--count", "3"]),
        Transitions([("green", 0), ("off", 1000), ("green", 1500), ("off", 2500), ("green", 3000), ("off", 4000)]),
        Said("default of "), Said(" ended: its count ran out"),
    ]),
    Case("a pattern runs its steps, repeat times, then shows what lies beneath", [
        Ctl(["set", "blue", "--name", "base", "--priority", "1"]),
        Ctl(["pattern", "red:750", "white:500", "--repeat", "2"]),
        Transitions([("red", 0), ("white", 750), ("red", 1250), ("white", 2000), ("blue", 2500)]),
        Led("blue"),
    ]),
    Case("--for makes an indication expire, which the log says", [
        Watch(), Ctl(["set", "blue", "--name", "base", "--priority", "1"]), Ctl(["set", "red", "--for", "300"]),
        Events(["set base blue", "set default red", "expired default blue"]), Led("blue"), Said(" expired"),
    ]),
    Case("bad command lines are usage errors, and nothing is sent", [
        Ctl(["set", "pink"], status=2, err=f'set unknown colour "pink"; {COLOURS}'),
        Ctl(["blink", "red", "0"], status=2, err='on time "0" is not a whole number from 1 to 3600000'),
        Ctl(["set", "red", "--priority", "256"], status=2, err='priority "256" is not a whole number from 0 to 255'),
        Ctl(pattern_of(1025), status=2, err="pattern has more than 1024 steps"),
        Ctl(pattern_of(300), status=2, err="longer than the 1024 bytes the service takes in one line"),
        # Each argument is one value, never words of a request.
        Ctl(["set", "green", "--name", "x priority=255"], status=2,
            err='set --name: name "x priority=255" is not 1 to 64 letters'),
        Ctl(["set", "green", "--name", "x for=1000"], status=2, err="set --name: name"),
        Ctl(["set", "green", "--name", "a b"], status=2, err='name "a b" is not'),
        Ctl(["clear", "--name", ""], status=2, err='clear --name: name "" is not'),
        Ctl(["set", "red priority=255"], status=2, err='unknown colour "red priority=255"'),
        Ctl(["clear", "--owner", "a b"], status=2, err='clear --owner: owner "a b" is not'),
        Ctl(["frobnicate"], status=2, err='unknown subcommand "frobnicate"; one of set, off, blink'),
        Ctl([], status=2, err="a subcommand is required"),
        Led("off"), Ctl(["status", "--json"], json={"names": []}),
    ]),
    Case("bad requests get clear errors, and the service keeps serving", [
        Ctl(["set", "green", "--name", "kept"]),
        Probe(b"x" * 2000 + b"\nget\n", [f"reply {TOO_LONG}", "reply ok green"]),
        Probe(b"set r\xe9d\n", [f"reply {NOT_UTF8}"]),
        Probe(b"frobnicate\n", ['reply error - unknown command "frobnicate"; one of set, blink, pattern, clear, get, '
                                'status, watch']),
        Probe(b"blink red 10 0\nset red priority=999\n",
              ['reply error blink off time "0" is not a whole number from 1 to 3600000',
               'reply error set priority "999" is not a whole number from 0 to 255']),
        Probe(("pattern" + " red:1" * 1025 + "\n").encode(), [f"reply {TOO_LONG}"]),
        # The longest line, with and without a carriage return that does not count, and one byte more.
        Probe(b"get" + b" " * 1021 + b"\n" + b"get" + b" " * 1021 + b"\r\n" + b"get" + b" " * 1022 + b"\r\n",
              ["reply ok green", "reply ok green", f"reply {TOO_LONG}"]),
        Probe(b"set red name=kept", hang_up=True),
        Probe(b"set red name=kept", [f"reply {UNFINISHED}", "closed"], seconds=8),
        Ctl(["get"], out=["green"]), Led("green"),
    ]),
    Case("hundreds of connections at once are served; beyond 512 they are told so", [
        Probe(b"get\n", connections=300, counts={"reply ok off": 300}),
        Probe(b"get\n", connections=600, counts={"reply ok off": 512, f"reply {TOO_MANY}": 88}),
        Ctl(["get"], out=["off"]),
    ], as_root=True),
    Case("a second service on the same endpoint refuses, and the first goes on", [
        Ctl(["set", "purple"]),
        SecondService("another instance of the service already serves it"),
        Ctl(["get"], out=["purple"]), Led("purple"),
    ]),
    Case("a pipe's name in other capitals is the same endpoint; names the system would read as another are refused", [
        Ctl(["set", "purple"]),
        SecondService("another instance of the service already serves it", spelled=str.upper),
        SecondService("a pipe name may not end in a dot or a space", spelled=lambda name: name + "."),
        SecondService("a pipe name may not end in a dot or a space", spelled=lambda name: name + " "),
        SecondService("a pipe name may hold no backslash", spelled=lambda name: "x\\..\\" + name),
        SecondService("a pipe name may hold no backslash", spelled=lambda name: ".\\" + name),
        Ctl(["get"], out=["purple"]),
    ], windows_only=True),
    Case("the pipe lets SYSTEM and Administrators do anything, interactive users and the services of the MQTT "
         "bridge and the triggers program connect and ask, nobody else anything", [
             PipeAccess("D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12008b;;;IU)"
                        f"(A;;0x12008b;;;{service_account_sid('kav_morv_led_mqtt')})"
                        f"(A;;0x12008b;;;{service_account_sid('kav_morv_led_triggers')})"),
         ], windows_only=True),
    Case("another program that holds the pipe's name first keeps the service from serving it", [],
         service="refuses", start_err="another program already serves it", squatted=True, windows_only=True),
    Case("a service whose LED cannot be started refuses to start, having undone its Init", [DeInitCalled()],
         faults="init", service="refuses", start_err="the LED cannot be driven: Hardware access did not start"),
    Case("with --wait-for-led, a service whose driver library is not there yet says where it goes, to its clients "
         "too, and serves once it is", [
             Said("Put WinIo64.dll, with its driver, and inpoutx64.dll in "),
             Ctl(["get"], status=1, err="the LED cannot be driven yet (", within_s=10),
             Ctl(["set", "red"], status=1, err="inpoutx64.dll in "),
             DriverArrives(), Said("serving on"),
             Ctl(["set", "green"]), Led("green"),
         ], service="waits", args=["--wait-for-led"], slow=True),
    Case("with no service, the client says so and how to start one", [
        Ctl(["get"], status=1, err="cannot reach the LED service at"),
        Ctl(["set", "red"], status=1, err="kav_morv_led_service --foreground"),
    ], service="absent"),
    Case("a program in the service's place is not believed, nor waited for beyond --timeout", [
        Impostor(b"okay whatever\n"),
        Ctl(["set", "red"], status=1, err='answered what is not a reply to set: "okay whatever"'),
        Ctl(["get"], status=1, err="answered what is not a reply to get"),
        Ctl(["status"], status=1, err="answered what is not a reply to status"),
    ], service="absent", native_only=True),
    Case("a program in the service's place whose error names another command is not believed", [
        Impostor(b"error get no such thing\n"),
        Ctl(["set", "red"], status=1, err='answered what is not a reply to set: "error get no such thing"'),
        Ctl(["get"], status=1, err="the LED service refused: error get no such thing"),
    ], service="absent", native_only=True),
    Case("a program in the service's place that answers a status of the wrong shape is not believed", [
        Impostor(b'ok {"showing":null,"color":"red","read_back":"red","indications":[{"name":1}]}\n'),
        Ctl(["status"], status=1, err="answered what is not a reply to status"),
        Ctl(["status", "--json"], status=1, err="answered what is not a reply to status"),
        Ctl(["set", "red"], status=1, err="answered what is not a reply to set"),
    ], service="absent", native_only=True),
    Case("status for people: a one-step pattern is no steady colour, and time left is in seconds", [
        Impostor(b'ok {"showing":"alarm","color":"red","read_back":"red","indications":['
                 b'{"name":"alarm","owner":"bob","priority":200,"steps":[{"color":"red","ms":500}],"cycles":null,'
                 b'"shows":"red","left_ms":1500},{"name":"base","owner":"alice","priority":1,'
                 b'"steps":[{"color":"blue","ms":0}],"cycles":null,"shows":"blue","left_ms":null}]}\n'),
        Ctl(["status"], out=["showing alarm (red); the LED reads back red",
                             "name                 owner        priority  shows   left      what",
                             "alarm                bob               200  red     1.5 s     red 500 ms, over and over",
                             "base                 alice               1  blue    -         steady blue"]),
    ], service="absent", native_only=True),
    Case("a program in the service's place that never answers", [
        Impostor(None),
        Ctl(["--timeout", "300", "get"], status=1, err="did not answer within 300 ms (--timeout)", within_s=10),
    ], service="absent", native_only=True),
    Case("a program that holds the pipe and never answers is not waited for beyond --timeout", [
        Ctl(["--timeout", "300", "get"], status=1, err="did not answer within 300 ms (--timeout)", within_s=10),
    ], service="absent", squatted=True, windows_only=True),
    Case("a watch escapes every control character a program in the service's place sends", [
        Impostor(WATCHED_CONTROLS, then_close=True),
        Ctl(["watch"], status=1, out=["#1 set a\\x1B]0;x\\x07 (\\u009B2J\\x7F): the LED shows red"]),
        Ctl(["watch", "--json"], status=1, out=['{"color":"red","event":"set","name":"a\\u001b]0;x\\u0007",'
                                                 '"owner":"\\u009b2J\\u007f","owner_id":"1","seq":1,"showing":null,'
                                                 '"showing_owner":null}']),
    ], service="absent", native_only=True),
    Case("asked to stop, the service calls DeInit; the LED keeps a steady colour", [
        Ctl(["set", "yellow"]), Stop(connected=1), Led("yellow"),
    ], native_only=True),
    Case("every signal another process may send stops it cleanly or is ignored; faults stay faults", [
        Ctl(["set", "green"]), EverySignal(), Ctl(["get"], out=["green"]), Stop(),
    ], native_only=True),
    Case("stopped mid-blink, the LED is left off, and the blink comes back with the service", [
        Ctl(["blink", "cb", "100", "100"]), Stop(connected=2), Led("off"), Said("the LED is left off"),
        Restart(), Ctl(["status", "--json"], json={"showing": "default", "names": ["default"]}),
    ], native_only=True),
    Case("watch names whose each change is and whose shows after it, as people read it too", [
        Ctl(["set", "red", "--name", "alarm", "--priority", "200"]), Watch(plain=True),
        Ctl(["set", "blue"], user="nobody", member=True), Ctl(["clear", "--name", "alarm"]),
        Events(["#2 set default (nobody): the LED shows red (alarm of root)",
                "#3 cleared alarm (root): the LED shows blue (default of nobody)"], first_seq=2),
    ], args=["--group", "nogroup"], socket_folder=True, native_only=True),
    Case("watch: each change is an event, numbered; steps are not; Ctrl-C ends the client's watch", [
        Ctl(["set", "blue", "--name", "base", "--priority", "1"]), Watch(),
        Ctl(["blink", "red", "60000", "20", "--name", "alarm", "--priority", "200"]),
        Ctl(["pattern", "green:20", "off:20", "--name", "hidden", "--priority", "0"]),
        Ctl(["clear", "--name", "hidden"]),
        # The expiry comes last, so no step of the case can race it.
        Ctl(["blink", "red", "60000", "20", "--name", "alarm", "--priority", "200", "--for", "300"]),
        Events(["set alarm red", "set hidden red", "cleared hidden red", "set alarm red", "expired alarm blue"]),
        StopWatch(0),
    ], native_only=True),
    Case("a watch whose reader has gone ends at the next event, and gives its place back", [
        ReaderGone(), Probe(b"watch\n", connections=64, counts={"reply ok": 64}, eventually=True),
    ], native_only=True, as_root=True),
    Case("a watch ends with status 1 when the service goes away", [
        Watch(), Ctl(["set", "red"]), Events(["set default red"]), Kill(), StopWatch(1, interrupt=False),
    ]),
    Case("64 may watch at once; the next is told so; those who leave make room again", [
        Probe(b"watch\n", connections=65, counts={"reply ok": 64, f"reply {TOO_MANY_WATCHERS}": 1}),
        Probe(b"watch\n", connections=64, counts={"reply ok": 64}, eventually=True),
        Ctl(["get"], out=["off"]),
    ], as_root=True),
    Case("each user may watch on 8 connections, and the last 8 watchers are kept for root", [
        Probe(b"watch\n", connections=9, user="nobody", counts={
            "reply ok": 8, "reply error watch too many watchers of yours (at most 8 for each user); end one first": 1}),
        *[Probe(actions=[send(b"watch\n"), "read:1", "pause:60000"], connections=8, user=user, background=True,
                replies=["reply ok"] * 8) for user in ("daemon", "bin", "sys", "sync", "games", "man", "lp")],
        Probe(b"watch\n", user="mail", replies=[f"reply {TOO_MANY_WATCHERS}"], eventually=True),
        Probe(b"watch\n", connections=8, counts={"reply ok": 8}),
    ], args=["--group", "nogroup"], socket_folder=True, native_only=True),
    Case("a watcher that reads nothing is cut off, and never holds up another", [
        DeafWatcher(changes=6000), Said("a watcher that reads nothing is cut off"), Ctl(["get"], within_s=5),
    ], native_only=True, slow=True),
    Case("a change the LED does not take is an error, and the log says so", [
        Ctl(["set", "red"], status=1, err="error set the LED did not take it: it reads back unknown, not red"),
        Said("the LED reads back unknown after being set to"),
        Ctl(["status", "--json"], json={"read_back": "unknown", "names": ["default"]}),
    ], faults="read:1"),

    Case("the socket lets in root and its group alone, whatever the umask, and says who may to those it refuses", [
        Access(folder_mode=0o750, socket_mode=0o660, group="nogroup"),
        Ctl(["set", "blue"], user="nobody"), Led("blue"),
        Ctl(["set", "red"], user="daemon", status=1,
            err="Permission denied: only root and the members of the group nogroup may use it"), Led("blue"),
    ], args=["--group", "nogroup"], socket_folder=True, native_only=True, umask=0),
    Case("with no such group, the socket is root's alone, whatever the umask", [
        Said("there is no group kav_morv_led_no_such_group: only root may use the socket"),
        Access(folder_mode=0o700, socket_mode=0o700, group="root"),
        Ctl(["get"], user="nobody", status=1, err="Permission denied"),
    ], args=["--group", "kav_morv_led_no_such_group"], socket_folder=True, native_only=True, umask=0),
    Case("a socket path of 107 bytes is served", [
        Ctl(["set", "red"]), Ctl(["get"], out=["red"]),
    ], socket_path_bytes=107, native_only=True),
    Case("a socket path of 108 bytes is refused by the service and the client", [
        Ctl(["get"], status=1, err="its path is longer than 107 bytes"),
    ], service="refuses", start_err="a socket path must be 1 to 107 bytes", socket_path_bytes=108, native_only=True),
    Case("names belong to their owner; only root clears another's; status names owners", [
        Ctl(["set", "red", "--priority", "255"]),
        Ctl(["set", "blue"], user="nobody"), Ctl(["set", "green", "--name", "mine"], user="daemon", member=True),
        Ctl(["status", "--json"], json={"names": ["default", "mine", "default"], "owners": ["root", "daemon", "nobody"]}),
        Ctl(["clear"], user="nobody"), Led("red"),
        Ctl(["clear", "--owner", "root"], user="daemon", member=True, status=1, err=NOT_YOURS),
        # root's group is not root.
        Ctl(["clear", "--owner", "root"], user="daemon", primary="root", member=True, status=1, err=NOT_YOURS),
        Ctl(["clear", "--name", "mine", "--owner", "daemon"]),
        Ctl(["status", "--json"], json={"names": ["default"], "owners": ["root"]}),
        StateFile(text='"owner":"root"'),
    ], args=["--group", "nogroup"], socket_folder=True, native_only=True),
    Case("each user may hold 32 connections; root is not held to that", [
        Probe(b"get\n", connections=40, user="nobody",
              counts={"reply ok off": 32, "reply error - too many connections of yours (at most 32 for each user); "
                                          "close one first": 8}),
        Probe(b"get\n", connections=40, counts={"reply ok off": 40}),
    ], args=["--group", "nogroup"], socket_folder=True, native_only=True),
    Case("what a user holds in force is capped: 256 indications, 1024 steps", [
        Probe(lines(*[f"set red name=n{index}" for index in range(257)], "set blue name=n0"),
              counts={"reply ok": 257, f"reply {PER_OWNER}": 1}),
        Probe(lines(*[f"clear name=n{index}" for index in range(256)]), counts={"reply ok": 256}),
        Probe(lines(*[" ".join(["pattern", *["red:5"] * 150, f"name=p{index}"]) for index in range(7)]),
              counts={"reply ok": 6, "reply error pattern your indications would hold 1050 steps, more than the 1024 "
                                     "one user may have; clear a blink or pattern of yours first": 1}),
        # At the cap, a pattern replaced by one as long fits, by one a step longer does not.
        Probe(lines(" ".join(["pattern", *["red:5"] * 124, "name=p6"]),
                    " ".join(["pattern", *["cb:5"] * 150, "name=p0"]),
                    " ".join(["pattern", *["red:5"] * 151, "name=p0"])),
              counts={"reply ok": 2, "reply error pattern your indications would hold 1025 steps, more than the 1024 "
                                     "one user may have; clear a blink or pattern of yours first": 1}),
    ]),
    Case("each change is logged with who asked it", [
        Ctl(["set", "green", "--name", "mine"]),
        Said("user "), Said(", process "), Said(": set green name=mine priority=100 -> the LED shows green (mine of "),
    ]),
    Case("after a crash, what was asked is restored, with the time it has left, and a stale socket is replaced", [
        Ctl(["set", "blue", "--name", "base", "--priority", "1", "--for", "600000"]),
        Ctl(["pattern", "red:10000", "white:10000", "--name", "alarm", "--priority", "200", "--repeat", "3"]),
        Ctl(["set", "green", "--name", "gone", "--for", "300"]),
        Said(" expired"), Kill(), Restart(),
        Ctl(["status", "--json"], json={"showing": "alarm", "names": ["alarm", "base"], "lefts": lambda lefts: (
            0 < lefts[0] < 60000 and 0 < lefts[1] < 600000)}),
        # What was brought back was told as events, numbered before any watcher came.
        Watch(), Ctl(["clear", "--name", "alarm"]), Events(["cleared alarm blue"], first_seq=3), Led("blue"),
    ]),
    Case("a change answered ok outlives a crash at once after it", [
        step for colour in ("red", "green", "blue")
        for step in (Ctl(["set", colour]), Kill(), Restart(), Ctl(["get"], out=[colour]))
    ]),
    Case("each ok goes once the journal holding its change is flushed, and a new state file only flushed is "
         "renamed into place", [
             Probe(lines("set red", "set blue name=b", "clear name=b", "blink green 100 100"), ["reply ok"] * 4),
             FlushesSeen(least=4), Kill(), Restart(), FlushesSeen(least=4),
             Ctl(["status", "--json"], json={"names": ["default"], "color": lambda colour: colour in ("green", "off")}),
         ], native_only=True, flushes_watched=True),
    Case("a journal whose last record was cut short by a crash is read without it, and the log says so", [
        Said("was cut short"), Ctl(["status", "--json"], json={"names": ["a"]}), Ctl(["set", "red", "--name", "b"]),
        Kill(), Restart(), Ctl(["status", "--json"], json={"names": ["b", "a"]}),
    ], state='{"version":1,"generation":1,"indications":[]}',
        journal='{"generation":2,"set":{"request":"set blue name=a priority=100","owner_id":"0","owner":"root",'
                '"set_at_ms":1,"expires_at_ms":null}}\n{"generation":3,"set":{"request":"set red na'),
    Case("a journal with a record in its middle that is not one is set aside with its state file, never trusted", [
        Said("is not to be trusted"), StateFile(set_aside=True), Ctl(["get"], out=["off"]),
    ], state='{"version":1,"generation":1,"indications":[]}', journal='{"generation":2}\n{"generation":3}\n'),
    Case("a corrupt state file is reported and set aside, never trusted", [
        Said("is not to be trusted"), StateFile(set_aside=True), Ctl(["get"], out=["off"]), Led("off"),
        Ctl(["set", "red"]), StateFile(text="set red name=default"),
    ], state='{"version":1,"indications":[{"request":"set red name=x","set_at_ms":'),
] + [
    Case(f"a state file whose version is {shape} is set aside, never trusted", [
        Said("is not to be trusted"), StateFile(set_aside=True), Ctl(["get"], out=["off"]),
    ], state='{"version":' + shape + ',"indications":[]}')
    for shape in ('"1"', "null", "[1]", "1.0")
] + [
    Case(f"a state file {shape} is set aside, never trusted", [
        Said(said), StateFile(set_aside=True), Ctl(["get"], out=["off"]),
    ], state=state)
    for shape, state, said in (
        ("with bytes after its JSON", '{"version":1,"indications":[]}\0{"version":1,"indications":[]}',
         "it holds a NUL byte"),
        ("larger than any this service writes", '{"version":1,"indications":[]}' + " " * (4 << 20),
         "it is larger than the 4194304 bytes"))
] + [
    Case(f"a {kind} at the state file's path is refused", [], service="refuses", state=state,
         start_err=f"cannot be used: {said}", native_only=native_only)
    for kind, state, said, native_only in (
        ("folder", "<folder>", "a folder is at its path", False),
        ("FIFO", "<fifo>", "something that is not a regular file is at its path", True))
] + [
    Case(f"a {kind} at the journal's path is refused", [], service="refuses", journal=journal,
         start_err=f"cannot be used: its journal ", native_only=native_only)
    for kind, journal, native_only in (("folder", "<folder>", False), ("FIFO", "<fifo>", True), ("link", "<link>", True))
] + [
    Case(f"a {kind} at the socket's path is left alone, and no lock file with it", [
        Access(occupant=occupant), Access(lock_file=False),
    ], service="refuses", occupied=occupant, start_err="something that is not a socket is at its path",
        native_only=True)
    for kind, occupant in (("file", "precious"), ("folder", "<folder>"))
] + [
    Case("a full disk keeps the last whole state file, and a change it cannot keep is told so", [
        Ctl(["set", "green"]), StateFile(text="set green"), Stop(),
        Restart(prefix=["prlimit", "--fsize=64"]), Led("green"),
        Ctl(["set", "red"], status=1, err="error set the state file cannot be written (File too large): what was "
                                          "asked is in force, but would not outlive a restart"),
        Led("red"), Said("cannot write the state file"), StateFile(text="set green"),
        Kill(), Restart(), Led("green"), Ctl(["get"], out=["green"]),
    ], native_only=True),
] + [
    Case(f"a {kind} where the state file is written first is replaced, never opened", [
        Ctl(["set", "red"]), StateFile(text="set red"), Kill(), Restart(), Ctl(["get"], out=["red"]),
    ], state_new=planted, native_only=native_only)
    for kind, planted, native_only in (("FIFO", "<fifo>", True), ("link", "<link>", True),
                                       ("folder", "<folder>", False))
] + [
    Case("killed at any moment while clients are busy, it restarts showing a colour that was asked",
         [Crashes(rounds=6)], native_only=True),
    # 64 x 16 + 64 x 1547 = 100,032 requests: memory after them against memory after the first 1,024.
    Case("64 clients at once, 1547 requests each: every reply right, the right indication shows, and "
         "memory after 100,000 requests within 1 MiB of memory after 1,000",
         [Load(clients=64, requests=1547, memory_kib=1024)], slow=True, as_root=True),
    Case("a client that floods without reading does not hold up another",
         [Flood(times=10)]),
    Case("one user's 32 connections asking status over and over, with 1000 indications in force, never stall "
         "a blink nor another user", [
             FOUR_USERS_BOARD,
             Ctl(["blink", "cb", "100", "100", "--priority", "255"]),
             StatusFlood(connections=32, ms=3000, user="nobody", blink_ms=100),
             Ctl(["status", "--json"], user="daemon", member=True, json={"showing": "default"}),
         ], args=["--group", "nogroup"], socket_folder=True, native_only=True, slow=True),
    Case("a program holding the register lock and a status flood leave the service's memory as it was", [
        FOUR_USERS_BOARD,
        HoldLock(ms=30000), StatusFlood(connections=32, ms=3000, user="nobody", memory_mib=32),
    ], args=["--group", "nogroup"], socket_folder=True, native_only=True),
    Case("a program holding the register lock delays the LED, never status, get or a line left unfinished", [
        Ctl(["pattern", "red:50", "blue:50"]), HoldLock(ms=30000),
        Ctl(["status", "--json"], json={"read_back": None, "names": ["default"]}, within_s=2),
        Ctl(["get"], within_s=2),
        # Changes wait for the LED; a line finished while they were answered is answered, and the
        # connection serves on.
        Probe(actions=[send(b"set red name=a\nset blue name=b\nset green name=c\nge"), "pause:100", send(b"t\n"),
                       "read:4", send(b"get\n"), "read:1"],
              replies=["reply ok", "reply ok", "reply ok", "reply ok green", "reply ok green"]),
    ]),
]
