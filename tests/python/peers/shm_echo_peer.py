"""The engine side of the shared-memory rings, on a region that someone else created.

    python shm_echo_peer.py REGION_NAME LOG_PATH DELAY_MS [START_AFTER_MS]

Unlike zelto-mock-engine, which creates its region and takes it away when it ends, this peer
only attaches to an existing region, so a test can kill it and start another on the same region
while a client keeps its mapping. It pops each request entry, appends "request <id>" to LOG_PATH,
waits DELAY_MS, and answers status 0 naming the request's own block ("in place"), so the client
reads back exactly what it wrote.

It is the only consumer of the request ring and the only producer of the response ring, so it
moves read_index of the one and reserve_index/commit_index of the other with plain 8-byte stores
(entry first, then the counters, which x86 keeps in order). START_AFTER_MS delays the first look
at the rings, to let a test queue a request while no engine is there. The peer ends by itself
after an hour at most, and whenever its standard input closes.
"""

from __future__ import annotations

import mmap
import os
import select
import signal
import struct
import sys
import threading
import time
from pathlib import Path

CAPACITY = 1021
REQUEST_ENTRY, RESPONSE_ENTRY = 40, 48


def main() -> None:
    name, log_path, delay_ms = sys.argv[1], sys.argv[2], int(sys.argv[3])
    start_after_ms = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    signal.alarm(3600)

    def watch_stdin() -> None:
        select.select([sys.stdin], [], [])
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()

    with open(Path("/dev/shm") / name.lstrip("/"), "r+b") as handle:
        region = mmap.mmap(handle.fileno(), 0)
    request_ring, response_ring = struct.unpack_from("<QQ", region, 8)
    log = open(log_path, "a", buffering=1)

    def u64(offset: int) -> int:
        return struct.unpack_from("<Q", region, offset)[0]

    def set_u64(offset: int, value: int) -> None:
        struct.pack_into("<Q", region, offset, value)

    print("ready", flush=True)
    time.sleep(start_after_ms / 1000)
    while True:
        read, commit = u64(request_ring + 2 * REQUEST_ENTRY), u64(request_ring + REQUEST_ENTRY)
        if read == commit:
            time.sleep(0.0002)
            continue
        entry = request_ring + (3 + read) * REQUEST_ENTRY
        request_id = u64(entry)
        (block_offset,) = struct.unpack_from("<Q", region, entry + 24)
        set_u64(request_ring + 2 * REQUEST_ENTRY, (read + 1) % CAPACITY)
        log.write(f"request {request_id}\n")
        time.sleep(delay_ms / 1000)

        reserve = u64(response_ring)
        following = (reserve + 1) % CAPACITY
        while following == u64(response_ring + 2 * RESPONSE_ENTRY):
            time.sleep(0.0002)  # full: wait for the client to pop
        (data_len,) = struct.unpack_from("<Q", region, block_offset + 72)
        struct.pack_into("<QB15xQQQ", region, response_ring + (3 + reserve) * RESPONSE_ENTRY,
                         request_id, 0, block_offset, data_len, 0)
        set_u64(response_ring, following)
        set_u64(response_ring + RESPONSE_ENTRY, following)


if __name__ == "__main__":
    main()
