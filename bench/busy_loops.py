"""Busy processes that keep the machine's processors loaded while a benchmark measures.

    with BusyLoops(count, cpus, limit=600):
        ...  # measure on a loaded machine

Each loop is its own Python process spinning in a plain loop, pinned to one processor (the
processors are dealt out round robin). It ends when it is stopped, when its time limit runs out,
or when the process that started it is gone, whichever comes first, so a driver that dies, is
killed or hangs never leaves the machine loaded for long.
"""

from __future__ import annotations

import os
import subprocess
import sys
from typing import List, Sequence

# argv: cpu, seconds, parent pid. The inner loop is the load; the outer check costs a clock read
# and a getppid every ~100 000 iterations (a millisecond or two).
LOOP = r"""
import os, sys, time
cpu, seconds, parent = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
os.sched_setaffinity(0, {cpu})
print("busy", flush=True)
end = time.monotonic() + seconds
while time.monotonic() < end and os.getppid() == parent:
    for _ in range(100000):
        pass
"""


class BusyLoops:
    """`count` busy processes on `cpus` (round robin), each ending by itself after `limit` s."""

    def __init__(self, count: int, cpus: Sequence[int], limit: float) -> None:
        if count and not cpus:
            raise ValueError("no processor to load")
        self.cpus = sorted(cpus)
        self.count = count
        self.limit = limit
        self.procs: List[subprocess.Popen] = []
        self.ended_early: List[int] = []  # pids of loops that were gone before stop()

    def start(self) -> "BusyLoops":
        try:
            for i in range(self.count):
                cpu = self.cpus[i % len(self.cpus)]
                proc = subprocess.Popen([sys.executable, "-c", LOOP, str(cpu), str(self.limit),
                                         str(os.getpid())], stdout=subprocess.PIPE,
                                        stdin=subprocess.DEVNULL)
                self.procs.append(proc)
                assert proc.stdout is not None
                if proc.stdout.readline().strip() != b"busy":  # pinned and looping
                    raise RuntimeError(f"busy loop on CPU {cpu} did not start")
        except BaseException:
            self.stop()
            raise
        return self

    def pids(self) -> List[int]:
        return [p.pid for p in self.procs]

    def stop(self) -> None:
        """Ends every loop and waits for it; remembers the loops that had already ended (their
        time limit was shorter than the measurement, which then was not loaded throughout)."""
        for proc in self.procs:
            if proc.poll() is None:
                proc.kill()
            else:
                self.ended_early.append(proc.pid)
        for proc in self.procs:
            proc.wait()
            if proc.stdout is not None:
                proc.stdout.close()
        self.procs.clear()

    def __enter__(self) -> "BusyLoops":
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

