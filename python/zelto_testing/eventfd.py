"""An eventfd for the engine's notify descriptor; os.eventfd exists only from Python 3.10 on."""

from __future__ import annotations

import ctypes
import ctypes.util
import os

EFD_CLOEXEC = 0o2000000
EFD_NONBLOCK = 0o4000


def open_eventfd() -> int:
    """A non-blocking, close-on-exec eventfd with a count of 0."""
    flags = EFD_CLOEXEC | EFD_NONBLOCK
    if hasattr(os, "eventfd"):
        return int(os.eventfd(0, flags))
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    fd = int(libc.eventfd(0, flags))
    if fd < 0:
        code = ctypes.get_errno()
        raise OSError(code, os.strerror(code))
    return fd
