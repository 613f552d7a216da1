# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""Checks of a Zarvex board on a labgrid target. labgrid's `target` fixture is the lab's
"main" target; its ZarvexDriver drives the board, on the lines board.toml names."""

import pytest

from zarvex import ConditionFailed


@pytest.fixture
def board(target):
    zarvex = target.get_driver("ZarvexDriver")  # activating it opens the board and runs setup
    yield zarvex
    zarvex.setup()  # the named lines as board.toml starts them, every other line an input


def test_strapped_inputs(board):
    # Our rig straps port C to 0x5A; conftest.py gives the emulated board the same.
    assert board.read("C") == 0x5A
    board.expect("C.1=1", "C.0=0")
    board.wait("C.6=1", timeout=1.0, stable=2)
    with pytest.raises(ConditionFailed):
        board.expect("C=0xFF")


def test_outputs(board):
    board.dir(B=0x0F)  # a 1 bit makes a line an input: B.4 to B.7 drive, DONE (B.0) stays in
    board.write(B=0x50)
    board.pulse("B.7", 1, 0.02)  # B.7 high for 20 ms
    sent = board.registers()  # what zarvex sent last, per register
    assert sent.direction.b == 0x0F and sent.write.b == 0x50
