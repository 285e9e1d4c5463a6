"""Programs in the LED service's place, for the clients' tests, and the table of what each client
must make of them. Each case's impostor listens at FOLDER/NAME.sock and answers every request by its
command word as the case says (a reply, nothing, a reply trickled a byte at a time, the connection
closed or reset); it keeps the lines it was asked, also in NAME.sock.asked for a check in another
language. The Python and the .NET client each run every case (run_case in their own check) and
judge() says whether what came of it is what the protocol asks of a client."""
import json
import os
import socket
import threading
import time
import urllib.parse
from dataclasses import dataclass
from typing import Callable, Dict, List, Union

MAX_REPLY_BYTES = 4 << 20  # the clients' bound on a line, above any reply of the service's


@dataclass(frozen=True)
class Answer:
    data: bytes = b""
    then: str = "read"  # "read" the next request, "close" the connection, or "trickle" "o" every 200 ms
    later: bytes = b""  # sent delay_s after the data; a line asked in that time, on any connection,
    delay_s: float = 0  # is kept marked DURING_DELAY


DURING_DELAY = " (asked while an answer was delayed)"

NEVER = Answer()
RESET = "reset"      # each connection closed with its request unread: the client reads a reset
ABSENT = "absent"    # nothing at the endpoint's path
STALE = "stale"      # a socket nobody listens on, as a service that died leaves it
PLAIN = "plain"      # a plain file where the socket should be


def answer(*lines: Union[str, bytes], then: str = "read") -> Answer:
    return Answer(b"".join((line if isinstance(line, bytes) else line.encode()) + b"\n" for line in lines), then)


OK = answer("ok")


@dataclass(frozen=True)
class Case:
    """One call of a client against one impostor, and what must come of it: the outcome ("ok";
    "closed" for a watch its caller ended; or the error: "unavailable", "refused", "protocol",
    "argument", "interrupted", "block" for the block's own), what it returned (for a watch, the
    events before it ended), words of the error's message, and the lines the impostor was asked (a
    list, or a test of it)."""
    name: str
    call: dict
    answers: object
    outcome: str = "ok"
    value: object = None
    asked: Union[None, List[str], Callable[[List[str]], bool]] = None
    text: str = ""
    only: str = ""  # "python" or "dotnet": a call the other client's types cannot even express


# Status replies ------------------------------------------------------------------------------

DROP = object()  # a key left out
ENTRY_KEYS = ("name", "owner", "owner_id", "priority", "steps", "cycles", "shows", "left_ms")
STATUS_KEYS = ("showing", "owner", "color", "read_back", "indications")
STATUS = {"showing": "alarm", "owner": "alice", "color": "red", "read_back": "green", "indications": [
    {"name": "alarm", "owner": "alice", "owner_id": "1000", "priority": 200,
     "steps": [{"color": "red", "ms": 100}, {"color": "off", "ms": 100}], "cycles": 3, "shows": "red", "left_ms": 500},
    {"name": "default", "owner": "root", "owner_id": "0", "priority": 100, "steps": [{"color": "blue", "ms": 0}],
     "cycles": None, "shows": "blue", "left_ms": None}]}


def changed(base: dict, changes: dict) -> dict:
    return {**{k: v for k, v in base.items() if changes.get(k) is not DROP},
            **{k: v for k, v in changes.items() if v is not DROP}}


def status(top=None, entry=None, step=None) -> dict:
    """STATUS with its top keys, its first indication's and that one's first step's changed."""
    first = STATUS["indications"][0]
    first = changed(first, {"steps": [changed(first["steps"][0], step or {})] + first["steps"][1:], **(entry or {})})
    return changed(STATUS, {"indications": [first] + STATUS["indications"][1:], **(top or {})})


def seen(reply: dict) -> dict:
    """What a client makes of a status: the protocol's keys, nothing else."""
    return {**{key: reply[key] for key in STATUS_KEYS[:4]}, "indications": [
        {**{key: entry[key] for key in ENTRY_KEYS}, "steps": [{"color": s["color"], "ms": s["ms"]} for s in entry["steps"]]}
        for entry in reply["indications"]]}


