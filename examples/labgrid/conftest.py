# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""The lab for test_rig.py: the one named with --lg-env (or LG_ENV), or else an emulated
board behind a ser2net of our own on 127.0.0.1, described by env.yaml with our host and port."""

from pathlib import Path

import pytest
from labgrid import Environment

from zarvex import ProgramNotFound
from zarvex.emulator import Emulator, Ser2net


@pytest.fixture(scope="session")
def env(request):
    lab = request.config._labgrid_env  # what --lg-env or LG_ENV named, as labgrid reads it
    if lab is not None:
        yield lab
        lab.cleanup()
        return

    # The rig straps port A's inputs to 0x5A; the emulated board reads the same.
    try:
        with Emulator(inputs={"A": 0x5A}) as emulator, Ser2net(emulator.device) as server:
            lab = Environment(str(Path(__file__).with_name("env.yaml")))
            # Set here, not with !template: labgrid templates give strings, not numbers.
            resource = lab.get_target("main").get_resource("NetworkSerialPort")
            resource.host, resource.port = server.host, server.port
            yield lab
            lab.cleanup()
    except ProgramNotFound as missing:
        pytest.skip(f"no lab named (--lg-env), and none to emulate: {missing}")
