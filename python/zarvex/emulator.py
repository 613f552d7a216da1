# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""Runs the project's board emulator, for tests without a board.

    with Emulator(inputs={"A": 0x5A}) as emulator, Board(device=emulator.device) as board:
        board.write(B=0x05)
        emulator.wait_for("write-port B 05")

The emulator serves an emulated board on a pseudo-terminal and logs every
command it receives, decoded ("set-direction A FF", "write-port B 05",
"read-ports -> 5A 00 00"); commands() returns that log. Ser2net serves such
a device on 127.0.0.1 as a board on another machine would be served.
"""

from __future__ import annotations

import errno
import os
import re
import shutil
import socket
import tempfile
import subprocess
import threading
import time
import weakref
from typing import Any, Mapping

from .board import _byte, _port_of
from ._process import detached
from .errors import ProgramNotFound, UsageError, ZarvexError

__all__ = ["Emulator", "Ser2net"]

_REPEATED = re.compile(r"\(repeated (?:once more|(\d+) more times)\)")
_STAMP = re.compile(r"^\d+\.\d{6} ")  # --timestamps


def _end(proc: subprocess.Popen[bytes]) -> None:
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=5.0)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Emulator:
    """The project's board emulator on a fresh pseudo-terminal.

    ``inputs`` gives what each port reads on its input lines, e.g.
    ``{"A": 0x5A}`` (ports not named read 0); ``program`` is the emulator to
    run; ``extra_args`` are passed on (``("--reply", "silent")``,
    ``("--count", "C")``). Every read-ports is logged (``--verbose``) unless
    ``extra_args`` chooses ``--quiet``.

    ``device`` is the pseudo-terminal to open. A context manager; close()
    ends it, kill() ends it with SIGKILL as a board pulled out would go.
    """

    def __init__(
        self,
        inputs: Mapping[Any, int] | None = None,
        program: str = "zarvex-board-emulator",
        extra_args: tuple[str, ...] | list[str] = (),
    ) -> None:
        args = [os.fspath(program)]
        for port, value in (inputs or {}).items():
            name, bit = _port_of(port)
            if bit is not None:
                raise UsageError(f"inputs are given per port, not per line: {port!r}")
            args += ["--input", f"{name}={_byte(value, name):02X}"]
        extra = [str(a) for a in extra_args]
        if "--quiet" not in extra and "--verbose" not in extra:
            args.append("--verbose")
        args += extra
        try:
            self._proc = subprocess.Popen(
                args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, **detached()
            )
        except FileNotFoundError:
            raise ProgramNotFound(args[0], "build target zarvex-board-emulator, put it on PATH") from None
        self._finalizer = weakref.finalize(self, _end, self._proc)
        assert self._proc.stdout
        first = self._proc.stdout.readline().decode("utf-8", "replace").strip()
        if not first.startswith("/"):
            self._finalizer()
            raise ZarvexError(
                f"the emulator did not start (exit status {self._proc.returncode}): {first or 'no output'}"
            )
        self.device: str = first
        self._lines: list[str] = []
        self._changed = threading.Condition()
        self._reader = threading.Thread(
            target=self._drain, args=(self._proc.stdout,), name="zarvex-emulator-log", daemon=True
        )
        self._reader.start()

    def _drain(self, stream: Any) -> None:
        try:
            for raw in stream:
                line = raw.decode("utf-8", "replace").rstrip("\n")
                with self._changed:
                    self._lines.append(line)
                    self._changed.notify_all()
        except (OSError, ValueError):
            pass

    @property
    def pid(self) -> int:
        """The emulator's process id."""
        return self._proc.pid

    def commands(self) -> list[str]:
        """The decoded commands logged so far, one entry per command (a
        "(repeated N more times)" line stands for N copies of the line
        before it)."""
        return [command for _, command in self.timed_commands()]

    def timed_commands(self) -> list[tuple[float | None, str]]:
        """commands(), each with the seconds since the emulator started at
        which it came: started with ``extra_args=["--timestamps"]``, or else
        None. A repeated line's copies carry the time of the first."""
        with self._changed:
            lines = list(self._lines)
        commands: list[tuple[float | None, str]] = []
        for line in lines:
            stamp = _STAMP.match(line)
            at = float(stamp.group(0)) if stamp else None
            line = line[stamp.end() :] if stamp else line
            m = _REPEATED.fullmatch(line)
            if m and commands:
                count = int(m.group(1)) if m.group(1) else 1
                commands += [commands[-1]] * count
            else:
                commands.append((at, line))
        return commands

    def wait_for(self, command: str, start: int = 0, timeout: float = 10.0) -> list[str]:
        """Waits until ``command`` is logged at or after index ``start`` of
        commands(); returns commands()[start:] up to and including it.
        Raises ZarvexError if it is not logged within ``timeout`` seconds."""
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                commands = self.commands()[start:]
                if command in commands:
                    return commands[: commands.index(command) + 1]
                left = deadline - time.monotonic()
                if left <= 0 or not self._reader.is_alive():
                    raise ZarvexError(f"the emulator did not log {command!r}; it logged {commands!r}")
                self._changed.wait(left)

    def kill(self) -> None:
        """Ends the emulator at once (SIGKILL): its board vanishes."""
        if self._proc.poll() is None:
            self._proc.kill()
            self._proc.wait()

    def close(self) -> None:
        """Ends the emulator (SIGTERM). Idempotent."""
        self._finalizer()
        self._reader.join(timeout=5.0)
        if self._proc.stdout:
            self._proc.stdout.close()

    def __enter__(self) -> Emulator:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<zarvex.Emulator {self.device!r} pid={self._proc.pid}>"


