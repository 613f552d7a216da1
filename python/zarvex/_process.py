# SPDX-FileCopyrightText: the Zarvex Test developers
# SPDX-License-Identifier: MIT
"""Starting the package's helper programs the same way on every system."""

from __future__ import annotations

import os
import shutil
import subprocess
from typing import Any


def detached() -> dict[str, Any]:
    """Popen options that keep a Ctrl-C meant for Python away from the child:
    a session of its own on POSIX, a process group of its own on Windows."""
    if os.name == "nt":
        return {"creationflags": subprocess.CREATE_NEW_PROCESS_GROUP}
    return {"start_new_session": True}


def program_path(program: str | os.PathLike[str]) -> str:
    """The program to run. On Windows a bare name is looked up on PATH with
    PATHEXT (zarvex finds zarvex.exe), never in the working folder first as
    CreateProcess would; elsewhere the system's own lookup is kept."""
    path = os.fspath(program)
    if os.name == "nt" and not os.path.dirname(path):
        return shutil.which(path) or path
    return path
