"""Two builds of zelto_sdk side by side in one run: the same calls through each, round by round.

    bench/compare.sh REV [options]        # builds REV and the working tree, then runs this

Every round starts one worker process per build (in an order that alternates from round to
round) against the same engines; a worker makes warm-up calls, then the timed ones, and reports
its p50, p99 and process CPU time per call. Noise therefore falls on both builds alike; what is
reported per scenario is the median over the rounds of each build's p50, the spread of those
p50s, and the ratio new / base of the medians. `--load N` keeps N busy processes running for
the whole measurement (a loaded machine; see busy_loops.py).
"""

from __future__ import annotations

import argparse
import json
import os
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path
from typing import Dict, List

sys.path.insert(0, str(Path(__file__).resolve().parent))
from busy_loops import BusyLoops  # noqa: E402

WORKER = r"""
import json, os, resource, sys, time
import zelto_sdk

kind, size, warm, calls = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
shm_notify, shm_poll, socket_path, tcp_port = sys.argv[5:9]
make = {
    "shm-notify": lambda: zelto_sdk.ZeltoShmClient(shm_notify).infer,
    "shm-poll": lambda: zelto_sdk.ZeltoShmClient(shm_poll).infer,
    "hybrid": lambda: zelto_sdk.ZeltoHybridClient(shm_notify, socket_path).infer,
    "unix": lambda: (lambda c: lambda s, d, x: c.infer(0, s, d, x))(zelto_sdk.ZeltoClient(socket_path)),
    "tcp": lambda: (lambda c: lambda s, d, x: c.infer(0, s, d, x))(
        zelto_sdk.ZeltoClient(f"tcp://127.0.0.1:{tcp_port}")),
}
infer = make[kind]()
data = os.urandom(size)
shape = [size]
for _ in range(warm):
    assert infer(shape, "uint8", data) == data
samples = []
clock = time.perf_counter_ns
cpu_before = resource.getrusage(resource.RUSAGE_SELF)
for _ in range(calls):
    start = clock()
    infer(shape, "uint8", data)
    samples.append(clock() - start)
cpu_after = resource.getrusage(resource.RUSAGE_SELF)
samples.sort()
cpu = (cpu_after.ru_utime - cpu_before.ru_utime) + (cpu_after.ru_stime - cpu_before.ru_stime)
print(json.dumps({"p50": samples[len(samples) // 2], "p99": samples[len(samples) * 99 // 100],
                  "cpu_ns": cpu * 1e9 / calls}))
"""

SCENARIOS = ["shm-notify", "shm-poll", "hybrid", "unix", "tcp"]


def free_tcp_port() -> int:
    import socket

    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


class Engines:
    """One engine with a notify descriptor (shm, unix, tcp, hybrid), one without (polling)."""

    def __init__(self, binary: str, directory: Path, server_cpus: List[int]) -> None:
        self.notify_fd = os.eventfd(0, os.EFD_NONBLOCK)
        self.shm_notify = f"/zelto-ab-{uuid.uuid4().hex[:8]}"
        self.shm_poll = f"/zelto-ab-{uuid.uuid4().hex[:8]}"
        self.socket_path = str(directory / "engine.sock")
        self.tcp_port = free_tcp_port()
        preexec = (lambda: os.sched_setaffinity(0, server_cpus)) if server_cpus else None
        self.procs = [
            self._start([binary, "--shm", self.shm_notify, "--notify-fd", str(self.notify_fd),
                         "--unix", self.socket_path, "--tcp", str(self.tcp_port)], preexec),
            self._start([binary, "--shm", self.shm_poll], preexec),
        ]

    def _start(self, args: List[str], preexec) -> subprocess.Popen:
        proc = subprocess.Popen([*args, "--print-ready"], stdout=subprocess.PIPE,
                                pass_fds=(self.notify_fd,), preexec_fn=preexec)
        ready, _, _ = select.select([proc.stdout], [], [], 20)
        if not ready or proc.stdout.readline().split()[:1] != [b"ready"]:
            proc.terminate()  # SIGTERM first: it unlinks a region it has made
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
            raise RuntimeError(f"engine {args} did not start")
        return proc

    def worker_args(self) -> List[str]:
        return [self.shm_notify, self.shm_poll, self.socket_path, str(self.tcp_port)]

    def stop(self) -> None:
        for proc in self.procs:
            proc.terminate()
            proc.wait()


