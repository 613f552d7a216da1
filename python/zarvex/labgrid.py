# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""labgrid driver for a Zarvex digital I/O board.

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
"""

import attr

from labgrid.driver.common import Driver
from labgrid.exceptions import InvalidConfigError
from labgrid.factory import target_factory
from labgrid.resource import NetworkSerialPort
from labgrid.step import step
from labgrid.util.proxy import proxymanager

from .board import Board, _opened

__all__ = ["ZarvexDriver"]

_SCHEMES = {"rfc2217": "rfc2217", "raw": "socket"}


@target_factory.reg_driver
@attr.s(eq=False)
class ZarvexDriver(Driver):
    """Drives a Zarvex board through ``zarvex``, one :class:`zarvex.Board` per activation.

    Args:
        program (str): the zarvex program to run, a name looked up in PATH or a path.

    The methods are those of :class:`zarvex.Board`, with ``registers()`` for its ``state()``;
    ``dir()``, ``write()``, ``reset()`` and ``pulse()`` are checked unless ``check=False``.
    They raise the Board's exceptions
    (:class:`zarvex.ConditionFailed`, :class:`zarvex.NoAnswer`, ...). Opening the port can fail
    on activation with :class:`zarvex.PortUnavailable`, for example while another client holds
    the board.
    """

    bindings = {"port": {"RawSerialPort", "USBSerialPort", "NetworkSerialPort"}}

    program = attr.ib(default="zarvex", validator=attr.validators.instance_of(str))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        if isinstance(self.port, NetworkSerialPort) and self.port.protocol not in _SCHEMES:
            raise InvalidConfigError(
                f"ZarvexDriver: NetworkSerialPort protocol {self.port.protocol!r} is neither "
                "'rfc2217' nor 'raw'"
            )
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

    def on_activate(self):
        self._board = Board(device=self.device, program=self.program)
        _opened.discard(self._board)  # it lasts until deactivation, not to the end of a test

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
    @step(args=["line", "bit", "duration", "check"])
    def pulse(self, line, bit, duration, *, check=None):
        """Drives ``line`` (``"A.3"``) to ``bit`` for ``duration`` seconds, then back."""
        return self._board.pulse(line, bit, duration, check=check)

    # Board.state() under another name: a driver's `state` is labgrid's binding state.
    @Driver.check_active
    @step(result=True)
    def registers(self):
        """What zarvex last sent, as ``Board.state()``: a :class:`zarvex.State` of direction
        and write registers."""
        return self._board.state()
