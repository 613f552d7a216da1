# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""Power and reset of the device under test through labgrid's own power and reset drivers, on
the lines board.toml names (POWER, RESET_N active low), and its DONE line."""

import pytest
from labgrid.step import steps

from zarvex.labgrid import ZarvexOutputDriver


@pytest.fixture
def line_changes():
    """Each ZarvexOutputDriver.set() while the test runs, as [line, status, start, stop] with
    labgrid's monotonic step times: the commands for it reached the board between the two."""
    changes = []

    def record(event):
        step = event.step
        if step.title != "set" or not isinstance(step.source, ZarvexOutputDriver):
            return
        if event.data.get("state") == "start":
            changes.append([step.source.line, step.args["status"], event.ts, None])
        elif event.data.get("state") == "stop":
            changes[-1][3] = event.ts

    steps.subscribe(record)
    yield changes
    steps.unsubscribe(record)


def writes_logged(emulator, start, expected):
    """The write-port commands the emulator logged from index ``start`` on, until each of
    ``expected`` has come in turn."""
    writes = []
    for command in expected:
        logged = emulator.wait_for(command, start)
        start += len(logged)
        writes += [c for c in logged if c.startswith("write-port")]
    return writes


def test_power_cycle_and_reset(target, emulator, line_changes):
    power = target.get_driver("PowerProtocol")
    reset = target.get_driver("ResetProtocol")  # the reset driver: power's reset ranks lower
    zarvex = target.get_driver("ZarvexDriver")
    power.off()
    assert power.get() is False
    start = len(emulator.commands()) if emulator else 0
    del line_changes[:]

    power.cycle()
    assert power.get() is True
    reset.reset()
    zarvex.wait("DONE=1", timeout=5.0)
    assert zarvex.get("DONE") is True

    # POWER is A.4, RESET_N A.3 driven low to reset: released, it is high (0x08).
    assert [change[:2] for change in line_changes] == [
        ["POWER", False],
        ["POWER", True],
        ["RESET_N", True],
        ["RESET_N", False],
    ]
    (_, _, _, off), (_, _, on, _), (_, _, _, held), (_, _, released, _) = line_changes
    assert on - off >= power.delay
    assert released - held >= reset.delay
    if emulator is None:
        return  # a real lab: no log of what the board received
    expected = ["write-port A 08", "write-port A 18", "write-port A 10", "write-port A 18"]
    assert writes_logged(emulator, start, expected) == expected

