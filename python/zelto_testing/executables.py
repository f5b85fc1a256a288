"""Finding the programs the zelto_sdk wheel installs (zelto-mock-engine, zelto-shm-inspect).

They land in the environment's scripts folder, which is on PATH only while the environment is
activated; so that folder is searched first, then the folder of the running interpreter, then
PATH. An environment variable (ZELTO_MOCK_ENGINE, ZELTO_SHM_INSPECT) names another build.
"""

from __future__ import annotations

import os
import shutil
import sys
import sysconfig
from pathlib import Path
from typing import List, Optional

ENVIRONMENT_VARIABLES = {
    "zelto-mock-engine": "ZELTO_MOCK_ENGINE",
    "zelto-shm-inspect": "ZELTO_SHM_INSPECT",
}


class ExecutableNotFoundError(FileNotFoundError):
    """A program of the wheel is not where it is looked for; the message says where that was."""


def candidate_paths(program: str) -> List[Path]:
    """The places looked at, in order, after the environment variable."""
    folders = [Path(sysconfig.get_path("scripts")), Path(sys.executable).parent]
    unique: List[Path] = []
    for folder in folders:
        if folder / program not in unique:
            unique.append(folder / program)
    return unique


def find_executable(program: str, explicit: Optional[str] = None) -> str:
    """The path of `program`: `explicit` if given, else the environment variable's, else the
    first of candidate_paths() that exists, else the one on PATH."""
    variable = ENVIRONMENT_VARIABLES.get(program)
    chosen = explicit or (os.environ.get(variable) if variable else None)
    if chosen:
        if shutil.which(chosen) is None:
            raise ExecutableNotFoundError(f"{program} not found: {chosen!r} is not an executable file")
        return chosen
    for path in candidate_paths(program):
        if os.access(path, os.X_OK) and path.is_file():
            return str(path)
    on_path = shutil.which(program)
    if on_path is not None:
        return on_path
    looked = ", ".join(str(path) for path in candidate_paths(program))
    hint = f"${variable} (not set), " if variable else ""
    raise ExecutableNotFoundError(
        f"{program} not found: looked for {hint}{looked} and on PATH; install the zelto_sdk wheel "
        f"into this Python's environment" + (f" or set {variable}" if variable else ""))
