# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""labgrid drivers for a Zarvex digital I/O board.

Name the module in the environment's ``imports:`` and the driver next to the board's serial
port resource::

    imports:
      - zarvex.labgrid
    targets:
      main:
        resources:
          NetworkSerialPort: {host: lab7, port: 4003, protocol: rfc2217}
        drivers:
          ZarvexDriver: {}

The port may be a RawSerialPort or USBSerialPort on this machine, or a NetworkSerialPort served
by ser2net in telnet (``protocol: rfc2217``) or raw (``protocol: raw``) mode. Activating the
driver starts ``zarvex`` on the port; deactivating it ends zarvex and frees the port.

With a board file (``board_file:``, a path relative to the environment file) or the same table
inline (``lines:``), the lines have names, and activating the driver loads the named outputs'
initial levels and directions (zarvex's ``setup``). Each ZarvexOutputDriver is one line as
labgrid's DigitalOutputProtocol, for labgrid's power and reset drivers; all of them share the
one ZarvexDriver and its connection. Two drivers of one class on a target need a ``name``
each, and ``drivers:`` becomes a list; a driver bound to one of them names it in ``bindings``::

        drivers:
          - ZarvexDriver:
              board_file: board.toml      # or lines: {POWER: {line: A.4, direction: out}, ...}
          - ZarvexOutputDriver:
              name: power-line
              line: POWER                 # a name from the board file, or a line: A.4
          - ZarvexOutputDriver:
              name: reset-line
              line: RESET_N               # active low in the board file: True drives A.3 low
          - DigitalOutputPowerDriver:
              bindings: {output: power-line}
              delay: 2.0
          - DigitalOutputResetDriver:
              bindings: {output: reset-line}
              delay: 0.1

``invert: true`` makes ``set(True)`` drive a line's released level, as an active-low line
given as "A.3" needs. With several ZarvexDrivers on a target, each output driver names its
board: ``bindings: {board: NAME}``.
"""

import attr

from labgrid.driver.common import Driver
from labgrid.exceptions import InvalidConfigError
from labgrid.factory import target_factory
from labgrid.protocol import DigitalOutputProtocol
from labgrid.resource import NetworkSerialPort
from labgrid.step import step
from labgrid.util.proxy import proxymanager

from .board import Board, _opened

__all__ = ["ZarvexDriver", "ZarvexOutputDriver"]

_SCHEMES = {"rfc2217": "rfc2217", "raw": "socket"}


@target_factory.reg_driver
@attr.s(eq=False)
class ZarvexDriver(Driver):
    """Drives a Zarvex board through ``zarvex``, one :class:`zarvex.Board` per activation.

    Args:
        program (str): the zarvex program to run, a name looked up in PATH or a path.
        board_file (str): a board file naming the lines; relative to the environment file.
        lines (dict): the board file's ``[lines]`` table itself, instead of a file.

    The methods are those of :class:`zarvex.Board`, with ``registers()`` for its ``state()``;
    ``dir()``, ``write()``, ``reset()``, ``setup()``, ``set()`` and ``pulse()`` are checked
    unless ``check=False``. With names, activation runs ``setup()``.
    They raise the Board's exceptions
    (:class:`zarvex.ConditionFailed`, :class:`zarvex.NoAnswer`, ...). Opening the port can fail
    on activation with :class:`zarvex.PortUnavailable`, for example while another client holds
    the board.
    """

    bindings = {"port": {"RawSerialPort", "USBSerialPort", "NetworkSerialPort"}}

    program = attr.ib(default="zarvex", validator=attr.validators.instance_of(str))
    board_file = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    lines = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(dict)))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        if isinstance(self.port, NetworkSerialPort) and self.port.protocol not in _SCHEMES:
            raise InvalidConfigError(
                f"ZarvexDriver: NetworkSerialPort protocol {self.port.protocol!r} is neither "
                "'rfc2217' nor 'raw'"
            )
        if self.board_file is not None and self.lines is not None:
            raise InvalidConfigError("ZarvexDriver: give board_file or lines, not both")
        self._board = None

    @property
    def device(self):
        """The device path or URL zarvex opens: ``/dev/ttyUSB0``, ``rfc2217://lab7:4003``."""
        if not isinstance(self.port, NetworkSerialPort):
            return self.port.port
        # Through labgrid's ssh proxy when the exporter's host is not reachable directly.
        host, port = proxymanager.get_host_and_port(self.port)
        if ":" in host:  # IPv6, given as [::1]
            host = f"[{host}]"
        return f"{_SCHEMES[self.port.protocol]}://{host}:{port}"

    def _names(self):
        if self.lines is not None:
            return {"lines": self.lines}
        if self.board_file is None:
            return {}
        path = self.board_file
        if self.target.env is not None:
            path = self.target.env.config.resolve_path(path)
        return {"board_file": path}

    def on_activate(self):
        names = self._names()
        board = Board(device=self.device, program=self.program, **names)
        _opened.discard(board)  # it lasts until deactivation, not to the end of a test
        if names:
            # A one-line write needs its port's register known, and the outputs their direction.
            try:
                board.setup()
            except BaseException:
                board.close()
                raise
        self._board = board

    def on_deactivate(self):
        board, self._board = self._board, None
        if board is not None:
            board.close()

    @Driver.check_active
    @step(args=["selectors"], result=True)
    def read(self, *selectors):
        """Reads the inputs: a :class:`zarvex.Reading`, or the value of each selector
        (``"A"``, ``"B.3"``), one int or a tuple of them."""
        return self._board.read(*selectors)

    @Driver.check_active
    @step(args=["args", "ports"])
    def dir(self, *args, **ports):
        """Sets directions, a 1 bit making a line an input: ``dir(A=0xF0)``, ``dir("B.3", 0)``."""
        return self._board.dir(*args, **ports)

    @Driver.check_active
    @step(args=["args", "ports"])
    def write(self, *args, **ports):
        """Sets output values: ``write(A=0x01)``, ``write("B.3", 1)``."""
        return self._board.write(*args, **ports)

    @Driver.check_active
    @step(args=["check"])
    def reset(self, *, check=None):
        """Makes every line an input and every output value 0."""
        return self._board.reset(check=check)

    @Driver.check_active
    @step(args=["check"])
    def setup(self, *, check=None):
        """Loads the board file's initial levels of the named outputs and the directions."""
        return self._board.setup(check=check)

    @Driver.check_active
    @step(args=["line", "asserted", "check"])
    def set(self, line, asserted, *, check=None):
        """Asserts (True) or releases a name (``"POWER"``) or drives a line (``"A.3"``)."""
        return self._board.set(line, asserted, check=check)

    @Driver.check_active
    @step(args=["line"], result=True)
    def get(self, line):
        """Reads one name (True when asserted) or line (True when high)."""
        return self._board.get(line)

    @Driver.check_active
    @step(args=["conditions", "any"])
    def expect(self, *conditions, any=False):  # pylint: disable=redefined-builtin
        """Reads once and checks conditions such as ``"A=0x5A"`` or ``"B.3=1"``, all of them
        or with ``any=True`` one; returns the reading, raises ConditionFailed otherwise."""
        return self._board.expect(*conditions, any=any)

    @Driver.check_active
    @step(args=["conditions", "timeout", "stable", "any"])
    def wait(
        self, *conditions, timeout, stable=1, any=False, interval=None
    ):  # pylint: disable=redefined-builtin
        """Reads until the conditions hold in ``stable`` readings in a row, at most ``timeout``
        seconds (None: for ever); returns the last reading, raises ConditionFailed on timeout."""
        return self._board.wait(
            *conditions, timeout=timeout, stable=stable, any=any, interval=interval
        )

    @Driver.check_active
    @step(args=["line", "args", "check"])
    def pulse(self, line, *args, check=None):
        """``pulse("RESET_N", 0.05)`` asserts a name for 50 ms and releases it;
        ``pulse("A.3", 1, 0.05)`` drives a line to 1 for 50 ms, then back."""
        return self._board.pulse(line, *args, check=check)

    # Board.state() under another name: a driver's `state` is labgrid's binding state.
    @Driver.check_active
    @step(result=True)
    def registers(self):
        """What zarvex last sent, as ``Board.state()``: a :class:`zarvex.State` of direction
        and write registers."""
        return self._board.state()


@target_factory.reg_driver
@attr.s(eq=False)
class ZarvexOutputDriver(Driver, DigitalOutputProtocol):
    """One output line of a Zarvex board as labgrid's DigitalOutputProtocol.

    Args:
        line (str): a name from the ZarvexDriver's board file (``"POWER"``), or a line (``"A.4"``).
        invert (bool): ``set(True)`` drives the line's inactive level, and ``get()`` says so.

    ``set(True)`` asserts a name (on an active-low line: drives it low) or drives a line high;
    ``get()`` reads it back from the board. Bound to the target's ZarvexDriver, or the one
    named in ``bindings: {board: NAME}``.
    """

    bindings = {"board": "ZarvexDriver"}

    line = attr.ib(validator=attr.validators.instance_of(str))
    invert = attr.ib(default=False, validator=attr.validators.instance_of(bool))

    @Driver.check_active
    @step(args=["status"])
    def set(self, status):
        self.board.set(self.line, bool(status) != self.invert)

    @Driver.check_active
    @step(result=True)
    def get(self):
        return bool(self.board.get(self.line)) != self.invert
