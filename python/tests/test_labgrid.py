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
from zarvex.labgrid import ZarvexDriver


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
