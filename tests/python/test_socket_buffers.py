"""ZeltoClient's reused buffers against a real engine: tensor data sent straight from the
caller's object must give exactly the bytes of the contiguous record, and replies read into one
receive buffer per connection must come back whole however their sizes follow each other."""

from __future__ import annotations

import os

import pytest

import zelto_sdk

# Either side of the size from which tensor data is sent from the caller's buffer, not copied.
SIZES_AROUND_THE_SEND_THRESHOLD = [0, 1, 511, 512, 513, 4096]


def frames(record):
    return [(conn, data) for conn, kind, data in record if kind == "frame"]


def payload_of(data: bytes, index: int = 0) -> bytes:
    return bytes((i * 7 + index) % 251 for i in range(len(data))) if data else b""


@pytest.fixture
def engine(engines, socket_path, record_path):
    return engines.start("--unix", socket_path, "--record", record_path)


@pytest.mark.parametrize("size", SIZES_AROUND_THE_SEND_THRESHOLD)
def test_request_with_every_part_is_byte_exact(engine, socket_path, record_path, wire, size):
    data = payload_of(bytes(size))
    big = payload_of(bytes(70_000), 3)
    small = payload_of(bytes(3), 5)
    client = zelto_sdk.ZeltoClient(socket_path, api_token="tok-" + "x" * 40)
    got = client.infer(11, [size, 1], "u8", data,
                       additional_inputs={"big": ([70_000], "uint8", big),
                                          "small": ([3], "fp16", small)},
                       session_id="session-7")
    assert got == data
    [(_, frame)] = frames(wire.read_record(record_path))
    # The engine matches additional inputs by name; their order on the wire is the map's.
    for order in (("big", "small"), ("small", "big")):
        inputs = {"big": ([70_000], "uint8", big), "small": ([3], "float16", small)}
        payload = wire.request([size, 1], "uint8", data, additional=[(n, inputs[n]) for n in order],
                               session_id="session-7", api_token="tok-" + "x" * 40)
        if frame == wire.frame(11, 1, payload):
            break
    else:
        pytest.fail("the request differs from its contiguous encoding")


def test_data_given_as_bytearray_and_list_is_sent_alike(engine, socket_path, record_path, wire):
    data = payload_of(bytes(3000))
    client = zelto_sdk.ZeltoClient(socket_path)
    for form in (data, bytearray(data), list(data), memoryview(data)):
        assert client.infer(1, [3000], "uint8", form) == data
    sent = frames(wire.read_record(record_path))
    assert [frame for _, frame in sent] == [wire.frame(1, 1, wire.request([3000], "uint8", data))] * 4


@pytest.mark.parametrize("knobs", [[], ["--base64"], ["--trailing", "9"]])
def test_reply_sizes_in_any_order_on_one_connection(engines, socket_path, record_path, wire, knobs):
    engines.start("--unix", socket_path, "--record", record_path, *knobs)
    client = zelto_sdk.ZeltoClient(socket_path)
    # Large then small, growing past the first 1 MiB step, then back down: every reply whole.
    # From 8 MiB up the copy into the result streams; (9 << 20) + 3 ends with a partial line.
    for size in (5 << 20, 3, 0, 70_000, (9 << 20) + 3, (3 << 20) + 5, 64, 1 << 20):
        data = payload_of(bytes(size), size)
        assert client.infer(2, [size], "uint8", data) == data
    assert {conn for conn, _ in frames(wire.read_record(record_path))} == {1}


def test_infer_tensor_copies_shape_dtype_and_large_data(engines, socket_path):
    engines.start("--unix", socket_path, "--base64")
    client = zelto_sdk.ZeltoClient(socket_path)
    data = payload_of(bytes(200_000))
    assert client.infer_tensor(1, [-1, 2, 100_000], "FP16", data) == (data, [-1, 2, 100_000], "float16")
    assert client.infer_tensor(1, [], "utf8", b"") == (b"", [], "string")


def test_infer_tensor_receives_large_raw_data_whole(engine, socket_path):
    # From 1 MiB up raw data is received straight into the returned bytes.
    client = zelto_sdk.ZeltoClient(socket_path)
    for size in ((3 << 20) + 1, 1 << 20, (1 << 20) - 1):
        data = payload_of(bytes(size), size)
        got, shape, dtype = client.infer_tensor(1, [size, -1], "U8", data)
        assert (type(got), got, shape, dtype) == (bytes, data, [size, -1], "uint8")


def test_results_do_not_share_memory_with_the_receive_buffer(engine, socket_path):
    client = zelto_sdk.ZeltoClient(socket_path)
    first = client.infer(1, [4096], "uint8", b"\x01" * 4096)
    second = client.infer(1, [4096], "uint8", b"\x02" * 4096)
    assert first == b"\x01" * 4096 and second == b"\x02" * 4096


def test_stream_frames_back_to_back_of_every_size(engines, socket_path, record_path):
    engines.start("--unix", socket_path, "--record", record_path,
                  "--stream", "data,data64,kind:2:,data,error:late,data,end")
    client = zelto_sdk.ZeltoClient(socket_path)
    for size in (0, 10, 70_000, (2 << 20) + 1):
        data = os.urandom(size)
        stream = client.infer_stream(1, [size], "uint8", data)
        assert next(stream) == data
        assert next(stream) == data
        with pytest.raises(StopIteration):
            next(stream)  # a kind-2 frame without a body ends the stream
        assert next(stream) == data
        with pytest.raises(RuntimeError, match="^late$"):
            next(stream)
        assert list(stream) == [data]
