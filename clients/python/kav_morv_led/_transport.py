"""One connection to the LED service: a UNIX socket on POSIX, a named pipe on Windows."""
from __future__ import annotations

import os
import socket
import sys
import time
from typing import Optional

IS_WINDOWS = sys.platform == "win32"
DEFAULT_ENDPOINT = "kav_morv_led" if IS_WINDOWS else "/run/kav_morv_led/led.sock"
HOW_TO_START = ("start it with 'net start kav_morv_led', or run 'kav_morv_led_service --foreground'" if IS_WINDOWS
                else "start it with 'systemctl start kav_morv_led', or run 'kav_morv_led_service --foreground'")
# More than any reply of the service's: a peer that sends more without a line feed is not it.
MAX_REPLY_BYTES = 4 << 20


def configured_endpoint(endpoint: Optional[str] = None) -> str:
    """The endpoint given, else KAV_MORV_LED_ENDPOINT, else the system's default."""
    return endpoint or os.environ.get("KAV_MORV_LED_ENDPOINT") or DEFAULT_ENDPOINT


def address(endpoint: str) -> str:
    """What an endpoint is on this system, for messages: the socket's path, or \\\\.\\pipe\\NAME."""
    return "\\\\.\\pipe\\" + endpoint if IS_WINDOWS else endpoint


class Unreachable(Exception):
    """The service could not be reached; `not_running` when nothing serves the endpoint."""

    def __init__(self, message: str, not_running: bool):
        super().__init__(message)
        self.not_running = not_running


class TimedOut(Exception):
    """The service did not answer in time."""


class NotALine(Exception):
    """The peer sent what is no line of the service's: longer than any reply, or not UTF-8."""


class Connection:
    """A connection that sends lines and reads lines, all within `timeout` seconds of its opening
    (None: no limit): one deadline for the whole call, however the service trickles its bytes. On
    Windows the pipe is read without a time limit."""

    def __init__(self, endpoint: str, timeout: Optional[float]):
        self._buffer = bytearray()
        self._deadline = None if timeout is None else time.monotonic() + timeout
        try:
            if IS_WINDOWS:
                self._pipe = open(address(endpoint), "r+b", buffering=0)
                self._socket = None
            else:
                self._socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self._socket.settimeout(self._left())
                self._socket.connect(endpoint)
        except (FileNotFoundError, ConnectionRefusedError) as error:
            self._close_quietly()
            raise Unreachable(f"{error.strerror or error}", not_running=True) from error
        except PermissionError as error:
            self._close_quietly()
            raise Unreachable(f"{error.strerror or error}: you may not use it", not_running=False) from error
        except (socket.timeout, TimedOut) as error:
            self._close_quietly()
            raise Unreachable("it accepted no connection in time", not_running=False) from error
        except OSError as error:
            self._close_quietly()
            raise Unreachable(f"{error.strerror or error}", not_running=False) from error

    def _left(self) -> Optional[float]:
        """The seconds left until the deadline (None: no deadline); TimedOut once it has passed."""
        if self._deadline is None:
            return None
        left = self._deadline - time.monotonic()
        if left <= 0:
            raise TimedOut()
        return left

    def send_line(self, line: str) -> None:
        """Sends a line; a peer that has gone shows in the next receive_line, as a connection ended."""
        data = (line + "\n").encode()
        try:
            if self._socket is not None:
                self._socket.settimeout(self._left())
                self._socket.sendall(data)
            else:
                self._pipe.write(data)
        except socket.timeout as error:
            raise TimedOut() from error
        except OSError:
            pass

    def receive_line(self, wait_for_ever: bool = False) -> Optional[str]:
        """The next line without its line feed (and a carriage return before it); None when the
        connection ended first, or was closed; NotALine past MAX_REPLY_BYTES, however the bytes
        came, or for a line that is not UTF-8. With `wait_for_ever`, this and every later read wait
        as long as it takes (a watcher's)."""
        if wait_for_ever:
            self._deadline = None
        searched = 0
        while True:
            end = self._buffer.find(b"\n", searched)
            if end > MAX_REPLY_BYTES or (end < 0 and len(self._buffer) > MAX_REPLY_BYTES):
                raise NotALine(f"a line longer than {MAX_REPLY_BYTES} bytes")
            if end >= 0:
                break
            searched = len(self._buffer)
            try:
                if self._socket is not None:
                    self._socket.settimeout(self._left())
                chunk = self._socket.recv(65536) if self._socket is not None else self._pipe.read(65536)
            except socket.timeout as error:
                raise TimedOut() from error
            except (OSError, ValueError):  # ValueError: a pipe closed meanwhile
                return None
            if not chunk:
                return None
            self._buffer += chunk
        line = bytes(self._buffer[:end])
        del self._buffer[:end + 1]
        try:
            return line.removesuffix(b"\r").decode("utf-8")
        except UnicodeDecodeError:
            raise NotALine("a line that is not UTF-8") from None

    def close(self) -> None:
        """Ends the connection, also under a receive_line waiting in another thread, which then
        returns None."""
        if self._socket is not None:
            try:
                self._socket.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
        self._close_quietly()

    def _close_quietly(self) -> None:
        for handle in (getattr(self, "_socket", None), getattr(self, "_pipe", None)):
            if handle is not None:
                try:
                    handle.close()
                except OSError:
                    pass
