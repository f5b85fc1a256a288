"""ZeltoHybridClient against zelto-mock-engine and against scripted Unix-socket peers.

The scripted peer (a separate process) answers with exact bytes; its success replies name the request's own block
("in place"), so the client copies back exactly what it wrote. The mock engine records what it
received (--hybrid-record), so block and payload bytes can be checked exactly.
"""

from __future__ import annotations

import json
import os
import re
import select
import socket
import struct
import subprocess
import sys
import time
import uuid
from pathlib import Path
from typing import List, Optional

import pytest

import zelto_sdk
from conftest import wait_for
from zelto_sdk import ZeltoHybridClient

FRAME = 52


# --------------------------------------------------------------------------------------------
# helpers


def task_count() -> int:
    return len(os.listdir("/proc/self/task"))


def region_file(shm_name: str) -> Path:
    return Path("/dev/shm") / shm_name.lstrip("/")


def region_header(shm_name: str) -> dict:
    raw = region_file(shm_name).read_bytes()[:44]
    pool_offset, pool_size = struct.unpack_from("<QQ", raw, 24)
    return {"pool_offset": pool_offset, "pool_size": pool_size}


def reply_frame(status: int, body: bytes) -> bytes:
    return struct.pack("<II", status, len(body)) + body


def in_place(extra: bytes = b"", request_id: Optional[int] = None, status_byte: int = 0) -> dict:
    """A success reply naming the request's own block (built by the peer from the request)."""
    return {"in_place": True, "extra": extra.hex(), "request_id": request_id, "status_byte": status_byte}


def raw(reply: bytes) -> dict:
    return {"in_place": False, "bytes": reply.hex()}


# The peer runs in its own process: the client keeps the GIL for the whole call, so a peer on a
# Python thread of this process could never answer.
PEER_SOURCE = r"""
import json, socket, struct, sys
address, script_path, log_path = sys.argv[1:4]
address = address.replace("@", "\0", 1) if address.startswith("@") else address
steps = json.load(open(script_path))
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
listener.bind(address)
listener.listen(8)
log = open(log_path, "a", buffering=1)
print("ready", flush=True)

def read_frame(conn):
    data = b""
    while len(data) < 52:
        chunk = conn.recv(52 - len(data))
        if not chunk:
            return None
        data += chunk
    return data

def build(step, frame):
    if not step["in_place"]:
        return bytes.fromhex(step["bytes"])
    rid, offset, size = struct.unpack_from("<Q16xQQ", frame, 12)
    if step["request_id"] is not None:
        rid = step["request_id"]
    body = struct.pack("<QB7sQQQ", rid, step["status_byte"], b"\x07" * 7, 999, offset, size)
    body += bytes.fromhex(step["extra"])
    return struct.pack("<II", 0, len(body)) + body

while steps:
    conn, _ = listener.accept()
    log.write("accept\n")
    with conn:
        while steps:
            frame = read_frame(conn)
            if frame is None:
                break
            log.write("frame " + frame.hex() + "\n")
            step = steps.pop(0)
            conn.sendall(build(step, frame))
            if step["close"]:
                break
        else:
            while conn.recv(1):
                pass
"""


class ScriptedPeer:
    """A Unix-socket server process: the n-th request received (over all connections) gets
    steps[n], a (reply, close) pair; the connection is closed after the reply when close is true.
    It logs each accepted connection and each request frame before it answers."""

    def __init__(self, address: str, steps: List[tuple], workdir: Path):
        self.address = address
        tag = uuid.uuid4().hex[:8]
        script = workdir / f"peer-{tag}.json"
        script.write_text(json.dumps([dict(reply, close=close) for reply, close in steps]))
        self.log = workdir / f"peer-{tag}.log"
        self.log.touch()
        shown = "@" + address[1:] if address.startswith("\0") else address
        self.proc = subprocess.Popen(
            [sys.executable, "-c", PEER_SOURCE, shown, str(script), str(self.log)],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
        )
        ready, _, _ = select.select([self.proc.stdout], [], [], 10)
        assert ready and self.proc.stdout.readline().strip() == b"ready"

    def _lines(self, kind: str) -> List[str]:
        return [line.split(" ", 1)[-1] for line in self.log.read_text().splitlines() if line.startswith(kind)]

    @property
    def accepted(self) -> int:
        return len(self._lines("accept"))

    @property
    def frames(self) -> List[bytes]:
        return [bytes.fromhex(line) for line in self._lines("frame")]

    def close(self) -> None:
        self.proc.kill()
        self.proc.wait()
        self.proc.stdout.close()
        if not self.address.startswith("\0") and os.path.exists(self.address):
            os.unlink(self.address)