def status_case(name, outcome="ok", reply=None, dump=json.dumps, only="", **changes) -> Case:
    """A status call answered by `reply` (JSON text), or by STATUS with `changes` as `dump` writes
    it; its value, when ok, is what the client must make of it."""
    made = status(**changes)
    payload = reply if reply is not None else dump(made)
    return Case(name, {"call": "status"}, {"status": answer("ok " + payload)}, outcome,
                seen(made) if outcome == "ok" else None, only=only)


def padded(total: int) -> str:
    """A status line ("ok " and the JSON) of exactly `total` bytes, with a key of its own."""
    bare = len("ok " + json.dumps({**STATUS, "pad": ""}))
    return json.dumps({**STATUS, "pad": "x" * (total - bare)})


def nested(depth: int, opening: str, closing: str) -> str:
    """STATUS with a key whose innermost value lies `depth` below the outermost object."""
    return json.dumps(STATUS)[:-1] + ', "deep": ' + opening * (depth - 1) + "0" + closing * (depth - 1) + "}"


def raw(old: str, new: str) -> str:
    """STATUS's JSON text with `old` replaced: for what json.dumps would never write."""
    text = json.dumps(STATUS)
    assert old in text
    return text.replace(old, new, 1)


STATUS_CASES = [
    status_case("status_whole"),
    status_case("status_none_in_force", top={"showing": None, "owner": None, "color": "off", "read_back": "off",
                                             "indications": []}),
    status_case("status_read_back_null", top={"read_back": None}),
    status_case("status_read_back_unknown", top={"read_back": "unknown"}),
    status_case("status_priority_0", entry={"priority": 0}),
    status_case("status_priority_255", entry={"priority": 255}),
    status_case("status_step_ms_0", step={"ms": 0}),
    status_case("status_step_ms_3600000", step={"ms": 3600000}),
    status_case("status_cycles_1", entry={"cycles": 1}),
    status_case("status_cycles_1000000", entry={"cycles": 1000000}),
    status_case("status_left_ms_0", entry={"left_ms": 0}),
    status_case("status_left_ms_2147483647", entry={"left_ms": 2147483647}),
    status_case("status_extra_keys", top={"uptime_s": 1.5, "flags": [True, None, {"x": "y"}]}, entry={"note": "z"}),
    status_case("status_escapes", entry={"name": "\u00e9t\u00e9\x01\"\\/\t"},
                dump=lambda made: json.dumps(made).replace("/", "\\/")),
    status_case("status_utf8", entry={"owner": "j\u00fcrgen"}, dump=lambda made: json.dumps(made, ensure_ascii=False)),
    status_case("status_spaces_around", reply=" " + json.dumps(STATUS) + " \t"),
    status_case("status_at_line_limit", reply=padded(MAX_REPLY_BYTES)),
    Case("status_at_line_limit_line_feed_later", {"call": "status"},
         {"status": Answer(answer("ok " + padded(MAX_REPLY_BYTES)).data[:-1], later=b"\n", delay_s=0.1)}, "ok",
         seen(STATUS)),
    status_case("status_past_line_limit", "protocol", reply=padded(MAX_REPLY_BYTES + 1)),
    # The .NET client's own bound on nesting; Python's json has one of its own, far deeper.
    status_case("status_nested_32_arrays", reply=nested(32, "[", "]"), only="dotnet"),
    status_case("status_nested_33_arrays", "protocol", reply=nested(33, "[", "]"), only="dotnet"),
    status_case("status_nested_32_objects", reply=nested(32, '{"a": ', "}"), only="dotnet"),
    status_case("status_nested_33_objects", "protocol", reply=nested(33, '{"a": ', "}"), only="dotnet"),
    status_case("status_nested_arrays_beyond", "protocol", reply="[" * 100000 + "]" * 100000),
    status_case("status_nested_objects_beyond", "protocol", reply='{"a":' * 100000 + "0" + "}" * 100000),
    status_case("status_bare_ok", "protocol", reply=""),
] + [status_case(f"status_{where}_{key}_{shown}", "protocol", **{where: {key: value}}) for where, key, value, shown in [
    ("entry", "priority", 256, "256"), ("entry", "priority", -1, "minus_1"), ("entry", "priority", True, "true"),
    ("entry", "priority", "200", "text"), ("entry", "priority", 200.0, "fraction"), ("entry", "priority", None, "null"),
    ("step", "color", "unknown", "unknown"), ("step", "ms", 3600001, "3600001"), ("step", "ms", -1, "minus_1"), ("step", "ms", True, "true"),
    ("entry", "cycles", 0, "0"), ("entry", "cycles", 1000001, "1000001"), ("entry", "cycles", True, "true"),
    ("entry", "left_ms", -1, "minus_1"), ("entry", "left_ms", 2147483648, "2147483648"),
    ("entry", "left_ms", True, "true"), ("entry", "left_ms", 1e3, "exponent"),
    ("top", "showing", 5, "number"), ("top", "owner", ["alice"], "list"), ("entry", "name", 5, "number"),
    ("entry", "owner_id", 1000, "number"), ("entry", "owner", None, "null"),
    ("top", "color", "unknown", "unknown"), ("top", "color", "Red", "capital"), ("top", "read_back", "pink", "pink"),
    ("entry", "shows", "unknown", "unknown"), ("step", "color", None, "null"), ("entry", "steps", [], "none"),
    ("entry", "steps", {"color": "red", "ms": 0}, "object"), ("top", "indications", {}, "object"),
    ("top", "indications", None, "null"), ("top", "indications", ["alarm"], "text"),
]] + [status_case(f"status_without_{where}_{key}", "protocol", **{where: {key: DROP}}) for where, keys in [
    ("top", STATUS_KEYS), ("entry", ENTRY_KEYS), ("step", ("color", "ms"))] for key in keys
] + [status_case(name, "protocol", reply=reply) for name, reply in [
    ("status_list", "[]"), ("status_null", "null"), ("status_text", '"red"'),
    ("status_more_after", json.dumps(STATUS) + " x"), ("status_nan", raw('"cycles": 3', '"cycles": 3, "x": NaN')),
    ("status_leading_zero", raw('"priority": 200', '"priority": 0200')),
    ("status_plus", raw('"priority": 200', '"priority": +200')),
    ("status_control_in_text", raw('"alarm"', '"al\x01arm"')), ("status_unknown_escape", raw('"alarm"', '"al\\xarm"')),
    ("status_short_unicode_escape", raw('"alarm"', '"al\\u00e"')), ("status_unended", json.dumps(STATUS)[:-1]),
    ("status_trailing_comma", raw('"left_ms": 500}', '"left_ms": 500,}')),
]]

