"""Kills a process with SIGKILL once a record file shows that a request is in flight.

    python kill_when_recorded.py PID RECORD_PATH LINES DELAY_SECONDS [MATCH]

Waits until RECORD_PATH holds at least LINES lines (containing MATCH, if given): the engine and
the peers append one per request they have read, before they answer. Then it waits DELAY_SECONDS
more and sends SIGKILL to PID. The clients keep
the interpreter lock while they wait, so the killer cannot be a thread of the test process.
Prints "killed" or "gone" (the process had already ended). Gives up after 60 seconds, printing
"timeout", so a broken test cannot leave it behind.
"""

from __future__ import annotations

import os
import signal
import sys
import time


def line_count(path: str, match: bytes) -> int:
    try:
        with open(path, "rb") as record:
            return sum(1 for line in record.read().splitlines() if match in line)
    except FileNotFoundError:
        return 0


def main() -> None:
    pid, path, lines, delay = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), float(sys.argv[4])
    match = sys.argv[5].encode() if len(sys.argv) > 5 else b""
    deadline = time.monotonic() + 60
    while line_count(path, match) < lines:
        if time.monotonic() > deadline:
            print("timeout", flush=True)
            return
        time.sleep(0.001)
    time.sleep(delay)
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        print("gone", flush=True)
        return
    print("killed", flush=True)


if __name__ == "__main__":
    main()