@pytest.fixture
def peers(tmp_path):
    started: List[ScriptedPeer] = []

    def start(address: str, steps: List[tuple]) -> ScriptedPeer:
        peer = ScriptedPeer(address, steps, tmp_path)
        started.append(peer)
        return peer

    yield start
    for peer in started:
        peer.close()


@pytest.fixture
def region(engines, shm_name):
    """An engine that only provides the shared region (no socket); scripted peers answer."""
    engines.start("--shm", shm_name)
    return shm_name


@pytest.fixture
def record(tmp_path):
    path = tmp_path / "hybrid.record"

    def lines() -> List[dict]:
        if not path.exists():
            return []
        return [dict(item.split("=", 1) for item in line.split()) for line in path.read_text().splitlines()]

    lines.path = str(path)
    return lines


@pytest.fixture
def hybrid_engine(engines, shm_name, socket_path, record):
    """Starts the mock engine with a socket and a region, recording what it receives."""

    def start(*extra: str):
        return engines.start(
            "--unix", socket_path, "--shm", shm_name, "--hybrid-record", record.path, *extra
        )

    return start


def cut_stream_texts() -> tuple:
    return ("early eof", "Broken pipe (os error 32)", "Connection reset by peer (os error 104)")


# --------------------------------------------------------------------------------------------
# construction and lifecycle


class TestConstruction:
    def test_missing_region_is_a_connection_error_and_starts_no_thread(self, socket_path):
        before = task_count()
        with pytest.raises(ConnectionError) as caught:
            ZeltoHybridClient(f"/zelto-none-{uuid.uuid4().hex}", socket_path)
        assert caught.value.args == ("Shared memory error: Opening the shared memory failed, os error 2",)
        assert task_count() == before

    @pytest.mark.parametrize(
        "args, kwargs, name",
        [
            ((1, "/tmp/x.sock"), {}, "shm_name"),
            (("/zelto-none", 5), {}, "socket_path"),
            ((), {"shm_name": "/zelto-none", "socket_path": b"/tmp/x"}, "socket_path"),
        ],
    )
    def test_non_str_arguments_are_type_errors_before_the_region(self, args, kwargs, name):
        with pytest.raises(TypeError) as caught:
            ZeltoHybridClient(*args, **kwargs)
        assert str(caught.value).startswith(f"argument '{name}': ")

    def test_missing_socket_path_is_checked_before_the_region(self):
        with pytest.raises(TypeError) as caught:
            ZeltoHybridClient("/zelto-none")
        assert "socket_path" in str(caught.value)

    def test_workers_run_for_the_life_of_the_object(self, region, socket_path):
        before = task_count()
        client = ZeltoHybridClient(region, socket_path)
        assert task_count() == before + len(os.sched_getaffinity(0))
        del client
        # The workers are joined before dealloc returns, but a joined thread can still be listed
        # for a moment: the kernel wakes the joiner while the thread is still exiting.
        wait_for(lambda: task_count() == before, timeout=5.0)

    def test_bad_socket_path_only_fails_at_the_first_call(self, region, socket_path):
        client = ZeltoHybridClient(region, socket_path)
        with pytest.raises(RuntimeError) as caught:
            client.infer([1], "uint8", b"x")
        assert caught.value.args == ("No such file or directory (os error 2)",)

    def test_class_shape(self):
        # Before 3.10, type creation from a spec drops the signature from the class docstring.
        expected = "(shm_name, socket_path)" if sys.version_info >= (3, 10) else None
        assert ZeltoHybridClient.__text_signature__ == expected
        assert ZeltoHybridClient.infer.__text_signature__ == "($self, shape, dtype, data)"
        assert not hasattr(ZeltoHybridClient, "close")
        assert zelto_sdk.ZeltoHybridClient is ZeltoHybridClient


