"""Measuring one (transport, size) row: warm-up, then timed calls in one or more processes.

Failures never stop the run: each call's exception is counted under its text, and a row gives
up after Plan.max_errors failures in a row (an engine that is gone fails every call; one
shared-memory call alone can take seconds to time out)."""

from __future__ import annotations

import multiprocessing
import random
import threading
import time
from array import array
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Callable, List, Optional

from .calls import Call, make_call
from .plan import Plan, Target

BARRIER_TIMEOUT = 300.0  # seconds; a worker stuck in its warm-up must not hang the others
ECHO_MISMATCH = "echo check: the result differs from the input"
Progress = Callable[[int], None]


@dataclass
class Samples:
    """What one process measured for a row."""
    latencies: List[float] = field(default_factory=list)  # seconds, successful calls only
    errors: Counter[str] = field(default_factory=Counter)
    gave_up: Optional[str] = None
    started: float = 0.0
    finished: float = 0.0

    def merge(self, other: Samples) -> None:
        self.latencies += other.latencies
        self.errors.update(other.errors)
        self.gave_up = self.gave_up or other.gave_up
        self.started = min(self.started, other.started) if self.started else other.started
        self.finished = max(self.finished, other.finished)


def error_text(problem: BaseException) -> str:
    return f"{type(problem).__name__}: {problem}"


def tensor_bytes(size: int) -> bytes:
    return random.Random(size).randbytes(size)


class RowRun:
    """The calls of one row in one process; `calls` None means until `deadline`."""

    def __init__(self, plan: Plan, call: Call, data: bytes, progress: Progress) -> None:
        self.plan = plan
        self.call = call
        self.expected = data if plan.check_echo else None
        self.progress = progress
        self.samples = Samples()
        self.failures_in_a_row = 0

    def one(self, timed: bool) -> bool:
        """One call; False once the row should give up."""
        start = time.perf_counter()
        try:
            result = self.call()
        except Exception as problem:  # counted, shown with its text, never raised
            return self.failed(error_text(problem))
        elapsed = time.perf_counter() - start
        if self.expected is not None and result != self.expected:
            return self.failed(ECHO_MISMATCH)
        self.failures_in_a_row = 0
        if timed:
            self.samples.latencies.append(elapsed)
        return True

    def failed(self, text: str) -> bool:
        self.samples.errors[text] += 1
        self.failures_in_a_row += 1
        if self.failures_in_a_row >= self.plan.max_errors:
            self.samples.gave_up = f"gave up after {self.plan.max_errors} failed calls in a row"
            return False
        return True

    def warm_up(self) -> bool:
        if self.samples.gave_up:
            return False
        for _ in range(self.plan.warmup):
            if not self.one(timed=False):
                return False
        return True

    def timed(self, calls: Optional[int], deadline: Optional[float]) -> Samples:
        self.samples.started = time.perf_counter()
        done = 0
        while (calls is None or done < calls) and (deadline is None
                                                   or time.perf_counter() < deadline):
            keep_going = self.one(timed=True)
            done += 1
            self.progress(1)
            if not keep_going:
                break
        self.samples.finished = time.perf_counter()
        return self.samples


def start_row(plan: Plan, target: Target, size: int, progress: Progress) -> RowRun:
    """The row's client and tensor; a client that cannot be made ends the row at once, with
    its error counted once."""
    data = tensor_bytes(size)
    try:
        call = make_call(target, plan.addresses, plan.model_id, plan.shape_for(size), plan.dtype,
                         data)
    except Exception as problem:
        run = RowRun(plan, lambda: b"", data, progress)
        run.samples.errors[error_text(problem)] += 1
        run.samples.gave_up = "the client could not be made"
        return run
    return RowRun(plan, call, data, progress)


def measure_here(plan: Plan, target: Target, size: int, progress: Progress) -> Samples:
    """The row in this process."""
    run = start_row(plan, target, size, progress)
    if not run.warm_up():
        return run.samples
    deadline = None if plan.duration is None else time.perf_counter() + plan.duration
    return run.timed(None if plan.duration is not None else plan.calls, deadline)


def worker(plan: Plan, target: Target, size: int, calls: Optional[int], start_together: Any,
           counter: Any, results: Any) -> None:
    def progress(step: int) -> None:
        with counter.get_lock():
            counter.value += step

    run = start_row(plan, target, size, progress)
    ready = run.warm_up()
    try:
        start_together.wait(timeout=BARRIER_TIMEOUT)  # all warm: the clock starts for all at once
    except threading.BrokenBarrierError:
        run.samples.errors["the worker processes did not all start"] += 1
        ready = False
    if ready:
        deadline = None if plan.duration is None else time.perf_counter() + plan.duration
        run.timed(calls, deadline)
    samples = run.samples
    results.put((array("d", samples.latencies).tobytes(), dict(samples.errors), samples.gave_up,
                 samples.started, samples.finished))


def measure_in_processes(plan: Plan, target: Target, size: int,
                         progress: Progress) -> Samples:
    """The row in plan.concurrency worker processes, calls shared out among them."""
    context = multiprocessing.get_context("fork")
    start_together = context.Barrier(plan.concurrency)
    counter = context.Value("q", 0)
    results = context.Queue()
    shares = [plan.calls // plan.concurrency + (1 if i < plan.calls % plan.concurrency else 0)
              for i in range(plan.concurrency)]
    processes = [
        context.Process(target=worker, daemon=True,
                        args=(plan, target, size, None if plan.duration is not None else share,
                              start_together, counter, results))
        for share in shares]
    for process in processes:
        process.start()
    merged = Samples()
    reported = 0
    collected = 0
    while collected < len(processes):
        try:
            raw, errors, gave_up, started, finished = results.get(timeout=0.1)
        except Exception:  # queue.Empty: report progress, and notice a worker that died
            if all(not p.is_alive() for p in processes) and results.empty():
                merged.errors["a worker process died"] += len(processes) - collected
                break
        else:
            latencies = array("d")
            latencies.frombytes(raw)
            merged.merge(Samples(list(latencies), Counter(errors), gave_up, started, finished))
            collected += 1
        now = int(counter.value)
        if now > reported:
            progress(now - reported)
            reported = now
    for process in processes:
        process.join(timeout=10)
    return merged


def measure_row(plan: Plan, target: Target, size: int, progress: Progress) -> Samples:
    if plan.concurrency == 1:
        return measure_here(plan, target, size, progress)
    return measure_in_processes(plan, target, size, progress)

