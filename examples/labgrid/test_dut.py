# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""Power and reset of the device under test through labgrid's own power and reset drivers, on
the lines board.toml names (POWER, RESET_N active low), and its DONE line. The emulator's
log shows what reached the board, and when."""


def writes_logged(emulator, start, expected):
    """The write-port commands the emulator logged from index ``start`` on, with the seconds
    at which they came, until each of ``expected`` has come in turn."""
    for command in expected:
        emulator.wait_for(command, start)
    return [(at, c) for at, c in emulator.timed_commands()[start:] if c.startswith("write-port")]


def test_power_cycle_and_reset(target, emulator):
    power = target.get_driver("PowerProtocol")
    reset = target.get_driver("ResetProtocol")  # the reset driver: power's reset ranks lower
    zarvex = target.get_driver("ZarvexDriver")
    power.off()
    assert power.get() is False
    start = len(emulator.commands()) if emulator else 0

    power.cycle()
    assert power.get() is True
    reset.reset()
    zarvex.wait("DONE=1", timeout=5.0)
    assert zarvex.get("DONE") is True
    if emulator is None:
        return  # a real lab: no log of what the board received

    # POWER is A.4, RESET_N A.3 driven low to reset: released, it is high (0x08).
    expected = ["write-port A 08", "write-port A 18", "write-port A 10", "write-port A 18"]
    writes = writes_logged(emulator, start, expected)
    assert [c for _, c in writes] == expected
    (off, _), (on, _), (held, _), (released, _) = writes
    assert on - off >= power.delay
    assert released - held >= reset.delay
