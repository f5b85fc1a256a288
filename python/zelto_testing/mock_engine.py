"""MockEngine: one private zelto-mock-engine process for a test, started and stopped cleanly."""

from __future__ import annotations

import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import uuid
from pathlib import Path
from types import TracebackType
from typing import IO, Dict, List, Mapping, Optional, Sequence, Type, TypeVar, Union

import zelto_sdk

from .eventfd import open_eventfd
from .executables import find_executable

KnobValue = Union[str, int, bool, Sequence[str], None]
_T = TypeVar("_T")

# Options MockEngine chooses itself: each engine gets addresses nobody else uses.
RESERVED_OPTIONS = ("unix", "tcp", "shm", "notify-fd", "print-ready", "help", "version")
# sun_path holds 107 bytes; a long TMPDIR would leave too little room for the socket's name.
LONGEST_SOCKET_FOLDER = 80
SHM_FOLDER = Path("/dev/shm")


class MockEngineError(RuntimeError):
    """The engine did not start, died, or left something behind. `stderr` holds what the engine
    wrote to its standard error, `returncode` its exit status (negative: killed by that signal),
    None while it runs."""

    def __init__(self, message: str, stderr: str = "", returncode: Optional[int] = None) -> None:
        super().__init__(message)
        self.stderr = stderr
        self.returncode = returncode


def knob_arguments(knobs: Mapping[str, KnobValue]) -> List[str]:
    """Keyword knobs as engine options: delay_ms=5 -> --delay-ms 5, base64=True -> --base64,
    stream=["data", "end"] -> --stream data,end; False and None leave a knob out."""
    args: List[str] = []
    for key, value in knobs.items():
        option = key.replace("_", "-")
        if option in RESERVED_OPTIONS:
            raise TypeError(f"MockEngine chooses --{option} itself; use its unix/tcp/shm/notify "
                            "arguments")
        if value is None or value is False:
            continue
        if value is True:
            args.append(f"--{option}")
        elif isinstance(value, (str, int)):
            args.append(f"--{option}={value}")
        else:
            args.append(f"--{option}=" + ",".join(value))
    return args


def private_folder() -> Path:
    base = tempfile.gettempdir()
    if len(base) > LONGEST_SOCKET_FOLDER:
        base = "/tmp"
    return Path(tempfile.mkdtemp(prefix="zelto-engine-", dir=base))


def describe_exit(returncode: int) -> str:
    if returncode < 0:
        try:
            return f"signal {signal.Signals(-returncode).name}"
        except ValueError:
            return f"signal {-returncode}"
    return f"exit status {returncode}"