# Get, and what no reply of the service's looks like ---------------------------------------------

GET = {"call": "get"}
COLORS = ("off", "red", "green", "blue", "white", "cb", "yellow", "purple")
GET_CASES = [Case(f"get_{colour}", GET, {"get": answer("ok " + colour)}, "ok", colour) for colour in COLORS] + [
    Case(name, GET, {"get": answers}, outcome, value, text=text) for name, answers, outcome, value, text in [
    ("get_carriage_return", answer("ok off\r"), "ok", "off", ""),
    ("get_line_feed_later", Answer(b"ok red", later=b"\n", delay_s=0.1), "ok", "red", ""),
    ("get_unknown", answer("ok unknown"), "protocol", None, ""),
    ("get_and_more", answer("ok purple", "ok red", "what"), "ok", "purple", ""),
    ("get_capital", answer("ok Red"), "protocol", None, ""),
    ("get_pink", answer("ok pink"), "protocol", None, ""),
    ("get_bare_ok", OK, "protocol", None, ""),
    ("get_ok_space", answer("ok "), "protocol", None, ""),
    ("get_trailing_space", answer("ok red "), "protocol", None, ""),
    ("get_two_spaces", answer("ok  red"), "protocol", None, ""),
    ("get_tab", answer("ok\tred"), "protocol", None, ""),
    ("get_okay", answer("okay red"), "protocol", None, ""),
    ("get_refused", answer("error get the LED is busy"), "refused", None, "[get] [the LED is busy]"),
    ("get_refused_dash", answer("error - too many connections (at most 512); try again later"), "refused", None,
     "[-] [too many connections (at most 512); try again later]"),
    ("get_refused_other_command", answer("error set the LED is busy"), "protocol", None, ""),
    ("get_refused_no_message", answer("error get"), "protocol", None, ""),
    ("get_refused_empty_message", answer("error get "), "protocol", None, ""),
    ("get_refused_no_command", answer("error  busy"), "protocol", None, ""),
    ("get_error_capital", answer("ERROR get busy"), "protocol", None, ""),
    ("get_not_utf8", answer(b"error get busy \xff"), "protocol", None, ""),
    ("get_line_feed_only", answer(""), "protocol", None, ""),
    ("get_no_line_feed_ever", Answer(b"o" * (5 << 20)), "protocol", None, ""),
    ("get_past_line_limit_then_line_feed", answer(b"ok " + b"r" * (MAX_REPLY_BYTES - 2)), "protocol", None, ""),
    ("get_closed", Answer(then="close"), "unavailable", None, "closed the connection"),
    ("get_half_then_closed", Answer(b"ok re", "close"), "unavailable", None, ""),
]] + [
    Case("get_reset", GET, RESET, "unavailable", asked=["get"]),
    Case("get_silent", {**GET, "timeout_ms": 500}, {"get": NEVER}, "unavailable", text="did not answer within"),
    Case("get_trickle", {**GET, "timeout_ms": 1000}, {"get": Answer(then="trickle")}, "unavailable",
         text="did not answer within"),
    Case("get_absent", GET, ABSENT, "unavailable", text="kav_morv_led_service --foreground"),
    Case("get_stale", GET, STALE, "unavailable", text="kav_morv_led_service --foreground"),
    Case("get_plain_file", GET, PLAIN, "unavailable"),
]

