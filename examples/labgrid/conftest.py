# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""The lab for the tests here: the one named with --lg-env (or LG_ENV), or else an emulated
board behind a ser2net of our own on 127.0.0.1, described by env.yaml with our host and port."""

from pathlib import Path

import pytest
from labgrid import Environment

from zarvex import ProgramNotFound
from zarvex.emulator import Emulator, Ser2net


@pytest.fixture(scope="session")
def emulator(request):
    """The emulated board, whose log shows what reached it and when; None in a lab named with
    --lg-env."""
    if request.config._labgrid_env is not None:  # what --lg-env or LG_ENV named, as labgrid reads it
        yield None
        return
    # As on the rig: port C's inputs strapped to 0x5A, and the device under test holding
    # DONE (B.0) high once it has started, which the emulated one always has.
    try:
        with Emulator(inputs={"B": 0x01, "C": 0x5A}, extra_args=["--timestamps"]) as board:
            yield board
    except ProgramNotFound as missing:
        pytest.skip(f"no lab named (--lg-env), and none to emulate: {missing}")


@pytest.fixture(scope="session")
def env(request, emulator):
    lab = request.config._labgrid_env
    if lab is not None:
        yield lab
        lab.cleanup()
        return

    try:
        with Ser2net(emulator.device) as server:
            lab = Environment(str(Path(__file__).with_name("env.yaml")))
            # Set here, not with !template: labgrid templates give strings, not numbers.
            resource = lab.get_target("main").get_resource("NetworkSerialPort")
            resource.host, resource.port = server.host, server.port
            yield lab
            lab.cleanup()
    except ProgramNotFound as missing:
        pytest.skip(f"no lab named (--lg-env), and none to emulate: {missing}")
