# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
# Run with the real zarvex and zarvex-board-emulator on PATH and -p zarvex.pytest_plugin.
import pytest

pytest_plugins = ["pytester"]

SENTINEL = "write-port C A5"


@pytest.fixture
def on_wire():
    """on_wire(board, action) runs action(board) and returns (its result, the
    commands the emulator logged for it). A write of C=0xA5 after it marks
    the end, so a command sent late or twice is not missed."""

    def run(board, action):
        start = len(board.emulator.commands())
        result = action(board)
        board.write(C=0xA5, check=False)  # unchecked: no read-ports follows it
        return result, board.emulator.wait_for(SENTINEL, start)[:-1]

    return run