# Changes: each argument at its bounds, and the line each makes -------------------------------

LONGEST_NAME = "N" * 64


def change_case(name, call, line=None, answers=None, outcome=None, text="", only=""):
    """A change whose line must be `line` (None: an argument refused before anything is sent)."""
    outcome = outcome or ("ok" if line is not None else "argument")
    return Case(name, call, answers or {"*": OK}, outcome, None, [line] if line is not None else [], text, only)


def pattern_of_line_bytes(total: int) -> list:
    """Steps whose pattern line ("pattern ... name=default priority=100") is `total` bytes long."""
    fixed = len("pattern  name=default priority=100")
    count, rest = divmod(total - fixed + 1, len("red:1000 "))
    return [["red", 1000]] * (count - rest) + [["red", 10000]] * rest


SET = {"call": "set", "color": "red"}
SHOWN = " name=default priority=100"
CHANGE_CASES = [change_case(*row) for row in [
    ("set_plain", SET, "set red" + SHOWN),
    ("set_capital_colour", {**SET, "color": "PURPLE"}, "set purple" + SHOWN),
    ("set_pink", {**SET, "color": "pink"}),
    ("set_empty_colour", {**SET, "color": ""}),
    ("set_priority_0", {**SET, "priority": 0}, "set red name=default priority=0"),
    ("set_priority_255", {**SET, "priority": 255}, "set red name=default priority=255"),
    ("set_priority_256", {**SET, "priority": 256}),
    ("set_priority_minus_1", {**SET, "priority": -1}),
    ("set_for_1", {**SET, "for_ms": 1}, "set red" + SHOWN + " for=1"),
    ("set_for_2147483647", {**SET, "for_ms": 2147483647}, "set red" + SHOWN + " for=2147483647"),
    ("set_for_0", {**SET, "for_ms": 0}),
    ("set_name_64", {**SET, "name": LONGEST_NAME}, f"set red name={LONGEST_NAME} priority=100"),
    ("set_name_every_character", {**SET, "name": "az.AZ_09-"}, "set red name=az.AZ_09- priority=100"),
    ("set_name_65", {**SET, "name": LONGEST_NAME + "N"}),
    ("set_name_empty", {**SET, "name": ""}),
    ("set_name_space", {**SET, "name": "x priority=255"}),
    ("set_name_line_feed", {**SET, "name": "x\n"}),
    ("set_name_equals", {**SET, "name": "a=b"}),
    ("set_name_letter_beyond_ascii", {**SET, "name": "\u00e9"}),
    ("blink_defaults", {"call": "blink", "color": "green"}, "blink green 500 500" + SHOWN),
    ("blink_1_3600000", {"call": "blink", "color": "red", "on_ms": 1, "off_ms": 3600000},
     "blink red 1 3600000" + SHOWN),
    ("blink_on_0", {"call": "blink", "color": "red", "on_ms": 0}),
    ("blink_off_3600001", {"call": "blink", "color": "red", "off_ms": 3600001}),
    ("blink_count_1", {"call": "blink", "color": "red", "count": 1}, "blink red 500 500" + SHOWN + " count=1"),
    ("blink_count_1000000", {"call": "blink", "color": "red", "count": 1000000, "for_ms": 5},
     "blink red 500 500" + SHOWN + " for=5 count=1000000"),
    ("blink_count_0", {"call": "blink", "color": "red", "count": 0}),
    ("blink_count_1000001", {"call": "blink", "color": "red", "count": 1000001}),
    ("pattern_steps", {"call": "pattern", "steps": [["blue", 1], ["CB", 3600000]], "repeat": 1000000},
     "pattern blue:1 cb:3600000" + SHOWN + " repeat=1000000"),
    ("pattern_no_steps", {"call": "pattern", "steps": []}),
    ("pattern_step_0", {"call": "pattern", "steps": [["red", 0]]}),
    ("pattern_step_3600001", {"call": "pattern", "steps": [["red", 3600001]]}),
    ("pattern_step_pink", {"call": "pattern", "steps": [["pink", 5]]}),
    ("pattern_repeat_0", {"call": "pattern", "steps": [["red", 5]], "repeat": 0}),
    ("pattern_repeat_1000001", {"call": "pattern", "steps": [["red", 5]], "repeat": 1000001}),
    ("pattern_line_1024_bytes", {"call": "pattern", "steps": pattern_of_line_bytes(1024)},
     "pattern " + " ".join(f"red:{ms}" for _, ms in pattern_of_line_bytes(1024)) + SHOWN),
    ("pattern_line_1025_bytes", {"call": "pattern", "steps": pattern_of_line_bytes(1025)}),
    ("clear_plain", {"call": "clear"}, "clear name=default"),
    ("clear_owner_256_bytes", {"call": "clear", "owner": "\u00e9" * 128}, "clear name=default owner=" + "\u00e9" * 128),
    ("clear_owner_257_bytes", {"call": "clear", "owner": "\u00e9" * 128 + "a"}),
    ("clear_owner_id", {"call": "clear", "name": "n", "owner": "S-1-5-21-1"}, "clear name=n owner=S-1-5-21-1"),
    ("clear_owner_empty", {"call": "clear", "owner": ""}),
    ("clear_owner_space", {"call": "clear", "owner": "a b"}),
    ("clear_owner_tab", {"call": "clear", "owner": "a\tb"}),
    ("clear_owner_delete", {"call": "clear", "owner": "a\x7fb"}),
    ("set_answered_more", SET, "set red" + SHOWN, {"set": answer("ok red")}, "protocol"),
    ("set_refused", SET, "set red" + SHOWN, {"set": answer("error set the state file cannot be written (disk full)")},
     "refused", "refused set: the state file cannot be written"),
    ("clear_refused_as_set", {"call": "clear"}, "clear name=default", {"clear": answer("error set no")}, "protocol"),
    ("set_closed", SET, "set red" + SHOWN, {"set": Answer(then="close")}, "unavailable"),
    # What only Python can be given: a truth value, or a number past what .NET's int holds.
    ("set_priority_true", {**SET, "priority": True}, None, None, None, "", "python"),
    ("set_for_2147483648", {**SET, "for_ms": 2147483648}, None, None, None, "", "python"),
    ("pattern_step_true", {"call": "pattern", "steps": [["red", True]]}, None, None, None, "", "python"),
]]

