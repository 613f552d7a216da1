# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
import os
import subprocess
import tempfile

import pytest

from zarvex import Board, PortLost, UsageError
from zarvex.emulator import Emulator

RIG = {
    "RESET_N": {"line": "A.3", "active_low": True, "direction": "out", "initial": False},
    "POWER": {"line": "A.4", "direction": "out"},
    "DONE": "B.0",
}
# RESET_N released (A.3 high), POWER off; named outputs out, every other line in
SETUP = ["write-port A 08", "write-port B 00", "write-port C 00"] + [
    f"set-direction {p}" for p in ("A E7", "B FF", "C FF")
]
CHECK = "read-ports"
READ_NAMES = {"RESET_N": 1, "POWER": 0, "DONE": 1}


@pytest.fixture
def rig(request):
    marker = request.node.get_closest_marker("zarvex_inputs")
    with Emulator(inputs=dict(marker.kwargs) if marker else {}) as emulator:
        with Board(device=emulator.device, lines=RIG) as board:
            board.emulator = emulator
            yield board


def after_setup(action):
    def run(board):
        board.setup()
        return action(board)

    return run


NAMED = [
    ("setup", lambda b: b.setup(), SETUP + [CHECK], None),
    (
        "assert active low",
        after_setup(lambda b: b.set("RESET_N", True)),
        SETUP + [CHECK, "write-port A 00", CHECK],
        None,
    ),
    (
        "release",
        after_setup(lambda b: (b.set("RESET_N", 1), b.set("RESET_N", False))[0]),
        SETUP + [CHECK, "write-port A 00", CHECK, "write-port A 08", CHECK],
        None,
    ),
    ("write keyword", after_setup(lambda b: b.write(POWER=1)), SETUP + [CHECK, "write-port A 18", CHECK], None),
    (
        "pulse name",
        after_setup(lambda b: b.pulse("RESET_N", 0.02)),
        SETUP + [CHECK, "write-port A 00", "write-port A 08", CHECK],
        None,
    ),
    (
        "pulse name level",
        after_setup(lambda b: b.pulse("POWER", 1, 0.001)),
        SETUP + [CHECK, "write-port A 18", "write-port A 08", CHECK],
        None,
    ),
    # an output reads back what it drives: A.3 high is RESET_N released
    ("get active low", after_setup(lambda b: (b.get("RESET_N"), b.get("A.3"))), SETUP + [CHECK] * 3, (False, True)),
    ("read names", lambda b: b.read("DONE", "B.0", "B"), [CHECK], (1, 1, 0x81)),
    # before setup every line is an input reading 0: RESET_N asserted
    ("reading names", lambda b: (b.read()["DONE"], dict(b.read().names)), [CHECK] * 2, (1, READ_NAMES)),
    ("wait and expect", lambda b: (b.wait("DONE=1", timeout=1), b.expect("DONE=1", "B=0x81"))[1].b, [CHECK] * 2, 0x81),
    (
        "dir not inverted",
        after_setup(lambda b: b.dir("DONE", "out")),
        SETUP + [CHECK, "set-direction B FE", CHECK],
        None,
    ),
]


@pytest.mark.zarvex_inputs(B=0x81)
@pytest.mark.parametrize("action, sent, result", [n[1:] for n in NAMED], ids=[n[0] for n in NAMED])
def test_names_on_the_wire(rig, on_wire, action, sent, result):
    got, wire = on_wire(rig, action)
    assert [CHECK if s == CHECK and w.startswith(CHECK) else w for w, s in zip(wire, sent)] == sent
    assert len(wire) == len(sent)
    assert got == result


def test_refused_names_send_nothing_and_the_lines_file_goes_with_the_board(rig, on_wire):
    def all_refused(board):
        # the register is unknown before setup; NOPE is no name of the board file
        for action in (
            lambda b: b.set("RESET_N", True),
            lambda b: b.pulse("RESET_N", 0.01),
            lambda b: b.get("NOPE"),
            lambda b: b.wait("NOPE=1", timeout=1),
        ):
            with pytest.raises(UsageError):
                action(board)

    assert on_wire(rig, all_refused)[1] == []
    assert rig.lines == {"RESET_N": "A.3", "POWER": "A.4", "DONE": "B.0"}
    path = rig._lines_file
    assert os.path.exists(path)
    rig.close()
    assert not os.path.exists(path)


BAD_LINES = [
    ({"RESET_N": "A.9"}, 'lines: RESET_N: no line "A.9"; lines are A.0 to C.7'),
    ({"RESET_N": "A.3", "RST": "a.3"}, "lines: RST: A.3 is already named RESET_N"),
    ({"DONE": {"line": "B.0", "initial": True}}, "lines: DONE: an input has no initial level"),
    ({"b": "B.0"}, "lines: b: a name that could be read as a port"),
    ({"X=1": "B.0"}, "lines: X=1: a name is letters, digits and _, not beginning with a digit"),
    (
        {"RESET_N": {"line": "A.3", "activelow": True}},
        'lines: RESET_N: unknown key "activelow"; keys are line, active_low, direction, initial',
    ),
    ({"RESET_N": {"line": "A.3", "direction": "output"}}, 'lines: RESET_N: direction is "in" or "out", not "output"'),
    ({"X": 3}, 'lines: X: a line is "A.3" or a table { line = "A.3", ... }'),
    # quoted whole: neither a key nor a value can write more of the file
    ({'DONE = "B.0"\nPOWER': "A.4"}, None),
    ({"DONE": 'B.0"\nPOWER = "A.4'}, None),
]


@pytest.fixture(scope="module")
def spare():
    with Emulator(extra_args=("--quiet",)) as emulator:
        yield emulator


