# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""The Board class: one open Zarvex board, driven through ``zarvex batch``.

A Board runs ``zarvex --json batch --keep-going`` as a co-process and talks
to it in lockstep: one command line out, one JSON line back. Every command
line is built here from checked Python values, so nothing a caller passes
reaches the batch unchecked.
"""

from __future__ import annotations

import collections
import dataclasses
import datetime
import enum
import json
import logging
import math
import numbers
import operator
import os
import re
import subprocess
import tempfile
import threading
import time
import tomllib
import weakref
from typing import Any, Callable, Iterator, Mapping, NoReturn, TypeGuard, overload

from ._process import detached, program_path
from .errors import (
    ConditionFailed,
    NoAnswer,
    PortLost,
    ProgramNotFound,
    UsageError,
    ZarvexError,
    _from_reply,
)

__all__ = ["Board", "BoardEvent", "Edge", "Port", "Reading", "Registers", "State"]


class Port(enum.StrEnum):
    """One of the board's three 8-line ports. ``Port.A == "A"``."""

    A = "A"
    B = "B"
    C = "C"


_LONGEST_MS = 2**31 - 1  # zarvex's longest duration, about 24.8 days
# What a call may take by itself, in seconds: a read-ports exchange is the 0.4 s
# deadline, after an earlier timeout behind a wait of up to 2 s for a quiet line;
# reaching a board on another machine takes up to 3 s.
_EXCHANGE = 0.4 + 2.0
_CONNECT = 3.0
_READS = ("read", "expect", "wait")  # the commands the board answers
_SELECTOR = re.compile(r"([ABC])(?:\.([0-7]))?\Z", re.IGNORECASE)
_NUMBER = r"0[xX][0-9a-fA-F]+|0[bB][01]+|[0-9]+"
_CONDITION = re.compile(rf"([ABC])(?:\.([0-7]))?(?:&({_NUMBER}))?=({_NUMBER})\Z", re.IGNORECASE)
_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_NAMED_CONDITION = re.compile(rf"([A-Za-z_][A-Za-z0-9_]*)=({_NUMBER})\Z")
_LINES = tuple(f"{port}.{bit}" for port in "ABC" for bit in range(8))


def _port_of(selector: Any) -> tuple[str, int | None]:
    """("A", None) for a port, ("A", 3) for the line "A.3"; UsageError otherwise."""
    if isinstance(selector, Port):
        return selector.value, None
    if isinstance(selector, str):
        m = _SELECTOR.match(selector)
        if m:
            return m.group(1).upper(), None if m.group(2) is None else int(m.group(2))
    raise UsageError(f"bad port or line {selector!r}: expected a port A, B, C or a line A.0 to C.7")


def _is_name(selector: Any) -> TypeGuard[str]:
    """A name from a board file: its form only; zarvex knows whether it is there."""
    return isinstance(selector, str) and bool(_NAME.match(selector)) and selector.upper() not in ("A", "B", "C")


def _selector(selector: Any) -> str:
    """"A", "A.3" or a name, as the batch line takes it; UsageError otherwise."""
    if _is_name(selector):
        return selector
    try:
        port, bit = _port_of(selector)
    except UsageError:
        raise UsageError(
            f"bad port, line or name {selector!r}: expected a port A, B, C, a line A.0 to C.7 or a name"
        ) from None
    return port if bit is None else f"{port}.{bit}"


def _line(selector: Any, what: str) -> str:
    """"A.3" or a name: one line."""
    target = _selector(selector)
    if len(target) == 1:
        raise UsageError(f"{what} needs a line such as 'A.3' or a name, not the port {selector!r}")
    return target


def _integer(value: Any) -> int | None:
    """A plain int of an int or an integer type (operator.index), never of a bool;
    lines are built from it, not from the caller's object and its own formatting."""
    if isinstance(value, bool):
        return None
    try:
        return operator.index(value)
    except TypeError:
        return None


def _byte(value: Any, what: str) -> int:
    number = _integer(value)
    if number is None or not 0 <= number <= 255:
        raise UsageError(f"bad value {value!r} for {what}: expected an int from 0 to 255")
    return number


def _bit(value: Any, what: str) -> int:
    number = int(value) if isinstance(value, bool) else _integer(value)
    if number not in (0, 1):
        raise UsageError(f"bad value {value!r} for {what}: expected 0 or 1")
    return number


_DIRECTIONS = {"in": 1, "out": 0}  # as zarvex dir spells them: A=in, A.3=out


def _assignment(command: str, target: Any, value: Any) -> str:
    where = _selector(target)
    whole = len(where) == 1
    if command == "dir" and isinstance(value, str):
        level = _DIRECTIONS.get(str.lower(value))
        if level is None:
            raise UsageError(f"bad direction {value!r} for {target}: expected 'in', 'out' or a number")
        return f"{where}=0x{0xFF * level:02X}" if whole else f"{where}={level}"
    if whole:
        return f"{where}=0x{_byte(value, where):02X}"
    return f"{where}={_bit(value, where)}"


def _assignments(command: str, args: tuple[Any, ...], ports: dict[str, Any]) -> str:
    if len(args) not in (0, 2):
        raise UsageError(f"{command}() takes a port and a value, or PORT=VALUE keywords")
    pairs = ([args] if args else []) + list(ports.items())
    if not pairs:
        raise UsageError(f"{command}() needs at least one PORT=VALUE")
    return " ".join([command] + [_assignment(command, t, v) for t, v in pairs])


def _number(text: str) -> int:
    return int(text, 0) if text[:2].lower() in ("0x", "0b") else int(text, 10)