# Watching ------------------------------------------------------------------------------------

EVENT = {"seq": 7, "event": "restored", "name": "kept", "owner": "bob", "owner_id": "1001", "showing": "kept",
         "showing_owner": "bob", "color": "blue"}
LATER = {"seq": 8, "event": "set", "name": "alarm", "owner": "alice", "owner_id": "1000", "showing": None,
         "showing_owner": None, "color": "off"}
WATCH = {"call": "watch"}
KINDS = ("set", "cleared", "expired", "ended", "restored")


def event(**changes) -> str:
    return "event " + json.dumps(changed(EVENT, changes))


def event_of_bytes(total: int) -> str:
    """An event line of exactly `total` bytes, with a key of its own."""
    return event(pad="x" * (total - len(event(pad=""))))


def watch_case(name, *lines, outcome="unavailable", events=(), then="close", tail=b"") -> Case:
    """A watch answered "ok", `lines` and `tail`, then closed, or kept open until its caller closes it
    once it has `events`, those it must yield before it ends."""
    call = WATCH if then == "close" else {**WATCH, "close_after": len(events)}
    return Case(name, call, {"watch": Answer(answer("ok", *lines).data + tail, then)}, outcome, list(events))


WATCH_CASES = [
    watch_case("watch_events", event(), "event " + json.dumps(LATER), events=[EVENT, LATER]),
    watch_case("watch_every_kind", *[event(event=kind) for kind in KINDS], events=[{**EVENT, "event": k} for k in KINDS]),
    Case("watch_left_by_its_with_block", {**WATCH, "leave_after": 1}, {"watch": answer("ok", event())}, "closed",
         [EVENT], only="python"),
    watch_case("watch_closed_by_its_caller", event(), event(seq=8), outcome="closed", events=[EVENT, {**EVENT, "seq": 8}],
               then="read"),
    watch_case("watch_seq_0", event(seq=0), events=[{**EVENT, "seq": 0}]),
    watch_case("watch_seq_largest", event(seq=2**63 - 1), events=[{**EVENT, "seq": 2**63 - 1}]),
    watch_case("watch_carriage_return", event() + "\r", events=[EVENT]),
    watch_case("watch_extra_key", event(uptime_s=1.5), events=[EVENT]),
    watch_case("watch_half_an_event", event(), tail=event()[:30].encode(), events=[EVENT]),
    watch_case("watch_event_at_line_limit", event_of_bytes(MAX_REPLY_BYTES), events=[EVENT]),
    watch_case("watch_event_past_line_limit", event(), event_of_bytes(MAX_REPLY_BYTES + 1), outcome="protocol",
               events=[EVENT]),
    Case("watch_answered_more", WATCH, {"watch": answer("ok now", then="close")}, "protocol", []),
    Case("watch_refused", WATCH, {"watch": answer("error watch too many watchers of yours (at most 8 for each user)")},
         "refused", [], text="refused watch: too many watchers"),
    Case("watch_never_answered", {**WATCH, "timeout_ms": 500}, {"watch": NEVER}, "unavailable", []),
    Case("watch_outlives_its_calls_deadline", {**WATCH, "timeout_ms": 500},
         {"watch": Answer(OK.data, "close", answer(event()).data, 0.8)}, "unavailable", [EVENT]),
] + [watch_case(f"watch_{name}", event(), line, outcome="protocol", events=[EVENT]) for name, line in [
    ("seq_minus_1", event(seq=-1)), ("seq_past_largest", event(seq=2**63)), ("seq_null", event(seq=None)),
    ("seq_true", event(seq=True)), ("seq_fraction", event(seq=8.5)), ("name_number", event(name=5)),
    ("owner_id_number", event(owner_id=1001)), ("kind_unknown", event(event="changed")),
    ("colour_unknown", event(color="unknown")), ("showing_number", event(showing=5)),
    ("showing_owner_number", event(showing_owner=5)),
    ("no_space", event().replace("event ", "event", 1)), ("capital", event().replace("event", "Event", 1)),
    ("not_json", "event {"), ("not_utf8", event().encode().replace(b"kept", b"k\xffpt", 1)),
    ("list", "event []"), ("bare", "event"),
]] + [watch_case(f"watch_without_{key}", event(), event(**{key: DROP}), outcome="protocol", events=[EVENT])
      for key in EVENT]