# --------------------------------------------------------------------------------------------
# against the mock engine: exact bytes in the region and on the wire


class TestWithMockEngine:
    def test_echo_and_exact_request_bytes(self, hybrid_engine, shm_name, socket_path, record):
        hybrid_engine()
        client = ZeltoHybridClient(shm_name, socket_path)
        data = bytes(range(10))
        started = time.time_ns()
        assert client.infer([-1, 3], "FLOAT64", data) == data
        finished = time.time_ns()

        (line,) = record()
        payload = bytes.fromhex(line["payload"])
        request_id, zeros, stamp, offset, size = struct.unpack("<Q8sQQQ", payload)
        assert (request_id, zeros, size) == (1, bytes(8), 90)
        assert started <= stamp <= finished
        assert (int(line["shm_offset"]), int(line["shm_size"])) == (offset, 90)
        pool = region_header(shm_name)
        assert pool["pool_offset"] <= offset < pool["pool_offset"] + pool["pool_size"]

        block = bytes.fromhex(line["block"])
        assert block[:8] == bytes([2, 0, 0, 0, 1, 0, 0, 0])  # ndim 2, float64 code 1
        assert block[8:16] == b"\xff" * 8
        assert block[16:24] == bytes([3, 0, 0, 0, 0, 0, 0, 0])
        assert block[24:72] == bytes(48)
        assert block[72:80] == struct.pack("<Q", 10)
        assert bytes.fromhex(line["data"]) == data

    @pytest.mark.parametrize(
        "dtype, code", [("uint8", 0), ("float32", 0), ("int32", 2), ("int64", 3), ("Float64", 1)]
    )
    def test_dtype_codes(self, hybrid_engine, shm_name, socket_path, record, dtype, code):
        hybrid_engine()
        client = ZeltoHybridClient(shm_name, socket_path)
        assert client.infer([4], dtype, [1, 2, 3, 4]) == b"\x01\x02\x03\x04"
        assert bytes.fromhex(record()[0]["block"])[4] == code

    def test_empty_shape_and_empty_data(self, hybrid_engine, shm_name, socket_path, record):
        hybrid_engine()
        client = ZeltoHybridClient(shm_name, socket_path)
        assert client.infer([], "uint8", b"") == b""
        (line,) = record()
        assert line["shm_size"] == "80"
        assert bytes.fromhex(line["block"]) == bytes(80)
        assert line["data"] == ""

    def test_ids_count_every_call_that_got_past_conversion(self, hybrid_engine, shm_name, socket_path, record):
        hybrid_engine("--hybrid-script", "echo,error,echo")
        client = ZeltoHybridClient(shm_name, socket_path)
        assert client.infer([1], "uint8", b"a") == b"a"  # id 1
        with pytest.raises(ValueError) as bad_dtype:  # id 2, never sent
            client.infer([1], "bogus", b"b")
        assert bad_dtype.value.args == ("Invalid input: Unsupported dtype: bogus",)
        with pytest.raises(TypeError):  # conversion fails first: no id used
            client.infer("abc", "uint8", b"c")
        with pytest.raises(RuntimeError) as remote:  # id 3
            client.infer([1], "uint8", b"d")
        assert remote.value.args == ("mock engine: hybrid failure",)
        assert client.infer([1], "uint8", b"e") == b"e"  # id 4, same connection
        assert [line["request_id"] for line in record()] == ["1", "3", "4"]

    def test_single_slot_pool_is_released_on_every_outcome(self, hybrid_engine, shm_name, socket_path):
        hybrid_engine("--pool-size", "100000", "--hybrid-script", "echo,bad-offset,bad-len,error,cut")
        client = ZeltoHybridClient(shm_name, socket_path)
        pool_offset = region_header(shm_name)["pool_offset"]
        region_size = region_file(shm_name).stat().st_size
        exhausted = (
            f"SHM tensor pool exhausted (required=100080 bytes, largest_slot=100000 bytes, "
            f"layout=class0(base={pool_offset} slot_size=100000 slots=1))"
        )
        # The pool is asked before the dtype is parsed.
        for dtype in ("uint8", "bogus"):
            with pytest.raises(RuntimeError) as caught:
                client.infer([1], dtype, bytes(100000))
            assert caught.value.args == (exhausted,)

        assert client.infer([2], "uint8", b"ok") == b"ok"
        with pytest.raises(ValueError):
            client.infer([1], "bogus", b"x")
        with pytest.raises(RuntimeError) as outside:
            client.infer([1], "uint8", b"x")
        assert outside.value.args == (
            f"Invalid response from engine: result tensor block at offset {region_size} does not "
            f"fit in the {region_size}-byte region",
        )
        with pytest.raises(RuntimeError) as too_long:
            client.infer([1], "uint8", b"x")
        match = re.fullmatch(
            r"Invalid response from engine: result tensor block at offset (\d+) claims (\d+) data "
            r"bytes, more than the (\d+)-byte region holds",
            too_long.value.args[0],
        )
        assert match is not None
        result_offset, claimed, size = map(int, match.groups())
        assert (claimed, size) == (region_size - result_offset - 79, region_size)
        with pytest.raises(RuntimeError):
            client.infer([1], "uint8", b"x")
        with pytest.raises(RuntimeError) as cut:
            client.infer([1], "uint8", b"x")
        assert cut.value.args == ("early eof",)
        # Every failure above gave the one slot back.
        assert client.infer([3], "uint8", b"end") == b"end"

    @pytest.mark.parametrize(
        "behaviour, result",
        [("in-place", b"abc"), ("long", b"abc"), ("empty-result", b"")],
    )
    def test_result_block_variants(self, hybrid_engine, shm_name, socket_path, behaviour, result):
        hybrid_engine("--hybrid-behaviour", behaviour)
        client = ZeltoHybridClient(shm_name, socket_path)
        assert client.infer([3], "uint8", b"abc") == result

    @pytest.mark.parametrize(
        "behaviour, text",
        [
            ("error-bytes", "\ufffd\ufffd"),
            ("error-empty", ""),
            ("short", "io error: unexpected end of file"),
            ("no-such", "unknown hybrid behaviour 'no-such'"),
        ],
    )
    def test_engine_failures_keep_the_connection(self, hybrid_engine, shm_name, socket_path, behaviour, text):
        hybrid_engine("--hybrid-script", behaviour)
        client = ZeltoHybridClient(shm_name, socket_path)
        with pytest.raises(RuntimeError) as caught:
            client.infer([1], "uint8", b"x")
        assert caught.value.args == (text,)
        assert client.infer([1], "uint8", b"y") == b"y"

    def test_more_than_eight_dimensions_is_refused_before_any_work(self, hybrid_engine, shm_name, socket_path, record):
        hybrid_engine("--pool-size", "100000")
        client = ZeltoHybridClient(shm_name, socket_path)
        with pytest.raises(ValueError) as caught:
            client.infer([1] * 9, "uint8", b"x")
        assert caught.value.args == (
            "shape has 9 dimensions; at most 8 fit a shared-memory tensor block",
        )
        assert client.infer([1] * 8, "uint8", b"x") == b"x"
        assert [line["request_id"] for line in record()] == ["1"]

    def test_engine_closing_then_restarting(self, engines, hybrid_engine, shm_name, socket_path):
        # in-place: the answer names the client's own block, which stays readable in the
        # client's mapping even after the engine that created the region is gone.
        first = hybrid_engine("--hybrid-behaviour", "in-place")
        client = ZeltoHybridClient(shm_name, socket_path)
        assert client.infer([1], "uint8", b"a") == b"a"
        first.stop()
        hybrid_engine("--hybrid-behaviour", "in-place")
        with pytest.raises(RuntimeError) as caught:
            client.infer([1], "uint8", b"b")
        assert caught.value.args[0] in cut_stream_texts()
        # The broken stream was dropped: this call reaches the new engine.
        assert client.infer([1], "uint8", b"c") == b"c"

    def test_engine_closing_after_a_reply(self, hybrid_engine, shm_name, socket_path):
        hybrid_engine("--hybrid-script", "echo-close")
        client = ZeltoHybridClient(shm_name, socket_path)
        assert client.infer([1], "uint8", b"a") == b"a"
        with pytest.raises(RuntimeError) as caught:
            client.infer([1], "uint8", b"b")
        assert caught.value.args[0] in cut_stream_texts()
        assert client.infer([1], "uint8", b"c") == b"c"

    def test_reentry_during_conversion_is_already_borrowed(self, hybrid_engine, shm_name, socket_path, record):
        hybrid_engine()
        client = ZeltoHybridClient(shm_name, socket_path)
        seen = []

        class Dim:
            def __index__(self) -> int:
                with pytest.raises(RuntimeError) as caught:
                    client.infer([1], "uint8", b"inner")
                seen.append(caught.value.args)
                return 7

        assert client.infer([Dim()], "uint8", b"outer") == b"outer"
        assert seen == [("Already borrowed",)]
        (line,) = record()
        assert line["request_id"] == "1"
        assert bytes.fromhex(line["block"])[8:16] == struct.pack("<q", 7)

    def test_deallocation_writes_nothing_into_the_region(self, hybrid_engine, shm_name, socket_path, record):
        hybrid_engine()
        client = ZeltoHybridClient(shm_name, socket_path)
        client.infer([2], "int32", b"\x01\x02\x03\x04\x05\x06\x07\x08")
        before = region_file(shm_name).read_bytes()
        del client
        assert region_file(shm_name).read_bytes() == before


