"""The LED service's client: each call is one request of the protocol (protocol.md), its
arguments checked one by one and the line made from what they mean, and only a reply that parses as
one is believed."""
from __future__ import annotations

import contextlib
import json
import re
from dataclasses import dataclass
from typing import Iterator, Optional, Sequence, Tuple, Union

from . import _transport
from ._lease import Lease

COLORS = ("off", "red", "green", "blue", "white", "cb", "yellow", "purple")
DEFAULT_NAME = "default"
DEFAULT_PRIORITY = 100
DEFAULT_TIMEOUT_S = 10.0
DEFAULT_LEASE_MS = 30_000
_MIN_LEASE_MS = 1_000
_MAX_LINE_BYTES = 1024
_MAX_STEP_MS = 3_600_000
_MAX_FOR_MS = 2_147_483_647
_MAX_CYCLES = 1_000_000
_MAX_SEQ = 2**63 - 1  # as a signed 64-bit number holds it: at a thousand events a second, for 292 million years
_NAME = re.compile(r"[A-Za-z0-9._-]{1,64}")


class LedError(Exception):
    """Anything that kept a request from being done."""


class ServiceUnavailable(LedError):
    """The service could not be reached, or did not answer in time; the message says how to start
    it, or who may use it."""


class ServiceRefused(LedError):
    """The service answered with an error: `command` is the request's command word, `message` what
    the service said is wrong."""

    def __init__(self, command: str, message: str):
        super().__init__(f"the LED service refused {command}: {message}")
        self.command = command
        self.message = message


class ProtocolError(LedError):
    """The service answered something that is not a reply to the request."""


@dataclass(frozen=True)
class Step:
    color: str
    ms: int  # 0: a steady colour


@dataclass(frozen=True)
class Indication:
    name: str
    owner: str
    owner_id: str
    priority: int
    steps: Tuple[Step, ...]
    cycles: Optional[int]  # None: until replaced
    shows: str             # the colour it shows now
    left_ms: Optional[int]  # None: until replaced or cleared


@dataclass(frozen=True)
class Status:
    showing: Optional[str]  # the name of the indication shown; None with none
    owner: Optional[str]
    color: str
    read_back: Optional[str]  # what the LED's lines hold; None when it could not be read in time
    indications: Tuple[Indication, ...]


@dataclass(frozen=True)
class Event:
    seq: int
    event: str  # "set", "cleared", "expired", "ended" or "restored"
    name: str
    owner: str
    owner_id: str
    showing: Optional[str]  # the indication that shows after it, and whose; None with none
    showing_owner: Optional[str]
    color: str  # what the LED shows now


# Checking each argument on its own ------------------------------------------------------------

def _color(color: str) -> str:
    if not isinstance(color, str) or color.lower() not in COLORS:
        raise ValueError(f"unknown colour {color!r}; one of {', '.join(COLORS)}")
    return color.lower()


def _number(value: int, least: int, most: int, what: str) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not least <= value <= most:
        raise ValueError(f"{what} {value!r} is not a whole number from {least} to {most}")
    return value


def _name(name: str) -> str:
    if not isinstance(name, str) or not _NAME.fullmatch(name):
        raise ValueError(f"name {name!r} is not 1 to 64 letters, digits, '.', '_' or '-'")
    return name


def _owner(owner: str) -> str:
    if not isinstance(owner, str) or not 0 < len(owner.encode()) <= 256 or any(c <= " " or c == "\x7f" for c in owner):
        raise ValueError(f"owner {owner!r} is not a user's name or id (1 to 256 bytes, no spaces)")
    return owner


def _showing_options(name: str, priority: int, for_ms: Optional[int]) -> str:
    options = f" name={_name(name)} priority={_number(priority, 0, 255, 'priority')}"
    return options + ("" if for_ms is None else f" for={_number(for_ms, 1, _MAX_FOR_MS, 'for')}")


# Reading replies -----------------------------------------------------------------------------

def _is_color(value: object) -> bool:
    return isinstance(value, str) and value in COLORS


def _whole(value: object, least: int, most: int) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and least <= value <= most


def _whole_or_none(value: object, least: int, most: int) -> bool:
    return value is None or _whole(value, least, most)


def _text_or_none(value: object) -> bool:
    return value is None or isinstance(value, str)


def _not_json(constant: str) -> None:
    raise ValueError(f"{constant} is not JSON")


def _json(text: str) -> object:
    return json.loads(text, parse_constant=_not_json)


def _indication_of(entry: dict) -> Optional[Indication]:
    steps = tuple(Step(step["color"], step["ms"]) for step in entry["steps"])
    fits = (steps and all(_is_color(s.color) and _whole(s.ms, 0, _MAX_STEP_MS) for s in steps)
            and all(isinstance(entry[key], str) for key in ("name", "owner", "owner_id"))
            and _whole(entry["priority"], 0, 255) and _is_color(entry["shows"])
            and _whole_or_none(entry["cycles"], 1, _MAX_CYCLES) and _whole_or_none(entry["left_ms"], 0, _MAX_FOR_MS))
    return Indication(entry["name"], entry["owner"], entry["owner_id"], entry["priority"], steps, entry["cycles"],
                      entry["shows"], entry["left_ms"]) if fits else None


