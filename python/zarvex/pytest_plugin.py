# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""pytest plugin: fixtures for tests that drive a Zarvex board.

Installed with the package, pytest loads it by itself (or ``-p
zarvex.pytest_plugin``). Options:

    --zarvex-port N            the board as a port number
    --zarvex-device PATH|URL   the board as a device or rfc2217:// URL
    --zarvex-emulator PROGRAM  the board emulator (zarvex-board-emulator)
    --zarvex-board-file FILE   the rig's board file: its names, and its
                               device when no port is given

Without either of the first two, the board file's device or the ZARVEX_PORT
environment variable names the board. Both fixtures' Boards take the board
file (ZARVEX_BOARD when the option is not given).

Fixtures:

``zarvex_board``
    A Board on the named board; the test is skipped when none is named.
``zarvex_emulator``
    A Board on a fresh board emulator, which is ``board.emulator``. Its
    inputs come from ``@pytest.mark.zarvex_inputs(A=0x5A)``, or from
    ``request.param`` (a dict) with indirect parametrization::

        @pytest.mark.parametrize("zarvex_emulator", [{"A": 0x01}], indirect=True)
        def test_a(zarvex_emulator):
            assert zarvex_emulator.read("A") == 0x01

A Board that a test, or a function-scoped fixture, opens and leaves open is
closed when the test ends, also when it failed (pytest keeps a failed
test's frames, and with them the Board and its port's lock). A Board meant
to last longer is opened by a fixture of wider scope (``scope="session"``)
or held by a labgrid driver.
"""

from __future__ import annotations

import os
from typing import Iterator

import pytest

from .board import Board, _opened, _read_board_file
from .emulator import Emulator
from .errors import ZarvexError

NO_BOARD = (
    "no Zarvex board named: give --zarvex-port N, --zarvex-device PATH|URL, a board file with a device"
    " or set ZARVEX_PORT"
)
_CALL_FAILED = pytest.StashKey[bool]()


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("zarvex", "Zarvex board")
    group.addoption("--zarvex-port", type=int, metavar="N", help="the board's port number")
    group.addoption("--zarvex-device", metavar="PATH|URL", help="the board's device, rfc2217:// or socket:// URL")
    group.addoption(
        "--zarvex-emulator",
        metavar="PROGRAM",
        default="zarvex-board-emulator",
        help="the board emulator for the zarvex_emulator fixture (default: %(default)s)",
    )
    group.addoption(
        "--zarvex-board-file",
        metavar="FILE",
        help="the rig's board file (TOML): names of lines, and the board's device when no port is given",
    )


def pytest_configure(config: pytest.Config) -> None:
    config.addinivalue_line(
        "markers",
        "zarvex_inputs(A=0x5A, ...): what the emulated board's ports read, for the zarvex_emulator fixture",
    )
    if config.getoption("zarvex_port", None) is not None and config.getoption("zarvex_device", None):
        raise pytest.UsageError("give --zarvex-port or --zarvex-device, not both")


@pytest.fixture
def zarvex_board(request: pytest.FixtureRequest) -> Iterator[Board]:
    """A Board on the board named by --zarvex-port, --zarvex-device or ZARVEX_PORT."""
    port = request.config.getoption("zarvex_port")
    device = request.config.getoption("zarvex_device")
    board_file = _board_file(request.config)
    if port is None and not device and not os.environ.get("ZARVEX_PORT"):
        read = _read_board_file(board_file) if board_file else None
        # A board file that cannot be read is for zarvex to explain.
        if not board_file or (read is not None and read[0] is None):
            pytest.skip(NO_BOARD)
    with Board(port=port, device=device or None, board_file=board_file) as board:
        yield board


def _board_file(config: pytest.Config) -> str | None:
    return config.getoption("zarvex_board_file") or os.environ.get("ZARVEX_BOARD") or None


@pytest.fixture
def zarvex_emulator(request: pytest.FixtureRequest) -> Iterator[Board]:
    """A Board on a fresh board emulator (``board.emulator``); inputs from the
    zarvex_inputs marker or from indirect parametrization."""
    inputs = getattr(request, "param", None)
    if inputs is None:
        marker = request.node.get_closest_marker("zarvex_inputs")
        inputs = {} if marker is None else dict(*marker.args, **marker.kwargs)
    with Emulator(inputs=inputs, program=request.config.getoption("zarvex_emulator")) as emulator:
        with Board(device=emulator.device, board_file=_board_file(request.config)) as board:
            board.emulator = emulator
            yield board


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo[None]) -> Iterator[None]:
    outcome = yield
    if call.when == "call":
        item.stash[_CALL_FAILED] = outcome.get_result().failed  # type: ignore[attr-defined]


@pytest.fixture(autouse=True)
def _zarvex_close_what_the_test_opened(request: pytest.FixtureRequest) -> Iterator[None]:
    """Set up before the test's other function-scoped fixtures, and torn down
    after them: closes the Boards opened since and left open. After a failed
    test quietly; after a passed one with close()'s check."""
    before = set(_opened)
    yield
    left = [board for board in list(_opened) if board not in before and not board.closed]
    failed = request.node.stash.get(_CALL_FAILED, True)
    errors = []
    for board in left:
        try:
            board._shut(check=not failed and board._check)
        except ZarvexError as error:
            errors.append(error)
    if errors:
        raise errors[0]