# --------------------------------------------------------------------------------------------
# late answers and large tensors: the caller's spin gives up and parks on the event loop, and
# tensors past the streaming threshold are copied without the cache


# Far longer than the caller spins before it parks (a fraction of a millisecond).
LATE_MS = "30"


class TestLateAnswersAndLargeTensors:
    def test_engine_answering_after_the_spin(self, hybrid_engine, shm_name, socket_path, record):
        hybrid_engine("--delay-ms", LATE_MS)
        client = ZeltoHybridClient(shm_name, socket_path)
        inputs = [bytes([n]) * (n + 1) for n in range(3)]
        assert [client.infer([len(data)], "uint8", data) for data in inputs] == inputs
        lines = record()
        assert [line["request_id"] for line in lines] == ["1", "2", "3"]
        assert [bytes.fromhex(line["data"]) for line in lines] == inputs

    def test_late_engine_error_keeps_its_text_and_the_stream(self, hybrid_engine, shm_name, socket_path):
        hybrid_engine("--delay-ms", LATE_MS, "--hybrid-script", "error,echo",
                      "--hybrid-error-text", "late and wrong")
        client = ZeltoHybridClient(shm_name, socket_path)
        with pytest.raises(RuntimeError) as caught:
            client.infer([1], "uint8", b"a")
        assert caught.value.args == ("late and wrong",)
        assert client.infer([1], "uint8", b"b") == b"b"

    def test_workers_joined_after_calls_that_parked(self, hybrid_engine, shm_name, socket_path):
        hybrid_engine("--delay-ms", LATE_MS)
        before = task_count()
        client = ZeltoHybridClient(shm_name, socket_path)
        assert client.infer([2], "uint8", b"ok") == b"ok"
        assert task_count() == before + len(os.sched_getaffinity(0))
        del client
        # The workers are joined before dealloc returns, but a joined thread can still be listed
        # for a moment: the kernel wakes the joiner while the thread is still exiting.
        wait_for(lambda: task_count() == before, timeout=5.0)

    @pytest.mark.parametrize("size", [(8 << 20) - 1, (9 << 20) + 37])
    def test_large_tensor_block_is_exact_in_the_region(self, hybrid_engine, shm_name, socket_path, record, size):
        # Sizes on both sides of the streaming threshold; the data starts 80 bytes into the slot,
        # so the streamed copy begins with a partial line and ends with a partial one.
        hybrid_engine()
        client = ZeltoHybridClient(shm_name, socket_path)
        data = os.urandom(size)
        assert client.infer([size], "int64", data) == data
        (line,) = record()
        offset = int(line["shm_offset"])
        assert int(line["shm_size"]) == 80 + size
        header = struct.pack("<IB3x8qQ", 1, 3, size, *([0] * 7), size)
        with open(region_file(shm_name), "rb") as region:
            region.seek(offset)
            assert region.read(80 + size) == header + data


