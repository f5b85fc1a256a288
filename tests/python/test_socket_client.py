"""ZeltoClient.infer against real peers: the request bytes the engine receives, connection reuse
and the pool, the single reconnect-and-retry, and every failure row of the unary path."""

from __future__ import annotations

import os
import socket
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import zelto_sdk
from conftest import wait_for

FLOATS = struct.pack("<2f", 1.0, 2.0)




def frames(record):
    return [(conn, data) for conn, kind, data in record if kind == "frame"]


@pytest.fixture
def engine(engines, socket_path, record_path):
    """An echo engine on a Unix socket that records what it receives."""
    return engines.start("--unix", socket_path, "--record", record_path)


# --- what goes on the wire -----------------------------------------------------------------


REQUEST_CASES = {
    "plain": (dict(), dict(), dict()),
    "token": (dict(api_token="secret"), dict(), dict(api_token="secret")),
    "empty token is present": (dict(api_token=""), dict(), dict(api_token="")),
    "session": (dict(), dict(session_id="s-1"), dict(session_id="s-1")),
    "empty session is present": (dict(), dict(session_id=""), dict(session_id="")),
    "no additional inputs": (dict(), dict(additional_inputs={}), dict()),
    "additional input": (
        dict(),
        dict(additional_inputs={"mask": ([1], "U8", b"\x01")}),
        dict(additional=[("mask", ([1], "uint8", b"\x01"))]),
    ),
}


@pytest.mark.parametrize("client_kwargs, call_kwargs, expected", REQUEST_CASES.values(), ids=REQUEST_CASES)
def test_engine_receives_exact_request_bytes(engine, socket_path, record_path, wire,
                                             client_kwargs, call_kwargs, expected):
    client = zelto_sdk.ZeltoClient(socket_path, **client_kwargs)
    assert client.infer(7, [2], "Float32", FLOATS, **call_kwargs) == FLOATS
    payload = wire.request([2], "float32", FLOATS, **expected)
    assert frames(wire.read_record(record_path)) == [(1, wire.frame(7, 1, payload))]


def test_golden_59_byte_request(engine, socket_path, record_path, wire):
    zelto_sdk.ZeltoClient(socket_path).infer(7, [2], "fp32", FLOATS)
    [(_, frame)] = frames(wire.read_record(record_path))
    assert frame[:12] == bytes.fromhex("07000000 01000000 3b000000")
    assert frame[12:] == bytes.fromhex(
        "0100000000000000 0200000000000000 0700000000000000 666c6f6174333201"
        "0800000000000000 0000803f00000040 0000000000000000 000000")


def test_model_id_and_data_forms(engine, socket_path, record_path, wire):
    client = zelto_sdk.ZeltoClient(socket_path)
    assert client.infer(4294967295, [2], "uint8", [0, 255]) == b"\x00\xff"
    assert client.infer(0, (2,), "uint8", bytearray(b"\x00\xff")) == b"\x00\xff"
    assert client.infer(0, [-1, 0], "u8", memoryview(b"")) == b""
    sent = frames(wire.read_record(record_path))
    assert sent[0][1][:4] == b"\xff\xff\xff\xff"
    assert sent[0][1][12:] == sent[1][1][12:] == wire.request([2], "uint8", b"\x00\xff")
    assert sent[2][1][12:] == wire.request([-1, 0], "uint8", b"")


# --- connections and the pool --------------------------------------------------------------


def test_consecutive_calls_share_one_connection(engine, socket_path, record_path, wire):
    client = zelto_sdk.ZeltoClient(socket_path)
    for i in range(5):
        assert client.infer(i, [1], "uint8", bytes([i])) == bytes([i])
    sent = frames(wire.read_record(record_path))
    assert [conn for conn, _ in sent] == [1] * 5
    assert [frame[:4] for _, frame in sent] == [wire.u32(i) for i in range(5)]