def _condition(condition: Any) -> str:
    """The condition in zarvex's own form, checked: "A=0x5A", "A.3=1", "A&0xF0=0x50", "DONE=1"."""
    m = _CONDITION.match(condition) if isinstance(condition, str) else None
    named = None if m or not isinstance(condition, str) else _NAMED_CONDITION.match(condition)
    if named and _is_name(named.group(1)):
        if _number(named.group(2)) not in (0, 1):
            raise UsageError(f"bad condition {condition!r}: a line is compared with 0 or 1, without a mask")
        return f"{named.group(1)}={_number(named.group(2))}"
    if not m:
        raise UsageError(
            f"bad condition {condition!r}: expected e.g. 'A=0x5A', 'A.3=1', 'A&0xF0=0x50' or 'DONE=1'"
        )
    port, bit, mask, value = m.groups()
    port = port.upper()
    if bit is not None:
        if mask is not None or _number(value) not in (0, 1):
            raise UsageError(f"bad condition {condition!r}: a line is compared with 0 or 1, without a mask")
        return f"{port}.{bit}={_number(value)}"
    if _number(value) > 255 or (mask is not None and _number(mask) > 255):
        raise UsageError(f"bad condition {condition!r}: values are 0 to 255")
    masked = "" if mask is None else f"&0x{_number(mask):02X}"
    return f"{port}{masked}=0x{_number(value):02X}"


def _conditions(conditions: tuple[Any, ...], command: str) -> list[str]:
    if not conditions:
        raise UsageError(f"{command}() needs at least one condition, e.g. 'A.3=1'")
    return [_condition(c) for c in conditions]


def _milliseconds(seconds: Any, what: str, minimum_ms: int = 0) -> int:
    """Seconds as zarvex's whole milliseconds, rounded up (from whole
    microseconds) so that nothing is cut short; less than ``minimum_ms`` is
    refused rather than rounded up to it."""
    us = _integer(seconds)
    if us is not None:
        us *= 1_000_000
    elif isinstance(seconds, numbers.Real) and not isinstance(seconds, bool):
        try:
            us = round(float(seconds) * 1_000_000)
        except (OverflowError, ValueError):  # too large, infinite or not a number
            pass
    if us is None:
        raise UsageError(f"bad {what} {seconds!r}: expected a number of seconds")
    if not minimum_ms * 1000 <= us <= _LONGEST_MS * 1000:
        raise UsageError(
            f"bad {what} {seconds!r}: it must be at least {minimum_ms / 1000:g} s"
            f" and at most {_LONGEST_MS / 1000:.3f} s"
        )
    return -(-us // 1000)


def _time(text: Any) -> datetime.datetime | None:
    try:
        return datetime.datetime.fromisoformat(text)
    except (TypeError, ValueError):
        return None


@dataclasses.dataclass(frozen=True, slots=True)
class Reading:
    """What the three ports read at one moment (immutable).

    ``reading.a`` or ``reading[Port.A]`` or ``reading["A"]`` is port A's
    byte; ``reading["A.3"]`` is line A.3 (0 or 1). ``time`` is when zarvex
    took the reading (an aware datetime), or None if it did not say.
    ``names`` maps each line named in the board file to its level as
    asserted (1) or not (0), so ``reading["RESET_N"]`` is 1 when that
    active-low line reads low.
    """

    a: int
    b: int
    c: int
    time: datetime.datetime | None = None
    names: Mapping[str, int] = dataclasses.field(default_factory=dict, compare=False)

    def __getitem__(self, selector: Port | str) -> int:
        if isinstance(selector, str) and selector in self.names:
            return self.names[selector]
        port, bit = _port_of(selector)
        value = self.a if port == "A" else self.b if port == "B" else self.c
        return value if bit is None else (value >> bit) & 1

    def __str__(self) -> str:
        return f"A=0x{self.a:02X} B=0x{self.b:02X} C=0x{self.c:02X}"


@dataclasses.dataclass(frozen=True, slots=True)
class Registers:
    """One register of each port, as loaded in this batch; None if not yet known."""

    a: int | None
    b: int | None
    c: int | None

    def __getitem__(self, port: Port | str) -> int | None:
        name, bit = _port_of(port)
        if bit is not None:
            raise UsageError(f"a register is indexed by port, not by line: {port!r}")
        return self.a if name == "A" else self.b if name == "B" else self.c


@dataclasses.dataclass(frozen=True, slots=True)
class State:
    """The direction and write registers the Board has loaded (see Board.state)."""

    direction: Registers
    write: Registers


def _registers(values: Any) -> Registers:
    values = values if isinstance(values, dict) else {}
    return Registers(values.get("A"), values.get("B"), values.get("C"))


def _reading(reply: dict[str, Any]) -> Reading | None:
    """The whole reading of a reply ("inputs"; "values" when it holds every port)."""
    names = reply.get("names")
    names = {k: v for k, v in names.items() if type(v) is int} if type(names) is dict else {}
    for key in ("inputs", "values"):
        values = reply.get(key)
        if type(values) is dict:
            a, b, c = values.get("A"), values.get("B"), values.get("C")
            if type(a) is int and type(b) is int and type(c) is int:
                return Reading(a, b, c, _time(reply.get("time")), names)
    return None


@dataclasses.dataclass(frozen=True, slots=True)
class Edge:
    """One event of Board.edges(): a line's level at the start (``event``
    "initial") or a change of it ("edge"). ``line`` is "B.0"; ``name`` the
    board file's name of the line, or None; ``value`` its level, as asserted
    (1) or not when the line is named active low; ``time`` when the reading
    that showed it was taken (the first of ``stable`` equal ones)."""

    event: str
    line: str
    name: str | None
    value: int
    time: datetime.datetime | None

    @property
    def initial(self) -> bool:
        return self.event == "initial"

    def __str__(self) -> str:
        level = f"{self.line} {self.name}={self.value}" if self.name else f"{self.line}={self.value}"
        return level + (" initial" if self.initial else "")


@dataclasses.dataclass(frozen=True, slots=True)
class BoardEvent:
    """What a Board made with reconnect=True hears of its port: ``event``
    "gone" (``message`` says why) or "back"; ``time`` as zarvex reported it."""

    event: str
    message: str | None
    time: datetime.datetime | None


def _toml_string(text: str, what: str) -> str:
    out = []
    for ch in text:
        code = ord(ch)
        if 0xD800 <= code < 0xE000:
            raise UsageError(f"bad text {text!r} in {what}: it is not valid Unicode")
        out.append(f"\\u{code:04X}" if ch in '"\\' or code < 0x20 or code == 0x7F else ch)
    return '"' + "".join(out) + '"'


def _toml_value(value: Any, what: str) -> str:
    """``value`` as TOML, for zarvex to judge: every key and string quoted,
    so nothing in them can become more of the file."""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, str):
        return _toml_string(value, what)
    number = _integer(value)
    if number is not None:
        return str(number)
    if isinstance(value, float):
        return "nan" if math.isnan(value) else repr(value)
    if isinstance(value, Mapping):
        return "{ " + ", ".join(f"{_toml_key(k, what)} = {_toml_value(v, what)}" for k, v in value.items()) + " }"
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(_toml_value(v, what) for v in value) + "]"
    raise UsageError(f"bad value {value!r} in {what}: expected a line such as 'A.3' or a dict")


