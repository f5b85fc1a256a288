"""The main job: all three zelto_sdk clients against a bundled zelto-mock-engine.

Starts the engine (Unix socket, TCP, shared memory with an eventfd, hybrid), sends numpy float32
tensors from a few KiB up to the largest shared-memory slot through every transport, checks each
result against its input (the mock engine's default model echoes its input), prints one table of
p50 / p99 latency and throughput, stops the engine and checks that it left no socket file or
shared-memory object behind.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import sysconfig
import tempfile
import time
import uuid
from pathlib import Path
from typing import Callable, Dict, List, Tuple

import numpy as np

import zelto_sdk

LARGEST_SLOT = 16 * 1024 * 1024  # the largest default slot class of a 64 MiB pool
BLOCK_HEADER = 80


def engine_binary() -> str:
    explicit = os.environ.get("ZELTO_MOCK_ENGINE")
    if explicit:
        return explicit
    beside = Path(sysconfig.get_path("scripts")) / "zelto-mock-engine"
    return str(beside) if beside.exists() else (shutil.which("zelto-mock-engine") or "zelto-mock-engine")


def free_tcp_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Engine:
    """zelto-mock-engine serving every transport at once."""

    def __init__(self) -> None:
        self.directory = Path(tempfile.mkdtemp(prefix="zelto-demo-", dir="/tmp"))
        self.socket_path = str(self.directory / "engine.sock")
        self.tcp_port = free_tcp_port()
        self.shm_name = f"/zelto-demo-{uuid.uuid4().hex[:8]}"
        self.notify_fd = os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
        args = [
            engine_binary(),
            "--unix", self.socket_path,
            "--tcp", str(self.tcp_port),
            "--shm", self.shm_name,
            "--notify-fd", str(self.notify_fd),
            "--print-ready",
        ]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, pass_fds=(self.notify_fd,))
        assert self.proc.stdout is not None
        if self.proc.stdout.readline().strip() != b"ready":
            raise SystemExit("zelto-mock-engine did not start")

    def stop(self) -> List[str]:
        """Stops the engine; returns what it left behind (nothing, if it cleaned up)."""
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=10)
        os.close(self.notify_fd)
        leftovers = [p for p in (Path(self.socket_path), Path("/dev/shm") / self.shm_name.lstrip("/")) if p.exists()]
        shutil.rmtree(self.directory, ignore_errors=True)
        return [str(p) for p in leftovers]


def tensor_of(nbytes: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).standard_normal(nbytes // 4, dtype=np.float32)


def measure(call: Callable[[np.ndarray], bytes], tensor: np.ndarray, calls: int) -> Tuple[float, float]:
    """p50 and p99 latency in seconds; every result is checked against the input."""
    expected = tensor.tobytes()
    for _ in range(min(3, calls)):  # warm-up: connections, page faults of fresh slots
        if call(tensor) != expected:
            raise SystemExit("result differs from the input")
    samples = []
    for _ in range(calls):
        start = time.perf_counter()
        result = call(tensor)
        samples.append(time.perf_counter() - start)
        if result != expected:
            raise SystemExit("result differs from the input")
    samples.sort()
    return samples[len(samples) // 2], samples[min(len(samples) - 1, (len(samples) * 99) // 100)]


def human_size(n: int) -> str:
    if n == LARGEST_SLOT - BLOCK_HEADER:
        return "16MiB-80B"  # the largest tensor a default slot holds
    for unit, size in (("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n >= size:
            return f"{n / size:g} {unit}"
    return f"{n} B"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--calls", type=int, default=200, help="timed calls per small size")
    options = parser.parse_args()

    sizes = [4 << 10, 64 << 10, 1 << 20, LARGEST_SLOT - BLOCK_HEADER]
    engine = Engine()
    try:
        unix = zelto_sdk.ZeltoClient(f"unix://{engine.socket_path}")
        tcp = zelto_sdk.ZeltoClient(f"tcp://127.0.0.1:{engine.tcp_port}")
        shm = zelto_sdk.ZeltoShmClient(engine.shm_name)
        hybrid = zelto_sdk.ZeltoHybridClient(engine.shm_name, engine.socket_path)
        transports: Dict[str, Callable[[np.ndarray], bytes]] = {
            "socket (unix)": lambda t: unix.infer(0, list(t.shape), "float32", t.view(np.uint8)),
            "socket (tcp)": lambda t: tcp.infer(0, list(t.shape), "float32", t.view(np.uint8)),
            "shared memory": lambda t: shm.infer(list(t.shape), "float32", t.view(np.uint8)),
            "hybrid": lambda t: hybrid.infer(list(t.shape), "float32", t.view(np.uint8)),
        }
        rows = []
        total = len(sizes) * len(transports)
        done = 0
        for size in sizes:
            tensor = tensor_of(size, seed=size)
            calls = max(10, options.calls * (4 << 10) // max(size, 4 << 10)) if size > (64 << 10) else options.calls
            for name, call in transports.items():
                done += 1
                print(f"\r  measuring {done}/{total}: {name:<14} {human_size(size):>9} ...", end="", file=sys.stderr, flush=True)
                p50, p99 = measure(call, tensor, calls)
                rows.append((name, size, p50, p99, size / p50))
        print("\r" + " " * 72 + "\r", end="", file=sys.stderr)
    finally:
        leftovers = engine.stop()

    print(f"{'transport':<15} {'size':>10} {'p50 (us)':>10} {'p99 (us)':>10} {'throughput':>13}")
    for name, size, p50, p99, rate in rows:
        print(f"{name:<15} {human_size(size):>10} {p50 * 1e6:>10.1f} {p99 * 1e6:>10.1f} {rate / (1 << 20):>9.0f} MiB/s")
    if leftovers:
        print(f"engine left behind: {', '.join(leftovers)}", file=sys.stderr)
        return 1
    print("\nall results matched their inputs; the engine left no socket file or shared-memory object behind")
    return 0


if __name__ == "__main__":
    sys.exit(main())