def _status_of(payload: str) -> Optional[Status]:
    try:
        status = _json(payload)
        if not isinstance(status["indications"], list):
            return None
        listed = tuple(_indication_of(entry) for entry in status["indications"])
        read_back = status["read_back"]
        if None in listed or not (_is_color(status["color"]) and (read_back in (None, "unknown") or _is_color(read_back))
                                  and _text_or_none(status["showing"]) and _text_or_none(status["owner"])):
            return None
        return Status(status["showing"], status["owner"], status["color"], read_back, listed)
    except (ValueError, KeyError, TypeError, AttributeError, RecursionError):
        return None


_EVENTS = ("set", "cleared", "expired", "ended", "restored")


def _event_of(line: str) -> Optional[Event]:
    if not line.startswith("event "):
        return None
    try:
        event = _json(line[len("event "):])
        fields = Event(event["seq"], event["event"], event["name"], event["owner"], event["owner_id"],
                       event["showing"], event["showing_owner"], event["color"])
    except (ValueError, KeyError, TypeError, RecursionError):
        return None
    texts = all(isinstance(text, str) for text in (fields.name, fields.owner, fields.owner_id))
    shown = _text_or_none(fields.showing) and _text_or_none(fields.showing_owner)
    known = isinstance(fields.event, str) and fields.event in _EVENTS
    return fields if known and texts and shown and _whole(fields.seq, 0, _MAX_SEQ) and _is_color(fields.color) else None


class Watch:
    """A watch on the service's changes, from Led.watch(): iterate it for each Event as it comes;
    close() (or the end of a with block), from any thread, ends it and closes its connection, and
    an iteration under way then stops."""

    def __init__(self, connection: _transport.Connection, where: str):
        self._connection: Optional[_transport.Connection] = connection
        self._where = where

    def __iter__(self) -> "Watch":
        return self

    def __next__(self) -> Event:
        connection = self._connection
        if connection is None:
            raise StopIteration
        try:
            line = connection.receive_line(wait_for_ever=True)
        except _transport.NotALine as error:
            self.close()
            raise ProtocolError(f"the LED service at {self._where} sent {error}") from None
        if line is None:
            if self._connection is None:
                raise StopIteration
            self.close()
            raise ServiceUnavailable(f"the LED service at {self._where} went away")
        event = _event_of(line)
        if event is None:
            self.close()
            raise ProtocolError(f"the LED service sent what is not an event: {line[:200]!r}")
        return event

    def close(self) -> None:
        connection, self._connection = self._connection, None
        if connection is not None:
            connection.close()

    def __enter__(self) -> "Watch":
        return self

    def __exit__(self, *exception) -> None:
        self.close()