def test_pool_size_zero_connects_every_call(engine, socket_path, record_path, wire):
    client = zelto_sdk.ZeltoClient(socket_path, max_pool_size=0)
    for _ in range(3):
        client.infer(1, [1], "uint8", b"x")
    del client
    wait_for(lambda: sum(kind == "eof" for _, kind, _ in wire.read_record(record_path)) == 3)
    record = wire.read_record(record_path)
    assert [conn for conn, _ in frames(record)] == [1, 2, 3]
    # Each connection was closed by the client right after its call.
    assert sorted(conn for conn, kind, _ in record if kind == "eof") == [1, 2, 3]


def test_dropping_the_client_closes_pooled_connections(engine, socket_path, record_path, wire):
    client = zelto_sdk.ZeltoClient(socket_path)
    client.infer(1, [1], "uint8", b"x")
    assert not [e for e in wire.read_record(record_path) if e[1] == "eof"]
    del client
    wait_for(lambda: (1, "eof", b"") in wire.read_record(record_path))


def test_engine_closing_after_each_reply_is_retried(engines, socket_path, record_path, wire):
    engines.start("--unix", socket_path, "--record", record_path, "--close-after", "1")
    client = zelto_sdk.ZeltoClient(socket_path)
    for i in range(4):
        assert client.infer(i, [1], "uint8", bytes([i])) == bytes([i])
    conns = [conn for conn, _ in frames(wire.read_record(record_path))]
    assert conns == sorted(set(conns)) and len(conns) == 4  # a fresh connection per call


def test_stale_pooled_connection_after_engine_restart(engines, socket_path, record_path, wire):
    first = engines.start("--unix", socket_path)
    client = zelto_sdk.ZeltoClient(socket_path)
    assert client.infer(1, [1], "uint8", b"a") == b"a"
    assert first.stop() == 0
    assert first.stderr == ""  # silent without --verbose
    assert not os.path.exists(socket_path)  # the engine removed its socket file
    engines.start("--unix", socket_path, "--record", record_path)
    assert client.infer(2, [1], "uint8", b"b") == b"b"
    assert [conn for conn, _ in frames(wire.read_record(record_path))] == [1]


@pytest.mark.parametrize("pooled_first", [False, True], ids=["empty pool", "pooled connection"])
def test_silent_engine_fails_after_exactly_two_attempts(engines, socket_path, record_path, wire,
                                                        pooled_first):
    engines.start("--unix", socket_path, "--record", record_path, "--no-reply-model", "9")
    client = zelto_sdk.ZeltoClient(socket_path)
    if pooled_first:
        client.infer(0, [1], "uint8", b"x")
    with pytest.raises(ConnectionError) as info:
        client.infer(9, [1], "uint8", b"x")
    assert str(info.value) == "failed to fill whole buffer"
    assert info.value.args == ("failed to fill whole buffer",)
    attempts = [conn for conn, frame in frames(wire.read_record(record_path)) if frame[:4] == wire.u32(9)]
    assert attempts == [1, 2]  # the pooled (or first) connection, then exactly one reconnect


# --- engine errors and undecodable replies -------------------------------------------------


@pytest.mark.parametrize("knobs, message", [
    (["--error", "model 7 not found", "--error-status", "3"], "model 7 not found"),
    (["--error-hex", "ff41"], "\ufffdA"),
    (["--error-hex", "6f6b20e282ac20c328"], "ok \u20ac \ufffd("),
    (["--error", ""], ""),
])
def test_engine_error_text_is_raised_unchanged(engines, socket_path, record_path, wire, knobs, message):
    engines.start("--unix", socket_path, "--record", record_path, "--error-model", "3", *knobs)
    client = zelto_sdk.ZeltoClient(socket_path)
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            client.infer(3, [1], "uint8", b"x")
        assert info.value.args == (message,)
    assert client.infer(4, [1], "uint8", b"y") == b"y"
    # The connection stays aligned after a remote error and is reused.
    assert [conn for conn, _ in frames(wire.read_record(record_path))] == [1, 1, 1]


ONE_OF = "binary tensor payload must include only one of `data` or `data_base64`"


