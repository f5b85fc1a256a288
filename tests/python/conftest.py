"""Shared fixtures: locating and running zelto-mock-engine as a real peer process."""

from __future__ import annotations

import ctypes
import os
import select
import shutil
import signal
import subprocess
import time
import uuid
from pathlib import Path
from typing import Callable, Iterator, List, Sequence

import pytest

from zelto_testing import find_executable


def engine_binary() -> str:
    """The engine installed with the package, or the one named by ZELTO_MOCK_ENGINE (the
    testing kit's own look-up, so the tests find what users' tests find)."""
    return find_executable("zelto-mock-engine")


class MockEngine:
    """One running zelto-mock-engine process; started with --print-ready and waited for."""

    def __init__(self, args: Sequence[str], pass_fds: Sequence[int] = (), timeout: float = 10.0):
        self.args = [engine_binary(), *args, "--print-ready"]
        self.proc = subprocess.Popen(
            self.args,
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            pass_fds=tuple(pass_fds),
        )
        assert self.proc.stdout is not None
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        line = self.proc.stdout.readline() if ready else b""
        # "ready", then " tcp_port=N" when the engine listens on TCP.
        words = line.split()
        if not words or words[0] != b"ready":
            self.proc.kill()
            _, err = self.proc.communicate()
            raise RuntimeError(f"engine {self.args} did not start: {err.decode(errors='replace')}")
        fields = dict(word.split(b"=", 1) for word in words[1:])
        self.tcp_port = int(fields[b"tcp_port"]) if b"tcp_port" in fields else None

    def stop(self, sig: int = signal.SIGTERM) -> int:
        """Signals the engine, waits for it and keeps what it wrote to stderr in `stderr`."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            _, err = self.proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            _, err = self.proc.communicate()
        self.stderr = err.decode(errors="replace") if err else ""
        return self.proc.returncode


@pytest.fixture
def engines() -> Iterator["EngineFactory"]:
    factory = EngineFactory()
    yield factory
    factory.stop_all()


class EngineFactory:
    def __init__(self) -> None:
        self.started: List[MockEngine] = []

    def start(self, *args: str, pass_fds: Sequence[int] = ()) -> MockEngine:
        engine = MockEngine(args, pass_fds=pass_fds)
        self.started.append(engine)
        return engine

    def stop_all(self) -> None:
        for engine in reversed(self.started):
            engine.stop()


@pytest.fixture
def socket_path(tmp_path_factory: pytest.TempPathFactory) -> str:
    """A fresh, short Unix socket path (sun_path holds at most 107 bytes)."""
    directory = Path("/tmp") / f"zt-{uuid.uuid4().hex[:10]}"
    directory.mkdir()
    yield str(directory / "engine.sock")
    shutil.rmtree(directory, ignore_errors=True)


@pytest.fixture
def shm_name() -> Iterator[str]:
    """A fresh shared-memory object name; removed afterwards if a test left it behind."""
    name = f"/zelto-test-{uuid.uuid4().hex[:12]}"
    yield name
    leftover = Path("/dev/shm") / name.lstrip("/")
    if leftover.exists():
        leftover.unlink()


def wait_for(predicate: Callable[[], object], timeout: float = 10.0) -> None:
    """Polls until `predicate()` is true; the bound only stops a broken test from hanging."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError("condition not reached")
        time.sleep(0.01)


def make_eventfd(nonblocking: bool = True) -> int:
    """An eventfd for an engine's --notify-fd (os.eventfd is there from 3.10 on)."""
    if hasattr(os, "eventfd"):
        return os.eventfd(0, (os.EFD_NONBLOCK if nonblocking else 0) | os.EFD_CLOEXEC)
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.eventfd(0, (0o4000 if nonblocking else 0) | 0o2000000)  # EFD_NONBLOCK, EFD_CLOEXEC
    if fd < 0:
        raise OSError(ctypes.get_errno(), "eventfd")
    return fd


def free_tcp_port() -> int:
    import socket

    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


# --- Socket protocol helpers (socket client tests) -------------------------------------------


class SocketWire:
    """An independent encoder for the engine wire format and a reader for the engine's --record
    file, so that tests can state the exact bytes a client must send."""

    @staticmethod
    def u32(value: int) -> bytes:
        return value.to_bytes(4, "little")

    @staticmethod
    def u64(value: int) -> bytes:
        return value.to_bytes(8, "little")

    @classmethod
    def text(cls, value) -> bytes:
        raw = value.encode() if isinstance(value, str) else bytes(value)
        return cls.u64(len(raw)) + raw

    @classmethod
    def tensor(cls, shape, dtype: str, data: bytes) -> bytes:
        out = cls.u64(len(shape)) + b"".join(d.to_bytes(8, "little", signed=True) for d in shape)
        return out + cls.text(dtype) + b"\x01" + cls.text(data) + b"\x00"

    @classmethod
    def base64_tensor(cls, shape, dtype: str, text: str) -> bytes:
        out = cls.u64(len(shape)) + b"".join(d.to_bytes(8, "little", signed=True) for d in shape)
        return out + cls.text(dtype) + b"\x00\x01" + cls.text(text)

    @classmethod
    def request(cls, shape, dtype, data, additional=(), session_id=None, api_token=None) -> bytes:
        out = cls.tensor(shape, dtype, data) + cls.u64(len(additional))
        for name, (a_shape, a_dtype, a_data) in additional:
            out += cls.text(name) + cls.tensor(a_shape, a_dtype, a_data)
        out += b"\x00" if session_id is None else b"\x01" + cls.text(session_id)
        if api_token is None:
            return out + b"\x00"
        return out + b"\x01" + b"\x00" * 5 + b"\x01" + cls.text(api_token) + b"\x00" * 7

    @classmethod
    def frame(cls, model_id: int, op: int, payload: bytes) -> bytes:
        return cls.u32(model_id) + cls.u32(op) + cls.u32(len(payload)) + payload

    @staticmethod
    def read_record(path) -> List[tuple]:
        """(connection number, "frame", bytes) and (connection number, "eof", b"") events."""
        events = []
        if not os.path.exists(path):
            return events
        with open(path) as f:
            for line in f:
                parts = line.split()
                data = bytes.fromhex(parts[2]) if len(parts) > 2 else b""
                events.append((int(parts[0]), parts[1], data))
        return events


@pytest.fixture
def wire() -> SocketWire:
    return SocketWire()


@pytest.fixture
def record_path(tmp_path: Path) -> str:
    """Where a test's engine appends its --record lines."""
    return str(tmp_path / "engine-record.txt")


def pytest_configure(config: pytest.Config) -> None:
    # The soak runs by default (a few seconds per transport); -m "not soak" leaves it out.
    config.addinivalue_line(
        "markers", "soak: long call loops that check descriptors and resident memory afterwards")