@pytest.mark.parametrize("lines, message", BAD_LINES)
def test_bad_lines_raise_zarvex_s_message(spare, lines, message, monkeypatch, tmp_path):
    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    with pytest.raises(UsageError) as caught:
        Board(device=spare.device, lines=lines)
    if message is not None:
        assert caught.value.message == message
    assert os.listdir(tmp_path) == []


def test_bad_board_file_is_named_with_its_line(spare, tmp_path):
    board_file = tmp_path / "rig.toml"
    board_file.write_text(f'device = "{spare.device}"\n[lines]\nRST = "A.3"\nRESET_N = "A.3"\n')
    with pytest.raises(UsageError) as caught:
        Board(board_file=board_file)
    assert caught.value.message == f"{board_file}:4: RESET_N: A.3 is already named RST"
    for lines in ({"X": None}, {3: "A.0"}, ["DONE"]):
        with pytest.raises(UsageError):
            Board(device=spare.device, lines=lines)
    with pytest.raises(UsageError, match="not both"):
        Board(device=spare.device, lines={}, board_file=board_file)


def test_board_file_gives_device_and_names(tmp_path, monkeypatch):
    monkeypatch.delenv("ZARVEX_PORT", raising=False)
    with Emulator(inputs={"B": 0x01}) as emulator:
        board_file = tmp_path / "rig.toml"
        # with a byte-order mark, as some editors save it; AB is a name, not a port
        board_file.write_bytes(f'\ufeffdevice = "{emulator.device}"\n[lines]\nDONE = "B.0"\nAB = "B.1"\n'.encode())
        with Board(board_file=board_file) as board:
            assert (board.device, board.lines) == (emulator.device, {"DONE": "B.0", "AB": "B.1"})
            assert (board.get("DONE"), board.read("AB")) == (True, 0)
        monkeypatch.setenv("ZARVEX_BOARD", str(board_file))
        with Board() as board:
            assert board.read("DONE") == 1


def test_edges_debounce_a_counting_port():
    # C counts up every 25 ms: C.0 holds a level 25 ms, C.3 200 ms
    with Emulator(extra_args=("--count", "C", "--count-interval", "25", "--quiet")) as emulator:
        with Board(device=emulator.device) as board:
            quick = list(board.edges("C.0", interval=0.002, count=4))
            # eight equal readings 20 ms apart take longer than C.0 holds a level
            slow = list(board.edges("C.0", "C.3", interval=0.02, stable=8, count=3))
            start = list(board.edges("C", "C.1", duration=0))
    assert [(e.line, e.event) for e in start] == [(f"C.{bit}", "initial") for bit in range(8)]
    assert len(quick) == 5 and [e.line for e in slow] == ["C.0", "C.3", "C.3", "C.3", "C.3"]
    for events, lines in ((quick, ["C.0"]), (slow, ["C.0", "C.3"])):
        initial = {e.line: e.value for e in events if e.initial}
        assert [e.event for e in events] == ["initial"] * len(lines) + ["edge"] * (len(events) - len(lines))
        assert list(initial) == lines and all(e.name is None for e in events)
        edges = events[len(lines) :]
        first = initial[edges[0].line]
        assert [e.value for e in edges] == [1 - first, first, 1 - first, first][: len(edges)]
        assert all(a.time < b.time for a, b in zip(events[len(lines) - 1 :], edges))


@pytest.mark.zarvex_inputs(B=0x01)
def test_edges_by_name_give_the_asserted_level(rig):
    rig.setup()
    start = list(rig.edges("RESET_N", "A.3", "DONE", "B.1", duration=0))
    assert [str(e) for e in start] == ["A.3 RESET_N=0 initial", "B.0 DONE=1 initial", "B.1=0 initial"]
    events = rig.edges("RESET_N", interval=0.001)
    assert next(events).value == 0
    rig.set("RESET_N", True)  # between events the Board is free
    edge = next(events)
    assert (edge.event, edge.line, edge.name, edge.value) == ("edge", "A.3", "RESET_N", 1)


def reconnects():
    help_text = subprocess.run(["zarvex", "help", "batch"], capture_output=True, text=True).stdout
    return "--reconnect" in help_text


@pytest.mark.skipif(not reconnects(), reason="this zarvex has no batch --reconnect")
def test_reconnect_reports_gone_and_back_and_sets_up_again(tmp_path):
    link = str(tmp_path / "board")
    events = []
    with Emulator(inputs={"B": 0x01}, extra_args=("--link", link)) as first:
        board = Board(device=link, lines=RIG, reconnect=True, on_event=events.append)
        board.setup()
        first.kill()
        with pytest.raises(PortLost):
            board.read()
        assert not board.closed
    with Emulator(inputs={"B": 0x00}, extra_args=("--link", link)) as second, board:
        assert board.get("DONE") is False and board.get("RESET_N") is False
        # nothing replayed: the setup of the board file, then readings
        commands = second.commands()
        assert commands[:6] == SETUP and all(c.startswith(CHECK) for c in commands[6:])
    assert [e.event for e in events] == ["gone", "back"] and events[0].message


@pytest.mark.skipif(not reconnects(), reason="this zarvex has no batch --reconnect")
def test_edges_start_afresh_after_the_board_came_back(tmp_path):
    link = str(tmp_path / "board")
    with Emulator(inputs={"B": 0x01}, extra_args=("--link", link)) as first:
        board = Board(device=link, lines=RIG, reconnect=True)
        events = board.edges("DONE", interval=0.01)
        assert (next(events).event, first.kill()) == ("initial", None)
    # what changed while the board was gone is no edge: its time is not known
    with Emulator(inputs={"B": 0x00}, extra_args=("--link", link)), board:
        event = next(events)
        assert (event.event, event.name, event.value) == ("initial", "DONE", 0)