@pytest.mark.parametrize("body_hex, message", [
    ("", "io error: unexpected end of file"),
    ("0000000000000000 0500000000000000 75696e7438 01 0100000000000000 41 01 0400000000000000 21212121",
     ONE_OF),
    ("0000000000000000 0500000000000000 75696e7438 00 00",
     "binary tensor payload must include `data` or `data_base64`"),
    ("0000000000000000 0500000000000000 75696e7438 02", "tag for enum is not valid, found 2"),
    ("0000000000000000 0500000000000000 626f677573 01 0000000000000000 00",
     "Invalid input: Unsupported dtype: bogus"),
    ("0000000000000000 0900000000000000 75696e7438", "io error: "),
    ("0000000000000000 0500000000000000 75696e7438 00 01 0300000000000000 415149", "Invalid padding"),
])
def test_undecodable_reply_is_a_runtime_error(engines, socket_path, record_path, wire, body_hex, message):
    engines.start("--unix", socket_path, "--record", record_path, "--reply-hex", body_hex.replace(" ", ""))
    client = zelto_sdk.ZeltoClient(socket_path)
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            client.infer(1, [1], "uint8", b"x")
        assert str(info.value) == message
    assert [conn for conn, _ in frames(wire.read_record(record_path))] == [1, 1]


@pytest.mark.parametrize("knobs", [["--base64"], ["--trailing", "13"], ["--base64", "--trailing", "3"],
                                   ["--delay-ms", "20"]])
def test_reply_forms_decode_to_the_same_bytes(engines, socket_path, knobs):
    engines.start("--unix", socket_path, *knobs)
    client = zelto_sdk.ZeltoClient(socket_path)
    for data in (b"", b"\x01", b"\x01\x02", bytes(range(256)) * 3):
        assert client.infer(1, [len(data)], "uint8", data) == data


# --- dtype checks and their place in the call ----------------------------------------------


def test_bad_additional_dtype_never_connects(engine, socket_path, record_path, wire):
    for path in (socket_path, "/nonexistent/engine.sock"):
        client = zelto_sdk.ZeltoClient(path)
        with pytest.raises(ValueError) as info:
            client.infer(1, [1], "uint8", b"x", additional_inputs={"a": ([1], "BOGUS", b"")})
        assert info.value.args == ("Invalid input: Unsupported dtype: bogus",)
        del client
    assert wire.read_record(record_path) == []


def test_bad_main_dtype_is_checked_after_connecting(engine, socket_path, record_path, wire):
    with pytest.raises(ConnectionError):
        zelto_sdk.ZeltoClient("/nonexistent/engine.sock").infer(1, [1], "bogus", b"x")
    client = zelto_sdk.ZeltoClient(socket_path)
    with pytest.raises(ValueError) as info:
        client.infer(1, [1], " Float32", b"x")
    assert str(info.value) == "Invalid input: Unsupported dtype:  float32"
    # Nothing was written, and the connection went back to the pool for the next call.
    assert client.infer(1, [1], "uint8", b"x") == b"x"
    assert [conn for conn, _ in frames(wire.read_record(record_path))] == [1]


# --- connecting ------------------------------------------------------------------------------


def test_missing_and_refused_sockets(tmp_path):
    with pytest.raises(ConnectionError) as info:
        zelto_sdk.ZeltoClient(str(tmp_path / "missing.sock")).infer(1, [1], "uint8", b"x")
    assert str(info.value) == "No such file or directory (os error 2)"
    assert type(info.value) is ConnectionError

    stale = str(tmp_path / "stale.sock")
    with socket.socket(socket.AF_UNIX) as bound:  # a socket file without a listener
        bound.bind(stale)
        with pytest.raises(ConnectionError) as info:
            zelto_sdk.ZeltoClient(stale).infer(1, [1], "uint8", b"x")
    assert str(info.value) == "Connection refused (os error 111)"


@pytest.mark.parametrize("path, message", [
    ("/tmp/" + "a" * 103, "path must be shorter than SUN_LEN"),
    ("/tmp/a\0b", "paths must not contain interior null bytes"),
    ("/tmp/" + "b" * 102, "No such file or directory (os error 2)"),  # 107 bytes pass the check
])
def test_unix_path_checks(path, message):
    with pytest.raises(ConnectionError) as info:
        zelto_sdk.ZeltoClient(socket_path=path).infer(1, [1], "uint8", b"x")
    assert str(info.value) == message


