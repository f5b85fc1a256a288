"""Several client objects, threads and processes on one region: every result is the answer to its
own request, and what cannot be shared is refused with a clear error.

- In one process, the client objects of a region share one slot allocator and one id counter;
  ZeltoShmClient objects take turns on the response ring (a call waits for the one in progress).
- Across processes, slots and ids never collide (byte locks on the region's object, dropped by
  the kernel when a process dies, SIGKILL included), and only one process at a time may read the
  response ring: another process's ZeltoShmClient is refused at construction.
Every payload is distinct (its worker and call number), so a swapped or corrupted result shows.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Dict, List

import pytest

import zelto_sdk
from conftest import make_eventfd, wait_for

CALLS = 300
READ_ELSEWHERE = ("The response ring of shared memory region '{}' is read by a ZeltoShmClient of "
                  "another process: one process at a time may read it (ZeltoHybridClient "
                  "objects can share the region)")


def payload(worker: int, call: int) -> bytes:
    # Sizes cross the 256 KiB class now and then, so more than one size class is in play.
    size = 64 + (worker * 131 + call * 977) % (300 << 10 if call % 17 == 0 else 4096)
    return (f"{worker}:{call}:".encode() * (size // 8 + 1))[:size]


def hammer(make: Callable[[], Callable[[bytes], bytes]], worker: int, calls: int = CALLS) -> int:
    """Makes `calls` calls with distinct payloads; returns how many came back wrong."""
    infer = make()
    wrong = 0
    for call in range(calls):
        data = payload(worker, call)
        wrong += infer(data) != data
    return wrong


def shm_maker(shm_name: str):
    def make():
        client = zelto_sdk.ZeltoShmClient(shm_name)
        return lambda data: client.infer([len(data)], "uint8", data)
    return make


def hybrid_maker(shm_name: str, socket_path: str):
    def make():
        client = zelto_sdk.ZeltoHybridClient(shm_name, socket_path)
        return lambda data: client.infer([len(data)], "uint8", data)
    return make


@pytest.fixture(params=["polling", "eventfd"])
def region(request, engines, shm_name, socket_path):
    """An echo engine on a region with or without a notify descriptor, reachable both ways."""
    if request.param == "polling":
        engines.start("--shm", shm_name, "--unix", socket_path)
        return shm_name, socket_path, ()
    fd = make_eventfd()
    request.addfinalizer(lambda: os.close(fd))
    engines.start("--shm", shm_name, "--unix", socket_path, "--notify-fd", str(fd), pass_fds=(fd,))
    return shm_name, socket_path, (fd,)


@pytest.mark.parametrize("kinds", [["shm"] * 4, ["hybrid"] * 4, ["shm", "hybrid", "shm", "hybrid"]],
                         ids=["4-shm-objects", "4-hybrid-objects", "shm-and-hybrid-objects"])
def test_threads_each_with_their_own_object(region, kinds):
    shm_name, socket_path, _ = region
    makers = {"shm": shm_maker(shm_name), "hybrid": hybrid_maker(shm_name, socket_path)}
    wrong: Dict[int, int] = {}
    errors: List[BaseException] = []

    def run(worker: int, kind: str) -> None:
        try:
            wrong[worker] = hammer(makers[kind], worker)
        except BaseException as error:  # reported below; a thread cannot fail the test itself
            errors.append(error)

    threads = [threading.Thread(target=run, args=(w, k)) for w, k in enumerate(kinds)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert errors == [] and wrong == {w: 0 for w in range(len(kinds))}


WORKER = r"""
import sys, zelto_sdk
sys.path.insert(0, sys.argv[1])
from test_region_sharing import hammer, hybrid_maker, shm_maker
kind, worker, shm_name, socket_path = sys.argv[2], int(sys.argv[3]), sys.argv[4], sys.argv[5]
make = shm_maker(shm_name) if kind == "shm" else hybrid_maker(shm_name, socket_path)
print(hammer(make, worker), flush=True)
"""


def start_worker(kind: str, worker: int, shm_name: str, socket_path: str, fds=()) -> subprocess.Popen:
    return subprocess.Popen([sys.executable, "-c", WORKER, str(Path(__file__).parent), kind,
                             str(worker), shm_name, socket_path],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, pass_fds=fds)


@pytest.mark.parametrize("kinds", [["hybrid"] * 4, ["shm", "hybrid", "hybrid"]],
                         ids=["4-hybrid-processes", "shm-process-and-hybrid-processes"])
def test_processes_each_with_their_own_client(region, kinds):
    shm_name, socket_path, fds = region
    workers = [start_worker(k, w, shm_name, socket_path, fds) for w, k in enumerate(kinds)]
    # And threads of this process on the same region, at the same time (hybrid: the ring's
    # reader may be one of the workers).
    assert hammer(hybrid_maker(shm_name, socket_path), 99) == 0
    for worker in workers:
        out, err = worker.communicate(timeout=180)
        assert (worker.returncode, out.strip(), err) == (0, "0", "")


def test_a_second_process_may_not_read_the_response_ring(region):
    shm_name, socket_path, fds = region
    client = zelto_sdk.ZeltoShmClient(shm_name)
    probe = subprocess.run(
        [sys.executable, "-c", "import sys, zelto_sdk\n"
         "try:\n    zelto_sdk.ZeltoShmClient(sys.argv[1])\n"
         "except ConnectionError as error:\n    print(error)\n", shm_name],
        capture_output=True, text=True, timeout=60)
    assert probe.stdout.strip() == READ_ELSEWHERE.format(shm_name)
    assert client.infer([1], "uint8", b"x") == b"x"
    # Once this process lets go, another one may read it.
    del client
    worker = start_worker("shm", 7, shm_name, socket_path, fds)
    out, err = worker.communicate(timeout=180)
    assert (worker.returncode, out.strip(), err) == (0, "0", "")


def test_ids_are_unique_across_processes(engines, shm_name, socket_path, tmp_path: Path):
    record = tmp_path / "hybrid.log"
    engines.start("--shm", shm_name, "--unix", socket_path, "--hybrid-record", str(record))
    client = zelto_sdk.ZeltoHybridClient(shm_name, socket_path)
    assert client.infer([1], "uint8", b"a") == b"a"
    worker = start_worker("hybrid", 1, shm_name, socket_path)
    out, _ = worker.communicate(timeout=180)
    assert out.strip() == "0"
    assert client.infer([1], "uint8", b"b") == b"b"
    ids = [int(line.split()[0].split("=")[1]) for line in record.read_text().splitlines()]
    # This process is process 0 (ids 1, 2, ...); the worker, attached meanwhile, process 1.
    assert ids[0] == 1 and ids[-1] == 2
    assert ids[1:-1] == [(1 << 48) | n for n in range(1, CALLS + 1)]


HOLD_A_SLOT = r"""
import sys, zelto_sdk
client = zelto_sdk.ZeltoShmClient(sys.argv[1])
print("calling", flush=True)
client.infer([1], "uint8", b"held")
"""


def test_a_killed_process_leaks_no_slot(engines, shm_name, socket_path, tmp_path: Path):
    """A pool of one slot. A process killed inside a call (the engine holds shared-memory answers
    behind a gate that never opens) held the slot; once it is dead this process gets the slot at
    once, long before the 30-second lease of the dead call could have ended."""
    record = tmp_path / "shm.log"
    engines.start("--shm", shm_name, "--unix", socket_path, "--pool-size", "100000",
                  "--shm-gate", str(tmp_path / "never"), "--record", str(record))
    holder = subprocess.Popen([sys.executable, "-c", HOLD_A_SLOT, shm_name],
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "calling\n"
        wait_for(lambda: record.exists() and "id=1 " in record.read_text())  # queued, slot held
        client = zelto_sdk.ZeltoHybridClient(shm_name, socket_path)  # answered without the gate
        with pytest.raises(RuntimeError) as refused:
            client.infer([1], "uint8", b"x")
        assert refused.value.args == (
            "SHM tensor pool exhausted (required=81 bytes, largest_slot=100000 bytes, "
            "layout=class0(base=94208 slot_size=100000 slots=1))",)
    finally:
        holder.send_signal(signal.SIGKILL)
        holder.wait()
    started = time.monotonic()
    assert client.infer([1], "uint8", b"x") == b"x"
    assert time.monotonic() - started < 5
