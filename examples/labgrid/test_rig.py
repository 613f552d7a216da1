# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""Checks of a Zarvex board on a labgrid target. labgrid's `target` fixture is the lab's
"main" target; its ZarvexDriver drives the board."""

import pytest

from zarvex import ConditionFailed


@pytest.fixture
def board(target):
    zarvex = target.get_driver("ZarvexDriver")  # activating it opens the board
    zarvex.reset()
    yield zarvex
    zarvex.reset()


def test_strapped_inputs(board):
    # Our rig straps port A to 0x5A; conftest.py gives the emulated board the same.
    assert board.read("A") == 0x5A
    board.expect("A.1=1", "A.0=0")
    board.wait("A.6=1", timeout=1.0, stable=2)
    with pytest.raises(ConditionFailed):
        board.expect("A=0xFF")


def test_outputs(board):
    board.dir(B=0xF0)  # a 1 bit makes a line an input: B.0 to B.3 drive
    board.write(B=0x05)
    board.dir("C.3", 0)
    board.pulse("C.3", 1, 0.02)  # C.3 high for 20 ms
    sent = board.registers()  # what zarvex sent last, per register
    assert sent.direction.b == 0xF0 and sent.write.b == 0x05
