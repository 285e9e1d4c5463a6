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


class TooLong(Exception):
    """The peer sent more than any reply of the service's without a line feed."""


class Connection:
    """A connection that sends lines and reads lines, all within `timeout` seconds of its opening
    (None: no limit): one deadline for the whole call, however the service trickles its bytes. On
    Windows the pipe is read without a time limit."""

    def __init__(self, endpoint: str, timeout: Optional[float]):
        self._buffer = b""
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
        data = (line + "\n").encode()
        try:
            if self._socket is not None:
                self._socket.settimeout(self._left())
                self._socket.sendall(data)
            else:
                self._pipe.write(data)
        except socket.timeout as error:
            raise TimedOut() from error

    def receive_line(self, wait_for_ever: bool = False) -> Optional[str]:
        """The next line without its line feed; None when the connection ended first; TooLong past
        MAX_REPLY_BYTES. With `wait_for_ever`, this and every later read wait as long as it takes (a
        watcher's)."""
        if wait_for_ever:
            self._deadline = None
        while b"\n" not in self._buffer:
            if len(self._buffer) > MAX_REPLY_BYTES:
                raise TooLong()
            try:
                if self._socket is not None:
                    self._socket.settimeout(self._left())
                chunk = self._socket.recv(65536) if self._socket is not None else self._pipe.read(65536)
            except socket.timeout as error:
                raise TimedOut() from error
            except OSError:
                return None
            if not chunk:
                return None
            self._buffer += chunk
        line, _, self._buffer = self._buffer.partition(b"\n")
        return line.decode("utf-8", errors="replace")

    def close(self) -> None:
        self._close_quietly()

    def _close_quietly(self) -> None:
        for handle in (getattr(self, "_socket", None), getattr(self, "_pipe", None)):
            if handle is not None:
                try:
                    handle.close()
                except OSError:
                    pass
