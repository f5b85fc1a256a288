#!/usr/bin/env python3
"""End-to-end benchmark of zelto_sdk against the machine's limits and the peers a user would pick.

In one run, size by size, with every transport interleaved round by round so that machine noise
falls on all of them alike:

- limits: a C++ client doing the same frame exchange against the same engine (the socket floor,
  Unix and TCP), memcpy of each size, an eventfd round trip between two processes;
- zelto_sdk: ZeltoClient (Unix, TCP), ZeltoShmClient (with and without a notify descriptor),
  ZeltoHybridClient, all against zelto-mock-engine;
- peers: a pure-Python client of the same socket protocol (Unix, TCP) against the same engine,
  pyzmq REQ/REP over ipc://, grpcio unary over a Unix socket, multiprocessing.shared_memory with
  pipes, each peer with an echo server process of its own.

Placement (see Placement): the driver, and with it every client, runs on one processor and every
engine and peer server on another, unless --unpinned or --one-core says otherwise.

Then (unless --no-soak) 100 000 calls per zelto transport, watching resident memory and open
descriptors. Writes results.md, latency.png and throughput.png into --out, and the summary for
the README into --summary; prints a MET / NOT MET line per target.

`--load N` runs all of that with N busy loops on the machine (busy_loops.py); `--waiting` runs
the waiting report instead (waiting.py).
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import functools
import gc
import math
import os
import platform
import shutil
import socket
import subprocess
import sys
import tempfile
import time
import uuid
from dataclasses import dataclass, field, replace
from pathlib import Path
from typing import Callable, Dict, FrozenSet, Iterator, List, Optional, Sequence, Tuple

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import peers  # noqa: E402
import summary_sections  # noqa: E402
from busy_loops import BusyLoops  # noqa: E402

LARGEST_SLOT_DATA = 16 * 1024 * 1024 - 80  # the largest tensor a default 64 MiB pool takes
DEFAULT_SIZES = [64, 4 << 10, 64 << 10, 256 << 10, 1 << 20, 4 << 20, LARGEST_SLOT_DATA]
SMALL = 4 << 10  # "4 KiB and below" in the targets

# ---------------------------------------------------------------------------------------------
# Helpers


def human_size(n: int) -> str:
    if n == LARGEST_SLOT_DATA:
        return "16 MiB−80 B"
    for unit, size in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= size and n % size == 0:
            return f"{n // size} {unit}"
    return f"{n} B"


def calls_for(size: int, scale: float) -> int:
    """Timed calls per transport at one size: many for small messages, fewer for large ones."""
    if size <= 4 << 10:
        base = 10000
    elif size <= 64 << 10:
        base = 4000
    elif size <= 256 << 10:
        base = 1500
    elif size <= 1 << 20:
        base = 500
    elif size <= 4 << 20:
        base = 150
    else:
        base = 60
    return max(10, int(base * scale))


def quantile(sorted_samples: Sequence[float], q: float) -> float:
    """Nearest-rank quantile."""
    if not sorted_samples:
        return math.nan
    k = max(0, min(len(sorted_samples) - 1, math.ceil(q * len(sorted_samples)) - 1))
    return sorted_samples[k]


def count_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def memory_kib() -> Dict[str, int]:
    """VmRSS and its parts (RssAnon: private memory, RssShmem: shared mappings such as the
    engine's region) from /proc/self/status, in KiB."""
    out: Dict[str, int] = {}
    with open("/proc/self/status") as f:
        for line in f:
            key = line.split(":", 1)[0]
            if key in ("VmRSS", "RssAnon", "RssFile", "RssShmem"):
                out[key] = int(line.split()[1])
    return out


def free_tcp_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Mismatch(Exception):
    pass


# ---------------------------------------------------------------------------------------------
# Placement


@dataclass(frozen=True)
class Placement:
    """The processors the driver (and with it every client) and the servers may run on.

    "split", the default: the driver on the first allowed processor, every engine and peer server
    on the second, so every exchange crosses between the same two processors, run after run.
    Unpinned, the scheduler decides per connection, and keeps to it, whether a client and its
    server share a vCPU; on a virtual machine whose idle vCPUs halt that alone moved a small call
    between about 5 and 50 µs, so a row's number said which placement it drew. "unpinned" leaves
    it to the scheduler (diagnostic); "one-core" puts everything on the first allowed processor,
    so no wake-up crosses processors (diagnostic). With one processor allowed, "split" is
    "unpinned"."""

    name: str
    allowed: FrozenSet[int]
    driver: Optional[FrozenSet[int]] = None  # None: not pinned
    servers: Optional[FrozenSet[int]] = None

    @classmethod
    def choose(cls, name: str) -> "Placement":
        allowed = frozenset(os.sched_getaffinity(0))
        first = sorted(allowed)
        if name == "one-core":
            return cls(name, allowed, frozenset(first[:1]), frozenset(first[:1]))
        if name == "split" and len(first) >= 2:
            return cls(name, allowed, frozenset(first[:1]), frozenset(first[1:2]))
        return cls("unpinned", allowed)

    def describe(self) -> str:
        if self.name == "split":
            return (f"driver and clients on CPU {min(self.driver)}, engines and peer servers on CPU "
                    f"{min(self.servers)}")
        if self.name == "one-core":
            return f"**diagnostic run with `--one-core`: every process on CPU {min(self.driver)}**"
        return "**nothing pinned: the scheduler placed every process**"

    def pin_driver(self) -> None:
        if self.driver is not None:
            os.sched_setaffinity(0, self.driver)

    @contextlib.contextmanager
    def starting_servers(self) -> Iterator[None]:
        """Processes started inside run on the servers' processors: a child inherits the mask of
        the thread that starts it. Start only server processes here, no threads of the driver."""
        with self._driver_thread_on(self.servers):
            yield

    @contextlib.contextmanager
    def starting_anywhere(self) -> Iterator[None]:
        """Processes started inside may run on every processor the run was given."""
        with self._driver_thread_on(self.allowed):
            yield

    @contextlib.contextmanager
    def _driver_thread_on(self, cpus: Optional[FrozenSet[int]]) -> Iterator[None]:
        if cpus is None or self.driver is None:
            yield
            return
        os.sched_setaffinity(0, cpus)
        try:
            yield
        finally:
            os.sched_setaffinity(0, self.driver)

    def server_cpu(self) -> int:
        """The processor for a helper's partner process; -1 for anywhere."""
        return min(self.servers) if self.servers else -1


class NativeHelper:
    """floor_client or machine_limits, driven line by line."""

    def __init__(self, binary: Path) -> None:
        self.proc = subprocess.Popen([str(binary)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def command(self, line: str) -> List[float]:
        assert self.proc.stdin is not None and self.proc.stdout is not None
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        reply = self.proc.stdout.readline().split()
        if not reply or reply[0] != "ok":
            raise RuntimeError(f"{self.proc.args[0]}: '{line}' failed")
        return [float(x) for x in reply[1:]]

    def stop(self) -> None:
        if self.proc.poll() is None:
            try:
                assert self.proc.stdin is not None
                self.proc.stdin.write("quit\n")
                self.proc.stdin.close()
                self.proc.wait(timeout=10)
            except Exception:
                self.proc.kill()
                self.proc.wait()


class FloorLibrary:
    """The C++ floor client (libzelto_floor.so), called through ctypes from the driver's own
    thread, so that the scheduler places it like the Python clients it is compared with."""

    def __init__(self, path: Path) -> None:
        import ctypes

        self.ctypes = ctypes
        lib = ctypes.CDLL(str(path))
        lib.floor_open.restype = ctypes.c_void_p
        lib.floor_close.argtypes = [ctypes.c_void_p]
        lib.floor_error.argtypes = [ctypes.c_void_p]
        lib.floor_error.restype = ctypes.c_char_p
        lib.floor_connect.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p]
        lib.floor_run.argtypes = [ctypes.c_void_p, ctypes.c_uint64, ctypes.c_uint64, ctypes.c_int,
                                  ctypes.POINTER(ctypes.c_uint64)]
        self.lib = lib
        self.session = lib.floor_open()

    def _check(self, rc: int) -> None:
        if rc != 0:
            raise RuntimeError(self.lib.floor_error(self.session).decode())

    def connect(self, kind: str, a: str, b: str = "") -> None:
        self._check(self.lib.floor_connect(self.session, kind.encode(), a.encode(), b.encode()))

    MODES = {"plain": 0, "split": 1, "spin": 2}  # see the top of floor_client.cpp

    def run(self, size: int, calls: int, mode: str = "plain") -> List[float]:
        out = (self.ctypes.c_uint64 * calls)()
        self._check(self.lib.floor_run(self.session, size, calls, self.MODES[mode], out))
        return [float(x) for x in out]

    def close(self) -> None:
        if self.session:
            self.lib.floor_close(self.session)
            self.session = None


class Engine:
    """One zelto-mock-engine process."""

    def __init__(self, binary: str, args: List[str], pass_fds: Sequence[int] = ()) -> None:
        self.proc = subprocess.Popen([binary, *args, "--print-ready"], stdout=subprocess.PIPE,
                                     pass_fds=tuple(pass_fds))
        assert self.proc.stdout is not None
        # "ready", possibly followed by facts such as the TCP port it listens on.
        if self.proc.stdout.readline().split()[:1] != [b"ready"]:
            peers.stop_process(self.proc)  # SIGTERM first: it unlinks a region it has made
            raise RuntimeError(f"zelto-mock-engine {' '.join(args)} did not start")

    def stop(self) -> None:
        peers.stop_process(self.proc)


# ---------------------------------------------------------------------------------------------
# Transports

Runner = Callable[[int, bytes, int], List[float]]


@dataclass
class Transport:
    key: str
    label: str
    kind: str  # "limit", "zelto", "peer" or "diagnostic" (a zelto transport in a placement made on purpose)
    run: Runner  # (size, data, calls) -> ns per call
    sizes: Optional[Sequence[int]] = None  # None: every size
    first_call: bool = True  # report the first call at each size


def python_runner(bind: Callable[[bytes], Callable[[], bytes]]) -> Runner:
    """Times one call with perf_counter_ns; checks every result outside the timed region.

    `bind(data)` returns the call with its arguments already built (a functools.partial of the
    client's method), so the timed region holds the client's own work and one C-level call,
    not the building of argument lists: the same for every client and every peer."""

    def run(size: int, data: bytes, calls: int) -> List[float]:
        clock = time.perf_counter_ns
        samples: List[float] = []
        append = samples.append
        call = bind(data)
        for _ in range(calls):
            t0 = clock()
            result = call()
            t1 = clock()
            append(t1 - t0)
            if result != data:
                raise Mismatch(f"result of {len(result)} bytes differs from the {size}-byte input")
            del result
        return samples

    return run


def bind_method(method: Callable[..., bytes], *leading: object, shape: bool = False
                ) -> Callable[[bytes], Callable[[], bytes]]:
    """data -> method(*leading, [len(data)], "uint8", data) with shape and dtype, or
    method(*leading, data) without; bound once per size."""
    if shape:
        return lambda d: functools.partial(method, *leading, [len(d)], "uint8", d)
    return lambda d: functools.partial(method, *leading, d)


@dataclass
class Setup:
    """Everything started for one run; `close` undoes it in reverse order."""

    transports: List[Transport] = field(default_factory=list)
    closers: List[Callable[[], None]] = field(default_factory=list)
    workdir: Path = Path("/tmp")
    engine_binary: str = ""
    engine_args: List[str] = field(default_factory=list)  # --engine-arg, added to every engine
    socket_path: str = ""
    tcp_port: int = 0
    shm_notify: str = ""
    shm_poll: str = ""
    shm_shared_cpu: str = ""
    notify_fd: int = -1
    placement: Placement = field(default_factory=lambda: Placement("unpinned", frozenset()))
    leftovers: List[str] = field(default_factory=list)

    def start_engine(self, args: List[str], pass_fds: Sequence[int] = ()) -> "Engine":
        return Engine(self.engine_binary, [*args, *self.engine_args], pass_fds)

    def close(self) -> None:
        for closer in reversed(self.closers):
            try:
                closer()
            except Exception as exc:  # keep tearing down
                print(f"warning: teardown: {exc}", file=sys.stderr)
        self.closers.clear()
        for path in (Path(self.socket_path), Path("/dev/shm") / self.shm_notify.lstrip("/"),
                     Path("/dev/shm") / self.shm_poll.lstrip("/"),
                     Path("/dev/shm") / self.shm_shared_cpu.lstrip("/")):
            if str(path) not in ("", ".", "/dev/shm") and path.exists():
                self.leftovers.append(str(path))
        shutil.rmtree(self.workdir, ignore_errors=True)


def start_engines(setup: Setup) -> None:
    """Engine A: Unix + TCP + region with eventfd (socket, shm-notify, hybrid); engine B: region
    without a notify descriptor (shm polling)."""
    setup.socket_path = str(setup.workdir / "engine.sock")
    setup.tcp_port = free_tcp_port()
    tag = uuid.uuid4().hex[:8]
    setup.shm_notify = f"/zelto-bench-{tag}-n"
    setup.shm_poll = f"/zelto-bench-{tag}-p"
    setup.notify_fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
    setup.closers.append(lambda: os.close(setup.notify_fd))
    with setup.placement.starting_servers():
        a = setup.start_engine(["--unix", setup.socket_path, "--tcp", str(setup.tcp_port),
                                "--shm", setup.shm_notify, "--notify-fd", str(setup.notify_fd)],
                               pass_fds=(setup.notify_fd,))
        setup.closers.append(a.stop)
        b = setup.start_engine(["--shm", setup.shm_poll])
        setup.closers.append(b.stop)


def zelto_factories(setup: Setup
                    ) -> Dict[str, Tuple[str, Callable[[], Callable[[bytes], Callable[[], bytes]]]]]:
    """key -> (label, factory returning a binder (see bind_method) that owns its client)."""
    import zelto_sdk

    def unix():
        c = zelto_sdk.ZeltoClient(f"unix://{setup.socket_path}")
        return bind_method(c.infer, 0, shape=True)

    def tcp():
        c = zelto_sdk.ZeltoClient(f"tcp://127.0.0.1:{setup.tcp_port}")
        return bind_method(c.infer, 0, shape=True)

    def shm_notify():
        c = zelto_sdk.ZeltoShmClient(setup.shm_notify)
        return bind_method(c.infer, shape=True)

    def shm_poll():
        c = zelto_sdk.ZeltoShmClient(setup.shm_poll)
        return bind_method(c.infer, shape=True)

    def hybrid():
        c = zelto_sdk.ZeltoHybridClient(setup.shm_notify, setup.socket_path)
        return bind_method(c.infer, shape=True)

    return {
        "zelto-unix": ("ZeltoClient (unix)", unix),
        "zelto-tcp": ("ZeltoClient (tcp)", tcp),
        "zelto-shm-notify": ("ZeltoShmClient (eventfd)", shm_notify),
        "zelto-shm-poll": ("ZeltoShmClient (polling)", shm_poll),
        "zelto-hybrid": ("ZeltoHybridClient", hybrid),
    }


def shared_vcpu_transport(setup: Setup, sizes: Sequence[int]) -> Optional[Transport]:
    """ZeltoShmClient (eventfd) against an engine of its own whose threads share the caller's vCPU.

    The engine starts with every processor allowed, so it spins after each request, as it does in
    an ordinary run; then its threads are moved onto one vCPU, and the driver thread moves there
    for the transport's own calls only. The scheduler can put a spinning engine thread and its
    client on one vCPU by itself (seen in the demo: 4 KiB calls at about 220 µs instead of 5);
    this makes that placement on purpose so a run shows what it costs. None on one processor.

    The engine starts at the transport's first call and is measured after everything else (see
    `measure_in_phases`): an idle engine looks at its rings up to a thousand times a second, and
    one confined to a vCPU of its own made the scheduler place everybody's small-message
    wake-ups differently."""
    import zelto_sdk

    placement = setup.placement
    allowed = sorted(placement.allowed)
    if len(allowed) < 2 or placement.name == "one-core":
        return None
    cpu = {allowed[0]}  # the driver's own under "split"
    timed: Optional[Runner] = None  # the client's runner, once its engine has started

    def start() -> Runner:
        setup.shm_shared_cpu = f"/zelto-bench-{uuid.uuid4().hex[:8]}-s"
        notify_fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
        setup.closers.append(lambda: os.close(notify_fd))
        with placement.starting_anywhere():
            engine = setup.start_engine(["--shm", setup.shm_shared_cpu, "--notify-fd", str(notify_fd)],
                                        pass_fds=(notify_fd,))
        setup.closers.append(engine.stop)
        for tid in os.listdir(f"/proc/{engine.proc.pid}/task"):
            os.sched_setaffinity(int(tid), cpu)
        client = zelto_sdk.ZeltoShmClient(setup.shm_shared_cpu)
        runner = python_runner(bind_method(client.infer, shape=True))
        runner(64, b"\x00" * 64, 1)  # attach before anything is timed
        return runner

    def run(size: int, data: bytes, calls: int) -> List[float]:
        nonlocal timed
        if timed is None:
            timed = start()
        os.sched_setaffinity(0, cpu)  # this thread only
        try:
            return timed(size, data, calls)
        finally:
            os.sched_setaffinity(0, placement.driver or placement.allowed)

    return Transport("diag-shm-shared-vcpu", "ZeltoShmClient (eventfd), engine on the caller's vCPU",
                     "diagnostic", run, sizes=[s for s in sizes if s <= 64 << 10])


def floor_transports(setup: Setup, native_dir: Path, small: Sequence[int],
                     wanted: Callable[[str], bool]) -> List[Transport]:
    """The floor that blocks in recv, and two variants of it at the `small` sizes: the 12-byte
    header written by a send of its own (what a second write per request costs: the engine can
    wake for the header alone), and the reply waited for by spinning on recv without ever
    blocking (the caller keeps its processor and is never woken: the floor of a client that
    burns a processor while it waits)."""
    unix, tcp = ("unix", (setup.socket_path,)), ("tcp", ("127.0.0.1", str(setup.tcp_port)))
    floors = [(f"floor-{k}", f"C++ floor, blocking ({k})", k, where, "plain", None) for k, where in (unix, tcp)]
    floors.append(("floor-split", "C++ floor, header sent apart (unix)", *unix, "split", small))
    floors += [(f"floor-spin-{k}", f"C++ floor, spinning ({k})", k, where, "spin", small)
               for k, where in (unix, tcp)]
    out = []
    for key, label, kind, where, mode, only_sizes in floors:
        if not wanted(key):
            continue
        floor = FloorLibrary(native_dir / "libzelto_floor.so")
        setup.closers.append(floor.close)
        floor.connect(kind, *where)
        out.append(Transport(key, label, "limit",
                             (lambda f, m: lambda size, data, calls: f.run(size, calls, m))(floor, mode),
                             sizes=only_sizes))
    return out


def build_transports(setup: Setup, native_dir: Path, sizes: Sequence[int], only: Optional[set],
                     with_zelto: bool) -> None:
    def wanted(key: str) -> bool:
        return only is None or key in only or any(key.startswith(o) for o in only)

    # Limits of the machine.
    limits = NativeHelper(native_dir / "machine_limits")
    setup.closers.append(limits.stop)
    setup.transports.append(Transport(
        "limit-memcpy", "memcpy (C++)", "limit",
        lambda size, data, calls: limits.command(f"memcpy {size} {calls}"), first_call=False))
    setup.transports.append(Transport(
        "limit-eventfd", "eventfd round trip (C++)", "limit",
        lambda size, data, calls: limits.command(f"eventfd {calls} {setup.placement.server_cpu()}"),
        sizes=[sizes[0]], first_call=False))
    if with_zelto:
        small = [s for s in sizes if s <= 64 << 10]
        setup.transports += floor_transports(setup, native_dir, small, wanted)

        # zelto_sdk.
        for key, (label, factory) in zelto_factories(setup).items():
            if wanted(key):
                bind = factory()
                bind(b"\x00" * 64)()  # connect / attach before anything is timed
                setup.transports.append(Transport(key, label, "zelto", python_runner(bind)))
        if wanted("diag-shm-shared-vcpu"):
            shared = shared_vcpu_transport(setup, sizes)
            if shared:
                setup.transports.append(shared)

        # The same protocol in plain Python.
        for kind, endpoint in (("unix", f"unix://{setup.socket_path}"),
                               ("tcp", f"tcp://127.0.0.1:{setup.tcp_port}")):
            if wanted(f"py-socket-{kind}"):
                client = peers.PySocketClient(endpoint)
                setup.closers.append(client.close)
                bind = bind_method(client.infer, 0, shape=True)
                bind(b"\x00" * 64)()
                setup.transports.append(Transport(f"py-socket-{kind}", f"pure-Python socket ({kind})",
                                                  "peer", python_runner(bind)))

    # Other peers, each with its own echo server.
    if wanted("pyzmq"):
        address = f"ipc://{setup.workdir}/zmq.sock"
        with setup.placement.starting_servers():
            server = peers.PeerServer(["zmq", address])
        setup.closers.append(server.stop)
        client = peers.ZmqClient(address)
        setup.closers.append(client.close)
        client.infer(b"\x00" * 64)
        setup.transports.append(Transport("pyzmq", "pyzmq REQ/REP (ipc)", "peer", python_runner(bind_method(client.infer))))
    if wanted("grpc"):
        address = f"unix:{setup.workdir}/grpc.sock"
        with setup.placement.starting_servers():
            server = peers.PeerServer(["grpc", address])
        setup.closers.append(server.stop)
        client = peers.GrpcClient(address)
        setup.closers.append(client.close)
        client.infer(b"\x00" * 64)
        setup.transports.append(Transport("grpc", "grpcio unary (unix)", "peer", python_runner(bind_method(client.infer))))
    if wanted("shm-pipe"):
        with setup.placement.starting_servers():  # the client object starts no thread
            client = peers.ShmPipeClient(max(sizes))
        setup.closers.append(client.close)
        client.infer(b"\x00" * 64)
        setup.transports.append(Transport("shm-pipe", "shared_memory + pipe", "peer",
                                          python_runner(bind_method(client.infer))))


# ---------------------------------------------------------------------------------------------
# Measurement


@dataclass
class Stat:
    n: int
    first: float
    p50: float
    p99: float
    mean: float
    error: str = ""
    spread: float = math.nan  # (largest - smallest round p50) / p50: how steady the machine was


def measure(setup: Setup, sizes: Sequence[int], rounds: int, scale: float, verbose: bool
            ) -> Dict[Tuple[str, int], Stat]:
    stats: Dict[Tuple[str, int], Stat] = {}
    for size in sizes:
        active = [t for t in setup.transports if t.sizes is None or size in t.sizes]
        if not active:
            continue
        data = os.urandom(size)
        calls = calls_for(size, scale)
        first: Dict[str, float] = {}
        samples: Dict[str, List[float]] = {t.key: [] for t in active}
        round_p50: Dict[str, List[float]] = {t.key: [] for t in active}
        failed: Dict[str, str] = {}

        def attempt(t: Transport, n: int) -> List[float]:
            if t.key in failed:
                return []
            try:
                return t.run(size, data, n)
            except Mismatch:
                raise
            except Exception as exc:  # a peer that cannot run at this size
                failed[t.key] = f"{type(exc).__name__}: {exc}"
                return []

        # First call at this size (fresh buffers, fresh slots), then a warm-up.
        warmup = max(5, calls // 20)
        for t in active:
            got = attempt(t, 1)
            if got:
                first[t.key] = got[0]
        for t in active:
            attempt(t, warmup)
        # Steady state, interleaved: every round runs every transport, in a rotated order.
        per_round = max(1, calls // rounds)
        for r in range(rounds):
            order = active[r % len(active):] + active[:r % len(active)]
            for t in order:
                if verbose:
                    print(f"\r  {human_size(size):>12}  round {r + 1}/{rounds}  {t.label:<28}",
                          end="", file=sys.stderr, flush=True)
                got = attempt(t, per_round)
                samples[t.key].extend(got)
                if got:
                    round_p50[t.key].append(quantile(sorted(got), 0.5))
        for t in active:
            s = sorted(samples[t.key])
            if t.key in failed or not s:
                stats[(t.key, size)] = Stat(0, math.nan, math.nan, math.nan, math.nan,
                                            failed.get(t.key, "no samples"))
            else:
                p50 = quantile(s, 0.50)
                rp = round_p50[t.key]
                spread = (max(rp) - min(rp)) / p50 if len(rp) > 1 and p50 > 0 else math.nan
                stats[(t.key, size)] = Stat(len(s), first.get(t.key, math.nan) if t.first_call else math.nan,
                                            p50, quantile(s, 0.99), sum(s) / len(s), spread=spread)
    if verbose:
        print("\r" + " " * 70 + "\r", end="", file=sys.stderr)
    return stats


def measure_in_phases(setup: Setup, sizes: Sequence[int], rounds: int, scale: float, verbose: bool
                      ) -> Dict[Tuple[str, int], Stat]:
    """Every transport interleaved with the others, except the diagnostic placements: they run
    after the rest, each on its own, so that their engines do not exist while the others are
    measured (see shared_vcpu_transport)."""
    main = [t for t in setup.transports if t.kind != "diagnostic"]
    stats = measure(replace(setup, transports=main), sizes, rounds, scale, verbose)
    for t in setup.transports:
        if t.kind == "diagnostic":
            stats.update(measure(replace(setup, transports=[t]), sizes, rounds, scale, verbose))
    return stats


# ---------------------------------------------------------------------------------------------
# Soak


@dataclass
class SoakResult:
    label: str
    calls: int
    rss_growth_kib: int
    anon_growth_kib: int
    shmem_growth_kib: int
    fds_before: int
    fds_during: int
    fds_after: int
    seconds: float


def soak(setup: Setup, calls: int, size: int, only: Optional[set]) -> List[SoakResult]:
    results = []
    data = os.urandom(size)
    for key, (label, factory) in zelto_factories(setup).items():
        if only is not None and key not in only and not any(key.startswith(o) for o in only):
            continue
        gc.collect()
        fds_before = count_fds()
        call = factory()(data)
        for _ in range(1000):  # warm-up: connection, slots, allocator caches
            call()
        gc.collect()
        mem0 = memory_kib()
        print(f"  soak {label}: {calls} calls ...", file=sys.stderr, flush=True)
        t0 = time.perf_counter()
        for i in range(calls):
            if call() != data:
                raise Mismatch(f"{label}: result differs from input at call {i}")
        seconds = time.perf_counter() - t0
        gc.collect()
        mem1 = memory_kib()
        fds_during = count_fds()
        del call
        gc.collect()
        time.sleep(0.05)  # let a client's worker threads finish exiting
        fds_after = count_fds()
        growth = {k: mem1.get(k, 0) - mem0.get(k, 0) for k in ("VmRSS", "RssAnon", "RssShmem")}
        results.append(SoakResult(label, calls, growth["VmRSS"], growth["RssAnon"], growth["RssShmem"],
                                  fds_before, fds_during, fds_after, seconds))
    return results


# ---------------------------------------------------------------------------------------------
# Report


@dataclass
class Target:
    text: str
    ratio: float
    limit: float
    higher_is_better: bool = False
    diagnostic: bool = False  # reported next to the targets, not one of them

    @property
    def met(self) -> bool:
        if math.isnan(self.ratio):
            return False
        return self.ratio >= self.limit if self.higher_is_better else self.ratio <= self.limit

    def line(self) -> str:
        cmp = "≥" if self.higher_is_better else "≤"
        ratio = "n/a" if math.isnan(self.ratio) else f"{self.ratio:.2f}"
        if self.diagnostic:
            return f"{'INFO':<8} {self.text}: {ratio} (the target's limit is {cmp} {self.limit:g})"
        verdict = "NOT MEASURED" if math.isnan(self.ratio) else "MET" if self.met else "NOT MET"
        return f"{verdict:<8} {self.text}: {ratio} (target {cmp} {self.limit:g})"


def evaluate(transports: List[Transport], stats: Dict[Tuple[str, int], Stat], sizes: Sequence[int],
             soaked: List[SoakResult]) -> List[Target]:
    def p50(key: str, size: int) -> float:
        s = stats.get((key, size))
        return s.p50 if s else math.nan

    targets: List[Target] = []
    small = [s for s in sizes if s <= SMALL]
    largest = max(sizes) if sizes else 0
    for size in small:
        for kind in ("unix", "tcp"):
            targets.append(Target(f"ZeltoClient ({kind}) p50 at {human_size(size)} ÷ C++ floor, "
                                  f"blocking ({kind})",
                                  p50(f"zelto-{kind}", size) / p50(f"floor-{kind}", size), 1.10))
            # The floor blocks at once, ZeltoClient may spin first on a local engine: against a
            # floor that never blocks, it shows what is left of the client's own cost.
            if (f"floor-spin-{kind}", size) in stats:
                targets.append(Target(
                    f"ZeltoClient ({kind}) p50 at {human_size(size)} ÷ C++ floor, spinning ({kind})",
                    p50(f"zelto-{kind}", size) / p50(f"floor-spin-{kind}", size), 1.10,
                    diagnostic=True))
    for size in small:
        targets.append(Target(f"ZeltoShmClient (eventfd) p50 at {human_size(size)} ÷ ZeltoClient (unix)",
                              p50("zelto-shm-notify", size) / p50("zelto-unix", size), 0.5))
    largest = LARGEST_SLOT_DATA if LARGEST_SLOT_DATA in sizes else 0
    bound = 3 * p50("limit-memcpy", largest)
    for key, label in () if not largest else (("zelto-shm-notify", "ZeltoShmClient (eventfd)"),
                       ("zelto-shm-poll", "ZeltoShmClient (polling)"),
                       ("zelto-hybrid", "ZeltoHybridClient")):
        targets.append(Target(f"{label} throughput at {human_size(largest)} ÷ copy bound (3 × memcpy)",
                              bound / p50(key, largest), 0.8, higher_is_better=True))
    for size in small:
        targets.append(Target(f"ZeltoHybridClient p50 at {human_size(size)} ÷ ZeltoClient (unix)",
                              p50("zelto-hybrid", size) / p50("zelto-unix", size), 1.3))
    # One line per zelto transport: its worst ratio to any peer at any size where the peer ran,
    # and the sizes at which some peer is ahead of it.
    peer_list = [t for t in transports if t.kind == "peer"]
    for z in (t for t in transports if t.kind == "zelto"):
        worst, worst_at, behind = math.nan, "", []
        for size in sizes:
            for p in peer_list:
                pz, pp = p50(z.key, size), p50(p.key, size)
                if math.isnan(pp):
                    continue  # the peer cannot run at this size
                r = pz / pp if not math.isnan(pz) else math.inf
                if r > 1.0 and human_size(size) not in behind:
                    behind.append(human_size(size))
                if math.isnan(worst) or r > worst:
                    worst, worst_at = r, f"{human_size(size)} vs {p.label}"
        if worst_at:
            where = f"; behind at {', '.join(behind)}" if behind else ""
            targets.append(Target(f"{z.label} ahead of every peer at every size "
                                  f"(worst: {worst_at}{where})", worst, 1.0))
    for r in soaked:
        targets.append(Target(f"soak {r.label}: VmRSS growth over {r.calls} calls in MiB "
                              f"(private {r.anon_growth_kib / 1024:.2f}, shared region pages "
                              f"{r.shmem_growth_kib / 1024:.2f})", r.rss_growth_kib / 1024, 2.0))
        targets.append(Target(f"soak {r.label}: open descriptors after ÷ before "
                              f"({r.fds_after} / {r.fds_before})", r.fds_after / r.fds_before, 1.0))
    return targets


def fmt_us(ns: float) -> str:
    if math.isnan(ns):
        return "n/a"
    us = ns / 1000
    if us < 0.1:
        return f"{us:.4f}"
    if us < 10:
        return f"{us:.2f}"
    if us < 1000:
        return f"{us:.1f}"
    return f"{us:,.0f}"


def fmt_rate(size: int, ns: float) -> str:
    if math.isnan(ns) or ns <= 0:
        return "n/a"
    mib_s = size / (ns / 1e9) / (1 << 20)
    return f"{mib_s:,.0f}" if mib_s >= 10 else f"{mib_s:.2f}"


def load_average() -> str:
    try:
        with open("/proc/loadavg") as f:
            return f.read().split()[0]
    except OSError:
        return "?"


def machine_text() -> str:
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{os.cpu_count()} cores ({cpu}), Linux {platform.release()}, "
            f"CPython {platform.python_version()}")


def render(transports: List[Transport], stats: Dict[Tuple[str, int], Stat], sizes: Sequence[int],
           targets: List[Target], soaked: List[SoakResult], rounds: int, scale: float,
           with_plots: bool, loads: Tuple[str, str], placement: Placement,
           engine_args: Sequence[str] = (), busy_loops: int = 0) -> Tuple[str, str]:
    """(results.md, summary for the README)."""
    shown = [t for t in transports if t.key != "limit-eventfd"]
    floor_unix = {s: stats[("floor-unix", s)].p50 for s in sizes if ("floor-unix", s) in stats}
    memcpy = {s: stats[("limit-memcpy", s)].p50 for s in sizes if ("limit-memcpy", s) in stats}

    head = [
        f"Measured {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} on {machine_text()}, "
        f"by `bench/run.sh` (calls per size scaled by {scale:g}, {rounds} interleaved rounds per size; "
        f"1-minute load average {loads[0]} at the start, {loads[1]} at the end). "
        f"Placement: {placement.describe()}."
        + (f" Every engine started with `{' '.join(engine_args)}`." if engine_args else "")
        + (f" **Loaded: {busy_loops} busy loops ran through the measurement** (`--load`)."
           if busy_loops else ""),
        "",
    ]

    def matrix(title: str, cell: Callable[[Transport, int], str]) -> List[str]:
        out = [f"### {title}", "", "| transport | " + " | ".join(human_size(s) for s in sizes) + " |",
               "|---|" + "---:|" * len(sizes)]
        for t in shown:
            out.append(f"| {t.label} | " + " | ".join(cell(t, s) for s in sizes) + " |")
        out.append("")
        return out

    def p50_cell(t: Transport, s: int) -> str:
        st = stats.get((t.key, s))
        return fmt_us(st.p50) if st else ""

    def rate_cell(t: Transport, s: int) -> str:
        st = stats.get((t.key, s))
        if t.key == "limit-memcpy":
            return fmt_rate(s, 3 * st.p50) + " (3×: copy bound)" if st and s == max(sizes) else (
                fmt_rate(s, st.p50) if st else "")
        return fmt_rate(s, st.p50) if st else ""

    summary = matrix("p50 latency per call (µs)", p50_cell)
    summary += matrix("Throughput at p50 (MiB/s: tensor bytes ÷ p50 latency)", rate_cell)
    ev = stats.get(("limit-eventfd", sizes[0]))
    if ev:
        summary += [f"eventfd round trip between two processes (C++): p50 {fmt_us(ev.p50)} µs, "
                    f"p99 {fmt_us(ev.p99)} µs ({ev.n} round trips).", ""]
    summary += ["### Targets", "", "```"] + [t.line() for t in targets] + ["```", ""]
    if soaked:
        summary += ["### Soak", "",
                    "VmRSS growth over the calls (after 1000 warm-up calls), split into private memory "
                    "(RssAnon) and pages of shared mappings the client has touched (RssShmem: the "
                    "engine's region); descriptors counted before the client exists, while it "
                    "exists, and after it is gone.", "",
                    "| transport | calls | seconds | VmRSS growth (KiB) | RssAnon growth | RssShmem growth "
                    "| fds before | fds with client | fds after |",
                    "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
        for r in soaked:
            summary.append(f"| {r.label} | {r.calls} | {r.seconds:.1f} | {r.rss_growth_kib} | "
                           f"{r.anon_growth_kib} | {r.shmem_growth_kib} | "
                           f"{r.fds_before} | {r.fds_during} | {r.fds_after} |")
        summary.append("")

    detail = ["### Every measurement", "",
              "| transport | size | calls | first call (µs) | p50 (µs) | p99 (µs) | mean (µs) | round p50 spread "
              "| MiB/s at p50 | p50 ÷ C++ floor, blocking (unix) | throughput ÷ copy bound |",
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for t in transports:
        for s in sizes:
            st = stats.get((t.key, s))
            if not st:
                continue
            if st.error:
                detail.append(f"| {t.label} | {human_size(s)} | – | cannot run: {st.error} | | | | | | | |")
                continue
            spread = "" if math.isnan(st.spread) else f"{100 * st.spread:.0f} %"
            vs_floor = f"{st.p50 / floor_unix[s]:.2f}" if s in floor_unix and t.kind != "limit" else ""
            vs_copy = (f"{3 * memcpy[s] / st.p50:.2f}" if s in memcpy and s >= (256 << 10)
                       and t.kind != "limit" else "")
            detail.append(f"| {t.label} | {human_size(s)} | {st.n} | {fmt_us(st.first)} | {fmt_us(st.p50)} | "
                          f"{fmt_us(st.p99)} | {fmt_us(st.mean)} | {spread} | {fmt_rate(s, st.p50)} | {vs_floor} | {vs_copy} |")
    detail.append("")

    large = [s for s in sizes if s >= (256 << 10)]
    first = ["### First call and steady state at large sizes (µs)", "",
             "The first call at a size touches fresh memory (slots, reply buffers, result objects); "
             "the steady state is the p50 after the warm-up.", "",
             "| transport | " + " | ".join(f"{human_size(s)} first / p50" for s in large) + " |",
             "|---|" + "---:|" * len(large)]
    for t in transports:
        if not t.first_call or not any((t.key, s) in stats for s in large):
            continue
        cells = []
        for s in large:
            st = stats.get((t.key, s))
            cells.append(f"{fmt_us(st.first)} / {fmt_us(st.p50)}" if st and not st.error else "n/a")
        first.append(f"| {t.label} | " + " | ".join(cells) + " |")
    first.append("")

    plots = ["![p50 latency against tensor size](latency.png)", "",
             "![throughput against tensor size](throughput.png)", ""] if with_plots else []
    results = ["# zelto_sdk end-to-end benchmark", ""] + head + summary + first + plots + detail
    # The summary's plots are copied next to it (main), so the same relative links work there.
    readme = ["## Benchmark results", ""] + head + plots + summary + first
    return "\n".join(results), "\n".join(readme)


def write_summary(path: Path, readme: str) -> None:
    """The new summary, keeping the waiting report's section of the old one (see waiting.py)."""
    old = path.read_text() if path.exists() else ""
    waiting_section = summary_sections.section(old)
    readme = readme.rstrip("\n") + "\n"
    path.write_text(summary_sections.with_section(readme, waiting_section) if waiting_section
                    else readme)


def plot(transports: List[Transport], stats: Dict[Tuple[str, int], Stat], sizes: Sequence[int],
         out: Path) -> List[str]:
    """Writes latency.png and throughput.png into `out`; the names written (none without matplotlib)."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("warning: matplotlib missing, no plots", file=sys.stderr)
        return []
    styles = {"zelto": dict(linestyle="-", linewidth=2.2, marker="o"),
              "peer": dict(linestyle="--", linewidth=1.4, marker="s"),
              "limit": dict(linestyle=":", linewidth=1.6, marker="^"),
              "diagnostic": dict(linestyle="-.", linewidth=1.2, marker="x")}

    def series(t: Transport, value: Callable[[int, Stat], float]):
        xs, ys = [], []
        for s in sizes:
            st = stats.get((t.key, s))
            if st and not st.error and not math.isnan(st.p50):
                xs.append(s)
                ys.append(value(s, st))
        return xs, ys

    shown = [t for t in transports if t.key != "limit-eventfd"]
    charts = (
        ("latency.png", "p50 latency per call (µs)", lambda s, st: st.p50 / 1000),
        ("throughput.png", "throughput at p50 (MiB/s)", lambda s, st: s / (st.p50 / 1e9) / (1 << 20)),
    )
    for name, ylabel, value in charts:
        fig, ax = plt.subplots(figsize=(12.5, 6.5))
        palette = plt.get_cmap("tab20").colors
        for i, t in enumerate(shown):
            xs, ys = series(t, value)
            if xs:
                ax.plot(xs, ys, label=t.label, color=palette[(2 * i) % 20 + (2 * i) // 20], **styles[t.kind])
        if name == "throughput.png":
            xs, ys = series(next(t for t in transports if t.key == "limit-memcpy"),
                            lambda s, st: s / (3 * st.p50 / 1e9) / (1 << 20))
            xs, ys = [x for x in xs if x >= 256 << 10], ys[len(ys) - len([x for x in xs if x >= 256 << 10]):]
            ax.plot(xs, ys, label="copy bound (3 × memcpy)", color="black", linestyle="-.", linewidth=1.2)
        ax.set_xscale("log", base=2)
        ax.set_yscale("log")
        ax.set_xticks(list(sizes))
        ax.set_xticklabels([human_size(s) for s in sizes], rotation=20)
        ax.set_xlabel("tensor size")
        ax.set_ylabel(ylabel)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0))
        ax.set_title(f"zelto_sdk and peers: {ylabel.split(' (')[0]} ({machine_text()})", fontsize=9)
        fig.tight_layout()
        fig.savefig(out / name, dpi=110)
        plt.close(fig)
    return [name for name, _, _ in charts]


# ---------------------------------------------------------------------------------------------


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--engine", default=os.environ.get("ZELTO_MOCK_ENGINE", str(HERE.parent / "build-bench" / "zelto-mock-engine")))
    ap.add_argument("--native-dir", default=str(HERE.parent / "build-bench" / "bench"),
                    help="where libzelto_floor.so and machine_limits are")
    ap.add_argument("--out", default=str(HERE / "results"))
    ap.add_argument("--summary", default=str(HERE / "RESULTS.md"), help="the copy the README shows")
    ap.add_argument("--sizes", default=None,
                    help=f"comma-separated tensor sizes (default {','.join(map(str, DEFAULT_SIZES))}; "
                         f"with --waiting 64,4096)")
    ap.add_argument("--scale", type=float, default=1.0, help="multiply the number of calls per size")
    ap.add_argument("--rounds", type=int, default=None,
                    help="interleaved rounds per size (default 10; with --waiting 20 per world)")
    ap.add_argument("--load", type=int, default=0, metavar="N",
                    help="N busy loops (one per allowed CPU, round robin) run through the "
                         "measurement: a loaded machine")
    ap.add_argument("--waiting", action="store_true",
                    help="the waiting report: the zelto transports and both C++ floors, idle and "
                         "then loaded (see bench/waiting.py)")
    ap.add_argument("--only", default="", help="comma-separated transport keys or prefixes (development)")
    ap.add_argument("--engine-arg", action="append", default=[], metavar="ARG",
                    help="diagnostic: pass ARG on to every zelto-mock-engine the run starts "
                         "(repeatable), e.g. --engine-arg=--pool-size --engine-arg=22282240")
    ap.add_argument("--no-zelto", action="store_true", help="limits and peers only (no engine, no zelto_sdk)")
    ap.add_argument("--soak", action="store_true", help="only the soak: 100 000 calls per zelto transport")
    ap.add_argument("--no-soak", action="store_true")
    ap.add_argument("--soak-calls", type=int, default=100_000)
    ap.add_argument("--soak-size", type=int, default=4 << 10)
    placement = ap.add_mutually_exclusive_group()
    placement.add_argument("--one-core", action="store_true",
                           help="diagnostic: run the driver, the engines and every server on the first "
                                "allowed CPU, so that no wake-up crosses cores")
    placement.add_argument("--unpinned", action="store_true",
                           help="diagnostic: pin nothing (by default the driver runs on one CPU and "
                                "every server on another)")
    ap.add_argument("--quiet", action="store_true")
    opts = ap.parse_args()
    diagnostic_placement = opts.one_core or opts.unpinned
    placement = Placement.choose("one-core" if opts.one_core else "unpinned" if opts.unpinned else "split")
    placement.pin_driver()  # before any thread or process is started
    if opts.waiting:
        import waiting

        return waiting.main(opts, placement)

    opts.rounds = opts.rounds or 10
    sizes = sorted(int(s) for s in (opts.sizes or ",".join(map(str, DEFAULT_SIZES))).split(","))
    only = set(o for o in opts.only.split(",") if o) or None
    if only is not None:
        only |= {"limit"}
    out = Path(opts.out)
    out.mkdir(parents=True, exist_ok=True)
    with_zelto = not opts.no_zelto
    run_soak = with_zelto and not opts.no_soak

    setup = Setup(workdir=Path(tempfile.mkdtemp(prefix="zelto-bench-", dir="/tmp")), engine_binary=opts.engine,
                  engine_args=opts.engine_arg, placement=placement)
    stats: Dict[Tuple[str, int], Stat] = {}
    soaked: List[SoakResult] = []
    started = time.perf_counter()
    load_start = load_average()
    # Bounded by themselves at an hour: far beyond a full run, so one that ends early is a fault.
    busy = BusyLoops(opts.load, sorted(placement.allowed), limit=3600)
    try:
        if with_zelto:
            start_engines(setup)
        if not opts.soak:
            build_transports(setup, Path(opts.native_dir), sizes, only, with_zelto)
        busy.start()
        if not opts.soak:
            print(f"measuring {len(setup.transports)} transports at {len(sizes)} sizes"
                  f"{f' with {opts.load} busy loops' if opts.load else ''} ...", file=sys.stderr)
            stats = measure_in_phases(setup, sizes, opts.rounds, opts.scale, not opts.quiet)
        if run_soak or opts.soak:
            soaked = soak(setup, opts.soak_calls, opts.soak_size, only)
    finally:
        busy.stop()
        setup.close()
    if busy.ended_early:
        print(f"warning: busy loops {busy.ended_early} ended before the measurement did",
              file=sys.stderr)
    elapsed = time.perf_counter() - started
    loads = (load_start, load_average())

    if setup.leftovers:
        print(f"zelto-mock-engine left behind: {', '.join(setup.leftovers)}", file=sys.stderr)
    targets = evaluate(setup.transports, stats, sizes, soaked) if not opts.soak else evaluate([], {}, [], soaked)
    plots = plot(setup.transports, stats, sizes, out) if stats else []
    with_plots = bool(plots)
    if opts.soak:
        results = "\n".join(["# zelto_sdk soak", "", machine_text(), "", "```"] + [t.line() for t in targets] + ["```", ""])
        (out / "soak.md").write_text(results)
    else:
        results, readme = render(setup.transports, stats, sizes, targets, soaked, opts.rounds, opts.scale, with_plots, loads,
                                 placement, opts.engine_arg, opts.load)
        (out / "results.md").write_text(results + "\n")
        if with_zelto and only is None and not diagnostic_placement and not opts.engine_arg and not opts.load:
            write_summary(Path(opts.summary), readme)
            for name in plots:
                shutil.copyfile(out / name, Path(opts.summary).parent / name)
        print(results.split("### First call")[0])
    print(f"\n{'-' * 72}")
    for t in targets:
        print(t.line())
    print(f"\nwhole run: {elapsed:.0f} s; written to {out}")
    return 1 if setup.leftovers or busy.ended_early else 0


if __name__ == "__main__":
    sys.modules.setdefault("run_bench", sys.modules[__name__])  # one copy for waiting.py's import
    sys.exit(main())
