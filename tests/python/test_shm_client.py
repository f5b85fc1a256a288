"""ZeltoShmClient against zelto-mock-engine's shared-memory mode, as a real peer process.

The engine records every request entry it consumes (--record), so the tests check the exact
bytes the client laid into the region. Slot hygiene is checked with a pool of exactly one slot
(--pool-size 100000): a call that leaked its slot would make the next call fail with the
pool-exhaustion text instead of the error the probe expects.
"""

from __future__ import annotations

import mmap
import os
import re
import resource
import signal
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Dict, List

import pytest

import zelto_sdk
from conftest import make_eventfd

MiB = 1 << 20
ONE_SLOT_POOL = "100000"
FOREIGN_ID_DISTANCE = 1000
QUEUE_FULL = "Queue is full"


# --- helpers ---------------------------------------------------------------------------------


class Region:
    """A second mapping of the engine's region, for reading the header and poking at the rings."""

    def __init__(self, name: str) -> None:
        path = Path("/dev/shm") / name.lstrip("/")
        with open(path, "r+b") as handle:
            self.size = os.fstat(handle.fileno()).st_size
            self.map = mmap.mmap(handle.fileno(), self.size)
        (self.magic, self.version, self.request_ring, self.response_ring, self.pool_offset,
         self.pool_size, self.notify_fd) = struct.unpack_from("<IIQQQQi", self.map, 0)

    def counters(self, ring: str) -> List[int]:
        offset, entry = (self.request_ring, 40) if ring == "request" else (self.response_ring, 48)
        return [struct.unpack_from("<Q", self.map, offset + i * entry)[0] for i in range(3)]

    def set_counters(self, ring: str, values: List[int]) -> None:
        offset, entry = (self.request_ring, 40) if ring == "request" else (self.response_ring, 48)
        for i, value in enumerate(values):
            struct.pack_into("<Q", self.map, offset + i * entry, value)

    def close(self) -> None:
        self.map.close()


def records(path: Path) -> List[Dict[str, str]]:
    if not path.exists():
        return []
    return [dict(field.split("=", 1) for field in line.split()) for line in path.read_text().splitlines()]


def wait_for_records(path: Path, count: int, timeout: float = 10.0) -> List[Dict[str, str]]:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        seen = records(path)
        if len(seen) >= count:
            return seen
        time.sleep(0.005)
    raise AssertionError(f"engine recorded {len(records(path))} requests, expected {count}")


def block_hex(dims: List[int], code: int, data_len: int) -> str:
    padded = list(dims) + [0] * (8 - len(dims))
    return struct.pack("<IB3x8qQ", len(dims), code, *padded, data_len).hex()


def assert_slot_free(client: "zelto_sdk.ZeltoShmClient") -> None:
    """The one slot is free: the dtype check (after allocation) fails, not the allocation."""
    with pytest.raises(ValueError) as caught:
        client.infer([1], "bogus", b"x")
    assert caught.value.args == ("Invalid input: Unsupported dtype: bogus",)


@pytest.fixture
def record(tmp_path: Path) -> Path:
    return tmp_path / "requests.log"


@pytest.fixture
def start(engines, shm_name: str, record: Path):
    """start(*knobs, pass_fds=()) -> (client, region) for an engine serving shm_name."""
    opened: List[Region] = []

    def starter(*knobs: str, pass_fds=()):
        engines.start("--shm", shm_name, "--record", str(record), *knobs, pass_fds=pass_fds)
        region = Region(shm_name)
        opened.append(region)
        return zelto_sdk.ZeltoShmClient(shm_name), region

    yield starter
    for region in opened:
        region.close()


# --- construction ----------------------------------------------------------------------------


def test_missing_region_is_connection_error(shm_name: str) -> None:
    with pytest.raises(ConnectionError) as caught:
        zelto_sdk.ZeltoShmClient(shm_name)
    assert caught.value.args == ("Shared memory error: Opening the shared memory failed, os error 2",)


@pytest.mark.parametrize(
    "knobs, message",
    [
        (["--region-magic", "0x4F4D4941"], "Invalid magic number in shared memory"),
        (["--region-version", "2"], "Shared memory version mismatch"),
        (["--region-pool-size", str(1 << 40)],
         r"Invalid shared memory layout: tensor pool at offset 94208 \(1099511627776 bytes\) "
         r"does not fit in the \d+-byte region"),
        (["--region-response-ring-offset", "18446744073709551608"],
         r"Invalid shared memory layout: response ring at offset 18446744073709551608 "
         r"\(49152 bytes\) does not fit in the \d+-byte region"),
    ],
    ids=["magic", "version", "pool", "ring"],
)
def test_bad_header_is_connection_error(engines, shm_name: str, knobs, message: str) -> None:
    engines.start("--shm", shm_name, *knobs)
    with pytest.raises(ConnectionError) as caught:
        zelto_sdk.ZeltoShmClient(shm_name)
    assert len(caught.value.args) == 1
    assert re.fullmatch(message, caught.value.args[0])


