"""ZeltoClient.infer_stream and StreamIterator against real peers: frame kinds, the failure rows
of opening and reading a stream, the stream's own connection, and thread binding."""

from __future__ import annotations

import subprocess
import sys
import threading
import time

import pytest

import zelto_sdk
from conftest import wait_for

DATA = b"\x01\x02\x03"




def stream_engine(engines, socket_path, record_path, script):
    engines.start("--unix", socket_path, "--record", record_path, "--stream", script)
    return zelto_sdk.ZeltoClient(socket_path)


def outcome(iterator):
    """The next step of a stream: ("item", bytes), ("end",) or ("error", type, message)."""
    try:
        item = next(iterator)
    except StopIteration:
        return ("end",)
    except RuntimeError as error:
        assert len(error.args) == 1
        return ("error", type(error), error.args[0])
    assert type(item) is bytes
    return ("item", item)


# Each script is followed step by step: every next() reads exactly one frame.
SCRIPTS = {
    "items then end": ("data,data,end", [("item", DATA), ("item", DATA), ("end",)]),
    "base64 items": ("data64,data,end", [("item", DATA), ("item", DATA), ("end",)]),
    "empty data frame ends": ("kind:2:,data,end", [("end",), ("item", DATA), ("end",)]),
    "empty error frame ends": ("kind:1:,end", [("end",), ("end",)]),
    "unknown kind consumes its body": ("kind:7:0102030405,data,end",
                                       [("end",), ("item", DATA), ("end",)]),
    "end marker with a body": ("kind:3:ff,data", [("end",), ("item", DATA)]),
    "error frame then more": ("error:model busy,data,end",
                              [("error", RuntimeError, "model busy"), ("item", DATA), ("end",)]),
    "lossy error text": ("errorhex:ff41,end", [("error", RuntimeError, "\ufffdA"), ("end",)]),
    "undecodable data frame": ("kind:2:00,data",
                               [("error", RuntimeError, "io error: unexpected end of file"),
                                ("item", DATA)]),
    "bad base64 in a data frame": (
        "kind:2:" + (b"\0" * 8 + b"\x05" + b"\0" * 7 + b"uint8\x00\x01\x03" + b"\0" * 7 + b"AQI").hex(),
        [("error", RuntimeError, "Invalid padding")]),
    "closed before any frame": ("close", [("error", RuntimeError, "failed to fill whole buffer")]),
    "closed after an item": ("data,close", [("item", DATA),
                                            ("error", RuntimeError, "failed to fill whole buffer"),
                                            ("error", RuntimeError, "failed to fill whole buffer")]),
}


@pytest.mark.parametrize("script, steps", SCRIPTS.values(), ids=SCRIPTS)
def test_stream_frames(engines, socket_path, record_path, script, steps):
    client = stream_engine(engines, socket_path, record_path, script)
    iterator = client.infer_stream(3, [3], "uint8", DATA)
    assert [outcome(iterator) for _ in steps] == steps


def test_for_loop_collects_items(engines, socket_path, record_path):
    client = stream_engine(engines, socket_path, record_path, "data,data64,data,end")
    iterator = client.infer_stream(1, [3], "uint8", DATA)
    assert iter(iterator) is iterator
    assert list(iterator) == [DATA, DATA, DATA]


