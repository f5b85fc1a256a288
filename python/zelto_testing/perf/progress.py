"""The progress bar zelto-perf draws on standard error while it measures."""

from __future__ import annotations

import sys
import time
from typing import Optional, TextIO

WIDTH = 30
REDRAW_EVERY = 0.1  # seconds: redrawing each call would cost more than a small call


class ProgressBar:
    """One line, redrawn in place: the share of all planned calls (or of the planned time) done,
    and the row being measured. Draws nothing unless `enabled`."""

    def __init__(self, total_calls: Optional[int], total_seconds: Optional[float],
                 enabled: bool, stream: TextIO = sys.stderr) -> None:
        self.total_calls = total_calls
        self.total_seconds = total_seconds
        self.enabled = enabled
        self.stream = stream
        self.done_calls = 0
        self.started = time.monotonic()
        self.label = ""
        self.last_drawn = 0.0

    def row(self, label: str) -> None:
        self.label = label
        self.draw(force=True)

    def advance(self, calls: int) -> None:
        self.done_calls += calls
        self.draw()

    def fraction(self) -> float:
        if self.total_seconds:
            return min(1.0, (time.monotonic() - self.started) / self.total_seconds)
        if self.total_calls:
            return min(1.0, self.done_calls / self.total_calls)
        return 0.0

    def draw(self, force: bool = False) -> None:
        now = time.monotonic()
        if not self.enabled or (not force and now - self.last_drawn < REDRAW_EVERY):
            return
        self.last_drawn = now
        filled = int(self.fraction() * WIDTH)
        bar = "#" * filled + "." * (WIDTH - filled)
        self.stream.write(f"\r[{bar}] {self.fraction():4.0%}  {self.label:<28}"
                          f" {self.done_calls} calls")
        self.stream.flush()

    def close(self) -> None:
        self.draw(force=True)  # the finished state, for a log that keeps every redraw
        if self.enabled:
            self.stream.write("\r" + " " * (WIDTH + 60) + "\r")
            self.stream.flush()