def _toml_key(key: Any, what: str) -> str:
    if not isinstance(key, str):
        raise UsageError(f"bad key {key!r} in {what}: keys are strings")
    return _toml_string(key, what)


def _lines_text(lines: Any) -> str:
    """The board file of a ``lines`` dict."""
    if not isinstance(lines, Mapping):
        raise UsageError(f"bad lines {lines!r}: expected a dict such as {{'DONE': 'B.0'}}")
    return "[lines]\n" + "".join(f"{_toml_key(k, 'lines')} = {_toml_value(v, 'lines')}\n" for k, v in lines.items())


def _private_file(text: str) -> str:
    fd, path = tempfile.mkstemp(prefix="zarvex-lines-", suffix=".toml")
    with open(fd, "w", encoding="utf-8", newline="\n") as file:
        file.write(text)
    return path


def _named_lines(table: Any) -> dict[str, str]:
    """Each name of a [lines] table and its line ("A.3"), of the forms zarvex takes."""
    named = {}
    if isinstance(table, Mapping):
        for name, value in table.items():
            line = value.get("line") if isinstance(value, Mapping) else value
            if isinstance(name, str) and isinstance(line, str) and _SELECTOR.match(line) and "." in line:
                named[name] = line.upper()
    return named


def _read_board_file(path: str) -> tuple[Any, dict[str, str]] | None:
    """A board file's device (None when it has none) and names; None when it
    cannot be read, so that zarvex says what is wrong with it."""
    try:
        with open(path, "rb") as file:
            # A byte-order mark, as some Windows editors write one: zarvex passes it over too.
            data = tomllib.loads(file.read().removeprefix(b"\xef\xbb\xbf").decode())
    except (OSError, ValueError):
        return None
    device = data.get("device")
    return (None if device in (None, "") else device), _named_lines(data.get("lines"))


_decode = json.JSONDecoder().raw_decode
_log = logging.getLogger("zarvex")
# Every Board opened and not yet collected, for the pytest plugin to close
# those a test left open; a labgrid driver takes its own out, for labgrid
# decides when those close.
_opened: weakref.WeakSet[Board] = weakref.WeakSet()


class _Overdue(Exception):
    """No reply came by the deadline."""


class _Watchdog:
    """Ends a zarvex that is past the deadline of the reply its Board awaits:
    SIGTERM, and SIGKILL 2 s later. One thread for all of them, running
    while any zarvex does. It looks at least every TICK seconds, and then
    sleeps until the nearest deadline it saw, so that a call sets its
    deadline without a system call and reads its reply as before."""

    TICK = 0.5

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.processes: set[_Process] = set()
        self.running = False

    def watch(self, process: _Process) -> None:
        with self.lock:
            self.processes.add(process)
            if not self.running:
                self.running = True
                threading.Thread(target=self._run, name="zarvex-watchdog", daemon=True).start()

    def forget(self, process: _Process) -> None:
        with self.lock:
            self.processes.discard(process)

    def _run(self) -> None:
        while True:
            with self.lock:
                if not self.processes:
                    self.running = False
                    return
                processes = list(self.processes)
            now = time.monotonic()
            wake = now + self.TICK
            for process in processes:
                wake = min(wake, process.expire(now))
            time.sleep(max(wake - now, 0.01))


_watchdog = _Watchdog()


