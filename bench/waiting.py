"""The waiting report: what waiting for the engine costs each zelto transport, in time and in
processor time, on an idle machine and on a loaded one.

    bench/run.sh --waiting            # about 2-3 minutes on 2 cores after the build

At 64 B and 4 KiB, in one run: ZeltoClient (unix, tcp), ZeltoShmClient (eventfd, polling),
ZeltoHybridClient and the C++ floor that blocks in recv and the one that spins on it (unix,
tcp), first on the idle machine, then with a busy loop on every allowed processor
(busy_loops.py). In each world and at each size every transport runs its share of each round,
in an order rotated from round to round. Around the timed calls of every share the driver reads
its own processor time (getrusage(RUSAGE_SELF): user + system of every thread of the process,
so the hybrid client's workers count) and the wall clock; CPU per call is the sum of those
processor times over the rounds divided by the calls, and its ratio to the wall time of the same
calls says how many processors a call keeps busy on the caller's side.

Writes results/waiting.md; a full run (default sizes, rounds and calls, default placement) also
puts its section into RESULTS.md, keeping the rest of that file.
"""

from __future__ import annotations

import datetime
import math
import os
import resource
import statistics
import sys
import tempfile
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Dict, List, Optional, Sequence, Tuple

import run_bench as rb
import summary_sections
from busy_loops import BusyLoops

SIZES = [64, 4 << 10]
ROUNDS = 20
CALLS_PER_ROUND = 500
WORLDS = ("idle", "loaded")
ZELTO_KEYS = ["zelto-unix", "zelto-tcp", "zelto-shm-notify", "zelto-shm-poll", "zelto-hybrid"]
FLOOR_KEYS = ["floor-unix", "floor-spin-unix", "floor-tcp", "floor-spin-tcp"]
SHM_KEYS = ["zelto-shm-notify", "zelto-shm-poll"]
LOAD_LIMIT_S = 900  # each busy loop's own bound: far beyond the loaded world's minute or two
# A share of a round stops early after this long, so that a transport that waits milliseconds per
# call under load (a scheduler tick, a sleep) still leaves the run at a few minutes; it then has
# fewer calls, and the report says so.
SHARE_BUDGET_NS = 250_000_000

# Target limits.
FLOOR_RATIO = 1.15  # ZeltoClient p50 ÷ the better floor of its socket kind, in each world
LOADED_RATIO = 1.2  # shm p50 loaded ÷ idle
ROUND_RATIO = 2.0  # shm: worst round p50 ÷ median round p50
CPU_RATIO = 1.5  # CPU per call ÷ wall time per call


@dataclass
class Row:
    """One transport at one size in one world, accumulated over the rounds."""

    samples: List[float] = field(default_factory=list)  # ns per call
    round_p50: List[float] = field(default_factory=list)
    cpu_s: float = 0.0  # process user + system time around the timed calls
    wall_ns: float = 0.0  # wall time around the same calls
    short_rounds: int = 0  # shares cut short by SHARE_BUDGET_NS
    error: str = ""

    @property
    def calls(self) -> int:
        return len(self.samples)

    def quantile(self, q: float) -> float:
        return rb.quantile(sorted(self.samples), q) if self.samples and not self.error else math.nan

    @property
    def cpu_per_call_ns(self) -> float:
        return self.cpu_s * 1e9 / self.calls if self.calls and not self.error else math.nan

    @property
    def cpu_ratio(self) -> float:
        return self.cpu_s * 1e9 / self.wall_ns if self.wall_ns and not self.error else math.nan


Stats = Dict[Tuple[str, str, int], Row]  # (world, key, size)


def calls_within_budget(t: rb.Transport, size: int, data: bytes, calls: int, start_ns: int) -> List[float]:
    """Up to `calls` timed calls of `t`, fewer if they would take longer than SHARE_BUDGET_NS:
    ten first, then as many as the time per call so far lets fit into the rest of the budget."""
    got: List[float] = []
    n = min(calls, 10)
    while True:
        got += t.run(size, data, n)
        spent = time.perf_counter_ns() - start_ns
        left = calls - len(got)
        if left <= 0 or spent >= SHARE_BUDGET_NS:
            return got
        n = max(1, min(left, int((SHARE_BUDGET_NS - spent) * len(got) / spent)))