@pytest.mark.parametrize("endpoint, message", [
    ("tcp://hostonly", "invalid socket address"),
    ("tcp://host:99999", "invalid port value"),
    ("tcp://example:notaport", "invalid port value"),
])
def test_tcp_address_errors(endpoint, message):
    with pytest.raises(ConnectionError) as info:
        zelto_sdk.ZeltoClient(endpoint).infer(1, [1], "uint8", b"x")
    assert info.value.args == (message,)


def test_tcp_by_address_by_port_and_by_localhost(engines, record_path, wire):
    from conftest import free_tcp_port

    port = free_tcp_port()
    engines.start("--tcp", str(port), "--record", record_path)
    for client in (zelto_sdk.ZeltoClient(f"tcp://localhost:{port}"),
                   zelto_sdk.ZeltoClient(port=port),
                   zelto_sdk.ZeltoClient(host="127.0.0.1", port=port)):
        assert client.infer(1, [2], "uint8", b"ab") == b"ab"
        assert client.infer(1, [2], "uint8", b"cd") == b"cd"
    assert [conn for conn, _ in frames(wire.read_record(record_path))] == [1, 1, 2, 2, 3, 3]


def test_tcp_refused():
    from conftest import free_tcp_port

    with pytest.raises(ConnectionError) as info:
        zelto_sdk.ZeltoClient(port=free_tcp_port()).infer(1, [1], "uint8", b"x")
    assert str(info.value) == "Connection refused (os error 111)"


# --- broken connections and hostile peers -----------------------------------------------------


# The client keeps the GIL while it blocks, so a scripted peer must be another process.
CLOSE_AFTER_HEADER_PEER = """
import socket, sys
listener = socket.socket(socket.AF_UNIX)
listener.bind(sys.argv[1])
listener.listen(4)
print("ready", flush=True)
while True:
    conn, _ = listener.accept()
    header = conn.recv(12, socket.MSG_WAITALL)
    print("accepted", header.hex(), flush=True)
    conn.close()  # the payload stays unread
"""


def test_broken_pipe_on_both_attempts(socket_path):
    peer = subprocess.Popen([sys.executable, "-c", CLOSE_AFTER_HEADER_PEER, socket_path],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert peer.stdout.readline() == "ready\n"
        with pytest.raises(ConnectionError) as info:
            zelto_sdk.ZeltoClient(socket_path).infer(5, [1], "uint8", b"\0" * (16 << 20))
        assert str(info.value) == "Broken pipe (os error 32)"
    finally:
        peer.kill()
    lines = peer.communicate()[0].splitlines()
    assert [line.split()[0] for line in lines] == ["accepted", "accepted"]
    assert lines[0].split()[1][:16] == "0500000001000000"


def test_huge_announced_body_costs_no_memory(engines, socket_path):
    engines.start("--unix", socket_path, "--hostile-body-len", "4294967295", "--hostile-bytes", "4096")
    script = textwrap.dedent(f"""
        import resource, zelto_sdk
        client = zelto_sdk.ZeltoClient({socket_path!r})
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        try:
            client.infer(1, [1], "uint8", b"x")
        except ConnectionError as error:
            print(type(error).__name__, str(error), sep="|")
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(after - before)
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            env={**os.environ}, timeout=120)
    outcome, growth_kib = result.stdout.splitlines()
    assert outcome == "ConnectionError|failed to fill whole buffer"
    assert int(growth_kib) < 64 * 1024  # well under the 4 GiB announced


def test_concurrent_callers_share_the_pool(engine, socket_path, record_path, wire):
    client = zelto_sdk.ZeltoClient(socket_path, max_pool_size=2)
    failures = []

    def worker(n):
        for i in range(20):
            data = bytes([n, i])
            if client.infer(n, [2], "uint8", data) != data:
                failures.append((n, i))

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
    assert len(frames(wire.read_record(record_path))) == 80
