# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
import contextlib
import errno
import gc
import json
import logging
import os
import signal
import sys
import threading

import pytest

from zarvex import (
    Board,
    ConditionFailed,
    NoAnswer,
    Port,
    PortLost,
    PortUnavailable,
    Reading,
    Registers,
    State,
    UsageError,
    ZarvexError,
)
from zarvex.emulator import Emulator

RESET = [f"set-direction {p} FF" for p in "ABC"] + [f"write-port {p} 00" for p in "ABC"]
READ = "read-ports -> 5A 00 00"
WHOLE = Reading(0x5A, 0, 0)
CHECK = "read-ports"  # the check after outputs were driven, whatever it reads


class Sly(int):
    """An int that would write itself as more batch lines."""

    def __format__(self, how):
        return "01\nreset"

    def __str__(self):
        return "1\nread"


class Index:
    """An integer type that is no int, as numpy's are."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def after_reset(action):
    def run(board):
        board.reset()
        return action(board)

    return run


WIRE = [
    ("read", lambda b: b.read(), [READ], WHOLE),
    ("read selectors", lambda b: b.read("a", Port.A, "A.3", "A.0"), [READ], (0x5A, 0x5A, 1, 0)),
    ("read one", lambda b: b.read("B"), [READ], 0),
    ("reset", lambda b: b.reset(), RESET + [CHECK], None),
    ("dir keywords", lambda b: b.dir(A=0x0F, b=0xFF), ["set-direction A 0F", "set-direction B FF", CHECK], None),
    ("dir pair", lambda b: b.dir(Port.C, 0), ["set-direction C 00", CHECK], None),
    ("dir words", lambda b: b.dir(B="out", c="IN"), ["set-direction B 00", "set-direction C FF", CHECK], None),
    ("write", lambda b: b.write(A=0x01), ["write-port A 01", CHECK], None),
    ("write 255", lambda b: b.write("B", 255), ["write-port B FF", CHECK], None),
    ("write unchecked", lambda b: b.write(A=0x02, check=False), ["write-port A 02"], None),
    ("write sly", lambda b: b.write(A=Sly(1), B=Index(0x80)), ["write-port A 01", "write-port B 80", CHECK], None),
    ("write line", after_reset(lambda b: b.write("A.3", 1)), RESET + [CHECK, "write-port A 08", CHECK], None),
    ("dir line", after_reset(lambda b: b.dir("B.0", False)), RESET + [CHECK, "set-direction B FE", CHECK], None),
    ("dir line word", after_reset(lambda b: b.dir("B.0", "out")), RESET + [CHECK, "set-direction B FE", CHECK], None),
    (
        "pulse",
        after_reset(lambda b: b.pulse("B.0", 1, 0.02)),
        RESET + [CHECK, "write-port B 01", "write-port B 00", CHECK],
        None,
    ),
    (
        "pulse sly",
        after_reset(lambda b: b.pulse("B.0", Sly(1), 0.001, check=False)),
        RESET + [CHECK, "write-port B 01", "write-port B 00"],
        None,
    ),
    (
        "pulse low unchecked",
        after_reset(lambda b: (b.write(B=0xFF, check=False), b.pulse("B.7", 0, 0.001, check=False))[0]),
        RESET + [CHECK, "write-port B FF", "write-port B 7F", "write-port B FF"],
        None,
    ),
    (
        "pulse seconds",
        after_reset(lambda b: b.pulse("b.0", 0.02)),
        RESET + [CHECK, "write-port B 01", "write-port B 00", CHECK],
        None,
    ),
    ("set line", after_reset(lambda b: b.set("A.3", True)), RESET + [CHECK, "write-port A 08", CHECK], None),
    ("get line", lambda b: (b.get("A.3"), b.get("A.0")), [READ] * 2, (True, False)),
    ("state", lambda b: b.state(), [], State(*[Registers(None, None, None)] * 2)),
    ("expect", lambda b: b.expect("A=0x5A", "a&0xf0=0x50", "A.1=1"), [READ], WHOLE),
    ("expect any", lambda b: b.expect("A=0", "B=0", any=True), [READ], WHOLE),
    ("wait", lambda b: b.wait("A.3=1", timeout=1), [READ], WHOLE),
    ("wait stable", lambda b: b.wait("A=90", timeout=None, stable=3, interval=0.001), [READ] * 3, WHOLE),
    ("wait sly", lambda b: b.wait("A=90", timeout=Index(1), stable=Sly(2)), [READ] * 2, WHOLE),
]


@pytest.mark.zarvex_inputs(A=0x5A)
@pytest.mark.parametrize("action, sent, result", [w[1:] for w in WIRE], ids=[w[0] for w in WIRE])
def test_commands_on_the_wire(zarvex_emulator, on_wire, action, sent, result):
    got, wire = on_wire(zarvex_emulator, action)
    assert [CHECK if s == CHECK and w.startswith(CHECK) else w for w, s in zip(wire, sent)] == sent
    assert len(wire) == len(sent)
    if isinstance(result, Reading):
        assert (got.a, got.b, got.c) == (result.a, result.b, result.c)
        assert got.time is not None and got.time.tzinfo is not None
    else:
        assert got == result


@pytest.mark.zarvex_inputs(A=0x5A)
def test_state_and_reading_follow_the_registers(zarvex_emulator):
    board = zarvex_emulator
    board.reset()
    board.dir(A=0x0F)
    board.write(A=0x30)
    board.write("A.7", 1)
    state = board.state()
    assert (state.direction[Port.A], state.direction["b"], state.write.a) == (0x0F, 0xFF, 0xB0)
    reading = board.read()
    assert reading.a == 0xBA == reading["A"] and (reading["A.7"], reading["A.6"]) == (1, 0)
    assert str(reading) == "A=0xBA B=0x00 C=0x00"


BAD = [
    lambda b: b.write(A=256),
    lambda b: b.write(A=-1),
    lambda b: b.write(D=1),
    lambda b: b.write(A="0x01"),
    lambda b: b.write(A=True),
    lambda b: b.write(A="out"),
    lambda b: b.dir(A="input"),
    lambda b: b.write("A.3", 2),
    lambda b: b.write(),
    lambda b: b.write("A"),
    lambda b: b.dir("A.8", 1),
    lambda b: b.dir(**{"A=1\nreset\nwrite B": 1}),
    lambda b: b.read("D"),
    lambda b: b.read("A\nreset"),
    lambda b: b.expect(),
    lambda b: b.expect("A=0x5A\nreset"),
    lambda b: b.expect("A=0x100"),
    lambda b: b.expect("A.1=2"),
    lambda b: b.wait("A=1", timeout=-1),
    lambda b: b.wait("A=1", timeout=float("nan")),
    lambda b: b.wait("A=1", timeout=1, interval=0),
    lambda b: b.wait("A=1", timeout=1, stable=0),
    lambda b: b.wait("A=1", timeout=1, stable=True),
    lambda b: b.wait("A=1", timeout=10**400),
    lambda b: b.wait("A=1", timeout=1e300),
    lambda b: b.pulse("A.3", 1, 10**400),
    lambda b: b.pulse("A", 1, 0.1),
    lambda b: b.pulse("A.3", 1, "1s"),
    lambda b: b.pulse("A.3"),
    lambda b: b.pulse("A.3", 1, 0.1, 2),
    lambda b: b.set("A", True),
    lambda b: b.set("A.3", 2),
    lambda b: b.get("B"),
    lambda b: b.read("DONE=1"),
    lambda b: b.wait("DONE=2", timeout=1),
    lambda b: b.expect("DONE&1=1"),
    lambda b: b.edges("A.8"),
    lambda b: b.edges(stable=0),
    lambda b: b.edges(count=0),
    lambda b: b.edges("DONE"),  # no board file names it
    # refused by zarvex itself: the rest of port A's write register is not known yet
    lambda b: b.write("A.3", 1),
    lambda b: b.pulse("A.3", 1, 0.01),
]


# refused once the registers are known: a pulse is never cut down to a glitch
GLITCHES = [lambda b: b.pulse("A.3", 1, 0), lambda b: b.pulse("A.3", 1, 0.0004)]


@pytest.mark.zarvex_inputs(A=0x5A)
def test_commands_and_replies_are_logged(zarvex_emulator, caplog):
    with caplog.at_level(logging.DEBUG, logger="zarvex"):
        zarvex_emulator.reset(check=False)
        zarvex_emulator.pulse("A.0", 1, 0.0015)  # whole milliseconds, never fewer
    sent = [m.split(" > ")[1] for m in caplog.messages if " > " in m]
    replies = [m.split(" < ")[1] for m in caplog.messages if " < " in m]
    assert sent == ["reset", "pulse A.0=1 2ms", "read"]
    assert [json.loads(r)["line"] for r in replies] == [1, 2, 3]


def test_bad_arguments_send_nothing(zarvex_emulator, on_wire):
    def all_bad(board, actions):
        for action in actions:
            with pytest.raises(UsageError) as caught:
                action(board)
            assert isinstance(caught.value, ValueError) and caught.value.exit_code == 2

    _, wire = on_wire(zarvex_emulator, lambda b: all_bad(b, BAD))
    assert wire == []
    on_wire(zarvex_emulator, Board.reset)  # logged whole before the next start
    _, wire = on_wire(zarvex_emulator, lambda b: all_bad(b, GLITCHES))
    assert wire == []


@pytest.mark.zarvex_inputs(A=0x5A)
def test_condition_failed_carries_the_reading(zarvex_emulator):
    for action in (lambda b: b.expect("A=0x00"), lambda b: b.wait("A.0=1", "B=1", timeout=0.01, any=True)):
        with pytest.raises(ConditionFailed) as caught:
            action(zarvex_emulator)
        assert caught.value.exit_code == 1 and caught.value.reading.a == 0x5A
    assert caught.value.values == {"A.0": 0, "B": 0}
    assert zarvex_emulator.read("A") == 0x5A  # still in step


@pytest.mark.parametrize("reply, received", [("silent", 0), ("short", 2), ("double", 6)])
def test_bad_replies_raise_no_answer(reply, received):
    with Emulator(extra_args=("--reply", reply)) as emulator, Board(device=emulator.device) as board:
        for _ in range(2):  # the Board stays usable
            with pytest.raises(NoAnswer) as caught:
                board.read()
            assert (caught.value.exit_code, caught.value.received) == (4, received)
            assert isinstance(caught.value, TimeoutError)


# Commands that drive outputs are checked by the read-ports exchange that follows them.
DRIVE = [
    Board.reset,
    lambda b: b.write(A=0x01),
    lambda b: b.dir("A.3", 0),
    lambda b: b.pulse("A.3", 1, 0.001),
]


def test_outputs_driven_on_a_dead_board_raise_no_answer():
    with Emulator(extra_args=("--reply", "silent")) as emulator:
        with Board(device=emulator.device) as board:
            for action in DRIVE:
                with pytest.raises(NoAnswer, match="check") as caught:
                    action(board)
                assert (caught.value.exit_code, caught.value.received) == (4, 0)
            board.write(A=0x02, check=False)
            with pytest.raises(NoAnswer):
                board.close()  # the check of what went out unchecked
        with Board(device=emulator.device, check=False) as board:
            for action in DRIVE:
                action(board)
        with pytest.raises(KeyError):  # a failure in flight is not hidden by the check
            with Board(device=emulator.device) as board:
                board.write(A=0x03, check=False)
                raise KeyError("in flight")
        assert board.closed


def test_open_failures(tmp_path, monkeypatch):
    with Emulator() as emulator, Board(device=emulator.device) as first:
        with pytest.raises(PortUnavailable) as busy:
            Board(device=emulator.device)
        assert (busy.value.reason, busy.value.pid, busy.value.process) == ("busy", first.pid, "zarvex")
    missing = str(tmp_path / "no-board")
    with pytest.raises(PortUnavailable) as absent:
        Board(device=missing)
    assert (absent.value.reason, absent.value.path, absent.value.exit_code) == ("absent", missing, 3)
    assert isinstance(absent.value, OSError) and absent.value.errno == errno.ENOENT
    monkeypatch.delenv("ZARVEX_PORT", raising=False)
    with pytest.raises(UsageError, match=r"no port given: Board\(port=N\) or Board\(device=PATH\|URL\)"):
        Board()
    with pytest.raises(UsageError):
        Board(port=1, device=missing)
    with pytest.raises(FileNotFoundError, match="no-such-zarvex"):
        Board(device=missing, program=str(tmp_path / "no-such-zarvex"))


def wait_then(board, action):
    """Runs action() once the emulator has logged a read-ports of a running wait."""
    start = len(board.emulator.commands())
    thread = threading.Thread(target=lambda: (board.emulator.wait_for(READ, start), action()))
    thread.start()
    return thread


@pytest.mark.zarvex_inputs(A=0x5A)
def test_board_killed_during_wait_is_port_lost(zarvex_emulator):
    board = zarvex_emulator
    thread = wait_then(board, board.emulator.kill)
    with pytest.raises(PortLost) as caught:
        board.wait("A=0x00", timeout=None)
    thread.join()
    assert caught.value.exit_code == 5 and board.closed and isinstance(caught.value, ConnectionError)
    with pytest.raises(PortLost):
        board.read()
    board.close()


def interrupt(board):
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)


@pytest.mark.zarvex_inputs(A=0x5A)
@pytest.mark.parametrize("stop, error", [(interrupt, KeyboardInterrupt), (Board.close, ZarvexError)])
def test_stopped_during_wait_closes_the_board(zarvex_emulator, stop, error):
    board = zarvex_emulator
    thread = wait_then(board, lambda: stop(board))
    with pytest.raises(error):
        board.wait("A=0x00", timeout=None)
    thread.join()
    with pytest.raises(ZarvexError, match="closed"):
        board.read()
    with Board(device=board.device) as again:  # zarvex is gone and the port free
        assert again.read("A") == 0x5A


def test_zarvex_ending_reports_status_and_stderr():
    with Emulator() as emulator, Board(device=emulator.device) as board:
        with pytest.raises(ConditionFailed):
            board.expect("A=0x01")
        os.kill(board.pid, signal.SIGKILL)
        os.waitid(os.P_PID, board.pid, os.WEXITED | os.WNOWAIT)
        assert board.closed
        with pytest.raises(ZarvexError, match=r"killed by signal 9.*expected A=0x01") as caught:
            board.read()
        assert caught.value.exit_code == 128 + 9
        with pytest.raises(ZarvexError, match="killed"):
            board.reset()
        board.close()


def test_close_and_garbage_collection_free_the_port():
    with Emulator() as emulator:
        board = Board(device=emulator.device)
        board.close()
        board.close()
        with pytest.raises(ZarvexError, match="closed"):
            board.read()
        Board(device=emulator.device)  # dropped at once
        gc.collect()
        with Board(device=emulator.device) as board:
            board.read()


# Stand-ins for a broken zarvex: what it does after the open line, and what the Board raises.
OPENED = "print(json.dumps(dict(type='open', ok=True, path='shim', device='shim')), flush=True)\n"
READING = "dict(type='read', ok=True, inputs=dict(A=0, B=0, C=0))"
BROKEN = [
    ("hangs before opening", "time.sleep(600)", "no reply before opening the port within"),
    ("hangs in a command", OPENED + "sys.stdin.readline()\ntime.sleep(600)", "no reply to .state. within"),
    (
        "cut off",
        OPENED + "sys.stdin.readline()\nprint('zarvex: cut off', file=sys.stderr)\nprint('{\"ty', end='')\nsys.exit(6)",
        r"exit status 6\).*'\{\"ty'.*zarvex: cut off",
    ),
    ("late reply", OPENED + f"for n, _ in enumerate(sys.stdin, 2):\n    print(json.dumps(dict({READING}, line=n)), flush=True)",
     "out of step"),
    ("another reply", OPENED + "for n, _ in enumerate(sys.stdin, 1):\n    print(json.dumps(dict(type='write', ok=True, line=n)), flush=True)",
     "out of step"),
]


@pytest.mark.parametrize("script, error", [b[1:] for b in BROKEN], ids=[b[0] for b in BROKEN])
def test_broken_zarvex_raises_and_is_ended(tmp_path, script, error):
    program = tmp_path / "zarvex"
    program.write_text(f"#!{sys.executable}\nimport json, sys, time\n{script}\n")
    program.chmod(0o755)
    board = None
    with pytest.raises(ZarvexError, match=error):
        board = Board(device="shim", program=str(program), margin=0.2)
        board.state()
    assert board is None or board.closed


def test_close_racing_calls_leaves_no_descriptor_open():
    descriptors = set(os.listdir("/proc/self/fd"))
    with Emulator() as emulator:
        for _ in range(20):
            board = Board(device=emulator.device)
            running = threading.Event()

            def calls():
                with contextlib.suppress(ZarvexError):
                    while True:
                        board.read()
                        running.set()

            thread = threading.Thread(target=calls)
            thread.start()
            running.wait()
            board.close()
            thread.join()
    assert set(os.listdir("/proc/self/fd")) == descriptors
