"""Many calls, many threads, many processes: every result correct, nothing accumulating.

Several processes pushing onto one ring at once (every entry delivered exactly once and in order
per producer) is tested below the Python layer, where the ring's counters can be watched
directly: Ring.MultiProcessProducersDeliverEveryEntryOnceAndInOrder in tests/cpp/test_shm_ring.cpp
(4 forked producers x 20000 entries against one consumer). Two ZeltoShmClient objects on one
region would take each other's responses off the one response ring - one client object per
region is the working arrangement - so there is no Python version of that test. What runs here:

- several processes, each with its own ZeltoClient, hammering one engine at the same time: every
  result correct, and each process's requests reach the engine complete and in order;
- several threads sharing one ZeltoClient: every result correct, and the engine never sees more
  connections than the pool may keep idle;
- the soak: 100 000 calls per transport (Unix socket, shared memory, hybrid) with tiny payloads;
  afterwards the process has exactly the descriptors it had before and its resident memory has
  grown by less than 8 MiB. Marked `soak` (deselect with -m "not soak"); it runs by default and
  takes a few seconds per transport. ZELTO_SOAK_CALLS changes the number of calls.
"""

from __future__ import annotations

import gc
import multiprocessing
import os
import struct
import threading
import time
from collections import defaultdict
from typing import Dict, List

import pytest

import zelto_sdk

MiB = 1 << 20
SOAK_CALLS = int(os.environ.get("ZELTO_SOAK_CALLS", "100000"))
BOUND = 120.0  # seconds; only stops a hung worker from hanging the run


def fd_count() -> int:
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


def resident_bytes() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def frames_by_connection(wire, record_path) -> Dict[int, List[bytes]]:
    by_connection: Dict[int, List[bytes]] = defaultdict(list)
    for conn, kind, data in wire.read_record(record_path):
        if kind == "frame":
            by_connection[conn].append(data)
    return by_connection


def request_data(frame: bytes) -> bytes:
    """The input tensor's data bytes of a recorded op-1 request frame (header included)."""
    payload = frame[12:]
    (ndim,) = struct.unpack_from("<Q", payload, 0)
    offset = 8 + 8 * ndim
    (dtype_len,) = struct.unpack_from("<Q", payload, offset)
    offset += 8 + dtype_len + 1  # the data tag, always 1 from this client
    (data_len,) = struct.unpack_from("<Q", payload, offset)
    return payload[offset + 8:offset + 8 + data_len]


# =============================================================================================
# processes and threads
# =============================================================================================


def test_processes_hammering_one_engine(engines, socket_path, record_path, wire):
    engines.start("--unix", socket_path, "--record", record_path)
    producers, calls = 4, 2000
    context = multiprocessing.get_context("fork")
    wrong = context.Queue()

    def producer(number: int) -> None:
        client = zelto_sdk.ZeltoClient(socket_path)
        bad = 0
        for sequence in range(calls):
            data = struct.pack("<II", number, sequence)
            if client.infer(number, [8], "uint8", data) != data:
                bad += 1
        wrong.put((number, bad))

    processes = [context.Process(target=producer, args=(n,), name=f"producer-{n}") for n in range(producers)]
    for process in processes:
        process.start()
    deadline = time.monotonic() + BOUND
    for process in processes:
        process.join(max(0.0, deadline - time.monotonic()))
        if process.is_alive():
            process.kill()
            process.join()
            pytest.fail(f"{process.name} hung")
        assert process.exitcode == 0
    assert sorted(wrong.get(timeout=10) for _ in processes) == [(n, 0) for n in range(producers)]

    # Each producer used one connection, and the engine got its requests once each, in order.
    sequences = {}
    for conn, frames in frames_by_connection(wire, record_path).items():
        numbers = {struct.unpack("<I", request_data(f)[:4])[0] for f in frames}
        assert len(numbers) == 1, f"connection {conn} carried requests of {numbers}"
        sequences[numbers.pop()] = [struct.unpack("<I", request_data(f)[4:])[0] for f in frames]
    assert sequences == {n: list(range(calls)) for n in range(producers)}


@pytest.mark.parametrize("max_pool_size", [0, 1, 3])
def test_threads_sharing_one_client(engines, socket_path, record_path, wire, max_pool_size):
    engines.start("--unix", socket_path, "--record", record_path)
    client = zelto_sdk.ZeltoClient(socket_path, max_pool_size=max_pool_size)
    threads, calls = 8, 300
    failures: List[tuple] = []
    errors: List[BaseException] = []

    def worker(number: int) -> None:
        try:
            for i in range(calls):
                data = struct.pack("<HH", number, i) * (1 + i % 5)
                got = client.infer(number, [len(data)], "uint8", data)
                if got != data:
                    failures.append((number, i))
                if i % 50 == 0:  # the other methods share the pool too
                    assert client.infer_tensor(number, [2], "uint8", b"ab") == (b"ab", [2], "uint8")
        except BaseException as error:  # reported below, in the main thread
            errors.append(error)

    workers = [threading.Thread(target=worker, args=(n,)) for n in range(threads)]
    for thread in workers:
        thread.start()
    for thread in workers:
        thread.join(BOUND)
        assert not thread.is_alive(), "worker hung"
    assert errors == [] and failures == []

    by_connection = frames_by_connection(wire, record_path)
    total = threads * (calls + calls // 50)
    assert sum(len(frames) for frames in by_connection.values()) == total
    if max_pool_size == 0:
        assert len(by_connection) == total  # nothing pooled: one connection per call
    else:
        # The client keeps the interpreter lock for a whole call, so calls from threads run one
        # after the other and one pooled connection serves them all - never more than the limit.
        assert len(by_connection) == 1 <= max_pool_size
    client = None  # the workers' closure shares this variable; dropping the client closes
    # whatever the pool kept, and the engine sees every connection end.
    deadline = time.monotonic() + 10
    while sum(kind == "eof" for _, kind, _ in wire.read_record(record_path)) < len(by_connection):
        assert time.monotonic() < deadline, "pooled connections were not closed"
        time.sleep(0.01)


# =============================================================================================
# the soak
# =============================================================================================


def soak(call, expected: bytes) -> None:
    """SOAK_CALLS calls; descriptors equal and resident memory within 8 MiB afterwards."""
    for _ in range(2000):  # warm up: the pool, the loop, the interpreter's own caches
        assert call() == expected
    fds, resident = fd_count(), resident_bytes()
    wrong = 0
    for _ in range(SOAK_CALLS):
        if call() != expected:
            wrong += 1
    assert wrong == 0
    assert fd_count() == fds
    growth = resident_bytes() - resident
    assert growth < 8 * MiB, f"resident memory grew by {growth} bytes over {SOAK_CALLS} calls"


@pytest.mark.soak
def test_soak_socket(engines, socket_path):
    engines.start("--unix", socket_path)
    client = zelto_sdk.ZeltoClient(socket_path)
    soak(lambda: client.infer(1, [4], "uint8", b"soak"), b"soak")


@pytest.mark.soak
def test_soak_shared_memory(engines, shm_name):
    engines.start("--shm", shm_name)
    client = zelto_sdk.ZeltoShmClient(shm_name)
    soak(lambda: client.infer([4], "uint8", b"soak"), b"soak")


@pytest.mark.soak
def test_soak_hybrid(engines, shm_name, socket_path):
    engines.start("--unix", socket_path, "--shm", shm_name)
    client = zelto_sdk.ZeltoHybridClient(shm_name, socket_path)
    soak(lambda: client.infer([4], "uint8", b"soak"), b"soak")
