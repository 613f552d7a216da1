# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""ZarvexDriver on labgrid targets built in this process, over the project's emulator: straight
on its pseudo-terminal and through a real ser2net in both of its modes."""

import pytest
from labgrid import Environment, Target
from labgrid.binding import StateError
from labgrid.resource import NetworkSerialPort, RawSerialPort

from zarvex import PortLost, PortUnavailable, ProgramNotFound
from zarvex.emulator import Emulator, Ser2net
from zarvex.labgrid import ZarvexDriver, ZarvexOutputDriver

LINES = {
    "RESET_N": {"line": "A.3", "active_low": True, "direction": "out", "initial": False},
    "POWER": {"line": "A.4", "direction": "out"},
}


@pytest.fixture
def emulator():
    with Emulator(inputs={"A": 0x5A, "C": 0x81}) as emulator:
        yield emulator


@pytest.fixture
def network_target(emulator, tmp_path):
    """Makes the target "main" of an environment whose NetworkSerialPort is a ser2net serving
    the emulator in the given protocol."""
    servers, environments = [], []

    def make(protocol, drivers="ZarvexDriver: {}"):
        try:
            servers.append(Ser2net(emulator.device, protocol))
        except ProgramNotFound:
            pytest.skip("ser2net is not installed")
        (tmp_path / "env.yaml").write_text(
            "imports: [zarvex.labgrid]\ntargets:\n  main:\n    resources:\n"
            f"      NetworkSerialPort: {{host: 127.0.0.1, port: {servers[-1].port}, "
            f"protocol: {protocol}}}\n    drivers:\n      {drivers}\n"
        )
        environments.append(Environment(str(tmp_path / "env.yaml")))
        return environments[-1].get_target("main")

    yield make
    for environment in environments:
        environment.cleanup()
    for server in servers:
        server.close()


@pytest.mark.parametrize("protocol", ["rfc2217", "raw"])
def test_network_port_carries_commands_and_replies(emulator, network_target, protocol):
    zarvex = network_target(protocol).get_driver("ZarvexDriver")
    # 0xFF is telnet's escape byte: in rfc2217 mode it must arrive once, not doubled.
    zarvex.dir(B=0xFF)
    zarvex.write(B=0x81)
    assert zarvex.read().a == 0x5A
    assert zarvex.read("C.7", "C.1") == (1, 0)
    assert zarvex.registers().write.b == 0x81
    emulator.wait_for("set-direction B FF")
    emulator.wait_for("write-port B 81")
    emulator.wait_for("read-ports -> 5A 00 81")


def test_raw_serial_port_on_the_pseudo_terminal(emulator):
    target = Target("main")
    RawSerialPort(target, None, port=emulator.device)
    zarvex = ZarvexDriver(target, None)
    target.activate(zarvex)
    try:
        zarvex.write(A=0x00)
        zarvex.expect("A=0x5A", "C.0=1")
        emulator.wait_for("write-port A 00")
    finally:
        target.deactivate(zarvex)


def test_port_lost_then_deactivated_and_activated_again(emulator):
    target = Target("main")
    port = RawSerialPort(target, None, port=emulator.device)
    zarvex = ZarvexDriver(target, None)
    target.activate(zarvex)
    emulator.kill()
    with pytest.raises(PortLost):
        zarvex.read()
    target.deactivate(zarvex)
    with Emulator(inputs={"A": 0x3C}) as again:
        port.port = again.device  # where the board came back
        target.activate(zarvex)
        assert zarvex.read("A") == 0x3C
        target.deactivate(zarvex)


def test_deactivate_frees_the_port(network_target):
    target = network_target("rfc2217", "[{ZarvexDriver: {name: a}}, {ZarvexDriver: {name: b}}]")
    first = target.get_driver("ZarvexDriver", name="a")
    second = target.get_driver("ZarvexDriver", name="b", activate=False)
    with pytest.raises(PortUnavailable) as refused:
        target.activate(second)
    assert refused.value.reason == "busy"
    target.deactivate(first)
    with pytest.raises(StateError):
        first.read()
    target.activate(second)
    assert second.read("A") == 0x5A


@pytest.mark.parametrize(
    "host, protocol, device",
    [("[::1]", "rfc2217", "rfc2217://[::1]:4003"), ("lab7:5000", "raw", "socket://lab7:5000")],
)
def test_device_of_a_network_port(host, protocol, device):
    target = Target("main")
    NetworkSerialPort(target, None, host=host, port=4003, protocol=protocol)
    assert ZarvexDriver(target, None).device == device


@pytest.mark.parametrize(
    "line, invert, status, sent",
    [
        ("POWER", False, True, "write-port A 18"),
        ("POWER", True, False, "write-port A 18"),
        ("RESET_N", False, True, "write-port A 00"),  # active low
        ("RESET_N", True, False, "write-port A 00"),
        ("A.4", False, True, "write-port A 18"),
        ("A.3", False, False, "write-port A 00"),  # a line is not active low by its name's table
        ("A.3", True, True, "write-port A 00"),
    ],
)
def test_output_driver_sets_and_gets_a_name_or_line(emulator, line, invert, status, sent):
    target = Target("main")
    RawSerialPort(target, None, port=emulator.device)
    ZarvexDriver(target, None, lines=LINES)
    output = ZarvexOutputDriver(target, None, line=line, invert=invert)
    target.activate(output)
    try:
        # Activation set the lines up: RESET_N released (A.3 high), POWER off, both driving.
        loaded = emulator.wait_for("write-port A 08")
        emulator.wait_for("set-direction A E7", len(loaded))
        start = len(emulator.commands())
        output.set(status)
        assert output.get() is status
        emulator.wait_for(sent, start)
    finally:
        target.deactivate(output)


def test_output_drivers_share_a_board_file_relative_to_the_environment(
    emulator, network_target, tmp_path, monkeypatch
):
    (tmp_path / "board.toml").write_text('[lines]\nPOWER = { line = "A.4", direction = "out" }\n')
    monkeypatch.chdir("/")
    target = network_target(
        "raw",
        "[{ZarvexDriver: {board_file: board.toml}}, {ZarvexOutputDriver: {name: power, line: POWER}},"
        " {ZarvexOutputDriver: {name: b7, line: B.7}}]",
    )
    power = target.get_driver("ZarvexOutputDriver", name="power")
    b7 = target.get_driver("ZarvexOutputDriver", name="b7")
    assert power.board is b7.board
    power.set(True)
    assert b7.get() is False and power.get() is True
    emulator.wait_for("write-port A 10")
