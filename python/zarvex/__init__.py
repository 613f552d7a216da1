# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""Drive a Zarvex digital I/O board (ports A, B and C of eight lines each).

A Board keeps one ``zarvex batch`` running on an open port and sends it one
command at a time; the zarvex program must be on PATH (or given as
``program``). Values are ints; a direction bit of 1 makes a line an input.

Example::

    from zarvex import Board, ConditionFailed, Port

    with Board(port=3) as board:          # or device="/dev/ttyUSB0" or
        board.reset()                     # device="rfc2217://lab7:4003"
        board.dir(B=0x00)                 # port B: all outputs
        board.write(B=0x0F)
        board.pulse("B.7", 1, 0.02)       # B.7 high for 20 ms
        reading = board.read()            # Reading(a=90, b=15, c=0, time=...)
        print(reading.a, reading[Port.B], reading["C.3"])
        a, c3 = board.read("A", "C.3")
        board.expect("A=0x5A", "B&0x0F=0x0F")
        try:
            board.wait("C.0=1", timeout=2.0, stable=3)
        except ConditionFailed as e:
            print("C.0 stayed low:", e.reading)

With a board file (``Board(port=3, board_file="rig.toml")``, or its
[lines] table as ``lines={...}``) the rig's names stand for lines, their
values asserted or not::

    with Board(board_file="rig.toml") as board:   # the file's device
        board.setup()                     # named outputs at their initial levels
        board.pulse("RESET_N", 0.05)      # asserted for 50 ms, then released
        board.set("POWER", True)
        board.wait("DONE=1", timeout=5)
        for edge in board.edges("DONE", "B", stable=3, count=4):
            print(edge.time, edge.line, edge.name, edge.value)

dir(), write(), reset() and pulse() are checked as on the zarvex command
line: NoAnswer when the board does not answer the read-ports exchange after
them (``check=False`` leaves it out); so are set() and setup().

Errors are ZarvexError subclasses: UsageError (bad arguments, raised before
anything is sent), PortUnavailable (``.reason``: "absent", "busy", ...),
NoAnswer (also a TimeoutError), PortLost (also a ConnectionError),
ConditionFailed. The logger "zarvex" has every command and reply at DEBUG
level. For tests, the pytest plugin
(zarvex.pytest_plugin) gives the fixtures ``zarvex_board`` and
``zarvex_emulator``; zarvex.emulator.Emulator runs the board emulator.
"""

__version__ = "1.1"

from .board import Board, BoardEvent, Edge, Port, Reading, Registers, State
from .errors import (
    ConditionFailed,
    NoAnswer,
    PortLost,
    PortUnavailable,
    ProgramNotFound,
    UsageError,
    ZarvexError,
)

__all__ = [
    "Board",
    "BoardEvent",
    "Edge",
    "Port",
    "Reading",
    "Registers",
    "State",
    "ZarvexError",
    "UsageError",
    "PortUnavailable",
    "NoAnswer",
    "PortLost",
    "ConditionFailed",
    "ProgramNotFound",
]