# Indications: every way out of one ----------------------------------------------------------

SET_DEPLOY = "set yellow name=deploy priority=100 for="
LEASED = SET_DEPLOY + "30000"
CLEARED = "clear name=deploy"


def indication_case(name, answers, outcome="ok", asked=(LEASED, CLEARED), only="", text="", **call) -> Case:
    return Case(name, {"call": "indication", "color": "yellow", "name": "deploy", **call},
                answers if isinstance(answers, str) else {"clear": OK, **answers}, outcome, None,
                asked if callable(asked) else list(asked), text, only)


def sets_then_clear(first_ms: int, least: int, later: Callable[[int], bool]) -> Callable[[List[str]], bool]:
    """Asked a set for first_ms, at least `least` sets in all, each later one's for= passing `later`,
    then the clear, and nothing after it."""
    def held(asked):
        sets = asked[:-1]
        return (len(sets) >= least and asked[-1] == CLEARED and all(line.startswith(SET_DEPLOY) for line in sets)
                and int(sets[0][len(SET_DEPLOY):]) == first_ms and all(later(int(line[len(SET_DEPLOY):])) for line in sets[1:]))
    return held


FAST = {"timeout_ms": 500}
SLOW_OK = Answer(later=OK.data, delay_s=0.2)
INDICATION_CASES = [
    indication_case("indication_held", {"set": OK}),
    indication_case("indication_block_raises", {"set": OK}, "block", block="raise"),
    indication_case("indication_block_interrupted", {"set": OK}, "interrupted", block="interrupt", only="python"),
    indication_case("indication_block_raises_clear_lost", {"set": OK, "clear": Answer(then="close")}, "block",
                    block="raise"),
    indication_case("indication_clear_lost", {"set": OK, "clear": Answer(then="close")}, "unavailable", only="python"),
    indication_case("indication_clear_lost_disposed", {"set": OK, "clear": Answer(then="close")}, only="dotnet"),
    indication_case("indication_set_unanswered", {"set": NEVER}, "unavailable", **FAST),
    indication_case("indication_set_closed", {"set": Answer(then="close")}, "unavailable"),
    indication_case("indication_set_reset", RESET, "unavailable"),
    indication_case("indication_set_not_taken", {"set": answer(
        "error set the LED did not take it: it reads back red, not yellow; what was asked stays in force")}, "refused",
        text="did not take it"),
    indication_case("indication_set_garbled", {"set": answer("ok?")}, "protocol"),
    indication_case("indication_set_unanswered_clear_refused", {"set": NEVER, "clear": answer("error clear no")},
                    "unavailable", **FAST),
    indication_case("indication_interrupted", {"set": NEVER}, "interrupted", interrupt="signal"),
    indication_case("indication_interrupted_clear_unanswered", {"set": NEVER, "clear": NEVER}, "interrupted",
                    interrupt="signal", **FAST),
    indication_case("indication_interrupted_by_exception", {"set": NEVER}, "interrupted", interrupt="exception",
                    only="python"),
    indication_case("indication_pink", {}, "argument", asked=(), color="pink"),
    indication_case("indication_priority_256", {}, "argument", asked=(), priority=256),
    indication_case("indication_for_0", {}, "argument", asked=(), for_ms=0),
    indication_case("indication_for_1", {"set": OK}, asked=(SET_DEPLOY + "1", CLEARED), for_ms=1),
    indication_case("indication_lease_999", {}, "argument", asked=(), lease_ms=999),
    indication_case("indication_lease_largest", {"set": OK}, asked=(SET_DEPLOY + "2147483647", CLEARED),
                    lease_ms=2147483647),
    indication_case("indication_lease_past_largest", {}, "argument", asked=(), lease_ms=2147483648, only="python"),
    indication_case("indication_renewed", {"set": OK}, asked=sets_then_clear(1000, 3, lambda ms: ms == 1000),
                    lease_ms=1000, sets=3),
    # The block ends while a set again is unanswered: its clear comes after that answer.
    indication_case("indication_renewed_when_it_ends", {"set": SLOW_OK}, lease_ms=1000, sets=2,
                    asked=sets_then_clear(1000, 2, lambda ms: ms == 1000)),
    # Set again every third of its lease for a lease, until what is left of 1500 ms is less (about
    # 833 ms, at 667 ms); then no more.
    indication_case("indication_renewed_to_its_end", {"set": OK}, lease_ms=1000, for_ms=1500, until_ms=1900,
                    asked=lambda asked: sets_then_clear(1000, 2, lambda ms: 0 < ms <= 1000)(asked)
                    and [line == SET_DEPLOY + "1000" for line in asked[:-1]] == [True] * (len(asked) - 2) + [False]),
    indication_case("indication_within_its_lease", {"set": OK}, asked=(SET_DEPLOY + "900", CLEARED), lease_ms=1000,
                    for_ms=900, until_ms=500),
]