class _Process:
    """The zarvex co-process and its pipes. Holds no reference to the Board,
    so that the Board's finalizer can end it."""

    STDERR_LINES = 20

    def __init__(self, args: list[str]) -> None:
        self.args = args
        self.proc = subprocess.Popen(
            args,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            **detached(),  # a Ctrl-C meant for Python does not cut a command short
        )
        assert self.proc.stdin and self.proc.stdout and self.proc.stderr
        _log.debug("%d: %s", self.proc.pid, " ".join(args))
        self.stdin_fd = self.proc.stdin.fileno()
        self.readline = self.proc.stdout.readline
        self.stderr_tail: collections.deque[str] = collections.deque(maxlen=self.STDERR_LINES)
        self.stderr_thread = threading.Thread(
            target=self._drain_stderr, args=(self.proc.stderr,), name="zarvex-stderr", daemon=True
        )
        self.stderr_thread.start()
        self.ending = threading.Lock()
        self.ended = False
        self.released = False
        # The watchdog's view: when the awaited reply is overdue, and what it did.
        self.watched = threading.Lock()
        self.deadline: float | None = None
        self.overdue = False
        self.kill_at = math.inf
        _watchdog.watch(self)

    def _drain_stderr(self, stream: Any) -> None:
        try:
            with stream:
                for line in stream:
                    text = line.decode("utf-8", "replace").rstrip()
                    self.stderr_tail.append(text)
                    _log.debug("%d: %s", self.proc.pid, text)
        except (OSError, ValueError):
            pass

    def send(self, data: bytes) -> None:
        try:
            while data:
                data = data[os.write(self.stdin_fd, data) :]
        except BrokenPipeError:
            pass  # zarvex has gone: reading says how

    def read_line(self, seconds: float | None) -> bytes:
        """The next line with its newline; at the end of zarvex's output, what
        came of an unfinished line (b"" for none). _Overdue when it does not
        come within ``seconds`` (None: no bound): zarvex has been ended."""
        if seconds is not None:
            self.deadline = time.monotonic() + seconds
        try:
            return self.readline()
        finally:
            with self.watched:
                self.deadline = None
                if self.overdue:
                    raise _Overdue

    def expire(self, now: float) -> float:
        """The watchdog's look: ends zarvex once the deadline has passed.
        Returns when to look again."""
        with self.watched:
            if not self.overdue:
                if self.deadline is None or now < self.deadline:
                    return math.inf if self.deadline is None else self.deadline
                self.overdue, self.kill_at = True, now + 2.0
                action = self.proc.terminate
            elif now >= self.kill_at:
                self.kill_at = math.inf
                action = self.proc.kill
            else:
                return self.kill_at
        try:
            action()
        except OSError:
            pass
        return self.kill_at

    def tail(self) -> str:
        self.stderr_thread.join(timeout=1.0)
        return "\n".join(self.stderr_tail)

    def end(self, graceful: bool = True, release: bool = True) -> int | None:
        """Ends zarvex: closing its input lets it finish the batch; then SIGTERM
        (it closes the port and goes at once), then SIGKILL. Idempotent.
        ``release`` closes the pipes too: never while another thread uses them."""
        proc = self.proc
        with self.ending:
            if not self.ended:
                self.ended = True
                steps: tuple[tuple[float, Callable[[], None] | None], ...]
                steps = ((2.0, None), (2.0, proc.terminate), (5.0, proc.kill))
                if graceful:
                    self._close(proc.stdin)
                else:
                    steps = steps[1:]
                for timeout, action in steps:
                    if action is not None and proc.poll() is None:
                        try:
                            action()
                        except OSError:
                            pass
                    try:
                        proc.wait(timeout=timeout)
                        break
                    except subprocess.TimeoutExpired:
                        continue
                _watchdog.forget(self)
            if release and not self.released:
                self.released = True
                self._close(proc.stdin)
                self._close(proc.stdout)
                self.stderr_thread.join(timeout=1.0)  # its pipe closes with zarvex
        return proc.returncode

    @staticmethod
    def _close(stream: Any) -> None:
        try:
            stream.close()
        except OSError:
            pass


