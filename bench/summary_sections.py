"""bench/RESULTS.md is written by two kinds of run: the normal run writes the whole file, the
waiting report one section of it. Each must leave the other's part as it was."""

from __future__ import annotations

WAITING_HEADING = "### Waiting: idle and loaded"


def _section_bounds(text: str, heading: str) -> tuple[int, int]:
    """(start, end) line indices of the section under `heading`, up to the next heading of the
    same level or above; (-1, -1) if there is none."""
    lines = text.splitlines()
    level = len(heading) - len(heading.lstrip("#"))
    try:
        start = lines.index(heading)
    except ValueError:
        return -1, -1
    end = start + 1
    while end < len(lines):
        marks = len(lines[end]) - len(lines[end].lstrip("#"))
        if 0 < marks <= level and lines[end][marks:marks + 1] == " ":
            break
        end += 1
    return start, end


def section(text: str, heading: str = WAITING_HEADING) -> str:
    """The section under `heading` (heading line included), or "" if `text` has none."""
    start, end = _section_bounds(text, heading)
    if start < 0:
        return ""
    return "\n".join(text.splitlines()[start:end]).rstrip("\n") + "\n"


def with_section(text: str, new_section: str, heading: str = WAITING_HEADING) -> str:
    """`text` with its section under `heading` replaced by `new_section` (which starts with that
    heading), or with `new_section` appended if it has none."""
    lines = text.splitlines()
    start, end = _section_bounds(text, heading)
    if start < 0:
        start = end = len(lines)
    kept_before = "\n".join(lines[:start]).rstrip("\n")
    kept_after = "\n".join(lines[end:]).strip("\n")
    parts = [p for p in (kept_before, new_section.strip("\n"), kept_after) if p]
    return "\n\n".join(parts) + "\n"
