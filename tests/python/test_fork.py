"""Client objects that cross os.fork(): the child must neither share the parent's sockets nor hang,
and the parent must keep working.

- ZeltoClient: a child drops the idle connections it inherited (closing only its own copies;
  nothing is sent on them) and connects afresh; parent and child may then run calls at the same
  time, each on its own connections.
- ZeltoHybridClient: the event-loop threads do not exist in a child. The child's first call
  builds a new loop and a new connection; the inherited loop is abandoned without being joined,
  and without the shutdown signal that would also stop the parent's workers.
- ZeltoShmClient: the region's one response ring has one reading process. While the parent has a
  ZeltoShmClient on the region, a child is refused, with the inherited object or a new one (a
  hybrid client in the child works); once the parent's is gone, a child reads the ring. A child
  forked by one thread while another waits inside ZeltoShmClient.infer - the only call that
  lets go of the interpreter lock - finds that object borrowed: "Already borrowed", never a
  hang. (Slots and request ids of parent and child never collide: see
  test_region_sharing.py.)
- A StreamIterator is not made fork-safe: its connection is the parent's stream.

Children are real processes made with os.fork() and with multiprocessing's "fork" start method.
A child reports failures through its exit status and a pipe; a child that does not finish within
a generous bound is killed and reported as hung, so a regression fails instead of hanging pytest.
"""

from __future__ import annotations

import gc
import multiprocessing
import os
import signal
import threading
import time
import traceback
from typing import Callable, List

import pytest

import zelto_sdk
from conftest import wait_for

# fork() with the hybrid client's worker threads alive is what these tests are about.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning")

CHILD_BOUND = 60.0  # seconds; only stops a hung child from hanging the run


def run_in_child(body: Callable[[], None]) -> None:
    """Runs `body` in an os.fork() child and re-raises its failure (or its hang) here."""
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: never returns into pytest
        os.close(read_end)
        status = 0
        try:
            body()
        except BaseException:
            os.write(write_end, traceback.format_exc().encode())
            status = 1
        os._exit(status)
    os.close(write_end)
    try:
        status = wait_child(pid)
    finally:
        with os.fdopen(read_end, "rb") as report:
            text = report.read().decode(errors="replace")
    if text:
        raise AssertionError("child failed:\n" + text)
    assert os.WIFEXITED(status), f"child ended by signal {os.WTERMSIG(status)}"
    assert os.WEXITSTATUS(status) == 0, f"child exit status {os.WEXITSTATUS(status)}"


def wait_child(pid: int) -> int:
    """The child's wait status; a child still running after CHILD_BOUND is killed: a hang."""
    deadline = time.monotonic() + CHILD_BOUND
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise AssertionError("child hung")
        time.sleep(0.01)


def fork_context():
    return multiprocessing.get_context("fork")


def join_all(processes) -> None:
    deadline = time.monotonic() + CHILD_BOUND
    for process in processes:
        process.join(max(0.0, deadline - time.monotonic()))
        if process.is_alive():
            process.kill()
            process.join()
            raise AssertionError(f"{process.name} hung")
        assert process.exitcode == 0, f"{process.name} exit code {process.exitcode}"


def task_count() -> int:
    return len(os.listdir("/proc/self/task"))


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def record_events(wire, path) -> List[tuple]:
    return wire.read_record(path)


def frame_connections(wire, path) -> List[int]:
    return [conn for conn, kind, _ in wire.read_record(path) if kind == "frame"]




# =============================================================================================
# ZeltoClient
# =============================================================================================