# --------------------------------------------------------------------------------------------
# against scripted peers: replies byte for byte


def test_request_frame_bytes(region, socket_path, peers):
    peer = peers(socket_path, [(in_place(), False)])
    client = ZeltoHybridClient(region, socket_path)
    started = time.time_ns()
    assert client.infer([2], "uint8", b"hi") == b"hi"
    (frame,) = peer.frames
    assert frame[:12] == bytes.fromhex("00000000" "04000000" "28000000")
    request_id, zeros, stamp, offset, size = struct.unpack("<Q8sQQQ", frame[12:])
    assert (request_id, zeros, size) == (1, bytes(8), 82)
    assert started <= stamp <= time.time_ns()
    assert offset >= region_header(region)["pool_offset"]


REPLY_CASES = {
    # name: (reply, expected result or exception text, stream kept)
    "body40": (in_place(), b"data", True),
    "body48": (in_place(extra=b"\xee" * 8), b"data", True),
    "other_id_and_status": (in_place(request_id=77, status_byte=9), b"data", True),
    "body_len_0": (raw(reply_frame(0, b"")), "io error: unexpected end of file", True),
    "body_len_39": (raw(reply_frame(0, bytes(39))), "io error: unexpected end of file", True),
    "status_7_text": (raw(reply_frame(7, b"0123456789")), "0123456789", True),
    "status_1_empty": (raw(reply_frame(1, b"")), "", True),
    "invalid_utf8": (raw(reply_frame(3, b"\xff\xfe")), "\ufffd\ufffd", True),
    "close_before_reply": (raw(b""), "early eof", False),
    "close_in_header": (raw(b"\x00\x00\x00\x00\x28"), "early eof", False),
    "close_in_body": (raw(reply_frame(0, bytes(40))[:30]), "early eof", False),
}