def timed_share(t: rb.Transport, size: int, data: bytes, calls: int, row: Row) -> None:
    """One round's calls of `t`, with the process's CPU time and the wall time around them."""
    before = resource.getrusage(resource.RUSAGE_SELF)
    w0 = time.perf_counter_ns()
    got = calls_within_budget(t, size, data, calls, w0)
    w1 = time.perf_counter_ns()
    after = resource.getrusage(resource.RUSAGE_SELF)
    row.short_rounds += len(got) < calls
    row.cpu_s += (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    row.wall_ns += w1 - w0
    row.samples.extend(got)
    row.round_p50.append(rb.quantile(sorted(got), 0.5))


def measure_world(world: str, transports: List[rb.Transport], sizes: Sequence[int], rounds: int,
                  calls: int, stats: Stats, verbose: bool) -> None:
    for size in sizes:
        data = os.urandom(size)
        rows = {t.key: stats.setdefault((world, t.key, size), Row()) for t in transports}

        def attempt(t: rb.Transport, action) -> None:
            if rows[t.key].error:
                return
            try:
                action()
            except rb.Mismatch:
                raise
            except Exception as exc:  # e.g. a spinning floor whose reply never came
                rows[t.key].error = (f"{type(exc).__name__}: {exc} (after {rows[t.key].calls} "
                                     f"timed calls)")

        for t in transports:  # warm-up: this size's buffers, slots, caches
            attempt(t, lambda t=t: calls_within_budget(t, size, data, max(20, calls // 5),
                                                      time.perf_counter_ns()))
        for r in range(rounds):
            order = transports[r % len(transports):] + transports[:r % len(transports)]
            for t in order:
                if verbose:
                    print(f"\r  {world:>6} {rb.human_size(size):>6}  round {r + 1}/{rounds}  "
                          f"{t.label:<28}", end="", file=sys.stderr, flush=True)
                attempt(t, lambda t=t: timed_share(t, size, data, calls, rows[t.key]))
    if verbose:
        print("\r" + " " * 78 + "\r", end="", file=sys.stderr)


def build_transports(setup: rb.Setup, native_dir: Path, sizes: Sequence[int]) -> List[rb.Transport]:
    factories = rb.zelto_factories(setup)
    zelto = []
    for key in ZELTO_KEYS:
        label, factory = factories[key]
        bind = factory()
        bind(b"\x00" * 64)()  # connect / attach before anything is timed
        zelto.append(rb.Transport(key, label, "zelto", rb.python_runner(bind)))
    floors = rb.floor_transports(setup, native_dir, sizes, lambda key: key in FLOOR_KEYS)
    floors.sort(key=lambda t: FLOOR_KEYS.index(t.key))
    return zelto + floors


# ---------------------------------------------------------------------------------------------
# Targets


def evaluate(transports: List[rb.Transport], stats: Stats, sizes: Sequence[int]) -> List[rb.Target]:
    def row(world: str, key: str, size: int) -> Row:
        return stats.get((world, key, size)) or Row(error="not run")

    def p50(world: str, key: str, size: int) -> float:
        return row(world, key, size).quantile(0.5)

    label = {t.key: t.label for t in transports}
    targets: List[rb.Target] = []
    for world in WORLDS:
        for size in sizes:
            for kind in ("unix", "tcp"):
                floors = [(p50(world, k, size), label[k]) for k in (f"floor-{kind}", f"floor-spin-{kind}")]
                floors = [f for f in floors if not math.isnan(f[0])]
                best, best_label = min(floors) if floors else (math.nan, "no floor")
                targets.append(rb.Target(
                    f"{world}: ZeltoClient ({kind}) p50 at {rb.human_size(size)} ÷ the better floor "
                    f"({best_label})", p50(world, f"zelto-{kind}", size) / best, FLOOR_RATIO))
    for key in SHM_KEYS:
        for size in sizes:
            targets.append(rb.Target(
                f"{label[key]} p50 at {rb.human_size(size)}: loaded ÷ idle",
                p50("loaded", key, size) / p50("idle", key, size), LOADED_RATIO))
    for world in WORLDS:
        for key in SHM_KEYS:
            for size in sizes:
                rounds = row(world, key, size).round_p50
                ratio = max(rounds) / statistics.median(rounds) if rounds else math.nan
                targets.append(rb.Target(
                    f"{world}: {label[key]} at {rb.human_size(size)}: largest ÷ median of the "
                    f"{len(rounds)} round p50s", ratio, ROUND_RATIO))
    for world in WORLDS:
        for t in transports:
            for size in sizes:
                targets.append(rb.Target(
                    f"{world}: {t.label} at {rb.human_size(size)}: CPU per call ÷ wall time per call",
                    row(world, t.key, size).cpu_ratio, CPU_RATIO))
    return targets


# ---------------------------------------------------------------------------------------------
# Report


def spread_text(row: Row) -> str:
    if row.error or not row.round_p50:
        return ""
    return f"{rb.fmt_us(min(row.round_p50))}–{rb.fmt_us(max(row.round_p50))}"


def world_table(world: str, transports: List[rb.Transport], stats: Stats, sizes: Sequence[int]) -> List[str]:
    head = "| transport | " + " | ".join(
        f"{rb.human_size(s)} {c}" for s in sizes
        for c in ("p50", "p99", "CPU per call", "round p50s min–max")) + " |"
    out = [head, "|---|" + "---:|" * (4 * len(sizes))]
    for t in transports:
        cells = []
        for s in sizes:
            row = stats.get((world, t.key, s)) or Row(error="not run")
            if row.error:
                cells += [f"cannot run: {row.error}", "", "", ""]
                continue
            cells += [rb.fmt_us(row.quantile(0.5)), rb.fmt_us(row.quantile(0.99)),
                      rb.fmt_us(row.cpu_per_call_ns), spread_text(row)]
        out.append(f"| {t.label} | " + " | ".join(cells) + " |")
    short = [f"{t.label} at {rb.human_size(s)} ({row.short_rounds} rounds, {row.calls} calls in all)"
             for t in transports for s in sizes
             if (row := stats.get((world, t.key, s))) and row.short_rounds and not row.error]
    if short:
        out += ["", f"Cut short by the {SHARE_BUDGET_NS / 1e9:g} s budget per share of a round: "
                + "; ".join(short) + "."]
    return out


def render_section(transports: List[rb.Transport], stats: Stats, sizes: Sequence[int],
                   targets: List[rb.Target], rounds: int, calls: int, busy: int,
                   placement: rb.Placement, loads: Tuple[str, str, str], elapsed: float) -> str:
    lines = [
        summary_sections.WAITING_HEADING, "",
        f"Measured {datetime.datetime.now().strftime('%Y-%m-%d %H:%M')} on {rb.machine_text()}, by "
        f"`bench/run.sh --waiting` in {elapsed:.0f} s: {rounds} interleaved rounds of {calls} calls "
        f"per transport, size and world; first idle, then loaded with {busy} busy loops (one per "
        f"CPU). Placement: {placement.describe()}. 1-minute load average {loads[0]} at the start, "
        f"{loads[1]} when the loaded world began, {loads[2]} at the end.",
        "",
        "Times in µs. CPU per call: user + system time of the whole driver process (the hybrid "
        "client's workers included) around the timed calls, divided by the calls. Round p50s: "
        "the smallest and the largest p50 of the rounds.",
        "",
    ]
    for world in WORLDS:
        title = "Idle" if world == "idle" else f"Loaded ({busy} busy loops)"
        lines += [f"#### {title}", ""] + world_table(world, transports, stats, sizes) + [""]
    lines += ["#### Targets", "", "```"] + [t.line() for t in targets] + ["```", ""]
    return "\n".join(lines)


def render_rounds(transports: List[rb.Transport], stats: Stats, sizes: Sequence[int]) -> str:
    lines = ["### Every round's p50 (µs), and the CPU time per call ÷ wall time per call", "",
             "| world | transport | size | calls | mean (µs) | CPU ÷ wall | round p50s in order |",
             "|---|---|---:|---:|---:|---:|---|"]
    for world in WORLDS:
        for t in transports:
            for s in sizes:
                row = stats.get((world, t.key, s))
                if not row or row.error:
                    continue
                mean = sum(row.samples) / row.calls
                lines.append(f"| {world} | {t.label} | {rb.human_size(s)} | {row.calls} | "
                             f"{rb.fmt_us(mean)} | {row.cpu_ratio:.2f} | "
                             + " ".join(rb.fmt_us(p) for p in row.round_p50) + " |")
    return "\n".join(lines) + "\n"


# ---------------------------------------------------------------------------------------------


def main(opts, placement: rb.Placement) -> int:
    if opts.load:
        print("--load has no place in --waiting: its loaded world loads every CPU", file=sys.stderr)
        return 2
    sizes = sorted(int(s) for s in opts.sizes.split(",")) if opts.sizes else SIZES
    rounds = opts.rounds or ROUNDS
    calls = max(10, int(CALLS_PER_ROUND * opts.scale))
    full = (sizes == SIZES and rounds == ROUNDS and opts.scale == 1.0 and placement.name == "split"
            and not opts.engine_arg)
    cpus = sorted(placement.allowed)
    out = Path(opts.out)
    out.mkdir(parents=True, exist_ok=True)

    setup = rb.Setup(workdir=Path(tempfile.mkdtemp(prefix="zelto-bench-", dir="/tmp")),
                     engine_binary=opts.engine, engine_args=opts.engine_arg, placement=placement)
    stats: Stats = {}
    busy = BusyLoops(len(cpus), cpus, limit=LOAD_LIMIT_S)
    started = time.perf_counter()
    loads = [rb.load_average()]
    try:
        rb.start_engines(setup)
        transports = build_transports(setup, Path(opts.native_dir), sizes)
        print(f"waiting report: {len(transports)} transports at {len(sizes)} sizes, {rounds} rounds "
              f"of {calls} calls, idle then with {len(cpus)} busy loops ...", file=sys.stderr)
        measure_world("idle", transports, sizes, rounds, calls, stats, not opts.quiet)
        loads.append(rb.load_average())
        with busy:
            measure_world("loaded", transports, sizes, rounds, calls, stats, not opts.quiet)
    finally:
        busy.stop()
        setup.close()
    loads.append(rb.load_average())
    elapsed = time.perf_counter() - started
    if busy.ended_early:
        print(f"warning: busy loops {busy.ended_early} ended before the loaded world did", file=sys.stderr)
    if setup.leftovers:
        print(f"zelto-mock-engine left behind: {', '.join(setup.leftovers)}", file=sys.stderr)

    targets = evaluate(transports, stats, sizes)
    section = render_section(transports, stats, sizes, targets, rounds, calls, len(cpus), placement,
                             (loads[0], loads[1], loads[2]), elapsed)
    (out / "waiting.md").write_text("# zelto_sdk waiting report\n\n" + section + "\n"
                                    + render_rounds(transports, stats, sizes))
    if full:
        summary = Path(opts.summary)
        old = summary.read_text() if summary.exists() else ""
        summary.write_text(summary_sections.with_section(old, section))
    print(section)
    print(f"whole run: {elapsed:.0f} s; written to {out / 'waiting.md'}"
          + (f" and {opts.summary}" if full else ""))
    return 1 if setup.leftovers or busy.ended_early else 0