def test_large_items_arrive_whole_and_apart(engines, socket_path, record_path):
    # Raw data of 1 MiB and more is received straight into each item's bytes; base64 text is not.
    data = bytes(range(251)) * ((3 << 20) // 251 + 1)
    client = stream_engine(engines, socket_path, record_path, "data,data64,data,close")
    iterator = client.infer_stream(0, [len(data)], "uint8", data)
    first, encoded, last = next(iterator), next(iterator), next(iterator)
    assert type(first) is bytes and first == data
    assert encoded == data and last == data
    assert first is not last
    assert outcome(iterator) == ("error", RuntimeError, "failed to fill whole buffer")


def test_request_bytes_and_own_connection(engines, socket_path, record_path, wire):
    engines.start("--unix", socket_path, "--record", record_path, "--stream", "data,end")
    client = zelto_sdk.ZeltoClient(socket_path, api_token="tok")
    assert client.infer(1, [3], "u8", DATA) == DATA
    stream = client.infer_stream(2, [3], "U8", DATA, additional_inputs={"m": ([1], "fp16", b"\0\0")},
                                 session_id="s")
    assert list(stream) == [DATA]
    assert client.infer(3, [3], "u8", DATA) == DATA
    del stream
    wait_for(lambda: (2, "eof", b"") in wire.read_record(record_path))
    sent = [(conn, frame) for conn, kind, frame in wire.read_record(record_path) if kind == "frame"]
    payload = wire.request([3], "uint8", DATA, additional=[("m", ([1], "float16", b"\0\0"))],
                           session_id="s", api_token="tok")
    # The stream never took the pooled connection (1) and never gave its own (2) back.
    assert sent[1] == (2, wire.frame(2, 2, payload))
    assert [conn for conn, _ in sent] == [1, 2, 1]


def test_bad_additional_dtype_makes_no_connection(engines, socket_path, record_path, wire):
    client = stream_engine(engines, socket_path, record_path, "data,end")
    with pytest.raises(ValueError) as info:
        client.infer_stream(1, [1], "uint8", b"x", additional_inputs={"a": ([1], "Nope", b"")})
    assert info.value.args == ("Invalid input: Unsupported dtype: nope",)
    assert list(client.infer_stream(1, [1], "uint8", b"x")) == [b"x"]
    # Only the successful stream ever connected.
    wait_for(lambda: (1, "frame") in [(c, k) for c, k, _ in wire.read_record(record_path)])
    assert {conn for conn, _, _ in wire.read_record(record_path)} == {1}


def test_bad_main_dtype_connects_and_closes(engines, socket_path, record_path, wire):
    client = stream_engine(engines, socket_path, record_path, "data,end")
    with pytest.raises(ValueError) as info:
        client.infer_stream(1, [1], "BOGUS", b"x")
    assert info.value.args == ("Invalid input: Unsupported dtype: bogus",)
    # One connection was made and closed without a byte written.
    wait_for(lambda: wire.read_record(record_path) == [(1, "eof", b"")])


def test_connect_failures_are_connection_errors(tmp_path):
    with pytest.raises(ConnectionError) as info:
        zelto_sdk.ZeltoClient(str(tmp_path / "missing.sock")).infer_stream(1, [1], "uint8", b"x")
    assert type(info.value) is ConnectionError  # not FileNotFoundError
    assert info.value.args == ("No such file or directory (os error 2)",)
    with pytest.raises(ConnectionError) as info:
        zelto_sdk.ZeltoClient("tcp://hostonly").infer_stream(1, [1], "uint8", b"x")
    assert info.value.args == ("invalid socket address",)


# The client keeps the GIL while writing, so the peer that breaks the pipe is another process.
CLOSE_AFTER_HEADER_PEER = """
import socket, sys
listener = socket.socket(socket.AF_UNIX)
listener.bind(sys.argv[1])
listener.listen(4)
print("ready", flush=True)
conn, _ = listener.accept()
print("header", conn.recv(12, socket.MSG_WAITALL).hex(), flush=True)
conn.close()
"""


def test_write_failure_is_broken_pipe_error(socket_path):
    peer = subprocess.Popen([sys.executable, "-c", CLOSE_AFTER_HEADER_PEER, socket_path],
                            stdout=subprocess.PIPE, text=True)
    try:
        assert peer.stdout.readline() == "ready\n"
        with pytest.raises(BrokenPipeError) as info:
            zelto_sdk.ZeltoClient(socket_path).infer_stream(6, [1], "uint8", b"\0" * (16 << 20))
        assert info.value.args == ("Broken pipe (os error 32)",)
    finally:
        peer.kill()
    assert peer.communicate()[0].split()[1][:16] == "0600000002000000"


def test_tcp_stream(engines, record_path):
    from conftest import free_tcp_port

    port = free_tcp_port()
    engines.start("--tcp", str(port), "--stream", "data,data,end")
    assert list(zelto_sdk.ZeltoClient(port=port).infer_stream(1, [3], "uint8", DATA)) == [DATA, DATA]


# --- the StreamIterator type and its thread ------------------------------------------------


def test_stream_iterator_type(engines, socket_path, record_path):
    client = stream_engine(engines, socket_path, record_path, "data,end")
    iterator = client.infer_stream(1, [3], "uint8", DATA)
    kind = type(iterator)
    assert kind.__name__ == "StreamIterator" and kind.__module__ == "builtins"
    assert not hasattr(zelto_sdk, "StreamIterator")
    with pytest.raises(TypeError) as info:
        kind()
    assert info.value.args == ("No constructor defined for StreamIterator",)
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})
    assert type(client.infer_stream(1, [3], "uint8", DATA)) is kind  # one type, created once


def run_in_thread(function):
    caught = []

    def body():
        try:
            function()
        except BaseException as error:  # noqa: B902 - the panic is a BaseException on purpose
            caught.append(error)

    thread = threading.Thread(target=body)
    thread.start()
    thread.join()
    return caught


@pytest.mark.parametrize("use", [next, iter], ids=["__next__", "__iter__"])
def test_use_from_another_thread_panics(engines, socket_path, record_path, use):
    client = stream_engine(engines, socket_path, record_path, "data,data,end")
    iterator = client.infer_stream(1, [3], "uint8", DATA)
    [error] = run_in_thread(lambda: use(iterator))
    assert isinstance(error, BaseException) and not isinstance(error, Exception)
    assert "zelto_sdk::StreamIterator is unsendable, but sent to another thread" in str(error)
    # The owner thread can still use it; nothing was read by the refused call.
    assert list(iterator) == [DATA, DATA]


def test_drop_on_another_thread_reports_and_closes(engines, socket_path, record_path, wire,
                                                    monkeypatch):
    client = stream_engine(engines, socket_path, record_path, "data,hold")
    iterator = client.infer_stream(1, [3], "uint8", DATA)
    assert next(iterator) == DATA
    reports = []
    monkeypatch.setattr(sys, "unraisablehook", lambda report: reports.append(
        (type(report.exc_value), str(report.exc_value))))
    holder = [iterator]
    del iterator
    assert run_in_thread(holder.clear) == []
    assert reports == [(RuntimeError,
                        "zelto_sdk::StreamIterator is unsendable, but is being dropped on another thread")]
    # The socket was closed, not leaked: the engine holding the stream open sees the close.
    wait_for(lambda: (1, "eof", b"") in wire.read_record(record_path))


def test_dropping_early_closes_the_stream(engines, socket_path, record_path, wire):
    client = stream_engine(engines, socket_path, record_path, "data,hold")
    iterator = client.infer_stream(1, [3], "uint8", DATA)
    assert next(iterator) == DATA
    del iterator
    wait_for(lambda: (1, "eof", b"") in wire.read_record(record_path))