CASES = STATUS_CASES + GET_CASES + CHANGE_CASES + WATCH_CASES + INDICATION_CASES


def cases_for(client: str) -> List[Case]:
    return [case for case in CASES if case.only in ("", client)]


def normal(value):
    return json.loads(json.dumps(value))


def judge(case: Case, outcome: str, value, message: str, asked: List[str]):
    """Whether what came of `case` is what it asks for; what came of it."""
    held = outcome == case.outcome and case.text in message
    if case.value is not None or outcome in ("ok", "closed"):
        held = held and normal(value) == normal(case.value)
    if callable(case.asked):
        held = held and case.asked(asked)
    elif case.asked is not None:
        held = held and asked == case.asked
    return held, f"{outcome}: {message[:300]!r}, {str(value)[:300]}, asked {str(asked)[:300]}"


def call_words(case: Case) -> str:
    """The case's call as one line for a check in another language: NAME, then KEY=VALUE words,
    tab-separated and each value %-escaped (a pattern's steps as COLOUR:MS,...)."""
    def word(value):
        if isinstance(value, list):
            return ",".join(f"{colour}:{ms}" for colour, ms in value)
        return str(value)
    return "\t".join([case.name] + [f"{key}={urllib.parse.quote(word(value), safe='')}" for key, value in case.call.items()])