# --- what the client writes ------------------------------------------------------------------


def test_block_bytes_entry_and_request_ids(start, record: Path) -> None:
    client, region = start()
    before = time.time_ns()
    assert client.infer([2, 3], "float32", bytes(24)) == bytes(24)
    with pytest.raises(ValueError, match="^Invalid input: Unsupported dtype: bogus$"):
        client.infer([1], "BOGUS", b"x")  # uses up id 2
    with pytest.raises(ValueError) as too_many:
        client.infer(list(range(9)), "float32", b"")  # refused before an id or a slot is used
    assert too_many.value.args == ("shape has 9 dimensions; at most 8 fit a shared-memory tensor block",)
    assert client.infer([-1, 0, 7], "int64", b"\x01\x02") == b"\x01\x02"

    first, second = wait_for_records(record, 2)
    assert first["id"] == "1" and second["id"] == "3"
    assert first["size"] == "104"
    assert first["block"] == block_hex([2, 3], 0, 24)
    assert first["data"] == "00" * 24
    assert second["size"] == "82"
    assert second["block"] == block_hex([-1, 0, 7], 3, 2)
    assert second["data"] == "0102"
    meta = bytes.fromhex(first["meta"])
    request_id, aux, timestamp = struct.unpack("<Q8sQ", meta)
    assert request_id == 1 and aux == bytes(8)
    assert before <= timestamp <= time.time_ns()
    # Both slots lie in the pool the header announces.
    for entry in (first, second):
        offset = int(entry["offset"])
        assert region.pool_offset <= offset < region.pool_offset + region.pool_size


@pytest.mark.parametrize(
    "dtype, code",
    [("float32", 0), ("FP64", 1), ("float64", 1), ("fp16", 0), ("int32", 2), ("I32", 2),
     ("int64", 3), ("uint8", 0), ("string", 0), ("utf8", 0)],
)
def test_dtype_codes(start, record: Path, dtype: str, code: int) -> None:
    client, _ = start()
    assert client.infer([4], dtype, b"abcd") == b"abcd"
    (entry,) = wait_for_records(record, 1)
    assert entry["block"] == block_hex([4], code, 4)


@pytest.mark.parametrize(
    "shape, data",
    [([], b""), ((5,), bytearray(b"hello")), ([2, 2], [0, 255, 1, 254]), ([1] * 8, memoryview(b"\x07"))],
    ids=["empty", "tuple-bytearray", "list-data", "eight-dims-memoryview"],
)
def test_argument_forms(start, record: Path, shape, data) -> None:
    client, _ = start()
    expected = bytes(data)
    assert client.infer(shape, "uint8", data) == expected
    (entry,) = wait_for_records(record, 1)
    assert entry["size"] == str(80 + len(expected))
    assert entry["block"] == block_hex(list(shape), 0, len(expected))


def test_conversion_errors_take_no_slot(start, record: Path) -> None:
    client, _ = start("--pool-size", ONE_SLOT_POOL)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        client.infer([1], "uint8", [0, 256])
    with pytest.raises(TypeError, match="^argument 'data': "):
        client.infer([1], "uint8", "text")
    assert_slot_free(client)
    assert client.infer([1], "uint8", b"z") == b"z"
    (entry,) = wait_for_records(record, 1)
    assert entry["id"] == "2"  # conversion failures use up no id; the probe used id 1


