"""The zelto-perf command line."""

from __future__ import annotations

import argparse
import contextlib
import sys
from typing import Iterator, List, Optional, Sequence

from ..mock_engine import MockEngine, MockEngineError
from .measure import measure_row
from .plan import (ITEM_SIZES, ONE_CALLER_ONLY, TRANSPORTS, Addresses, Plan, choose_targets,
                   parse_sizes, parse_tcp)
from .plot import matplotlib_available, write_plot
from .progress import ProgressBar
from .results import Row, error_lines, human_size, table, to_csv, to_json

DEFAULT_SIZES = "4KiB,64KiB,1MiB"
EXIT_ERRORS = 1  # the run finished, but calls failed
EXIT_USAGE = 2


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="zelto-perf",
        description="Measures latency and throughput of a running engine through the zelto_sdk "
                    "clients and prints p50/p90/p99, throughput, calls and errors per transport "
                    "and tensor size. Failed calls are counted with their error text, never "
                    "raised; the exit status is 1 when any call failed.")
    where = p.add_argument_group("the engine")
    where.add_argument("--unix", metavar="PATH", help="the engine's Unix socket")
    where.add_argument("--tcp", metavar="HOST:PORT", help="the engine's TCP address")
    where.add_argument("--shm", metavar="NAME", help="the engine's shared-memory region")
    where.add_argument("--mock-engine", action="store_true",
                       help="start a private zelto-mock-engine (echo model) and measure it")
    where.add_argument("--transports", metavar="LIST",
                       help=f"comma-separated, from {','.join(TRANSPORTS)} (default: every one "
                            "whose addresses are given; hybrid needs --shm and --unix)")
    what = p.add_argument_group("the tensors")
    what.add_argument("--sizes", default=DEFAULT_SIZES, metavar="LIST",
                      help=f"tensor sizes in bytes, e.g. 4096,64KiB,1MiB (default {DEFAULT_SIZES})")
    what.add_argument("--dtype", default="float32", choices=sorted(ITEM_SIZES))
    what.add_argument("--model-id", type=int, default=0, help="for the socket transports")
    how = p.add_argument_group("the measurement")
    how.add_argument("--calls", type=int, default=200, help="timed calls per row (default 200)")
    how.add_argument("--duration", type=float, metavar="SECONDS",
                     help="time each row this long instead of counting calls")
    how.add_argument("--warmup", type=int, default=5, help="untimed calls first (default 5)")
    how.add_argument("--concurrency", type=int, default=1, metavar="N",
                     help="N worker processes calling at once (socket transports only)")
    how.add_argument("--check-echo", action="store_true",
                     help="count every result that differs from its input as an error "
                          "(for echo models such as the mock engine's)")
    how.add_argument("--max-errors", type=int, default=10, metavar="N",
                     help="a row gives up after N failed calls in a row (default 10)")
    out = p.add_argument_group("output")
    out.add_argument("--json", metavar="FILE", help="write the results as JSON")
    out.add_argument("--csv", metavar="FILE", help="write the results as CSV")
    out.add_argument("--plot", metavar="FILE.png",
                     help="write a PNG of latency and throughput against size (needs matplotlib)")
    out.add_argument("--progress", choices=["auto", "always", "never"], default="auto",
                     help="the progress bar on stderr (auto: when stderr is a terminal)")
    return p


def plan_from(options: argparse.Namespace, addresses: Addresses) -> Plan:
    if options.calls < 1 or options.warmup < 0 or options.max_errors < 1:
        raise ValueError("--calls and --max-errors must be at least 1, --warmup at least 0")
    if options.duration is not None and options.duration <= 0:
        raise ValueError("--duration must be positive")
    if options.concurrency < 1:
        raise ValueError("--concurrency must be at least 1")
    wanted = options.transports.split(",") if options.transports else None
    targets = choose_targets(wanted, addresses)
    shared_region = [t.transport for t in targets if t.transport in ONE_CALLER_ONLY]
    if options.concurrency > 1 and shared_region:
        raise ValueError(
            f"--concurrency {options.concurrency} cannot measure {', '.join(shared_region)}: "
            "a region's response ring is read by one process at a time, so only one worker may "
            "hold a ZeltoShmClient on it; choose --transports unix,tcp,hybrid")
    return Plan(targets=targets, addresses=addresses,
                sizes=parse_sizes(options.sizes, options.dtype), dtype=options.dtype,
                model_id=options.model_id, calls=options.calls, duration=options.duration,
                warmup=options.warmup, concurrency=options.concurrency,
                check_echo=options.check_echo, max_errors=options.max_errors)


@contextlib.contextmanager
def engine_addresses(options: argparse.Namespace) -> Iterator[Addresses]:
    """The addresses given, or those of a private MockEngine for the run's length."""
    if not options.mock_engine:
        yield Addresses(unix=options.unix, shm=options.shm,
                        tcp=parse_tcp(options.tcp) if options.tcp else None)
        return
    if options.unix or options.tcp or options.shm:
        raise ValueError("--mock-engine chooses its own addresses; leave out --unix/--tcp/--shm")
    # The notify descriptor is this process's: worker processes would not have it.
    with MockEngine(notify=options.concurrency == 1) as engine:
        yield Addresses(unix=engine.socket_path, tcp=("127.0.0.1", engine.tcp_port),
                        shm=engine.shm_name)


def run(plan: Plan, progress: ProgressBar) -> List[Row]:
    rows = []
    for target in plan.targets:
        for size in plan.sizes:
            progress.row(f"{target.label} {human_size(size)}")
            samples = measure_row(plan, target, size, progress.advance)
            rows.append(Row(target, size, plan.dtype, samples))
    progress.close()
    return rows


def write_outputs(options: argparse.Namespace, plan: Plan, rows: List[Row]) -> None:
    if options.json:
        with open(options.json, "w", encoding="utf-8") as f:
            f.write(to_json(plan, rows) + "\n")
    if options.csv:
        with open(options.csv, "w", encoding="utf-8", newline="") as f:
            f.write(to_csv(rows))
    if options.plot:
        write_plot(rows, options.plot)


def main(argv: Optional[Sequence[str]] = None) -> int:
    options = parser().parse_args(argv)
    if options.plot and not matplotlib_available():
        print("zelto-perf: --plot needs matplotlib (pip install matplotlib)", file=sys.stderr)
        return EXIT_USAGE
    try:
        with engine_addresses(options) as addresses:
            plan = plan_from(options, addresses)
            show = options.progress == "always" or (options.progress == "auto"
                                                    and sys.stderr.isatty())
            rows_planned = len(plan.targets) * len(plan.sizes)
            progress = ProgressBar(None if plan.duration else rows_planned * plan.calls,
                                   plan.duration * rows_planned if plan.duration else None, show)
            rows = run(plan, progress)
    except ValueError as problem:
        print(f"zelto-perf: {problem}", file=sys.stderr)
        return EXIT_USAGE
    except MockEngineError as problem:
        print(f"zelto-perf: {problem}", file=sys.stderr)
        return EXIT_ERRORS
    print(table(rows))
    errors = error_lines(rows)
    if errors:
        print("\nerrors:")
        print("\n".join(errors))
    write_outputs(options, plan, rows)
    return EXIT_ERRORS if errors else 0