def _remove(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass


def _ended_error(process: _Process, what: str, partial: bytes) -> ZarvexError:
    """The error for zarvex ending without a whole JSON reply, with the
    start of the line it left unfinished and its stderr tail."""
    code = process.end()
    if code is None:
        status, exit_code = "", None
    elif code < 0:
        status, exit_code = f" (killed by signal {-code})", 128 - code
    else:
        status, exit_code = f" (exit status {code})", code
    tail = process.tail()
    if exit_code == 2 and not partial and tail:
        # zarvex refused its command line or board file before writing anything: its own words
        return UsageError("\n".join(t.removeprefix("zarvex: ") for t in tail.splitlines()))
    message = f"zarvex ended{status} {what}"
    if partial:
        message += f" after writing {partial[:200]!r}"
    message += f": {tail}" if tail else ""
    if exit_code == 5:
        return PortLost(message, exit_code)
    return ZarvexError(message, exit_code)


class Board:
    """One Zarvex board, open until close().

    ``Board(port=3)`` opens port number 3 as zarvex names it, ``Board(device=
    "/dev/ttyUSB0")`` or ``Board(device="rfc2217://lab7:4003")`` a device or
    a board on another machine; with neither, zarvex's ZARVEX_PORT
    environment variable names it. ``program`` is the zarvex to run.

    Opening raises PortUnavailable (``.reason`` says why: "absent", "busy",
    "permission", ...) or UsageError; opening sends nothing to the board.
    A Board is a context manager; it is also closed when garbage-collected
    and at interpreter exit.

    As with the zarvex command line, dir(), write(), reset() and pulse()
    are checked: the read-ports exchange that follows them shows that the
    board is there, and they raise NoAnswer when it does not answer.
    ``check=False`` (zarvex's --no-check), here or on one call, leaves that
    out; close() then checks what went out unchecked since the board last
    answered, unless the Board was made with ``check=False``.

    No call waits for ever on a zarvex that hangs: each may take its own
    time (zarvex's 0.4 s reply deadline and its wait for a quiet line after
    a late reply, a pulse's duration, a wait's timeout, 3 s to reach a board
    on another machine) and ``margin`` seconds more; past that, zarvex is
    ended and ZarvexError raised. Only wait(timeout=None) has no bound.

    After PortLost (without reconnect), or zarvex ending, every call
    raises that error again.
    Calls from several threads are serialized.

    ``board_file`` names the lines of the rig (a TOML board file, as
    zarvex's ``--board`` takes; ZARVEX_BOARD when not given), or ``lines``
    gives its [lines] table as a dict: ``lines={"RESET_N": {"line": "A.3",
    "active_low": True, "direction": "out"}, "DONE": "B.0"}``. Names then
    stand wherever a line does, with their values asserted (1) or not:
    ``board.set("RESET_N", True)``, ``board.get("DONE")``, ``board.wait(
    "DONE=1", timeout=5)``. zarvex judges the file; when it refuses it,
    UsageError says "FILE:LINE: problem". The file's ``device`` is the
    board when neither port nor device is given. ``lines`` maps each name
    to its line ("A.3").

    ``reconnect=True`` keeps the Board through a lost port: zarvex opens
    it again every 250 ms until it is back (then runs the board file's
    setup again). The command that was running raises PortLost; the next
    waits, without a bound, for the port to come back. Each "gone" and
    "back" is logged (logger "zarvex", WARNING and INFO) and passed to
    ``on_event`` as a BoardEvent.

    ``path`` is the port as given, ``device`` the device it resolved to,
    ``number`` the port number if one was given. ``emulator`` is the
    Emulator behind the board when the zarvex_emulator fixture made it.
    """

    def __init__(
        self,
        port: int | None = None,
        device: str | os.PathLike[str] | None = None,
        program: str = "zarvex",
        *,
        check: bool = True,
        margin: float = 10.0,
        board_file: str | os.PathLike[str] | None = None,
        lines: Mapping[str, Any] | None = None,
        reconnect: bool = False,
        on_event: Callable[[BoardEvent], Any] | None = None,
    ) -> None:
        self.path: str | None = None
        self.device: str | None = None
        self.number: int | None = None
        self.emulator: Any = None
        self.lines: dict[str, str] = {}
        self._reconnect = bool(reconnect)
        self._on_event = on_event
        self._gone = False
        self._lines_file: str | None = None
        self._forget_lines_file: Callable[[], Any] = lambda: None
        self._lock = threading.Lock()
        self._owner: int | None = None  # the thread running a call
        self._closed = False
        self._dead: ZarvexError | None = None
        self._check = bool(check)
        self._unchecked = False  # commands went out since the board last answered
        self._line = 0  # the batch line last sent
        if isinstance(margin, bool) or not isinstance(margin, numbers.Real) or not 0 <= margin < math.inf:
            raise UsageError(f"bad margin {margin!r}: expected a number of seconds")
        self._margin: float = float(margin)

        # The Board makes the checks itself, one after each call that drives outputs.
        args = [program_path(program), "--json", "--no-check", "batch", "--keep-going"]
        if self._reconnect:
            args.append("--reconnect")
        if port is not None and device is not None:
            raise UsageError("give either port or device, not both")
        if board_file is not None and lines is not None:
            raise UsageError("give either board_file or lines, not both")
        # Only the names and the device are read here; zarvex judges the file.
        board: tuple[Any, dict[str, str]] | None = (None, {})
        lines_text = None
        if lines is not None:
            lines_text = _lines_text(lines)
            board = (None, _named_lines(lines))
        elif board_file is not None or os.environ.get("ZARVEX_BOARD"):
            path = os.fspath(board_file if board_file is not None else os.environ["ZARVEX_BOARD"])
            if not isinstance(path, str) or not path or "\0" in path:
                raise UsageError(f"bad board file {board_file!r}: expected a path")
            board = _read_board_file(path)
            if board_file is not None:
                args += ["--board", path]
        file_device = None if board is None else board[0]
        self.lines = {} if board is None else board[1]
        if port is None and device is None and not os.environ.get("ZARVEX_PORT") and board is not None:
            if file_device is None:
                raise UsageError(
                    "no port given: Board(port=N) or Board(device=PATH|URL), a board file's device,"
                    " or set ZARVEX_PORT"
                )
        if port is not None:
            number = _integer(port)
            if number is None or not 1 <= number <= 32767:
                raise UsageError(f"bad port number {port!r}: expected an int from 1 to 32767")
            args += ["-p", str(number)]
        elif device is not None:
            device = os.fspath(device)
            if not isinstance(device, str) or not device or "\0" in device:
                raise UsageError(f"bad device {device!r}: expected a path or URL")
            args += ["-d", device]
        named = device if port is None and device is not None else file_device or os.environ.get("ZARVEX_PORT", "")
        if lines_text is not None:
            self._lines_file = _private_file(lines_text)
            self._forget_lines_file = weakref.finalize(self, _remove, self._lines_file)
            args += ["--board", self._lines_file]
        try:
            self._process: _Process = _Process(args)
        except FileNotFoundError:
            self._forget_lines_file()
            raise ProgramNotFound(args[0], "is zarvex installed and on PATH?") from None
        except PermissionError as e:
            self._forget_lines_file()
            raise ZarvexError(f"cannot run {args[0]!r}: {e.strerror}") from None
        self._finalizer: weakref.finalize = weakref.finalize(self, self._process.end)

        try:
            opened = self._receive(None, _CONNECT if port is None and "://" in str(named) else 0.0)
        except UsageError as e:
            if self._lines_file is None:
                raise
            # The file is ours, not the caller's: its problem is told of the lines.
            where = re.escape(self._lines_file) + r"(?::\d+)?: "
            raise UsageError(re.sub(where, "lines: ", e.message)) from None
        if opened.get("type") != "open":
            self._fail(ZarvexError(f"zarvex answered {opened!r} instead of opening the port"))
        if not opened.get("ok", "exit" not in opened):
            self._close()
            raise _from_reply(opened)
        self.path = opened.get("path")
        self.device = opened.get("device")
        self.number = opened.get("number")
        _opened.add(self)

    # -- the exchange ----------------------------------------------------

    def _fail(self, error: ZarvexError) -> NoReturn:
        self._dead = error
        self._close()
        raise error

    def _receive(self, line: str | None, seconds: float | None) -> dict[str, Any]:
        """Sends ``line`` (None: nothing, the reply is the open) and reads one
        reply, for at most ``seconds`` (None: no bound) and the margin; the
        events that come before it are handled on the way, and while the
        port is gone there is no bound. Interrupted in between, the Board is
        closed rather than left out of step."""
        process = self._process
        debug = _log.isEnabledFor(logging.DEBUG)
        unsent = line
        while True:
            limit = None if seconds is None or self._gone else seconds + self._margin
            try:
                if unsent is not None:
                    if debug:
                        _log.debug("%d > %s", process.proc.pid, unsent)
                    process.send(unsent.encode("ascii") + b"\n")
                    unsent = None
                raw = process.read_line(limit)
            except _Overdue:
                process.end(graceful=False)
                what = "before opening the port" if line is None else f"to {line!r}"
                tail = process.tail()
                message = f"zarvex gave no reply {what} within {limit:g} s, and was ended"
                self._fail(ZarvexError(message + (f": {tail}" if tail else "")))
            except BaseException as e:
                if self._closed and isinstance(e, (OSError, ValueError)):
                    raise self._closed_during() from None
                self._abort()
                raise
            if debug:
                _log.debug("%d < %s", process.proc.pid, raw.rstrip(b"\r\n").decode("utf-8", "replace"))
            if not raw.endswith(b"\n"):
                if self._closed:
                    raise self._closed_during()
                what = "before opening the port" if line is None else f"without answering {line!r}"
                self._fail(_ended_error(process, what, raw))
            try:
                text = raw.decode()
                reply, end = _decode(text)
                if not text[end:].isspace():
                    reply = None
            except ValueError:
                reply = None
            if type(reply) is not dict:
                self._fail(ZarvexError(f"zarvex answered something that is not a JSON object: {raw[:200]!r}"))
            if reply.get("type") != "event" or line is None:
                return reply
            self._event(reply)

    def _event(self, reply: dict[str, Any]) -> None:
        """A "gone" or "back" of the port (only with --reconnect)."""
        event = BoardEvent(str(reply.get("event")), reply.get("message"), _time(reply.get("time")))
        if event.event == "gone":
            self._gone = True
            _log.warning("%s: board gone (%s)", self.path, event.message)
        elif event.event == "back":
            self._gone = False
            _log.info("%s: back", self.path)
        if self._on_event is not None:
            try:
                self._on_event(event)
            except Exception:  # the Board has a reply to read yet: it stays in step
                _log.exception("on_event raised")

    def _abort(self, release: bool = True) -> None:
        """Interrupted between a command and its reply: the batch cannot be
        trusted to stay in step, so zarvex is ended at once."""
        self._closed = True
        self._finalizer.detach()
        self._process.end(graceful=False, release=release)
        self._forget_lines_file()

    def _closed_during(self) -> ZarvexError:
        """close() from another thread ended zarvex under a running command."""
        self._process.end()
        return ZarvexError("the Board was closed during the command")

    def _exchange(
        self, line: str, kind: str, seconds: float | None = 0.0, check: bool | None = None
    ) -> dict[str, Any]:
        """Sends one batch line and returns its reply; raises on failure.
        ``seconds`` is the command's own time (see _receive); ``check``:
        whether a command that drives outputs is checked."""
        with self._lock:
            if self._dead is not None:
                raise type(self._dead)(self._dead.message, self._dead.exit_code)
            if self._closed:
                raise ZarvexError("the Board is closed")
            self._owner = threading.get_ident()
            try:
                try:
                    reply = self._command(line, kind, seconds)
                except ConditionFailed:
                    self._unchecked = False  # the board answered
                    raise
                if kind in _READS:
                    self._unchecked = False  # its answer is the check
                elif check:
                    self._verify(line)
                elif check is not None:
                    self._unchecked = True
                return reply
            finally:
                self._owner = None
                if self._closed:  # by close() from another thread: the pipes are let go here
                    self._process.end()

    def _command(self, line: str, kind: str, seconds: float | None) -> dict[str, Any]:
        self._line += 1
        reply = self._receive(line, seconds)
        # Each reply names the batch line it answers: one that is not this
        # command's means the batch and the Board are out of step.
        if reply.get("line") != self._line or reply.get("type") not in (kind, "error"):
            message = f"zarvex answered {line!r} with {reply!r}: out of step, the Board is closed"
            self._fail(ZarvexError(message))
        if reply.get("ok"):
            return reply
        if self._closed:
            raise self._closed_during()
        error = _from_reply(reply, _reading(reply))
        if (isinstance(error, PortLost) and not self._reconnect) or reply.get("exit", 0) >= 128:
            self._fail(error)  # the batch has ended
        raise error

    def _verify(self, what: str) -> None:
        """The check: one read-ports exchange, as zarvex makes after commands
        that drive outputs. A failure is reported once, here."""
        self._unchecked = False
        try:
            self._command("read", "read", _EXCHANGE)
        except NoAnswer as e:
            message = f"{what}: the commands were sent, but the check that follows them failed: {e.message}"
            raise NoAnswer(message, e.received) from None

    # -- life ------------------------------------------------------------

    def _close(self) -> None:
        self._closed = True
        self._finalizer.detach()
        self._process.end()
        self._forget_lines_file()

    def close(self) -> None:
        """Ends zarvex, which closes the port. Commands sent with check=False
        since the board last answered are checked first, and NoAnswer raised
        when that check fails (not when leaving a ``with`` block on an
        exception). Idempotent; quiet after a failure. Called while another
        thread runs a command, it ends zarvex at once and that command raises
        ZarvexError."""
        self._shut(check=self._check)

    def _shut(self, check: bool) -> None:
        if not self._lock.acquire(blocking=False):
            # A call is running: ending zarvex ends it, and it lets go of the
            # pipes; what it may have left open is closed here once it is over.
            self._abort(release=False)
            if self._owner == threading.get_ident() or not self._lock.acquire(timeout=10.0):
                return
        try:
            if check and self._unchecked and not self._closed:
                self._verify("close")
        finally:
            try:
                self._close()
            finally:
                self._lock.release()

    @property
    def pid(self) -> int:
        """The process id of this Board's zarvex."""
        return self._process.proc.pid

    @property
    def closed(self) -> bool:
        """True once the Board is closed or its zarvex has ended."""
        return self._closed or self._process.proc.poll() is not None

    def __enter__(self) -> Board:
        return self

    def __exit__(self, exc_type: object, *exc: object) -> None:
        self._shut(check=self._check and exc_type is None)

    def __repr__(self) -> str:
        state = "closed" if self._closed else "open"
        return f"<zarvex.Board {self.path!r} device={self.device!r} {state}>"

    # -- commands --------------------------------------------------------

    @overload
    def read(self) -> Reading: ...

    @overload
    def read(self, selector: Port | str, /) -> int: ...

    @overload
    def read(self, first: Port | str, second: Port | str, /) -> tuple[int, int]: ...

    @overload
    def read(self, first: Port | str, second: Port | str, third: Port | str, /) -> tuple[int, int, int]: ...

    @overload
    def read(self, *selectors: Port | str) -> Reading | int | tuple[int, ...]: ...

    def read(self, *selectors: Port | str) -> Reading | int | tuple[int, ...]:
        """Reads the three ports in one exchange.

        With no selector, returns a Reading; with one (``"A"``, ``Port.B``,
        ``"C.3"``, a name), its value as an int; with several, a tuple of
        ints in the order given: ``a, bit = board.read("A", "B.3")``.
        """
        if not selectors:
            reading = _reading(self._exchange("read", "read", _EXCHANGE))
            if reading is None:
                raise ZarvexError("zarvex's reply to read has no reading")
            return reading
        names = [_selector(s) for s in selectors]
        reply = self._exchange("read " + " ".join(names), "read", _EXCHANGE)
        values = reply.get("values") or {}
        reading = None
        result = []
        for name in names:
            value = values.get(name)
            if not isinstance(value, int):
                reading = reading or _reading(reply)
                if reading is None or (_is_name(name) and name not in reading.names):
                    raise ZarvexError(f"zarvex's reply to read has no value for {name}")
                value = reading[name]
            result.append(value)
        return result[0] if len(result) == 1 else tuple(result)

    def _checked(self, check: bool | None) -> bool:
        return self._check if check is None else bool(check)

    def dir(self, *port_value: Any, check: bool | None = None, **ports: int | str) -> None:
        """Sets directions: a 1 bit makes a line an input, a 0 an output;
        "in" and "out" say the same of a whole port or line.

        ``board.dir(A=0x0F, B="out")``, ``board.dir(Port.A, 0x0F)`` or, once
        the port's register is known in this Board (after reset() or a
        whole-port dir), one line: ``board.dir("A.3", "out")``. One command per
        assignment, in the order given, then the check (see Board).
        """
        self._exchange(_assignments("dir", port_value, ports), "dir", 0.0, self._checked(check))

    def write(self, *port_value: Any, check: bool | None = None, **ports: int) -> None:
        """Sets output values, like dir(): ``board.write(B=0x80)``,
        ``board.write("B.0", 1)`` (after the whole port is known)."""
        self._exchange(_assignments("write", port_value, ports), "write", 0.0, self._checked(check))

    def reset(self, *, check: bool | None = None) -> None:
        """Every line an input, every output 0 (six commands), then the check."""
        self._exchange("reset", "reset", 0.0, self._checked(check))

    @overload
    def pulse(self, line: str, seconds: float, /, *, check: bool | None = None) -> None: ...

    @overload
    def pulse(self, line: str, bit: int, duration: float, /, *, check: bool | None = None) -> None: ...

    def pulse(self, line: str, *level_and_seconds: Any, check: bool | None = None) -> None:
        """``pulse("RESET_N", 0.05)`` asserts a line or name for 0.05 s,
        then releases it; ``pulse("A.3", bit, duration)`` drives the line at
        ``bit`` for ``duration`` seconds, then at the other level. Then the
        check. The port's write register must be known (after setup(),
        reset() or a whole-port write). zarvex takes whole milliseconds: the
        duration is rounded up, never down, and one under 1 ms is refused
        rather than sent as a glitch."""
        if len(level_and_seconds) not in (1, 2):
            raise UsageError("pulse() takes a line and seconds, or a line, a level and seconds")
        target = _line(line, "pulse()")
        ms = _milliseconds(level_and_seconds[-1], "pulse duration", 1)
        if len(level_and_seconds) == 2:
            target += f"={_bit(level_and_seconds[0], target)}"
        elif not _is_name(target):
            target += "=1"  # a plain line is asserted high
        self._exchange(f"pulse {target} {ms}ms", "pulse", ms / 1000, self._checked(check))

    def set(self, line: str, value: bool, *, check: bool | None = None) -> None:
        """Asserts a name (True) or releases it (False): ``set("RESET_N",
        True)`` drives that active-low line low. A plain line ("A.3") is
        driven at the level given. The port's write register must be known,
        as for write(); then the check."""
        target = _line(line, "set()")
        self._exchange(f"write {target}={_bit(value, target)}", "write", 0.0, self._checked(check))

    def get(self, line: str) -> bool:
        """Whether a name is asserted (for a plain line: reads high)."""
        return bool(self.read(_line(line, "get()")))

    def setup(self, *, check: bool | None = None) -> None:
        """The board file's setup: each named output at its initial level,
        then the directions (named outputs out, every other line in); then
        the check. Its registers are known afterwards, so set() works."""
        self._exchange("setup", "setup", 0.0, self._checked(check))

    def edges(
        self,
        *selectors: Port | str,
        interval: float = 0.1,
        stable: int = 1,
        count: int | None = None,
        duration: float | None = None,
    ) -> Iterator[Edge]:
        """Watches lines for changes: a generator of Edge events, first the
        level of every line selected ("initial"), then one per change.

        Selectors are lines, ports (their eight lines) or names; none selects
        all 24 lines. The board is read every ``interval`` seconds through
        this Board's zarvex, which stays usable between events. A new level
        counts only after ``stable`` equal readings in a row, and its time
        is that of the first of them. It ends after ``count`` edges or
        ``duration`` seconds, whichever comes first; a lost port on a Board
        made with reconnect=True is waited out."""
        lines: list[tuple[str, str | None]] = []
        by_line = {line: name for name, line in self.lines.items()}
        for selector in selectors or ("A", "B", "C"):
            target = _selector(selector)
            if _is_name(target):
                if target not in self.lines:
                    raise UsageError(f"edges(): no line named {target!r} in the board file")
                chosen = [self.lines[target]]
            else:
                chosen = [f"{target}.{bit}" for bit in range(8)] if len(target) == 1 else [target]
            lines += [(line, by_line.get(line)) for line in chosen if line not in [l for l, _ in lines]]
        ms = _milliseconds(interval, "interval", 1)
        runs = _integer(stable)
        if runs is None or runs < 1:
            raise UsageError(f"bad stable {stable!r}: expected an int from 1")
        edges = None if count is None else _integer(count)
        if count is not None and (edges is None or edges < 1):
            raise UsageError(f"bad count {count!r}: expected an int from 1")
        end = None if duration is None else _milliseconds(duration, "duration") / 1000
        return self._edges(lines, ms / 1000, runs, edges, end)

    def _edges(
        self, lines: list[tuple[str, str | None]], interval: float, stable: int, count: int | None, end: float | None
    ) -> Iterator[Edge]:
        start = next_read = time.monotonic()
        levels: dict[str, int] = {}
        pending: dict[str, tuple[int, int, datetime.datetime | None]] = {}  # line: level, readings, time
        while count != 0:
            now = time.monotonic()
            if end is not None and levels and max(now, next_read) - start >= end:
                return  # after the initial levels, which are always given
            time.sleep(max(next_read - now, 0.0))
            next_read = max(next_read + interval, time.monotonic())
            try:
                reading = self.read()
            except PortLost:
                if not self._reconnect:
                    raise
                # The next read waits for the port to come back, and gives the levels
                # afresh: a change while the board was gone has no time to tell.
                levels.clear()
                pending.clear()
                continue
            for line, name in lines:
                if name is None:
                    value = reading[line]
                elif name in reading.names:
                    value = reading.names[name]
                else:
                    raise ZarvexError(f"zarvex's reading has no level for {name}")
                if line not in levels:
                    levels[line] = value
                    yield Edge("initial", line, name, value, reading.time)
                    continue
                if value == levels[line]:
                    pending.pop(line, None)
                    continue
                level, seen, first = pending.get(line, (value, 0, reading.time))
                if level != value:
                    seen, first = 0, reading.time
                if seen + 1 < stable:
                    pending[line] = (value, seen + 1, first)
                    continue
                pending.pop(line, None)
                levels[line] = value
                yield Edge("edge", line, name, value, first)
                if count is not None:
                    count -= 1
                    if count == 0:
                        return

    def state(self) -> State:
        """The direction and write registers loaded by this Board (None for
        a port not loaded yet: the board cannot report them)."""
        reply = self._exchange("state", "state")
        return State(_registers(reply.get("direction")), _registers(reply.get("write")))

    def expect(self, *conditions: str, any: bool = False) -> Reading:
        """Reads once and checks every condition (``any=True``: one of them).

        Conditions are strings: ``"A=0x5A"``, ``"A.3=1"``, ``"A&0xF0=0x50"``.
        Returns the Reading; raises ConditionFailed (with ``.reading``) when
        the conditions do not hold.
        """
        line = " ".join(["expect", *_conditions(conditions, "expect")] + (["--any"] if any else []))
        return self._reading_of(self._exchange(line, "expect", _EXCHANGE))

    def wait(
        self,
        *conditions: str,
        timeout: float | None,
        stable: int = 1,
        any: bool = False,
        interval: float | None = None,
    ) -> Reading:
        """Polls until the conditions hold in ``stable`` readings in a row.

        ``timeout`` and ``interval`` are in seconds (whole milliseconds are
        sent, rounded up); ``timeout=None`` waits for ever. Returns the Reading that
        made it; raises ConditionFailed when the time runs out.
        """
        words = ["wait", *_conditions(conditions, "wait")]
        ms = None if timeout is None else _milliseconds(timeout, "timeout")
        words += ["--timeout", "forever" if ms is None else f"{ms}ms"]
        count = _integer(stable)
        if count is None or count < 1:
            raise UsageError(f"bad stable {stable!r}: expected an int from 1")
        if count != 1:
            words += ["--stable", str(count)]
        if any:
            words.append("--any")
        if interval is not None:
            words += ["--interval", f"{_milliseconds(interval, 'interval', 1)}ms"]
        seconds = None if ms is None else ms / 1000 + _EXCHANGE
        return self._reading_of(self._exchange(" ".join(words), "wait", seconds))

    @staticmethod
    def _reading_of(reply: dict[str, Any]) -> Reading:
        reading = _reading(reply)
        if reading is None:
            raise ZarvexError(f"zarvex's {reply.get('type')} reply has no reading")
        return reading

