# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
import pytest

from zarvex.emulator import Emulator

PLUGIN = ("-p", "zarvex.pytest_plugin", "-p", "no:cacheprovider", "--strict-markers", "-rs")

BOARD_TEST = """
def test_board(zarvex_board):
    assert zarvex_board.read("A") == 0x3C
"""


def test_zarvex_board_skips_without_a_board(pytester, monkeypatch):
    monkeypatch.delenv("ZARVEX_PORT", raising=False)
    pytester.makepyfile(BOARD_TEST)
    result = pytester.runpytest(*PLUGIN)
    result.assert_outcomes(skipped=1)
    result.stdout.fnmatch_lines(["*SKIPPED*no Zarvex board named: give --zarvex-port N, --zarvex-device PATH|URL*"])


def test_zarvex_board_opens_the_named_board(pytester, monkeypatch):
    pytester.makepyfile(BOARD_TEST)
    with Emulator(inputs={"A": 0x3C}) as emulator:
        pytester.runpytest(*PLUGIN, "--zarvex-device", emulator.device).assert_outcomes(passed=1)
        monkeypatch.setenv("ZARVEX_PORT", emulator.device)
        pytester.runpytest(*PLUGIN).assert_outcomes(passed=1)
    both = pytester.runpytest(*PLUGIN, "--zarvex-port", "3", "--zarvex-device", "x")
    assert both.ret == pytest.ExitCode.USAGE_ERROR


def test_zarvex_emulator_inputs_from_marker_and_parametrize(pytester):
    pytester.makepyfile(
        """
        import pytest

        @pytest.mark.zarvex_inputs(A=0x5A, C=0x81)
        def test_marker(zarvex_emulator):
            assert zarvex_emulator.read().a == 0x5A and zarvex_emulator.read("C") == 0x81
            assert zarvex_emulator.emulator.device == zarvex_emulator.device

        def test_default(zarvex_emulator):
            assert zarvex_emulator.read("A") == 0

        @pytest.mark.parametrize(
            "zarvex_emulator, a_b",
            [({"A": 0x01}, (0x01, 0)), ({"b": 0xFF}, (0, 0xFF))],
            indirect=["zarvex_emulator"],
        )
        def test_param(zarvex_emulator, a_b):
            assert zarvex_emulator.read("A", "B") == a_b
        """
    )
    pytester.runpytest(*PLUGIN).assert_outcomes(passed=4)


def test_zarvex_emulator_program_option(pytester):
    pytester.makepyfile("def test_e(zarvex_emulator):\n    pass\n")
    result = pytester.runpytest(*PLUGIN, "--zarvex-emulator", "no-such-emulator")
    result.assert_outcomes(errors=1)
    result.stdout.fnmatch_lines(["*cannot run 'no-such-emulator'*"])


LEFT_OPEN = """
import pytest
from zarvex import Board

@pytest.fixture(scope="session")
def lasting():
    with Board(device={other!r}) as board:
        yield board

def test_fails_with_a_board_open(lasting):
    board = Board(device={device!r})
    assert board.read("A") == 0x01

def test_opens_the_same_port(lasting):
    with Board(device={device!r}) as board:
        assert board.read("A") == 0x3C
    assert not lasting.closed
"""


def test_a_board_a_failed_test_left_open_is_closed(pytester):
    with Emulator(inputs={"A": 0x3C}) as emulator, Emulator() as other:
        pytester.makepyfile(LEFT_OPEN.format(device=emulator.device, other=other.device))
        pytester.runpytest(*PLUGIN).assert_outcomes(failed=1, passed=1)


NAMED_TEST = """
def test_board(zarvex_board):
    assert zarvex_board.lines == {"DONE": "B.0"} and zarvex_board.get("DONE")

def test_emulator(zarvex_emulator):
    assert zarvex_emulator.lines == {"DONE": "B.0"} and not zarvex_emulator.get("DONE")
"""


def test_zarvex_board_file_option(pytester, monkeypatch):
    monkeypatch.delenv("ZARVEX_PORT", raising=False)
    monkeypatch.delenv("ZARVEX_BOARD", raising=False)
    pytester.makepyfile(NAMED_TEST)
    with Emulator(inputs={"B": 0x01}) as emulator:
        rig = pytester.path / "rig.toml"
        rig.write_text(f'device = "{emulator.device}"\n[lines]\nDONE = "B.0"\n')
        pytester.runpytest(*PLUGIN, "--zarvex-board-file", str(rig)).assert_outcomes(passed=2)
        rig.write_text('[lines]\nDONE = "B.0"\n')
        pytester.runpytest(*PLUGIN, "--zarvex-board-file", str(rig)).assert_outcomes(passed=1, skipped=1)
        given = pytester.runpytest(*PLUGIN, "--zarvex-board-file", str(rig), "--zarvex-device", emulator.device)
        given.assert_outcomes(passed=2)
