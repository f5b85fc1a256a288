"""The PNG of latency and throughput against tensor size; needs matplotlib."""

from __future__ import annotations

import importlib
from typing import Any, Dict, List, Tuple

from .results import Row, human_size


def matplotlib_available() -> bool:
    try:
        importlib.import_module("matplotlib")
    except ImportError:
        return False
    return True


def write_plot(rows: List[Row], path: str) -> None:
    matplotlib: Any = importlib.import_module("matplotlib")
    matplotlib.use("Agg")  # a file, never a window
    pyplot: Any = importlib.import_module("matplotlib.pyplot")
    series: Dict[str, List[Tuple[int, float, float]]] = {}
    for row in rows:
        p50, rate = row.latency_us(0.5), row.mib_per_s
        if p50 is not None and rate is not None:
            series.setdefault(row.target.label, []).append((row.size, p50, rate))
    figure, (latency, throughput) = pyplot.subplots(1, 2, figsize=(12, 4.5))
    for label, points in series.items():
        points.sort()
        sizes = [size for size, _, _ in points]
        latency.plot(sizes, [p50 for _, p50, _ in points], marker="o", label=label)
        throughput.plot(sizes, [rate for _, _, rate in points], marker="o", label=label)
    for axes, title, unit in ((latency, "p50 latency", "microseconds"),
                              (throughput, "throughput", "MiB/s")):
        axes.set_xscale("log", base=2)
        axes.set_yscale("log")
        axes.set_title(title)
        axes.set_xlabel("tensor size")
        axes.set_ylabel(unit)
        sizes = sorted({row.size for row in rows})
        axes.set_xticks(sizes)
        axes.set_xticklabels([human_size(size) for size in sizes])
        axes.grid(True, which="both", alpha=0.3)
        axes.legend()
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    pyplot.close(figure)