def run_worker(python: str, kind: str, size: int, warm: int, calls: int, engines: Engines,
               driver_cpus: List[int]) -> Dict[str, float]:
    preexec = (lambda: os.sched_setaffinity(0, driver_cpus)) if driver_cpus else None
    out = subprocess.run([python, "-c", WORKER, kind, str(size), str(warm), str(calls),
                          *engines.worker_args()], capture_output=True, text=True,
                         pass_fds=(engines.notify_fd,), preexec_fn=preexec, timeout=600, check=True)
    return json.loads(out.stdout)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    ap.add_argument("--base", required=True, help="python of the environment with the base build")
    ap.add_argument("--new", required=True, help="python of the environment with the new build")
    ap.add_argument("--engine", required=True, help="zelto-mock-engine serving both")
    ap.add_argument("--scenarios", default=",".join(SCENARIOS))
    ap.add_argument("--sizes", default="64,4096")
    ap.add_argument("--rounds", type=int, default=8)
    ap.add_argument("--calls", type=int, default=3000)
    ap.add_argument("--warm", type=int, default=300)
    ap.add_argument("--load", type=int, default=0, help="busy processes during the run")
    ap.add_argument("--unpinned", action="store_true",
                    help="let the scheduler place everything (default: workers on the first "
                         "allowed processor, engines on the others)")
    args = ap.parse_args()

    allowed = sorted(os.sched_getaffinity(0))
    pinned = not args.unpinned and len(allowed) > 1
    driver_cpus, server_cpus = (allowed[:1], allowed[1:]) if pinned else ([], [])
    directory = Path(tempfile.mkdtemp(prefix="zelto-ab-", dir="/tmp"))
    engines = Engines(args.engine, directory, server_cpus)
    load = BusyLoops(args.load, allowed, limit=3600)
    rows = []
    try:
        load.start()
        for kind in args.scenarios.split(","):
            for size in map(int, args.sizes.split(",")):
                results: Dict[str, List[Dict[str, float]]] = {"base": [], "new": []}
                for round_number in range(args.rounds):
                    order = ["base", "new"] if round_number % 2 == 0 else ["new", "base"]
                    for side in order:
                        python = args.base if side == "base" else args.new
                        results[side].append(run_worker(python, kind, size, args.warm, args.calls,
                                                        engines, driver_cpus))
                rows.append((kind, size, results))
                print(row_text(kind, size, results), flush=True)
    finally:
        load.stop()
        engines.stop()
        shutil.rmtree(directory, ignore_errors=True)


def row_text(kind: str, size: int, results: Dict[str, List[Dict[str, float]]]) -> str:
    def summary(side: str) -> str:
        p50s = [r["p50"] / 1000 for r in results[side]]
        cpu = statistics.median(r["cpu_ns"] for r in results[side]) / 1000
        return (f"{side} p50 {statistics.median(p50s):7.2f} us ({min(p50s):.2f}-{max(p50s):.2f}),"
                f" cpu {cpu:6.2f} us")

    base = statistics.median(r["p50"] for r in results["base"])
    new = statistics.median(r["p50"] for r in results["new"])
    return (f"{kind:10} {size:>6} B  {summary('base')} | {summary('new')} | "
            f"new/base {new / base:.3f}, new-base {(new - base) / 1000:+.2f} us")


if __name__ == "__main__":
    sys.exit(main())