# The impostors ------------------------------------------------------------------------------

class Impostor:
    """A case's impostor at `path`, until its process ends; `asked` holds every line it read."""

    def __init__(self, path: str, answers):
        self.path = path
        self.answers = answers
        self.asked: List[str] = []
        self._lock = threading.Lock()
        self._delaying = 0
        if answers == PLAIN:
            open(path, "w").close()
        if answers in (ABSENT, PLAIN):
            return
        listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listener.bind(path)
        if answers == STALE:
            listener.close()
            return
        listener.listen()
        threading.Thread(target=self._accept, args=(listener,), daemon=True).start()

    def _ask(self, line: bytes) -> None:
        with self._lock:
            self.asked.append(line.decode(errors="replace") + (DURING_DELAY if self._delaying else ""))
            with open(self.path + ".asked", "a") as log:
                log.write(self.asked[-1] + "\n")

    def _accept(self, listener):
        while True:
            client, _ = listener.accept()
            threading.Thread(target=self._serve, args=(client,), daemon=True).start()

    def _serve(self, client):
        with client:
            if self.answers == RESET:
                self._ask(client.recv(65536, socket.MSG_PEEK).partition(b"\n")[0])
                return  # closed with the request unread
            pending = b""
            while True:
                try:
                    chunk = client.recv(65536)
                except OSError:
                    return
                if not chunk:
                    return
                pending += chunk
                while b"\n" in pending:
                    line, _, pending = pending.partition(b"\n")
                    self._ask(line)
                    reply = self.answers.get(line.split(b" ", 1)[0].decode(errors="replace"), self.answers.get("*", NEVER))
                    try:
                        client.sendall(reply.data)
                        if reply.later:
                            self._delay(reply.delay_s)
                            client.sendall(reply.later)
                        while reply.then == "trickle":
                            client.sendall(b"o")
                            time.sleep(0.2)
                    except OSError:
                        return
                    if reply.then == "close":
                        return

    def _delay(self, seconds: float) -> None:
        with self._lock:
            self._delaying += 1
        time.sleep(seconds)
        with self._lock:
            self._delaying -= 1


def start_all(folder: str, cases: List[Case]) -> Dict[str, Impostor]:
    """Each case's impostor, at FOLDER/NAME.sock; by the case's name."""
    return {case.name: Impostor(os.path.join(folder, case.name + ".sock"), case.answers) for case in cases}
