"""Checks of the benchmark's own pieces that need no zelto_sdk: the pure-Python wire encoding,
a round trip through every peer server, the floor client against a scripted engine, the busy
loops of the loaded mode and the sections of RESULTS.md.  Run: python -m pytest bench/test_peers.py"""

from __future__ import annotations

import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

import pytest

import peers
import summary_sections
from busy_loops import BusyLoops


def test_encode_request_matches_the_documented_bytes():
    data = struct.pack("<2f", 1.0, 2.0)
    want = bytes.fromhex(
        "0100000000000000 0200000000000000 0700000000000000 666c6f61743332 01"
        " 0800000000000000 0000803f00000040 00 0000000000000000 00 00".replace(" ", "")
    )
    assert len(want) == 59
    assert peers.encode_request([2], "float32", data) == want


def test_decode_tensor_data_finds_the_data():
    body = peers.encode_request([3, 1], "uint8", b"abc")
    assert peers.decode_tensor_data(body) == b"abc"
    with pytest.raises(RuntimeError):
        peers.decode_tensor_data(body[:-14])


@pytest.fixture
def workdir():
    with tempfile.TemporaryDirectory(prefix="zelto-bench-test-") as d:
        yield d


SIZES = [0, 64, 4096, 1 << 20, (16 << 20) - 80]


def test_zmq_echo(workdir):
    address = f"ipc://{workdir}/zmq.sock"
    server = peers.PeerServer(["zmq", address])
    client = peers.ZmqClient(address)
    try:
        for n in SIZES:
            data = os.urandom(n)
            assert client.infer(data) == data
    finally:
        client.close()
        server.stop()


def test_grpc_echo(workdir):
    address = f"unix:{workdir}/grpc.sock"
    server = peers.PeerServer(["grpc", address])
    client = peers.GrpcClient(address)
    try:
        for n in SIZES:
            data = os.urandom(n)
            assert client.infer(data) == data
    finally:
        client.close()
        server.stop()


def test_shmpipe_echo():
    client = peers.ShmPipeClient(16 << 20)
    name = client.shm.name
    try:
        for n in SIZES:
            data = os.urandom(n)
            assert client.infer(data) == data
    finally:
        client.close()
    assert not os.path.exists("/dev/shm/" + name.lstrip("/"))


class FakeEngine:
    """Op 1 echo over a Unix socket, enough to check the protocol clients of the benchmark.

    `pause`: seconds between the reply's header and its body (a reply that comes in two parts);
    `corrupt`: flip the last data byte of every reply."""

    def __init__(self, path: str, pause: float = 0.0, corrupt: bool = False) -> None:
        import socket
        import threading

        self.pause = pause
        self.corrupt = corrupt
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self) -> None:
        conn, _ = self.listener.accept()
        with conn:
            f = conn.makefile("rb")
            while True:
                head = f.read(12)
                if len(head) < 12:
                    return
                _model, op, n = struct.unpack("<III", head)
                payload = f.read(n)
                assert op == 1
                ndim = struct.unpack_from("<Q", payload, 0)[0]
                off = 8 + 8 * ndim
                dlen = struct.unpack_from("<Q", payload, off)[0]
                off += 8 + dlen
                assert payload[off] == 1
                data_len = struct.unpack_from("<Q", payload, off + 1)[0]
                # An echo reply is the request's tensor packet with data_base64 absent.
                body = bytearray(payload[: off + 9 + data_len] + b"\x00")
                if self.corrupt and data_len:
                    body[off + 9 + data_len - 1] ^= 0xFF
                conn.sendall(struct.pack("<II", 0, len(body)))
                if self.pause:
                    time.sleep(self.pause)
                conn.sendall(body)


def test_python_socket_client_against_fake_engine(workdir):
    path = f"{workdir}/engine.sock"
    FakeEngine(path)
    client = peers.PySocketClient(f"unix://{path}")
    for n in SIZES:
        data = os.urandom(n)
        assert client.infer(0, [n], "uint8", data) == data
    client.close()


def floor_binary() -> str:
    binary = os.environ.get("FLOOR_CLIENT", os.path.join(os.path.dirname(__file__), "..",
                                                         "build-bench", "bench", "floor_client"))
    if not os.path.exists(binary):
        pytest.skip("floor_client not built")
    return binary


def run_floor(path: str, commands: str) -> subprocess.CompletedProcess:
    return subprocess.run([floor_binary()], input=f"connect unix {path}\n{commands}quit\n",
                          capture_output=True, text=True, timeout=60)