def test_socket_child_connects_afresh_and_leaves_the_parents_connection_alone(
        engines, socket_path, record_path, wire):
    engines.start("--unix", socket_path, "--record", record_path)
    client = zelto_sdk.ZeltoClient(socket_path)
    assert client.infer(1, [1], "uint8", b"p") == b"p"  # connection 1, now idle in the pool

    def child() -> None:
        inherited = fd_count()
        for i in range(3):
            assert client.infer(2, [1], "uint8", bytes([i])) == bytes([i])
        assert fd_count() == inherited  # the inherited idle socket closed, one new one pooled

    run_in_child(child)
    assert client.infer(3, [1], "uint8", b"q") == b"q"

    # The child's calls went over a connection of its own, closed when it exited; the parent's
    # pooled connection 1 carried both parent calls and was never closed.
    wait_for(lambda: (2, "eof", b"") in record_events(wire, record_path))
    events = record_events(wire, record_path)
    frames = [(conn, data[:4]) for conn, kind, data in events if kind == "frame"]
    assert frames == [(1, wire.u32(1))] + [(2, wire.u32(2))] * 3 + [(1, wire.u32(3))]
    assert (1, "eof", b"") not in events


def test_socket_parent_and_forked_children_at_the_same_time(engines, socket_path, record_path, wire):
    engines.start("--unix", socket_path, "--record", record_path)
    client = zelto_sdk.ZeltoClient(socket_path, max_pool_size=2)
    assert client.infer(0, [1], "uint8", b"w") == b"w"
    calls = 300
    results = fork_context().Queue()

    def child(number: int) -> None:
        wrong = 0
        for i in range(calls):
            data = bytes([number, i % 256, (i * 7) % 256])
            if client.infer(number, [3], "uint8", data) != data:
                wrong += 1
        results.put((number, wrong))

    processes = [fork_context().Process(target=child, args=(n,), name=f"child-{n}") for n in (1, 2, 3)]
    for process in processes:
        process.start()
    wrong_in_parent = 0
    for i in range(calls):
        data = bytes([9, i % 256])
        if client.infer(9, [2], "uint8", data) != data:
            wrong_in_parent += 1
    join_all(processes)
    assert sorted(results.get(timeout=10) for _ in processes) == [(1, 0), (2, 0), (3, 0)]
    assert wrong_in_parent == 0

    # Each process used connections of its own: no connection carried two processes' requests.
    by_connection = {}
    for conn, kind, data in record_events(wire, record_path):
        if kind == "frame":
            by_connection.setdefault(conn, set()).add(int.from_bytes(data[:4], "little"))
    assert all(len(models - {0}) <= 1 for models in by_connection.values()), by_connection
    assert by_connection[1] == {0, 9}  # the parent kept its first connection throughout


def test_socket_child_dropping_the_client_keeps_the_parents_connection(
        engines, socket_path, record_path, wire):
    engines.start("--unix", socket_path, "--record", record_path)
    client = zelto_sdk.ZeltoClient(socket_path)
    assert client.infer(1, [1], "uint8", b"a") == b"a"

    def child() -> None:
        nonlocal client
        del client  # closes the child's copy of the idle connection, sends nothing
        gc.collect()

    run_in_child(child)
    assert client.infer(1, [1], "uint8", b"b") == b"b"
    assert frame_connections(wire, record_path) == [1, 1]
    assert (1, "eof", b"") not in record_events(wire, record_path)


def test_socket_child_of_a_child(engines, socket_path, record_path, wire):
    engines.start("--unix", socket_path, "--record", record_path)
    client = zelto_sdk.ZeltoClient(socket_path)
    assert client.infer(1, [1], "uint8", b"a") == b"a"

    def grandchild() -> None:
        assert client.infer(3, [1], "uint8", b"c") == b"c"

    def child() -> None:
        assert client.infer(2, [1], "uint8", b"b") == b"b"
        run_in_child(grandchild)
        assert client.infer(2, [1], "uint8", b"d") == b"d"

    run_in_child(child)
    assert client.infer(1, [1], "uint8", b"e") == b"e"
    models_by_connection = {}
    for conn, kind, data in record_events(wire, record_path):
        if kind == "frame":
            models_by_connection.setdefault(conn, []).append(data[0])
    assert sorted(models_by_connection.values()) == [[1, 1], [2, 2], [3]]


# =============================================================================================
# ZeltoHybridClient
# =============================================================================================