class Led:
    """The LED, through the service at `endpoint` (else KAV_MORV_LED_ENDPOINT, else the system's
    default: the UNIX socket /run/kav_morv_led/led.sock, or the pipe \\\\.\\pipe\\kav_morv_led).
    Each call waits at most `timeout` seconds in all for the service (on POSIX)."""

    def __init__(self, endpoint: Optional[str] = None, timeout: float = DEFAULT_TIMEOUT_S):
        self.endpoint = _transport.configured_endpoint(endpoint)
        self.timeout = timeout

    def set(self, color: str, *, name: str = DEFAULT_NAME, priority: int = DEFAULT_PRIORITY,
            for_ms: Optional[int] = None) -> None:
        """Shows a steady colour under `name`, replacing what was there."""
        self._change("set", f"set {_color(color)}{_showing_options(name, priority, for_ms)}")

    def blink(self, color: str, on_ms: int = 500, off_ms: int = 500, *, name: str = DEFAULT_NAME,
              priority: int = DEFAULT_PRIORITY, for_ms: Optional[int] = None, count: Optional[int] = None) -> None:
        """Shows `color` for on_ms, then off for off_ms, `count` times or until replaced."""
        line = (f"blink {_color(color)} {_number(on_ms, 1, _MAX_STEP_MS, 'on time')} "
                f"{_number(off_ms, 1, _MAX_STEP_MS, 'off time')}{_showing_options(name, priority, for_ms)}")
        self._change("blink", line + ("" if count is None else f" count={_number(count, 1, _MAX_CYCLES, 'count')}"))

    def pattern(self, steps: Sequence[Union[Tuple[str, int], Step]], *, name: str = DEFAULT_NAME,
                priority: int = DEFAULT_PRIORITY, for_ms: Optional[int] = None, repeat: Optional[int] = None) -> None:
        """Shows each (colour, ms) step in turn, `repeat` times or for ever."""
        if not steps:
            raise ValueError("a pattern needs at least one step")
        words = [f"{_color(color)}:{_number(ms, 1, _MAX_STEP_MS, 'step time')}" for color, ms in
                 ((step.color, step.ms) if isinstance(step, Step) else step for step in steps)]
        line = f"pattern {' '.join(words)}{_showing_options(name, priority, for_ms)}"
        self._change("pattern", line + ("" if repeat is None else f" repeat={_number(repeat, 1, _MAX_CYCLES, 'repeat')}"))

    def clear(self, name: str = DEFAULT_NAME, *, owner: Optional[str] = None) -> None:
        """Withdraws your indication of `name` (or `owner`'s, for root, SYSTEM and Administrators)."""
        self._change("clear", f"clear name={_name(name)}" + ("" if owner is None else f" owner={_owner(owner)}"))

    def get(self) -> str:
        """The colour shown now."""
        payload = self._ask("get", "get")
        if not _is_color(payload):
            raise ProtocolError(f"the LED service answered {payload!r} to get")
        return payload

    def status(self) -> Status:
        """Every indication in force, the one showing, and what the LED reads back."""
        payload = self._ask("status", "status")
        status = _status_of(payload)
        if status is None:
            raise ProtocolError(f"the LED service answered what is not a status: {payload[:200]!r}")
        return status

    def watch(self) -> "Watch":
        """Each change from now on, as it happens: the watch is in place when this returns. Iterate
        it for the events, until the service goes away (then ServiceUnavailable); close it, from any
        thread, or use it in a with block, to end it."""
        connection = self._connect()
        try:
            payload = self._reply(connection, "watch", "watch")
            if payload:
                raise ProtocolError(f"the LED service answered {payload[:200]!r} to watch")
        except BaseException:
            connection.close()
            raise
        return Watch(connection, _transport.address(self.endpoint))

    @contextlib.contextmanager
    def indication(self, color: str, *, name: str = DEFAULT_NAME, priority: int = DEFAULT_PRIORITY,
                   for_ms: Optional[int] = None, lease_ms: int = DEFAULT_LEASE_MS) -> Iterator["Led"]:
        """Shows a steady colour while the block runs (for at most `for_ms`), and clears it after,
        however the block ends. A set that failed once sent, or was interrupted, may still be in
        force, so it is cleared then too before the exception goes on. What this program cannot
        clear (it was killed, the service could not be reached) ends on its own: the indication
        expires `lease_ms` after it was last set, and is set again every third of that while the
        block runs. A clear that fails raises once the block ended by itself; after an exception,
        that exception goes on."""
        # The arguments checked before anything is sent: when they are wrong, there is nothing to clear.
        _color(color)
        _showing_options(name, priority, for_ms)
        lease = Lease(_number(lease_ms, _MIN_LEASE_MS, _MAX_FOR_MS, "lease"), for_ms)
        try:
            self.set(color, name=name, priority=priority, for_ms=lease.first_ms)
        except BaseException:
            with contextlib.suppress(LedError):
                self.clear(name)
            raise
        # Each set again waits no longer than a third of a lease, so that a slow one leaves time for the next.
        again = Led(self.endpoint, lease_ms / 3000 if self.timeout is None else min(self.timeout, lease_ms / 3000))

        def set_again(ms: int) -> None:
            with contextlib.suppress(LedError):
                again.set(color, name=name, priority=priority, for_ms=ms)
        lease.keep(set_again)
        try:
            yield self
        except BaseException:
            lease.stop()
            with contextlib.suppress(LedError):
                self.clear(name)
            raise
        lease.stop()
        self.clear(name)

    # The conversation ------------------------------------------------------------------------

    def _connect(self) -> _transport.Connection:
        where = _transport.address(self.endpoint)
        try:
            return _transport.Connection(self.endpoint, self.timeout)
        except _transport.Unreachable as error:
            advice = f" Is it running? To {_transport.HOW_TO_START}." if error.not_running else ""
            raise ServiceUnavailable(f"cannot reach the LED service at {where} ({error}).{advice}") from None

    def _ask(self, command: str, line: str) -> str:
        if len(line.encode()) > _MAX_LINE_BYTES:
            raise ValueError(f"the request is longer than the {_MAX_LINE_BYTES} bytes the service takes in one line")
        connection = self._connect()
        try:
            return self._reply(connection, command, line)
        finally:
            connection.close()

    def _reply(self, connection: _transport.Connection, command: str, line: str) -> str:
        """The payload of the reply to `line`, which must be one to `command`."""
        where = _transport.address(self.endpoint)
        try:
            connection.send_line(line)
            reply = connection.receive_line()
        except _transport.TimedOut:
            raise ServiceUnavailable(f"the LED service at {where} did not answer within {self.timeout} s") from None
        except _transport.NotALine as error:
            raise ProtocolError(f"the LED service at {where} answered {error} to {command}") from None
        if reply is None:
            raise ServiceUnavailable(f"the LED service at {where} closed the connection without a reply")
        if reply == "ok":
            return ""
        if reply.startswith("ok ") and len(reply) > 3:
            return reply[3:]
        found = re.fullmatch(r"error (\S+) (.+)", reply)
        if found and found.group(1) in (command, "-"):
            raise ServiceRefused(found.group(1), found.group(2))
        raise ProtocolError(f"the LED service at {where} answered what is not a reply to {command}: {reply[:200]!r}")

    def _change(self, command: str, line: str) -> None:
        payload = self._ask(command, line)
        if payload:
            raise ProtocolError(f"the LED service answered {payload[:200]!r} to {command}")