def test_largest_block_and_exhaustion_text(start, record: Path) -> None:
    client, region = start()  # default 64 MiB pool
    data = bytes(range(256)) * (16777136 // 256) + bytes(16777136 % 256)
    assert client.infer([len(data)], "uint8", data) == data
    (entry,) = wait_for_records(record, 1)
    assert entry["size"] == "16777216"

    base = region.pool_offset
    layout = ", ".join(
        f"class{j}(base={base + start_} slot_size={size} slots={slots})"
        for j, (start_, size, slots) in enumerate(
            [(0, 262144, 4), (1048576, 1048576, 3), (4194304, 4194304, 3), (16777216, 16777216, 3)]
        )
    )
    expected = (f"SHM tensor pool exhausted (required=16777217 bytes, largest_slot=16777216 bytes, "
                f"layout={layout})")
    with pytest.raises(RuntimeError) as caught:
        client.infer([1], "float32", bytes(16777137))
    assert caught.value.args == (expected,)
    # The slot is asked for before the dtype is parsed.
    with pytest.raises(RuntimeError) as caught:
        client.infer([1], "bogus", bytes(16777137))
    assert caught.value.args == (expected,)


# --- what the engine answers -----------------------------------------------------------------


@pytest.mark.parametrize(
    "knobs, message",
    [
        (["--shm-behaviour", "error", "--shm-error-text", "model 7 not found"], "model 7 not found"),
        (["--shm-behaviour", "unknown-error"], "Unknown error"),
        (["--shm-behaviour", "invalid-utf8"], "bad \ufffd byte"),
    ],
    ids=["text", "unknown", "invalid-utf8"],
)
def test_engine_errors(start, knobs, message: str) -> None:
    client, _ = start("--pool-size", ONE_SLOT_POOL, *knobs)
    with pytest.raises(RuntimeError) as caught:
        client.infer([1], "float32", b"abcd")
    assert caught.value.args == (message,)
    assert_slot_free(client)


def start_foreign_first(start, eventfd_at, with_eventfd: bool):
    """An engine that puts an entry for another id on the ring before each answer; with a
    descriptor it writes the descriptor after each of the two entries."""
    knobs = ["--shm-behaviour", "foreign-first"]
    if not with_eventfd:
        return start(*knobs)
    fd = eventfd_at()
    return start(*knobs, "--notify-fd", str(fd), pass_fds=(fd,))


@pytest.mark.parametrize("with_eventfd", [False, True], ids=["polling", "eventfd"])
def test_foreign_response_is_dropped(start, eventfd_at, record: Path, with_eventfd: bool) -> None:
    """The foreign entry comes a moment before the answer, so the client meets it while it spins
    on the ring; with a descriptor the engine also writes it twice per call, once after each
    entry, which can leave a count for the next call."""
    client, region = start_foreign_first(start, eventfd_at, with_eventfd)
    assert client.infer([3], "uint8", b"xyz") == b"xyz"
    assert client.infer([1], "uint8", b"w") == b"w"
    assert client.infer([2], "uint8", b"uv") == b"uv"
    reserve, commit, read = region.counters("response")
    assert reserve == commit == read == 6  # three foreign entries and three answers, all consumed


def test_queue_full_releases_the_slot(start, record: Path) -> None:
    client, region = start("--pool-size", ONE_SLOT_POOL, "--shm-behaviour", "stall")
    region.set_counters("request", [1020, 1020, 0])  # 1020 entries queued: the ring is full
    for _ in range(2):  # the second call would report exhaustion if the first had kept the slot
        with pytest.raises(RuntimeError) as caught:
            client.infer([1], "float32", b"abcd")
        assert caught.value.args == (QUEUE_FULL,)
    assert region.counters("request") == [1020, 1020, 0]
    assert_slot_free(client)


# --- answers that would lead outside the mapping ---------------------------------------------


@pytest.mark.parametrize(
    "behaviour, pattern",
    [
        ("bad-offset", r"Invalid response from engine: result tensor block at offset (\d+) "
                       r"does not fit in the (\d+)-byte region"),
        ("bad-data-len", r"Invalid response from engine: result tensor block at offset \d+ claims "
                         r"4611686018427387904 data bytes, more than the (\d+)-byte region holds"),
        ("bad-error-offset", r"Invalid response from engine: engine error text at offset (\d+) "
                             r"does not fit in the (\d+)-byte region"),
        ("bad-error-len", r"Invalid response from engine: engine error text at offset \d+ claims "
                          r"4611686018427387904 bytes, more than the (\d+)-byte region holds"),
        ("bad-ring", r"Shared-memory ring counters out of range \(reserve_index=0, "
                     r"commit_index=5000, read_index=0; capacity 1021\)"),
    ],
)
def test_hostile_responses_are_refused(start, behaviour: str, pattern: str) -> None:
    client, region = start("--pool-size", ONE_SLOT_POOL, "--shm-behaviour", behaviour)
    with pytest.raises(RuntimeError) as caught:
        client.infer([2], "float32", b"abcdefgh")
    assert len(caught.value.args) == 1
    match = re.fullmatch(pattern, caught.value.args[0])
    assert match, caught.value.args[0]
    if match.groups():
        assert int(match.groups()[-1]) == region.size
    assert_slot_free(client)


# --- waiting: notification, polling, time-out, signals, borrows ------------------------------


def test_timeout_without_answer(start) -> None:
    client, region = start("--pool-size", ONE_SLOT_POOL, "--shm-behaviour", "silent")
    assert region.notify_fd == -1
    with pytest.raises(TimeoutError) as caught:
        client.infer([1], "float32", b"abcd")
    assert caught.value.args == ("Request timed out",)
    assert_slot_free(client)


@pytest.fixture
def ctrl_c_raises():
    """SIGINT raises KeyboardInterrupt during the test, whatever the test run inherited: a shell
    starts background jobs with SIGINT ignored, and Python then leaves it ignored."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


@pytest.mark.parametrize("with_eventfd", [False, True], ids=["polling", "eventfd"])
def test_keyboard_interrupt_while_polling_releases_the_slot(
    start, eventfd_at, record: Path, with_eventfd: bool, ctrl_c_raises
) -> None:
    """Without a descriptor the signal comes while the client spins or polls with the lock held;
    with one (never written: the engine stays silent) while it spins or sleeps in select."""
    knobs = ["--pool-size", ONE_SLOT_POOL, "--shm-behaviour", "silent"]
    if with_eventfd:
        fd = eventfd_at()
        client, _ = start(*knobs, "--notify-fd", str(fd), pass_fds=(fd,))
    else:
        client, _ = start(*knobs)
    # The polling keeps the interpreter lock, so no Python thread of this process could send the
    # signal in time: a helper process sends SIGINT once the engine has the request.
    helper = subprocess.Popen([sys.executable, "-c", SEND_SIGINT_WHEN_QUEUED, str(record), str(os.getpid())])
    try:
        with pytest.raises(KeyboardInterrupt):
            client.infer([1], "float32", b"abcd")
    finally:
        assert helper.wait(timeout=30) == 0
    assert_slot_free(client)


SEND_SIGINT_WHEN_QUEUED = """
import os, signal, sys, time
path, pid = sys.argv[1], int(sys.argv[2])
while not (os.path.exists(path) and open(path).read().strip()):
    time.sleep(0.005)
os.kill(pid, signal.SIGINT)
"""


@pytest.fixture
def eventfd_at():
    """eventfd_at(number or None) -> an eventfd, moved to that descriptor number if given."""
    opened: List[int] = []
    saved_limit = resource.getrlimit(resource.RLIMIT_NOFILE)

    def make(number=None) -> int:
        fd = make_eventfd()
        opened.append(fd)
        if number is None:
            return fd
        soft, hard = saved_limit
        if hard != resource.RLIM_INFINITY and hard <= number:
            pytest.skip(f"descriptor limit {hard} too low for fd {number}")
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, number + 1), hard))
        moved = os.dup2(fd, number, inheritable=False)
        opened.append(moved)
        return moved

    yield make
    for fd in opened:
        os.close(fd)
    resource.setrlimit(resource.RLIMIT_NOFILE, saved_limit)


@pytest.mark.parametrize("number", [None, 1500], ids=["select", "poll-above-1024"])
def test_notify_descriptor_is_waited_on_and_drained(start, eventfd_at, number) -> None:
    fd = eventfd_at(number)
    client, region = start("--notify-fd", str(fd), pass_fds=(fd,))
    assert region.notify_fd == fd
    for payload in (b"one", b"two!"):
        assert client.infer([len(payload)], "uint8", payload) == payload
        # The engine wrote 1 after its answer; the client's wait consumed it.
        with pytest.raises(BlockingIOError):
            os.read(fd, 8)


def test_second_thread_gets_already_borrowed_while_first_waits(
    start, eventfd_at, record: Path, tmp_path: Path
) -> None:
    fd = eventfd_at()
    gate = tmp_path / "gate"
    client, _ = start("--notify-fd", str(fd), "--shm-gate", str(gate), pass_fds=(fd,))
    outcome: Dict[str, object] = {}

    def first_call() -> None:
        try:
            outcome["result"] = client.infer([5], "uint8", b"first")
        except BaseException as error:  # reported below, in the main thread
            outcome["error"] = error

    waiter = threading.Thread(target=first_call)
    waiter.start()
    try:
        wait_for_records(record, 1)  # the first call is queued and now waits for its answer
        with pytest.raises(RuntimeError) as caught:
            client.infer([1], "uint8", b"x")
        assert caught.value.args == ("Already borrowed",)
        # Arguments are bound before the borrow is taken and converted after it.
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'data'"):
            client.infer([1], "uint8")  # type: ignore[call-arg]
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            client.infer("bad shape", "uint8", b"x")  # type: ignore[arg-type]
    finally:
        gate.touch()
        waiter.join()
    assert outcome == {"result": b"first"}
    assert len(records(record)) == 1  # the refused call queued nothing


def test_a_notification_descriptor_that_never_runs_dry_does_not_hang(start) -> None:
    """The engine names the descriptor, so it may be anything in the client's process: here
    /dev/zero, where every read returns a full buffer. The drain gives up instead of looping."""
    zero = os.open("/dev/zero", os.O_RDONLY)
    try:
        client, region = start("--notify-fd", str(zero))
        assert region.notify_fd == zero
        for payload in (b"one", b"two!"):
            assert client.infer([len(payload)], "uint8", payload) == payload
    finally:
        os.close(zero)


@pytest.mark.parametrize("answer_after", [1.0, None], ids=["answer-at-1s", "no-answer"])
def test_a_stale_notification_count_ends_the_one_wait(
    start, eventfd_at, record: Path, tmp_path: Path, answer_after
) -> None:
    """A count left in the descriptor by an earlier answer (written here by the test) makes select
    return at once, before this call's answer exists. The call waits on the descriptor once, so it
    goes on to polling: an answer that comes a second later is found then (not after the rest
    of the 5 s), and no answer at all gives TimeoutError after the polling's 6 s (not 11). The
    gate is opened by another process: the polling keeps the interpreter lock."""
    fd = eventfd_at()
    gate = tmp_path / "gate"
    client, _ = start("--notify-fd", str(fd), "--shm-gate", str(gate), pass_fds=(fd,))
    os.write(fd, struct.pack("<Q", 3))
    opener = None
    if answer_after is not None:
        opener = subprocess.Popen(["sh", "-c", f"sleep {answer_after}; touch {gate}"])
    started = time.monotonic()
    try:
        if answer_after is None:
            with pytest.raises(TimeoutError) as caught:
                client.infer([5], "uint8", b"fresh")
            assert caught.value.args == ("Request timed out",)
            assert 5.5 < time.monotonic() - started < 9.5
        else:
            assert client.infer([5], "uint8", b"fresh") == b"fresh"
            assert answer_after <= time.monotonic() - started < answer_after + 3
    finally:
        if opener is not None:
            opener.wait()


def test_answers_found_while_spinning_leave_no_count_behind(start, eventfd_at) -> None:
    """An echo answer is on the ring within microseconds, while the client still watches the ring:
    the engine's notification must be consumed by the same call all the same, call after call,
    with results of every size the pool takes (the largest ones are copied with streaming stores
    on both sides)."""
    fd = eventfd_at()
    client, region = start("--notify-fd", str(fd), pass_fds=(fd,))
    payloads = [b"", b"a", bytes(range(256)) * 16, os.urandom(MiB + 3), os.urandom(16 * MiB - 80)]
    for calls, payload in enumerate(payloads * 2, start=1):
        assert client.infer([len(payload)], "uint8", payload) == payload
        with pytest.raises(BlockingIOError):
            os.read(fd, 8)
        assert region.counters("response") == [calls] * 3


def test_a_blocking_notify_descriptor_never_blocks_the_call(start, tmp_path: Path) -> None:
    """The engine may hand over an eventfd in blocking mode, where a read with nothing posted
    would hang. The wait for an answer that comes late (the gate holds the engine back) and the
    taking of the notification of an answer already on the ring both read only what is there."""
    fd = make_eventfd(nonblocking=False)
    gate = tmp_path / "gate"
    try:
        client, _ = start("--notify-fd", str(fd), "--shm-gate", str(gate), pass_fds=(fd,))
        opener = threading.Timer(0.2, gate.touch)
        opener.start()
        try:
            assert client.infer([5], "uint8", b"later") == b"later"
        finally:
            opener.join()
        for payload in (b"one", b"two!", bytes(5000)):  # the gate is open: answers come at once
            assert client.infer([len(payload)], "uint8", payload) == payload
        os.set_blocking(fd, False)
        with pytest.raises(BlockingIOError):
            os.read(fd, 8)
    finally:
        os.close(fd)


@pytest.mark.parametrize("with_eventfd", [False, True], ids=["polling", "eventfd"])
def test_confined_to_one_processor_the_waits_still_deliver(start, eventfd_at, with_eventfd: bool) -> None:
    """Made on a thread that may run on one processor only, with the engine on that processor too,
    the client's watch yields it to the engine: every answer is delivered, and a descriptor is
    still drained after each call."""
    saved = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(saved)})  # the engine started below inherits it too
    try:
        client, region = start_foreign_first(start, eventfd_at, with_eventfd)
        payloads = [b"", b"abc", os.urandom(70000)]
        for payload in payloads:
            assert client.infer([len(payload)], "uint8", payload) == payload
        assert region.counters("response") == [2 * len(payloads)] * 3
    finally:
        os.sched_setaffinity(0, saved)