def _listening(port: int) -> bool:
    with socket.socket() as probe:
        try:
            probe.bind(("127.0.0.1", port))
        except OSError as error:
            return error.errno == errno.EADDRINUSE
    return False


class Ser2net:
    """ser2net serving ``device`` on a free port of 127.0.0.1, as a rack
    host serves a board: ``protocol`` "rfc2217" (telnet with the com-port
    option) or "raw". ``url`` is what Board(device=...) takes:

        with Emulator() as emulator, Ser2net(emulator.device) as server:
            with Board(device=server.url) as board:
                board.read()

    ``program`` is the ser2net to run (found in PATH or /usr/sbin by
    default). A context manager; close() ends it.
    """

    ATTEMPTS = 3

    def __init__(self, device: str, protocol: str = "rfc2217", program: str | None = None) -> None:
        if protocol not in ("rfc2217", "raw"):
            raise UsageError(f"bad protocol {protocol!r}: expected 'rfc2217' or 'raw'")
        program = program or shutil.which("ser2net") or shutil.which("ser2net", path="/usr/sbin")
        if not program:
            raise ProgramNotFound("ser2net", "install the ser2net package")
        self.host, self.protocol = "127.0.0.1", protocol
        self._folder = tempfile.TemporaryDirectory(prefix="zarvex-ser2net-")
        # A free port found here may be taken by another program before ser2net binds it:
        # then another port is tried.
        for _ in range(Ser2net.ATTEMPTS):
            if self._launch(program, device):
                return
        self.close()
        raise ZarvexError(f"ser2net does not listen on {self.host}:{self.port}")

    def _launch(self, program: str, device: str) -> bool:
        with socket.socket() as probe:
            probe.bind((self.host, 0))
            self.port: int = probe.getsockname()[1]
        config = os.path.join(self._folder.name, "ser2net.yaml")
        accepter = "telnet(rfc2217),tcp" if self.protocol == "rfc2217" else "tcp"
        with open(config, "w", encoding="utf-8") as file:
            # chardelay off: replies are passed on at once, not gathered.
            file.write(
                f"connection: &board\n  accepter: {accepter},{self.host},{self.port}\n"
                f"  connector: serialdev,{device},9600n81,local\n"
                "  options:\n    chardelay: false\n    mdns: false\n"
            )
        pid = os.path.join(self._folder.name, "ser2net.pid")
        log = os.path.join(self._folder.name, "ser2net.log")
        # -n -d: in the foreground; -u: no lock files, the device is ours already.
        with open(log, "wb") as errors:
            self._proc = subprocess.Popen(
                [program, "-n", "-d", "-u", "-c", config, "-P", pid],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL,
                stderr=errors,
                **detached(),
            )
        self._finalizer = weakref.finalize(self, _end, self._proc)
        deadline = time.monotonic() + 5
        while not _listening(self.port):
            with open(log, "rb") as errors:
                taken = b"Address already in use" in errors.read()
            if taken or self._proc.poll() is not None or time.monotonic() > deadline:
                self._finalizer()
                return False
            time.sleep(0.01)
        return True

    @property
    def url(self) -> str:
        """``rfc2217://127.0.0.1:PORT`` or ``socket://127.0.0.1:PORT``."""
        scheme = "rfc2217" if self.protocol == "rfc2217" else "socket"
        return f"{scheme}://{self.host}:{self.port}"

    def close(self) -> None:
        """Ends ser2net (SIGTERM). Idempotent."""
        self._finalizer()
        self._folder.cleanup()

    def __enter__(self) -> Ser2net:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