@pytest.fixture
def hybrid(engines, shm_name, socket_path, record_path):
    """A hybrid engine whose socket frames are recorded with their connection numbers."""

    def start(*extra: str):
        engines.start("--unix", socket_path, "--shm", shm_name, "--record", record_path, *extra)
        return zelto_sdk.ZeltoHybridClient(shm_name, socket_path)

    return start


def test_hybrid_child_builds_its_own_loop_and_connection(hybrid, record_path, wire):
    # The delay makes every call wait on the event loop instead of finding its reply ready.
    client = hybrid("--delay-ms", "5")
    threads_before = task_count()
    assert client.infer([1], "uint8", b"p") == b"p"

    def child() -> None:
        assert task_count() == 1  # fork copies only the calling thread
        inherited = fd_count()
        for i in range(3):
            assert client.infer([2], "uint8", bytes([i, 7])) == bytes([i, 7])
        # A fresh loop with its own workers (one per available processor) now runs in the child,
        # and the inherited loop's epoll and eventfd copies and the inherited socket copy were
        # closed for the new ones.
        assert task_count() == 1 + len(os.sched_getaffinity(0))
        assert fd_count() == inherited

    run_in_child(child)
    assert client.infer([1], "uint8", b"q") == b"q"
    # No thread was added here. (Fewer is possible: a thread an earlier test joined can still be
    # listed under /proc for a moment after its join, and so be counted in threads_before.)
    wait_for(lambda: task_count() <= threads_before, timeout=5.0)
    assert frame_connections(wire, record_path) == [1, 2, 2, 2, 1]
    assert (1, "eof", b"") not in record_events(wire, record_path)


def test_hybrid_child_that_only_drops_the_client(hybrid, record_path, wire):
    client = hybrid("--delay-ms", "5")
    assert client.infer([1], "uint8", b"a") == b"a"

    def child() -> None:
        nonlocal client
        del client  # must neither join the parent's threads nor stop them
        gc.collect()

    run_in_child(child)
    for data in (b"b", b"c"):  # each call waits on the parent's workers
        assert client.infer([1], "uint8", data) == data
    assert frame_connections(wire, record_path) == [1, 1, 1]


def test_hybrid_child_made_by_multiprocessing(hybrid, record_path, wire):
    client = hybrid("--delay-ms", "2")
    assert client.infer([2], "uint8", b"pp") == b"pp"
    results = fork_context().Queue()

    def child() -> None:
        results.put([client.infer([1], "uint8", bytes([i])) for i in range(5)])

    process = fork_context().Process(target=child, name="hybrid-child")
    process.start()
    join_all([process])
    assert results.get(timeout=10) == [bytes([i]) for i in range(5)]
    assert client.infer([2], "uint8", b"qq") == b"qq"
    connections = frame_connections(wire, record_path)
    assert connections[0] == connections[-1] == 1 and set(connections[1:-1]) == {2}


def test_hybrid_child_of_a_child_and_the_parent_in_between(hybrid, record_path, wire):
    client = hybrid("--delay-ms", "2")
    assert client.infer([1], "uint8", b"1") == b"1"

    def grandchild() -> None:
        assert client.infer([1], "uint8", b"3") == b"3"

    def child() -> None:
        assert client.infer([1], "uint8", b"2") == b"2"
        run_in_child(grandchild)
        assert client.infer([1], "uint8", b"4") == b"4"

    run_in_child(child)
    assert client.infer([1], "uint8", b"5") == b"5"
    assert frame_connections(wire, record_path) == [1, 2, 3, 2, 1]


# =============================================================================================
# ZeltoShmClient
# =============================================================================================


def shm_ids(record_path) -> List[int]:
    if not os.path.exists(record_path):
        return []
    with open(record_path) as lines:
        return [int(dict(f.split("=", 1) for f in line.split())["id"]) for line in lines]


READ_ELSEWHERE = ("The response ring of shared memory region '{}' is read by a ZeltoShmClient of "
                  "another process: one process at a time may read it (ZeltoHybridClient "
                  "objects can share the region)")