@pytest.mark.parametrize("case", sorted(REPLY_CASES))
def test_reply_decoding_and_stream_afterwards(region, socket_path, peers, case):
    reply, expected, kept = REPLY_CASES[case]
    peer = peers(socket_path, [(reply, not kept), (in_place(), False)])
    client = ZeltoHybridClient(region, socket_path)
    if isinstance(expected, bytes):
        assert client.infer([4], "uint8", b"data") == expected
    else:
        with pytest.raises(RuntimeError) as caught:
            client.infer([4], "uint8", b"data")
        assert caught.value.args == (expected,)
    # A consumed reply leaves the stream in step; a cut one is replaced by a new connection.
    assert client.infer([4], "uint8", b"next") == b"next"
    assert peer.accepted == (1 if kept else 2)
    assert [struct.unpack_from("<Q", f, 12)[0] for f in peer.frames] == [1, 2]


def test_abstract_namespace(region, peers):
    name = f"\0zelto-hybrid-{uuid.uuid4().hex}"
    peers(name, [(in_place(), False)])
    client = ZeltoHybridClient(region, name)
    assert client.infer([1], "uint8", b"z") == b"z"


def test_connect_failures_are_retried_on_the_next_call(region, socket_path, peers):
    client = ZeltoHybridClient(region, socket_path)
    with pytest.raises(RuntimeError) as missing:
        client.infer([1], "uint8", b"a")
    assert missing.value.args == ("No such file or directory (os error 2)",)

    # Bound but not listening: refused. Listening on the same socket later lets the next call in.
    dead = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    dead.bind(socket_path)
    try:
        with pytest.raises(RuntimeError) as refused:
            client.infer([1], "uint8", b"b")
        assert refused.value.args == ("Connection refused (os error 111)",)
    finally:
        dead.close()
        os.unlink(socket_path)
    peer = peers(socket_path, [(in_place(), False)])
    assert client.infer([1], "uint8", b"c") == b"c"
    assert struct.unpack_from("<Q", peer.frames[0], 12)[0] == 3


@pytest.mark.parametrize(
    "path, text",
    [
        ("/tmp/" + "p" * 103, "path must be shorter than SUN_LEN"),  # 108 bytes
        ("/tmp/zel\0to.sock", "paths must not contain interior null bytes"),
        ("\0" + "a" * 108, "abstract socket name must be shorter than SUN_LEN"),  # 109 bytes
        ("/tmp/" + "p" * 102, "No such file or directory (os error 2)"),  # 107 bytes: tried
    ],
)
def test_socket_path_rules(region, path, text):
    client = ZeltoHybridClient(region, path)
    with pytest.raises(RuntimeError) as caught:
        client.infer([1], "uint8", b"a")
    assert caught.value.args == (text,)