class MockEngine:
    """A zelto-mock-engine of its own: a Unix socket in a private temporary folder, a free
    loopback TCP port (the engine binds port 0 and reports the one it got), a shared-memory
    region with a fresh name and, with notify=True, an eventfd notify descriptor.

        with MockEngine(delay_ms=50) as engine:
            client = zelto_sdk.ZeltoClient(engine.endpoint)

    Behaviour knobs are keyword arguments named like the engine's options (see
    `zelto-mock-engine --help`), with "_" for "-": error="boom", error_status=3, delay_ms=50,
    close_after=2, no_reply=True, stream=["data", "data", "end"], shm_behaviour="error",
    hybrid_behaviour="error", pool_size=1 << 20, verbose=True, ... An unknown knob makes the
    engine refuse to start, and MockEngineError carries its message.

    Leaving the block stops the engine (SIGTERM), waits for it, and checks that it exited with
    status 0 and left neither its socket file nor its shared-memory object behind; otherwise
    MockEngineError is raised (unless the block is already raising). An engine that died during
    the block is reported the same way; call kill() to end it on purpose.
    """

    def __init__(self, *, unix: bool = True, tcp: bool = True, shm: bool = True,
                 notify: bool = False, ready_timeout: float = 10.0,
                 binary: Optional[str] = None, **knobs: KnobValue) -> None:
        if notify and not shm:
            raise ValueError("notify=True needs shm=True: the descriptor is announced in the "
                             "region's header")
        if not (unix or tcp or shm):
            raise ValueError("MockEngine needs at least one of unix, tcp and shm")
        self._want_unix, self._want_tcp, self._want_shm = unix, tcp, shm
        self._want_notify = notify
        self._ready_timeout = ready_timeout
        self._binary = binary
        self._knob_args = knob_arguments(knobs)
        self._folder: Optional[Path] = None
        self._socket_path: Optional[str] = None
        self._shm_name: Optional[str] = None
        self._tcp_port: Optional[int] = None
        self._notify_fd: Optional[int] = None
        self._proc: Optional[subprocess.Popen[bytes]] = None
        self._stderr_file: Optional[IO[bytes]] = None
        self._killed_on_purpose = False
        self._final_stderr = ""
        self.args: List[str] = []

    # --- addresses -----------------------------------------------------------------------

    @property
    def socket_path(self) -> str:
        """The engine's Unix socket path."""
        return self._require(self._socket_path, "Unix socket (unix=False)")

    @property
    def endpoint(self) -> str:
        """"unix://" + socket_path, as ZeltoClient takes it."""
        return f"unix://{self.socket_path}"

    @property
    def tcp_port(self) -> int:
        """The loopback TCP port the engine listens on."""
        return self._require(self._tcp_port, "TCP port (tcp=False)")

    @property
    def tcp_endpoint(self) -> str:
        """"tcp://127.0.0.1:PORT", as ZeltoClient takes it."""
        return f"tcp://127.0.0.1:{self.tcp_port}"

    @property
    def shm_name(self) -> str:
        """The name of the engine's shared-memory region, as ZeltoShmClient takes it."""
        return self._require(self._shm_name, "shared-memory region (shm=False)")

    @property
    def notify_fd(self) -> Optional[int]:
        """This process's eventfd that the engine writes after every shared-memory answer
        (None without notify=True). Only clients in this process can wait on it."""
        return self._notify_fd

    @property
    def pid(self) -> int:
        return self._running_proc().pid

    @property
    def returncode(self) -> Optional[int]:
        """The exit status once the engine has ended (negative: the signal), else None."""
        return None if self._proc is None else self._proc.poll()

    @property
    def stderr(self) -> str:
        """What the engine wrote to its standard error (all of it, once stopped)."""
        if self._folder is None or not (self._folder / "stderr").exists():
            return self._final_stderr
        return (self._folder / "stderr").read_text(errors="replace")

    # --- clients -------------------------------------------------------------------------

    def socket_client(self) -> zelto_sdk.ZeltoClient:
        return zelto_sdk.ZeltoClient(self.endpoint)

    def tcp_client(self) -> zelto_sdk.ZeltoClient:
        return zelto_sdk.ZeltoClient(self.tcp_endpoint)

    def shm_client(self) -> zelto_sdk.ZeltoShmClient:
        return zelto_sdk.ZeltoShmClient(self.shm_name)

    def hybrid_client(self) -> zelto_sdk.ZeltoHybridClient:
        return zelto_sdk.ZeltoHybridClient(self.shm_name, self.socket_path)

    # --- life cycle ----------------------------------------------------------------------

    def __enter__(self) -> MockEngine:
        self.start()
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]],
                 exc: Optional[BaseException], traceback: Optional[TracebackType]) -> None:
        if exc_type is None:
            self.stop()
            return
        try:  # the block's own exception is the one to see
            self.stop()
        except MockEngineError:
            pass

    def start(self) -> None:
        """Starts the engine and waits (at most ready_timeout seconds) until it serves."""
        if self._proc is not None:
            raise RuntimeError("this MockEngine was started already")
        binary = find_executable("zelto-mock-engine", self._binary)
        self._folder = private_folder()
        self.args = [binary, *self._addressing_args(), *self._knob_args, "--print-ready"]
        self._stderr_file = open(self._folder / "stderr", "wb")
        pass_fds = (self._notify_fd,) if self._notify_fd is not None else ()
        try:
            self._proc = subprocess.Popen(self.args, stdin=subprocess.DEVNULL,
                                          stdout=subprocess.PIPE, stderr=self._stderr_file,
                                          pass_fds=pass_fds)
            self._wait_until_ready()
        except BaseException:
            self._abandon()
            raise

    def stop(self) -> None:
        """Stops the engine with SIGTERM, waits for it, and checks that it left nothing."""
        proc = self._proc
        if proc is None or self._folder is None:
            return
        died_before = proc.poll() is not None
        if not died_before:
            proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
            self._release("did not stop within 10 s of SIGTERM and was killed")
            return
        if self._killed_on_purpose:
            self._release(None, remove_leftovers=True)
        elif died_before or proc.returncode < 0:
            # The engine ends on SIGTERM by exiting with 0; a signal's status means that
            # something else ended it, even when it died only just before SIGTERM was sent.
            self._release(f"died while in use ({describe_exit(proc.returncode)})",
                          remove_leftovers=True)
        elif proc.returncode != 0:
            self._release(f"stopped with {describe_exit(proc.returncode)}")
        else:
            self._release(None)

    def kill(self) -> None:
        """Ends the engine with SIGKILL, as a crash would; what it leaves behind is removed at
        stop() without complaint."""
        self._killed_on_purpose = True
        proc = self._running_proc()
        proc.kill()
        proc.wait()

    # --- internals -----------------------------------------------------------------------

    def _addressing_args(self) -> List[str]:
        assert self._folder is not None
        args: List[str] = []
        if self._want_unix:
            self._socket_path = str(self._folder / "engine.sock")
            args += ["--unix", self._socket_path]
        if self._want_tcp:
            args += ["--tcp", "0"]
        if self._want_shm:
            self._shm_name = f"/zelto-engine-{uuid.uuid4().hex[:16]}"
            args += ["--shm", self._shm_name]
        if self._want_notify:
            self._notify_fd = open_eventfd()
            args += ["--notify-fd", str(self._notify_fd)]
        return args

    def _wait_until_ready(self) -> None:
        proc = self._running_proc()
        assert proc.stdout is not None
        deadline = time.monotonic() + self._ready_timeout
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            readable, _, _ = select.select([proc.stdout], [], [], max(left, 0))
            if not readable:
                proc.kill()
                proc.wait()
                raise MockEngineError(
                    f"zelto-mock-engine did not report ready within {self._ready_timeout:g} s; "
                    f"its stderr: {self.stderr.strip() or '(empty)'}", self.stderr)
            chunk = os.read(proc.stdout.fileno(), 256)
            if not chunk:
                returncode = proc.wait()
                raise MockEngineError(
                    f"zelto-mock-engine did not start ({describe_exit(returncode)}): "
                    f"{self.stderr.strip() or '(no error output)'}", self.stderr, returncode)
            line += chunk
        words = line.split()
        if not words or words[0] != b"ready":
            raise MockEngineError(f"zelto-mock-engine printed {line!r} instead of its ready line",
                                  self.stderr)
        fields: Dict[bytes, bytes] = dict(
            word.split(b"=", 1) for word in words[1:] if b"=" in word)
        if self._want_tcp:
            self._tcp_port = int(fields[b"tcp_port"])

    def _leftovers(self) -> List[Path]:
        found = []
        if self._socket_path and os.path.lexists(self._socket_path):
            found.append(Path(self._socket_path))
        if self._shm_name and (SHM_FOLDER / self._shm_name.lstrip("/")).exists():
            found.append(SHM_FOLDER / self._shm_name.lstrip("/"))
        return found

    def _release(self, problem: Optional[str], remove_leftovers: bool = False) -> None:
        """Frees everything this object holds; raises MockEngineError for `problem` and for
        leftovers that the engine should have removed itself."""
        stderr = self.stderr
        returncode = self.returncode
        leftovers = self._leftovers()
        for path in leftovers:
            path.unlink()
        self._close_files()
        if problem is None and leftovers and not remove_leftovers:
            problem = "left behind " + ", ".join(map(str, leftovers))
        if problem is not None:
            raise MockEngineError(f"zelto-mock-engine {problem}; its stderr: "
                                  f"{stderr.strip() or '(empty)'}", stderr, returncode)

    def _abandon(self) -> None:
        if self._proc is not None and self._proc.poll() is None:
            self._proc.kill()
            self._proc.wait()
        for path in self._leftovers():
            path.unlink()
        self._close_files()

    def _close_files(self) -> None:
        if self._proc is not None and self._proc.stdout is not None:
            self._proc.stdout.close()
        if self._stderr_file is not None:
            self._stderr_file.close()
            self._stderr_file = None
        if self._notify_fd is not None:
            os.close(self._notify_fd)
            self._notify_fd = None
        if self._folder is not None:
            self._final_stderr = self.stderr
            shutil.rmtree(self._folder, ignore_errors=True)
            self._folder = None

    def _running_proc(self) -> subprocess.Popen[bytes]:
        if self._proc is None:
            raise RuntimeError("this MockEngine has not been started")
        return self._proc

    @staticmethod
    def _require(value: Optional[_T], what: str) -> _T:
        if value is None:
            raise AttributeError(f"this MockEngine has no {what}, or is not started")
        return value
