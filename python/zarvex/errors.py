# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""Exceptions raised by :mod:`zarvex`.

Every exception is a :class:`ZarvexError`, which carries the exit status that
``zarvex`` gave for the failure (``exit_code``) and its message for people
(``message``)::

    ZarvexError                 anything that went wrong
    +-- UsageError              a bad argument or command (also a ValueError)
    +-- PortUnavailable         the port could not be opened (.reason; also an OSError)
    +-- NoAnswer                the board did not answer within 0.4 s (also a TimeoutError)
    +-- PortLost                the port went away; the Board is done (also a ConnectionError)
    +-- ConditionFailed         expect() or wait() found the condition false
    +-- ProgramNotFound         the zarvex program is not there (also a FileNotFoundError)

So ``except OSError`` catches what a serial port's failures raise elsewhere:
PortUnavailable, NoAnswer and PortLost (with ``errno`` where one fits).
"""

from __future__ import annotations

import errno
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .board import Reading

__all__ = [
    "ZarvexError",
    "UsageError",
    "PortUnavailable",
    "NoAnswer",
    "PortLost",
    "ConditionFailed",
    "ProgramNotFound",
]


class ZarvexError(Exception):
    """Something went wrong talking to the board.

    ``exit_code`` is zarvex's exit status for this kind of failure (1 a
    condition is false, 2 usage, 3 cannot open, 4 no answer, 5 port lost,
    128+N interrupted by signal N), or None when zarvex gave none.
    ``message`` says what happened, for people.
    """

    def __init__(self, message: str, exit_code: int | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.exit_code = exit_code

    def __str__(self) -> str:
        return self.message


class UsageError(ZarvexError, ValueError):
    """A bad argument or command; nothing was sent to the board."""

    def __init__(self, message: str, exit_code: int | None = 2) -> None:
        super().__init__(message, exit_code)


_ERRNO = {
    "absent": errno.ENOENT,
    "busy": errno.EBUSY,
    "permission": errno.EACCES,
    "not-serial": errno.ENOTTY,
    "unreachable": errno.EHOSTUNREACH,
}


class PortUnavailable(ZarvexError, OSError):
    """The port could not be opened.

    ``reason`` is one of "absent", "busy", "permission", "not-serial",
    "unreachable" or "other"; ``path`` the port as given; ``pid`` and
    ``process`` name the holder of a busy port when zarvex knows it.
    ``errno`` is the matching error number (ENOENT, EBUSY, ...) or None.
    """

    def __init__(
        self,
        message: str,
        reason: str = "other",
        path: str | None = None,
        pid: int | None = None,
        process: str | None = None,
        exit_code: int | None = 3,
    ) -> None:
        super().__init__(message, exit_code)
        if reason in _ERRNO:
            self.errno = _ERRNO[reason]
        self.strerror = message
        self.reason = reason
        self.path = path
        self.pid = pid
        self.process = process


class NoAnswer(ZarvexError, TimeoutError):
    """The board gave no proper answer within 0.4 s.

    ``received`` is the number of bytes that came before the deadline.
    """

    def __init__(self, message: str, received: int | None = None, exit_code: int | None = 4) -> None:
        super().__init__(message, exit_code)
        self.errno = errno.ETIMEDOUT
        self.strerror = message
        self.received = received


class PortLost(ZarvexError, ConnectionError):
    """The port went away (board unplugged, device gone, connection dropped).

    The Board cannot be used any more: every later call raises PortLost too.
    Open a new Board; a labgrid ZarvexDriver is deactivated and activated
    again (``target.deactivate(driver)``, then ``target.activate(driver)``).
    """

    def __init__(self, message: str, exit_code: int | None = 5) -> None:
        super().__init__(message, exit_code)
        self.strerror = message


class ConditionFailed(ZarvexError):
    """expect() found a condition false, or wait() ran out of time.

    ``reading`` is the last :class:`~zarvex.Reading` (None if zarvex did not
    report one); ``values`` maps each selector of the conditions to what was
    read, e.g. ``{"A": 90, "B.3": 0}``.
    """

    def __init__(
        self,
        message: str,
        reading: Reading | None = None,
        values: dict[str, int] | None = None,
        exit_code: int | None = 1,
    ) -> None:
        super().__init__(message, exit_code)
        self.reading = reading
        self.values = dict(values or {})


class ProgramNotFound(ZarvexError, FileNotFoundError):
    """The program to run (zarvex or the emulator) was not found."""

    def __init__(self, program: str, hint: str = "") -> None:
        message = f"cannot run {program!r}: no such program"
        if hint:
            message += f" ({hint})"
        ZarvexError.__init__(self, message)
        self.errno = errno.ENOENT
        self.strerror = "No such file or directory"
        self.filename = program


def _from_reply(reply: dict[str, Any], reading: Reading | None = None) -> ZarvexError:
    """The exception for one failed JSON reply of zarvex."""
    code = reply.get("exit")
    message = str(reply.get("message") or "zarvex reported a failure")
    if code == 1:
        return ConditionFailed(message, reading, reply.get("values"))
    if code == 2:
        return UsageError(message)
    if code == 3:
        return PortUnavailable(
            message,
            reason=str(reply.get("reason", "other")),
            path=reply.get("path"),
            pid=reply.get("pid"),
            process=reply.get("process"),
        )
    if code == 4:
        return NoAnswer(message, received=reply.get("received"))
    if code == 5:
        return PortLost(message)
    return ZarvexError(message, code if isinstance(code, int) else None)