def test_floor_client_against_fake_engine(workdir):
    binary = floor_binary()
    path = f"{workdir}/engine.sock"
    FakeEngine(path)
    out = subprocess.run([binary], input=f"connect unix {path}\nrun 64 3\nrun 16777136 2\n"
                         "run 4096 2 split\nrun 4096 2 spin\nquit\n",
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert lines[0] == "ok"
    assert lines[1].startswith("ok ") and len(lines[1].split()) == 4
    assert len(lines[2].split()) == 3
    assert [len(line.split()) for line in lines[3:]] == [3, 3]  # split and spin modes echo too


@pytest.mark.parametrize("mode", ["plain", "spin"])
def test_floor_client_reads_a_reply_that_comes_in_two_parts(workdir, mode):
    # The body comes 20 ms after the header: the spinning floor must go on asking (not take
    # EAGAIN for an error, nor block), and both must put the parts together.
    path = f"{workdir}/engine.sock"
    FakeEngine(path, pause=0.02)
    out = run_floor(path, f"run 4096 3 {mode}\n")
    assert out.returncode == 0, out.stderr
    times = [int(t) for t in out.stdout.splitlines()[1].split()[1:]]
    assert len(times) == 3 and min(times) >= 20_000_000  # the pause is inside each timed call


@pytest.mark.parametrize("mode", ["plain", "spin"])
def test_floor_client_rejects_a_reply_that_differs(workdir, mode):
    path = f"{workdir}/engine.sock"
    FakeEngine(path, corrupt=True)
    out = run_floor(path, f"run 64 2 {mode}\n")
    assert out.returncode == 1
    assert "reply differs from the request" in out.stderr


def test_floor_library_spins_through_ctypes(workdir):
    # The waiting report calls the floors through ctypes: the mode names must reach the library.
    library = os.path.join(os.path.dirname(floor_binary()), "libzelto_floor.so")
    if not os.path.exists(library):
        pytest.skip("libzelto_floor.so not built")
    import run_bench

    path = f"{workdir}/engine.sock"
    FakeEngine(path, pause=0.005)
    floor = run_bench.FloorLibrary(library)
    try:
        floor.connect("unix", path)
        assert len(floor.run(64, 2, "spin")) == 2
        assert len(floor.run(4096, 2, "plain")) == 2
    finally:
        floor.close()


# ---------------------------------------------------------------------------------------------
# Busy loops (--load, the waiting report's loaded world)


def loop_gone(pid: int) -> bool:
    """Exited (a zombie whose parent is gone counts: it runs no more)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except FileNotFoundError:
        return True


def cpu_ticks(pid: int) -> int:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def test_busy_loops_are_pinned_busy_and_gone_after_an_interrupt():
    cpus = sorted(os.sched_getaffinity(0))
    count = len(cpus) + 1  # one more than the processors: the round robin wraps
    with pytest.raises(KeyboardInterrupt):
        with BusyLoops(count, cpus, limit=60) as loops:
            pids = loops.pids()
            assert [os.sched_getaffinity(pid) for pid in pids] == [
                {cpus[i % len(cpus)]} for i in range(count)]
            time.sleep(0.5)
            assert all(cpu_ticks(pid) > 0 for pid in pids)  # spinning, not sleeping
            raise KeyboardInterrupt  # Ctrl-C in the middle of a measurement
    assert all(loop_gone(pid) for pid in pids)
    assert loops.ended_early == []


def test_busy_loops_end_by_themselves_after_their_limit():
    loops = BusyLoops(2, sorted(os.sched_getaffinity(0)), limit=0.5).start()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and any(p.poll() is None for p in loops.procs):
        time.sleep(0.05)
    pids = loops.pids()
    loops.stop()
    assert sorted(loops.ended_early) == sorted(pids)  # the driver is told the load ended early


def test_busy_loops_end_when_their_driver_is_killed():
    here = os.path.dirname(os.path.abspath(__file__))
    driver = subprocess.Popen(
        [sys.executable, "-c",
         f"import os, sys, time; sys.path.insert(0, {here!r}); from busy_loops import BusyLoops;"
         "b = BusyLoops(2, sorted(os.sched_getaffinity(0)), limit=60).start();"
         "print(*b.pids(), flush=True); time.sleep(60)"],
        stdout=subprocess.PIPE, text=True)
    assert driver.stdout is not None
    pids = [int(p) for p in driver.stdout.readline().split()]
    assert len(pids) == 2 and not any(loop_gone(pid) for pid in pids)
    driver.send_signal(signal.SIGKILL)  # no finally runs: the loops must notice by themselves
    driver.wait()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not all(loop_gone(pid) for pid in pids):
        time.sleep(0.05)
    assert all(loop_gone(pid) for pid in pids)


# ---------------------------------------------------------------------------------------------
# RESULTS.md: the normal run and the waiting report each keep the other's part

WAITING = "### Waiting: idle and loaded\n\nnew numbers\n\n#### Idle\n\n| a |\n"


@pytest.mark.parametrize("old, want", [
    # no waiting section yet: appended
    ("## Benchmark results\n\n### Soak\n\nsoak\n",
     "## Benchmark results\n\n### Soak\n\nsoak\n\n" + WAITING),
    # an older one at the end, with subsections of its own: replaced whole
    ("## Benchmark results\n\n### Waiting: idle and loaded\n\nold\n\n#### Loaded\n\nold\n",
     "## Benchmark results\n\n" + WAITING),
    # an older one between two sections: replaced, the section after it kept
    ("## B\n\n### Waiting: idle and loaded\n\nold\n### Soak\n\nsoak\n",
     "## B\n\n" + WAITING + "\n### Soak\n\nsoak\n"),
])
def test_waiting_section_replaces_only_its_own_part(old, want):
    assert summary_sections.with_section(old, WAITING) == want


def test_normal_run_keeps_the_waiting_section(tmp_path):
    import run_bench

    summary = tmp_path / "RESULTS.md"
    run_bench.write_summary(summary, "## Benchmark results\n\nfirst table\n")
    assert summary.read_text() == "## Benchmark results\n\nfirst table\n"
    summary.write_text(summary_sections.with_section(summary.read_text(), WAITING))
    run_bench.write_summary(summary, "## Benchmark results\n\nnew table\n")
    assert summary.read_text() == "## Benchmark results\n\nnew table\n\n" + WAITING
    assert summary_sections.section(summary.read_text()) == WAITING
    assert summary_sections.section("## Benchmark results\n") == ""