def test_shm_child_is_refused_while_the_parent_reads_the_ring(engines, shm_name, record_path):
    engines.start("--shm", shm_name, "--record", record_path)
    client = zelto_sdk.ZeltoShmClient(shm_name)
    assert client.infer([1], "uint8", b"p") == b"p"

    def child() -> None:
        # The inherited object, and a new one: either would read the parent's answers.
        for attempt in (lambda: client.infer([2], "uint8", b"cc"),
                        lambda: zelto_sdk.ZeltoShmClient(shm_name)):
            try:
                attempt()
            except (RuntimeError, ConnectionError) as error:
                assert error.args == (READ_ELSEWHERE.format(shm_name),)
            else:
                raise AssertionError("the child read the parent's response ring")
        # A hybrid client shares the region freely, with slots and ids of the child's own.
        hybrid = zelto_sdk.ZeltoHybridClient(shm_name, "/nonexistent/zelto.sock")
        del hybrid

    run_in_child(child)
    assert client.infer([1], "uint8", b"q") == b"q"
    wait_for(lambda: len(shm_ids(record_path)) == 2)
    assert shm_ids(record_path) == [1, 2]


def test_shm_child_reads_the_ring_once_the_parent_lets_go(engines, shm_name, record_path):
    engines.start("--shm", shm_name, "--record", record_path)
    client = zelto_sdk.ZeltoShmClient(shm_name)
    assert client.infer([1], "uint8", b"p") == b"p"
    results = fork_context().Queue()

    def child() -> None:
        mine = zelto_sdk.ZeltoShmClient(shm_name)
        results.put([mine.infer([3], "uint8", bytes([i, 1, 2])) for i in range(4)])

    del client
    gc.collect()
    process = fork_context().Process(target=child, name="shm-child")
    process.start()
    join_all([process])
    assert results.get(timeout=10) == [bytes([i, 1, 2]) for i in range(4)]
    # The child numbered its requests as a process of its own (the parent's share was gone, so
    # it is process 0 again, from 1), and the parent, which attaches again, is process 0 too.
    client = zelto_sdk.ZeltoShmClient(shm_name)
    assert client.infer([1], "uint8", b"q") == b"q"
    wait_for(lambda: len(shm_ids(record_path)) == 6)
    assert shm_ids(record_path) == [1, 1, 2, 3, 4, 1]


def make_eventfd() -> int:
    if hasattr(os, "eventfd"):
        return os.eventfd(0, os.EFD_NONBLOCK | os.EFD_CLOEXEC)
    import ctypes

    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.eventfd(0, 0o4000 | 0o2000000)  # EFD_NONBLOCK | EFD_CLOEXEC
    if fd < 0:
        raise OSError(ctypes.get_errno(), "eventfd")
    return fd


def test_shm_fork_while_another_thread_waits_inside_infer(engines, shm_name, record_path, tmp_path):
    """infer lets go of the interpreter lock while it waits on the notify descriptor, so another
    thread can fork meanwhile: the child finds the object borrowed and says so at once."""
    notify = make_eventfd()
    gate = tmp_path / "gate"
    try:
        engines.start("--shm", shm_name, "--record", record_path, "--notify-fd", str(notify),
                      "--shm-gate", str(gate), pass_fds=(notify,))
        client = zelto_sdk.ZeltoShmClient(shm_name)
        outcome = {}

        def waiting_call() -> None:
            outcome["result"] = client.infer([1], "uint8", b"w")

        waiter = threading.Thread(target=waiting_call)
        waiter.start()
        try:
            wait_for(lambda: len(shm_ids(record_path)) == 1)  # queued: the thread now waits

            def child() -> None:
                try:
                    client.infer([1], "uint8", b"c")
                except RuntimeError as error:
                    assert error.args == ("Already borrowed",)
                else:
                    raise AssertionError("the child's call went through")

            run_in_child(child)
        finally:
            gate.touch()
            waiter.join(CHILD_BOUND)
        assert outcome == {"result": b"w"}
        assert client.infer([1], "uint8", b"p") == b"p"
    finally:
        os.close(notify)
