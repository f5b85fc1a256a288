"""A measured row's numbers: percentiles, throughput, errors; and the forms they are written in
(the table, JSON, CSV)."""

from __future__ import annotations

import csv
import io
import json
import math
from dataclasses import dataclass
from typing import Any, Dict, List, Optional

from .measure import Samples
from .plan import Plan, Target

CSV_COLUMNS = ["transport", "address", "size", "dtype", "calls", "errors", "p50_us", "p90_us",
               "p99_us", "calls_per_s", "mib_per_s", "first_error"]


def percentile(ordered: List[float], fraction: float) -> float:
    """The nearest-rank percentile of sorted samples."""
    rank = max(1, math.ceil(fraction * len(ordered)))
    return ordered[rank - 1]


@dataclass
class Row:
    target: Target
    size: int
    dtype: str
    samples: Samples

    @property
    def calls(self) -> int:
        return len(self.samples.latencies)

    @property
    def errors(self) -> int:
        return sum(self.samples.errors.values())

    def latency_us(self, fraction: float) -> Optional[float]:
        if not self.samples.latencies:
            return None
        return percentile(sorted(self.samples.latencies), fraction) * 1e6

    @property
    def calls_per_s(self) -> Optional[float]:
        wall = self.samples.finished - self.samples.started
        return self.calls / wall if self.calls and wall > 0 else None

    @property
    def mib_per_s(self) -> Optional[float]:
        rate = self.calls_per_s
        return None if rate is None else rate * self.size / (1 << 20)

    def as_dict(self) -> Dict[str, Any]:
        return {
            "transport": self.target.transport, "address": self.target.address,
            "size": self.size, "dtype": self.dtype, "calls": self.calls, "errors": self.errors,
            "p50_us": self.latency_us(0.50), "p90_us": self.latency_us(0.90),
            "p99_us": self.latency_us(0.99), "calls_per_s": self.calls_per_s,
            "mib_per_s": self.mib_per_s, "error_texts": dict(self.samples.errors),
            "gave_up": self.samples.gave_up,
        }


def human_size(size: int) -> str:
    """"4 KiB", "1 MiB", "300 B", and "16MiB-80B" for a size just below a round one."""
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if size >= scale and size % scale == 0:
            return f"{size // scale} {unit}"
        below = -size % scale
        if size > scale and below < 1024:
            return f"{(size + below) // scale}{unit}-{below}B"
    return f"{size} B"


def number(value: Optional[float], digits: int = 1) -> str:
    return "-" if value is None else f"{value:,.{digits}f}"


def table(rows: List[Row]) -> str:
    header = ["transport", "size", "calls", "errors", "p50 us", "p90 us", "p99 us", "calls/s",
              "MiB/s"]
    lines = [[row.target.label, human_size(row.size), str(row.calls), str(row.errors),
              number(row.latency_us(0.5)), number(row.latency_us(0.9)),
              number(row.latency_us(0.99)), number(row.calls_per_s, 0), number(row.mib_per_s, 0)]
             for row in rows]
    widths = [max(len(cells[i]) for cells in [header, *lines]) for i in range(len(header))]
    out = []
    for cells in [header, *lines]:
        out.append("  ".join(cell.ljust(widths[i]) if i == 0 else cell.rjust(widths[i])
                             for i, cell in enumerate(cells)).rstrip())
    out.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join(out)


def error_lines(rows: List[Row]) -> List[str]:
    """One line per distinct error of each row, most frequent first."""
    lines = []
    for row in rows:
        where = f"{row.target.label} {human_size(row.size)}"
        for text, count in row.samples.errors.most_common():
            lines.append(f"  {where}: {count} x {text}")
        if row.samples.gave_up:
            lines.append(f"  {where}: {row.samples.gave_up}")
    return lines


def to_json(plan: Plan, rows: List[Row]) -> str:
    settings = {"dtype": plan.dtype, "model_id": plan.model_id, "calls": plan.calls,
                "duration_s": plan.duration, "warmup": plan.warmup,
                "concurrency": plan.concurrency, "check_echo": plan.check_echo,
                "max_errors": plan.max_errors}
    return json.dumps({"settings": settings, "rows": [row.as_dict() for row in rows]}, indent=2)


def to_csv(rows: List[Row]) -> str:
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=CSV_COLUMNS, lineterminator="\n")
    writer.writeheader()
    for row in rows:
        values = row.as_dict()
        texts = row.samples.errors.most_common(1)
        values["first_error"] = texts[0][0] if texts else ""
        writer.writerow({key: "" if values[key] is None else values[key] for key in CSV_COLUMNS})
    return out.getvalue()
