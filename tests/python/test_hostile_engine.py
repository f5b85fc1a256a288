"""Every client against a hostile engine: cut, oversized and malformed replies, and shared regions
whose header, rings, offsets and lengths lie.

Socket and hybrid replies come from peers/mirror_peer.py, a separate process that writes back,
byte for byte, what the request's own tensor tells it to (see that file). So each case below is
nothing but the exact bytes a hostile engine would send. Shared regions are laid out by this
module itself in /dev/shm, header bytes and ring entries included, so the shared-memory cases
need no engine at all: the answer to request 1 is put on the response ring before the call.

Each case ends in the documented exception with its exact text, and the client stays usable
(the next call on the same object succeeds) unless the case says otherwise. A crash of the
client would take pytest down with it and fail the run.
"""

from __future__ import annotations

import os
import struct
import subprocess
import sys
import textwrap
from typing import Iterator, List, Optional

import pytest

from peers.harness import (CLOSE, END, PATCH_OFFSET, POOL, POOL_SIZE, REGION_SIZE, REQUEST_RING,
                           RESPONSE_RING, U64_MAX, CraftedRegion, MirrorPeer, frame, header_bytes,
                           hybrid_response, packet, shape_bytes, short_socket_path, text, u64)
from zelto_sdk import ZeltoClient, ZeltoHybridClient, ZeltoShmClient

EOF = "io error: unexpected end of file"
SHORT_STRING = "io error: "
FILL_FAILED = "failed to fill whole buffer"
ONE_OF = "binary tensor payload must include only one of `data` or `data_base64`"
NEITHER = "binary tensor payload must include `data` or `data_base64`"


@pytest.fixture(scope="module")
def mirror(tmp_path_factory) -> Iterator[MirrorPeer]:
    path = short_socket_path()
    peer = MirrorPeer(path, tmp_path_factory.mktemp("mirror") / "peer.log")
    yield peer
    peer.close()
    os.rmdir(os.path.dirname(path))


def send(flags: int, reply: bytes, filler: int = 0):
    """The arguments after model_id that make the mirror peer answer with `reply`."""
    return [flags, filler], "uint8", reply


@pytest.fixture
def crafted() -> Iterator:
    made: List[CraftedRegion] = []

    def make(*args, **kwargs) -> CraftedRegion:
        region = CraftedRegion(*args, **kwargs)
        made.append(region)
        return region

    yield make
    for region in made:
        region.close()


# =============================================================================================
# Socket client: replies cut at every offset
# =============================================================================================

REAL_PACKET = packet()
REAL_REPLY = frame(0, REAL_PACKET)
REAL_STREAM = frame(2, REAL_PACKET) + frame(3, b"")
DATA = bytes(range(24))


@pytest.mark.parametrize("cut", range(len(REAL_REPLY) + 1))
def test_unary_reply_cut_at_every_offset(mirror, cut):
    client = ZeltoClient(mirror.path)
    before = mirror.accepted
    if cut == len(REAL_REPLY):
        assert client.infer_tensor(1, *send(CLOSE, REAL_REPLY)) == (DATA, [2, 3], "float32")
        return
    with pytest.raises(ConnectionError) as caught:
        client.infer(1, *send(CLOSE, REAL_REPLY[:cut]))
    assert caught.value.args == (FILL_FAILED,)
    # The cut connection was dropped and exactly one fresh one tried.
    assert mirror.accepted == before + 2
    assert client.infer(1, *send(0, REAL_REPLY)) == DATA


@pytest.mark.parametrize("cut", range(len(REAL_STREAM) + 1))
def test_stream_cut_at_every_offset(mirror, cut):
    stream = ZeltoClient(mirror.path).infer_stream(1, *send(CLOSE, REAL_STREAM[:cut]))
    first_frame = len(REAL_STREAM) - 8
    if cut >= first_frame:
        assert next(stream) == DATA
    if cut == len(REAL_STREAM):
        with pytest.raises(StopIteration):
            next(stream)
        return
    with pytest.raises(RuntimeError) as caught:
        next(stream)
    assert caught.value.args == (FILL_FAILED,)
    assert type(caught.value) is RuntimeError


# =============================================================================================
# Socket client: a 4 GiB body_len, then a close; memory follows what arrived
# =============================================================================================

PEAK_PROBE = textwrap.dedent("""
    import resource, sys, zelto_sdk
    path, transport, status, filler = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    region = sys.argv[5] if len(sys.argv) > 5 else None
    header = status.to_bytes(4, "little") + (0xFFFFFFFF).to_bytes(4, "little")
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    try:
        if transport == "unary":
            zelto_sdk.ZeltoClient(path).infer(1, [1, filler], "uint8", header)
        elif transport == "tensor":
            zelto_sdk.ZeltoClient(path).infer_tensor(1, [1, filler], "uint8", header)
        elif transport == "stream":
            next(zelto_sdk.ZeltoClient(path).infer_stream(1, [1, filler], "uint8", header))
        else:
            zelto_sdk.ZeltoHybridClient(region, path).infer([1, filler], "uint8", header)
        print("no error")
    except Exception as error:
        print(type(error).__name__ + "|" + str(error))
    print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before)
""")

MiB = 1 << 20


def run_peak_probe(path: str, transport: str, status: int, filler: int, region: Optional[str] = None):
    args = [sys.executable, "-c", PEAK_PROBE, path, transport, str(status), str(filler)]
    if region:
        args.append(region)
    done = subprocess.run(args, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    outcome, growth_kib = done.stdout.splitlines()
    return outcome, int(growth_kib) * 1024


@pytest.mark.parametrize("filler", [0, 24 * MiB], ids=["nothing-follows", "24MiB-follow"])
@pytest.mark.parametrize("transport, status, outcome", [
    ("unary", 0, "ConnectionError|" + FILL_FAILED),
    ("unary", 1, "ConnectionError|" + FILL_FAILED),
    ("tensor", 0, "ConnectionError|" + FILL_FAILED),
    ("stream", 2, "RuntimeError|" + FILL_FAILED),
    ("stream", 1, "RuntimeError|" + FILL_FAILED),
])
def test_four_gib_body_len_then_close(mirror, transport, status, outcome, filler):
    seen, growth = run_peak_probe(mirror.path, transport, status, filler)
    assert seen == outcome
    # The body buffer grows by doubling only as bytes arrive: at most ~3x what arrived (old and
    # new buffer during a move), plus the first 1 MiB reservation - never the 4 GiB announced.
    # Unary calls are tried twice, but one after the other.
    assert growth < 4 * filler + 32 * MiB, growth


# =============================================================================================
# Socket client: tensor packets with a bad value in every field
# =============================================================================================


def utf8_error(raw: bytes) -> str:
    """The decoder's text for invalid UTF-8, derived from Python's own decoder as an oracle."""
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            return f"string is not valid utf8: incomplete utf-8 byte sequence from index {error.start}"
        return (f"string is not valid utf8: invalid utf-8 sequence of {error.end - error.start} "
                f"bytes from index {error.start}")
    raise AssertionError(f"{raw!r} is valid UTF-8")


def tag_error(tag: int) -> str:
    return f"tag for enum is not valid, found {tag}"


SHAPE = shape_bytes([2, 3])
DTYPE = text(b"uint8")
BAD_UTF8 = [b"\xff", b"\xc0\x80", b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"ab\xe2\x82\x41",
            b"ok\xe2\x82", b"\xf0\x9f\x98", b"uint8\x80"]

PACKET_CASES = {
    # shape
    "empty body": (b"", EOF),
    "shape count cut": (u64(1)[:5], EOF),
    "shape count 2^64-1": (u64(U64_MAX), EOF),
    "shape count 2^40 with 16 bytes": (u64(1 << 40) + bytes(16), EOF),
    "shape one element short": (u64(2) + u64(7), EOF),
    "shape element cut": (u64(1) + bytes(4), EOF),
    # dtype
    "dtype missing": (SHAPE, EOF),
    "dtype length cut": (SHAPE + bytes(3), EOF),
    "dtype length 2^64-1": (SHAPE + u64(U64_MAX) + b"uint8", SHORT_STRING),
    "dtype length 2^32": (SHAPE + u64(1 << 32) + b"uint8", SHORT_STRING),
    "dtype one byte short": (SHAPE + u64(6) + b"uint8", SHORT_STRING),
    "dtype empty": (SHAPE + text(b"") + b"\x01" + text(b"x") + b"\x00",
                    "Invalid input: Unsupported dtype: "),
    "dtype unknown": (SHAPE + text(b"Float") + b"\x01" + text(b"x") + b"\x00",
                      "Invalid input: Unsupported dtype: float"),
    "dtype with blank": (SHAPE + text(b" UINT8") + b"\x01" + text(b"x") + b"\x00",
                         "Invalid input: Unsupported dtype:  uint8"),
    **{f"dtype utf8 {raw.hex()}": (SHAPE + text(raw) + b"\x01" + text(b"x") + b"\x00", utf8_error(raw))
       for raw in BAD_UTF8},
    # data
    "data tag missing": (SHAPE + DTYPE, EOF),
    **{f"data tag {tag}": (SHAPE + DTYPE + bytes([tag]) + text(b"x") + b"\x00", tag_error(tag))
       for tag in (2, 3, 127, 128, 255)},
    "data length cut": (SHAPE + DTYPE + b"\x01" + bytes(5), EOF),
    "data length 2^64-1": (SHAPE + DTYPE + b"\x01" + u64(U64_MAX) + bytes(10), EOF),
    "data length 2^32": (SHAPE + DTYPE + b"\x01" + u64(1 << 32) + bytes(10), EOF),
    "data one byte short": (SHAPE + DTYPE + b"\x01" + u64(4) + b"abc", EOF),
    # data_base64
    "base64 tag missing": (SHAPE + DTYPE + b"\x01" + text(b"x"), EOF),
    **{f"base64 tag {tag} after data": (SHAPE + DTYPE + b"\x01" + text(b"x") + bytes([tag]), tag_error(tag))
       for tag in (2, 255)},
    **{f"base64 tag {tag} without data": (SHAPE + DTYPE + b"\x00" + bytes([tag]) + text(b"AQ=="), tag_error(tag))
       for tag in (2, 200)},
    "base64 length cut": (SHAPE + DTYPE + b"\x00\x01" + bytes(7), EOF),
    "base64 length 2^64-1": (SHAPE + DTYPE + b"\x00\x01" + u64(U64_MAX) + b"AQ==", SHORT_STRING),
    "base64 one byte short": (SHAPE + DTYPE + b"\x00\x01" + u64(5) + b"AQ==", SHORT_STRING),
    **{f"base64 utf8 {raw.hex()}": (SHAPE + DTYPE + b"\x00\x01" + text(raw), utf8_error(raw))
       for raw in BAD_UTF8},
    "base64 symbol": (SHAPE + DTYPE + b"\x00\x01" + text(b"AQ-D"), "Invalid symbol 45, offset 2."),
    "base64 line feed": (SHAPE + DTYPE + b"\x00\x01" + text(b"AQ\nD"), "Invalid symbol 10, offset 2."),
    "base64 early padding": (SHAPE + DTYPE + b"\x00\x01" + text(b"A==="), "Invalid symbol 61, offset 1."),
    "base64 after padding": (SHAPE + DTYPE + b"\x00\x01" + text(b"QQ==QQ=="), "Invalid symbol 61, offset 2."),
    "base64 length": (SHAPE + DTYPE + b"\x00\x01" + text(b"AQIDB"), "Invalid input length: 5"),
    "base64 padding": (SHAPE + DTYPE + b"\x00\x01" + text(b"AQI"), "Invalid padding"),
    "base64 last symbol": (SHAPE + DTYPE + b"\x00\x01" + text(b"AR=="), "Invalid last symbol 82, offset 1."),
    # both, neither
    "both, base64 invalid": (SHAPE + DTYPE + b"\x01" + text(b"x") + b"\x01" + text(b"!!"), ONE_OF),
    "neither": (SHAPE + DTYPE + b"\x00\x00", NEITHER),
}


@pytest.mark.parametrize("case", list(PACKET_CASES))
@pytest.mark.parametrize("method", ["infer", "infer_tensor"])
def test_unary_bad_packet_field(mirror, method, case):
    body, message = PACKET_CASES[case]
    client = ZeltoClient(mirror.path)
    call = getattr(client, method)
    with pytest.raises(RuntimeError) as caught:
        call(1, *send(0, frame(0, body)))
    assert caught.value.args == (message,)
    assert type(caught.value) is RuntimeError
    # The whole reply was consumed: the same connection serves the next call.
    before = mirror.accepted
    assert client.infer(1, *send(0, REAL_REPLY)) == DATA
    assert mirror.accepted == before


@pytest.mark.parametrize("case", list(PACKET_CASES))
def test_stream_bad_packet_field(mirror, case):
    body, message = PACKET_CASES[case]
    stream = ZeltoClient(mirror.path).infer_stream(1, *send(0, frame(2, body) + REAL_STREAM))
    if not body:  # an empty data frame ends the stream instead of failing
        assert list(stream) == []
        assert list(stream) == [DATA]
        return
    with pytest.raises(RuntimeError) as caught:
        next(stream)
    assert caught.value.args == (message,)
    # The bad frame was consumed whole; the stream goes on with the next one.
    assert list(stream) == [DATA]


@pytest.mark.parametrize("kind", [0, 4, 7, 0xFFFFFFFF])
def test_stream_unknown_kinds_end_the_stream(mirror, kind):
    stream = ZeltoClient(mirror.path).infer_stream(1, *send(0, frame(kind, b"\xff" * 9) + REAL_STREAM))
    assert list(stream) == []
    assert list(stream) == [DATA]  # the unknown frame's body was consumed, nothing more


# Data of 1 MiB and more is received straight into the result; what follows it is still checked
# with the decoder's texts, and the reply or stream frame is consumed whole either way.
LARGE = bytes(range(256)) * (4096 + 3)
LARGE_HEAD = shape_bytes([len(LARGE)]) + text(b"uint8") + b"\x01" + text(LARGE)
LARGE_TAILS = {
    "no base64": (b"\x00", None),
    "no base64, then bytes the decoder ignores": (b"\x00\xff\xff", None),
    "bad tag": (b"\x07", tag_error(7)),
    "base64 as well": (b"\x01" + text(b"AA=="), ONE_OF),
    "base64 text cut": (b"\x01" + u64(200) + b"AA==", SHORT_STRING),
    "no tag": (b"", EOF),
}


@pytest.mark.parametrize("case", list(LARGE_TAILS))
@pytest.mark.parametrize("method", ["infer", "infer_tensor", "infer_stream"])
def test_large_data_then_every_tail(mirror, method, case):
    tail, message = LARGE_TAILS[case]
    client = ZeltoClient(mirror.path)
    body = LARGE_HEAD + tail
    if method == "infer_stream":
        stream = client.infer_stream(1, *send(0, frame(2, body) + REAL_STREAM))
        call = lambda: next(stream)  # noqa: E731
    else:
        call = lambda: getattr(client, method)(1, *send(0, frame(0, body)))  # noqa: E731
    if message is None:
        result = call()
        assert result == ((LARGE, [len(LARGE)], "uint8") if method == "infer_tensor" else LARGE)
    else:
        with pytest.raises(RuntimeError) as caught:
            call()
        assert caught.value.args == (message,)
        assert type(caught.value) is RuntimeError
    # The frame was consumed whole: the stream goes on, the connection serves the next call.
    if method == "infer_stream":
        assert list(stream) == [DATA]
    else:
        before = mirror.accepted
        assert client.infer(1, *send(0, REAL_REPLY)) == DATA
        assert mirror.accepted == before


def test_trailing_bytes_after_a_packet_are_ignored(mirror):
    client = ZeltoClient(mirror.path)
    body = REAL_PACKET + b"\xff" * 100
    assert client.infer_tensor(1, *send(0, frame(0, body))) == (DATA, [2, 3], "float32")


# =============================================================================================
# Shared regions: the header lies about the size
# =============================================================================================

LAYOUT = "Invalid shared memory layout: "


def too_small(size: int) -> str:
    return f"{LAYOUT}the {size}-byte region is smaller than its 44-byte header"


REGION_CASES = {
    # name: (file size, header bytes, exact ConnectionError text)
    "empty object": (0, b"", "Shared memory error: Opening the shared memory failed, os error 22"),
    "3 bytes": (3, header_bytes(), "Invalid magic number in shared memory"),
    "magic only": (4, header_bytes(), "Shared memory version mismatch"),
    "magic and version": (8, header_bytes(), too_small(8)),
    "43 bytes": (43, header_bytes(), too_small(43)),
    "header only": (44, header_bytes(),
                    f"{LAYOUT}request ring at offset 4096 (40960 bytes) does not fit in the 44-byte region"),
    "request ring one byte short": (REQUEST_RING + 40959, header_bytes(),
                                    f"{LAYOUT}request ring at offset 4096 (40960 bytes) does not fit in "
                                    f"the {REQUEST_RING + 40959}-byte region"),
    "response ring one byte short": (RESPONSE_RING + 49151, header_bytes(),
                                     f"{LAYOUT}response ring at offset {RESPONSE_RING} (49152 bytes) does "
                                     f"not fit in the {RESPONSE_RING + 49151}-byte region"),
    "pool one byte past the end": (REGION_SIZE, header_bytes(pool_size=REGION_SIZE - POOL + 1),
                                   f"{LAYOUT}tensor pool at offset {POOL} ({REGION_SIZE - POOL + 1} bytes) "
                                   f"does not fit in the {REGION_SIZE}-byte region"),
    "pool size 2^64-1": (REGION_SIZE, header_bytes(pool_size=U64_MAX),
                         f"{LAYOUT}tensor pool at offset {POOL} ({U64_MAX} bytes) does not fit in the "
                         f"{REGION_SIZE}-byte region"),
    "pool offset wraps": (REGION_SIZE, header_bytes(pool_offset=U64_MAX, pool_size=2),
                          f"{LAYOUT}tensor pool at offset {U64_MAX} (2 bytes) does not fit in the "
                          f"{REGION_SIZE}-byte region"),
    "request ring offset wraps": (REGION_SIZE, header_bytes(request_ring=(1 << 64) - 40960),
                                  f"{LAYOUT}request ring at offset {(1 << 64) - 40960} (40960 bytes) does "
                                  f"not fit in the {REGION_SIZE}-byte region"),
    "response ring past the end": (REGION_SIZE, header_bytes(response_ring=REGION_SIZE - 49144),
                                   f"{LAYOUT}response ring at offset {REGION_SIZE - 49144} (49152 bytes) "
                                   f"does not fit in the {REGION_SIZE}-byte region"),
    "request ring unaligned": (REGION_SIZE, header_bytes(request_ring=4100),
                               f"{LAYOUT}request ring offset 4100 is not a multiple of 8"),
    "response ring unaligned": (REGION_SIZE, header_bytes(response_ring=RESPONSE_RING + 4),
                                f"{LAYOUT}response ring offset {RESPONSE_RING + 4} is not a multiple of 8"),
    "magic big-endian": (REGION_SIZE, header_bytes(magic=0x4F4D4941), "Invalid magic number in shared memory"),
    "version 0": (REGION_SIZE, header_bytes(version=0), "Shared memory version mismatch"),
}


@pytest.mark.parametrize("case", list(REGION_CASES))
@pytest.mark.parametrize("client_class", ["shm", "hybrid"])
def test_region_header_lies(crafted, case, client_class):
    size, header, message = REGION_CASES[case]
    region = crafted(size, header)
    with pytest.raises(ConnectionError) as caught:
        if client_class == "shm":
            ZeltoShmClient(region.name)
        else:
            ZeltoHybridClient(region.name, "/nonexistent/peer.sock")
    assert caught.value.args == (message,)
    assert type(caught.value) is ConnectionError


def test_region_exactly_as_large_as_its_header_says(crafted):
    """The control case: the smallest region whose rings and pool fit is accepted."""
    region = crafted(POOL + 4096, header_bytes(pool_size=4096))
    region.answer(shm_offset=POOL + 4096 - 80 - 3)
    region.block(POOL + 4096 - 83, 3, b"end")
    assert ZeltoShmClient(region.name).infer([1], "uint8", b"x") == b"end"


# =============================================================================================
# Shared-memory client: answers that point outside the mapping
# =============================================================================================

def does_not_fit(offset: int) -> str:
    return (f"Invalid response from engine: result tensor block at offset {offset} does not fit "
            f"in the {END}-byte region")


def claims(offset: int, data_len: int) -> str:
    return (f"Invalid response from engine: result tensor block at offset {offset} claims {data_len} "
            f"data bytes, more than the {END}-byte region holds")


def error_does_not_fit(offset: int) -> str:
    return (f"Invalid response from engine: engine error text at offset {offset} does not fit in "
            f"the {END}-byte region")


def error_claims(offset: int, length: int) -> str:
    return (f"Invalid response from engine: engine error text at offset {offset} claims {length} "
            f"bytes, more than the {END}-byte region holds")


RESULT_CASES = {
    # name: (shm_offset, data_len written there (None: nothing written), expected bytes or text)
    "block ends at the region's end": (END - 80, 0, b""),
    "last data byte is the region's last": (END - 81, 1, b"\xee"),
    "header across the end": (END - 79, None, does_not_fit(END - 79)),
    "at the end": (END, None, does_not_fit(END)),
    "offset 2^64-1": (U64_MAX, None, does_not_fit(U64_MAX)),
    "offset wraps to 0": ((1 << 64) - 80, None, does_not_fit((1 << 64) - 80)),
    "data one byte past the end": (END - 80, 1, claims(END - 80, 1)),
    "data_len 2^64-1": (END - 160, U64_MAX, claims(END - 160, U64_MAX)),
    "data_len wraps": (END - 160, (1 << 64) - END + 81, claims(END - 160, (1 << 64) - END + 81)),
    "data_len 2^62 inside the pool": (POOL + 4096, 1 << 62, claims(POOL + 4096, 1 << 62)),
}


@pytest.mark.parametrize("case", list(RESULT_CASES))
def test_shm_result_block_outside_the_mapping(crafted, case):
    offset, data_len, expected = RESULT_CASES[case]
    region = crafted()
    if data_len is not None:
        region.block(offset, data_len, b"\xee" if data_len == 1 else b"")
    region.answer(shm_offset=offset)
    client = ZeltoShmClient(region.name)
    if isinstance(expected, bytes):
        assert client.infer([1], "uint8", b"x") == expected
    else:
        with pytest.raises(RuntimeError) as caught:
            client.infer([1], "uint8", b"x")
        assert caught.value.args == (expected,)
    assert_slot_given_back(client, region)


def assert_slot_given_back(client, region: CraftedRegion, request_id: int = 2) -> None:
    """The pool's one slot is free again, and the client still answers."""
    region.block(END - 80 - 2, 2, b"ok")
    region.answer(request_id=request_id, shm_offset=END - 82)
    assert client.infer([1], "uint8", bytes(POOL_SIZE - 80)) == b"ok"


ERROR_CASES = {
    # name: (error_offset, length written there (None: nothing), body, expected text)
    "no text": (0, None, b"", "Unknown error"),
    "text ends at the region's end": (END - 13, 5, b"hello", "hello"),
    "invalid utf8": (END - 12, 4, b"a\xffb\xfe", "a\ufffdb\ufffd"),
    "empty text at the end": (END - 8, 0, b"", ""),
    "length field across the end": (END - 7, None, b"", error_does_not_fit(END - 7)),
    "at the end": (END, None, b"", error_does_not_fit(END)),
    "offset 2^64-1": (U64_MAX, None, b"", error_does_not_fit(U64_MAX)),
    "offset wraps": ((1 << 64) - 4, None, b"", error_does_not_fit((1 << 64) - 4)),
    "one byte past the end": (END - 13, 6, b"", error_claims(END - 13, 6)),
    "length 2^64-1": (END - 100, U64_MAX, b"", error_claims(END - 100, U64_MAX)),
    "length wraps": (END - 100, (1 << 64) - END + 100 - 8 + 1, b"",
                     error_claims(END - 100, (1 << 64) - END + 100 - 8 + 1)),
}


@pytest.mark.parametrize("case", list(ERROR_CASES))
def test_shm_error_text_outside_the_mapping(crafted, case):
    offset, length, body, expected = ERROR_CASES[case]
    region = crafted()
    if length is not None:
        region.error_text(offset, length, body)
    region.answer(status=1, error_offset=offset)
    client = ZeltoShmClient(region.name)
    with pytest.raises(RuntimeError) as caught:
        client.infer([1], "uint8", b"x")
    assert caught.value.args == (expected,)
    assert type(caught.value) is RuntimeError
    assert_slot_given_back(client, region)


@pytest.mark.parametrize("status", [1, 2, 0x80, 0xFF])
def test_shm_any_nonzero_status_is_a_failure(crafted, status):
    region = crafted()
    region.error_text(END - 10, 2, b"no")
    region.answer(status=status, shm_offset=POOL, error_offset=END - 10)
    with pytest.raises(RuntimeError) as caught:
        ZeltoShmClient(region.name).infer([1], "uint8", b"x")
    assert caught.value.args == ("no",)


# =============================================================================================
# Shared-memory client: ring counters outside 0..1020
# =============================================================================================

BAD_COUNTERS = [1021, 5000, 1 << 32, U64_MAX]


def counters_text(reserve: int, commit: int, read: int) -> str:
    return (f"Shared-memory ring counters out of range (reserve_index={reserve}, commit_index={commit}, "
            f"read_index={read}; capacity 1021)")


@pytest.mark.parametrize("value", BAD_COUNTERS)
@pytest.mark.parametrize("which", [0, 1, 2], ids=["reserve", "commit", "read"])
def test_request_ring_counter_out_of_range(crafted, which, value):
    region = crafted()
    counters = [3, 3, 3]
    counters[which] = value
    region.set_counters(REQUEST_RING, 40, counters)
    region.answer()
    client = ZeltoShmClient(region.name)
    with pytest.raises(RuntimeError) as caught:
        client.infer([1], "uint8", b"x")
    assert caught.value.args == (counters_text(*counters),)
    # Refused before anything was reserved or written.
    assert region.counters(REQUEST_RING, 40) == counters
    region.set_counters(REQUEST_RING, 40, [0, 0, 0])
    assert_slot_given_back(client, region)


@pytest.mark.parametrize("value", BAD_COUNTERS)
@pytest.mark.parametrize("which", [1, 2], ids=["commit", "read"])
def test_response_ring_counter_out_of_range(crafted, which, value):
    region = crafted()
    region.answer()
    counters = [1, 1, 0]
    counters[which] = value
    region.set_counters(RESPONSE_RING, 48, counters)
    client = ZeltoShmClient(region.name)
    with pytest.raises(RuntimeError) as caught:
        client.infer([1], "uint8", b"x")
    assert caught.value.args == (counters_text(*counters),)
    assert region.counters(RESPONSE_RING, 48) == counters  # nothing was claimed
    assert_slot_given_back(client, region)


@pytest.mark.parametrize("value", BAD_COUNTERS)
def test_response_ring_reserve_index_is_not_the_consumers_business(crafted, value):
    """A consumer never reads reserve_index: an out-of-range one does not stop it."""
    region = crafted()
    region.block(END - 81, 1, b"r")
    region.answer(shm_offset=END - 81)
    region.set_counters(RESPONSE_RING, 48, [value, 1, 0])
    assert ZeltoShmClient(region.name).infer([1], "uint8", b"x") == b"r"


def test_counters_in_range_but_wrapped_still_deliver(crafted):
    """read_index 1020 and commit_index 0: the one published entry sits in the last cell."""
    region = crafted()
    region.block(END - 82, 2, b"wr")
    struct.pack_into("<QB15xQQQ", region.map, RESPONSE_RING + (3 + 1020) * 48, 1, 0, END - 82, 0, 0)
    region.set_counters(RESPONSE_RING, 48, [0, 0, 1020])
    region.set_counters(REQUEST_RING, 40, [1020, 1020, 1020])
    assert ZeltoShmClient(region.name).infer([1], "uint8", b"x") == b"wr"
    assert region.counters(RESPONSE_RING, 48) == [0, 0, 0]
    assert region.counters(REQUEST_RING, 40) == [0, 0, 1020]  # entry 1020 written, wrapped


@pytest.mark.parametrize("notify_fd", [(1 << 31) - 1, 1023, 1024, 4095, -2, -(1 << 31)])
def test_notify_fd_that_names_nothing(crafted, notify_fd):
    """A descriptor number that is not open in the client is waited on without harm."""
    if notify_fd >= 0:
        with pytest.raises(OSError):
            os.fstat(notify_fd)
    region = crafted(header=header_bytes(notify_fd=notify_fd))
    region.block(END - 81, 1, b"n")
    region.answer(shm_offset=END - 81)
    assert ZeltoShmClient(region.name).infer([1], "uint8", b"x") == b"n"


# =============================================================================================
# Hybrid client: cut replies, a 4 GiB body_len, result blocks outside the mapping
# =============================================================================================


@pytest.fixture(scope="module")
def hybrid_side(tmp_path_factory):
    """One hand-made region and one mirror peer reading it, shared by the hybrid cases."""
    region = CraftedRegion()
    path = short_socket_path()
    peer = MirrorPeer(path, tmp_path_factory.mktemp("hybrid") / "peer.log", region.name)
    yield region, peer
    peer.close()
    region.close()
    os.rmdir(os.path.dirname(path))


def hybrid_reply(shm_offset: int = 0) -> bytes:
    return frame(0, hybrid_response(shm_offset))


REAL_HYBRID = hybrid_reply()


@pytest.mark.parametrize("cut", range(len(REAL_HYBRID) + 1))
def test_hybrid_reply_cut_at_every_offset(hybrid_side, cut):
    region, peer = hybrid_side
    client = ZeltoHybridClient(region.name, peer.path)
    before = peer.accepted
    if cut == len(REAL_HYBRID):
        # The patched offset names the request's own block: its data, the reply itself, comes back.
        assert client.infer([PATCH_OFFSET | CLOSE, 0], "uint8", REAL_HYBRID) == REAL_HYBRID
        return
    with pytest.raises(RuntimeError) as caught:
        client.infer([CLOSE, 0], "uint8", REAL_HYBRID[:cut])
    assert caught.value.args == ("early eof",)
    # The cut stream was dropped; the next call connects afresh and succeeds.
    assert client.infer([PATCH_OFFSET, 0], "uint8", REAL_HYBRID) == REAL_HYBRID
    assert peer.accepted == before + 2


# The same cases and the same texts as for ZeltoShmClient: both clients word a refused answer
# alike.
HYBRID_RESULT_CASES = {
    "block ends at the region's end": (END - 80, 0, b""),
    "last data byte is the region's last": (END - 81, 1, b"\xee"),
    "header across the end": (END - 79, None, does_not_fit(END - 79)),
    "offset 2^64-1": (U64_MAX, None, does_not_fit(U64_MAX)),
    "offset wraps to 0": ((1 << 64) - 80, None, does_not_fit((1 << 64) - 80)),
    "data one byte past the end": (END - 80, 1, claims(END - 80, 1)),
    "data_len 2^64-1": (END - 160, U64_MAX, claims(END - 160, U64_MAX)),
}


@pytest.mark.parametrize("case", list(HYBRID_RESULT_CASES))
def test_hybrid_result_block_outside_the_mapping(hybrid_side, case):
    region, peer = hybrid_side
    offset, data_len, expected = HYBRID_RESULT_CASES[case]
    region.map[END - 256:END] = bytes(256)
    if data_len is not None:
        region.block(offset, data_len, b"\xee" if data_len == 1 else b"")
    client = ZeltoHybridClient(region.name, peer.path)
    if isinstance(expected, bytes):
        assert client.infer([0, 0], "uint8", hybrid_reply(offset)) == expected
    else:
        with pytest.raises(RuntimeError) as caught:
            client.infer([0, 0], "uint8", hybrid_reply(offset))
        assert caught.value.args == (expected,)
    # A whole, well-formed reply was consumed: the same connection serves the next call.
    before = peer.accepted
    assert client.infer([PATCH_OFFSET, 0], "uint8", REAL_HYBRID) == REAL_HYBRID
    assert peer.accepted == before


@pytest.mark.parametrize("body_len, status, expected", [
    (0, 0, EOF), (39, 0, EOF), (40, 0, b"ok"), (41, 0, b"ok"), (1 << 16, 0, b"ok"),
    (0, 9, ""), (5, 9, "\ufffd" * 5),
])
def test_hybrid_body_lengths(hybrid_side, body_len, status, expected):
    region, peer = hybrid_side
    region.block(END - 82, 2, b"ok")
    body = (hybrid_response(END - 82) + b"\xff" * body_len)[:body_len] if status == 0 else b"\xff" * body_len
    client = ZeltoHybridClient(region.name, peer.path)
    if isinstance(expected, bytes):
        assert client.infer([0, 0], "uint8", frame(status, body)) == expected
    else:
        with pytest.raises(RuntimeError) as caught:
            client.infer([0, 0], "uint8", frame(status, body))
        assert caught.value.args == (expected,)
    assert client.infer([PATCH_OFFSET, 0], "uint8", REAL_HYBRID) == REAL_HYBRID


@pytest.mark.parametrize("filler", [0, 24 * MiB], ids=["nothing-follows", "24MiB-follow"])
@pytest.mark.parametrize("status", [0, 1])
def test_hybrid_four_gib_body_len_then_close(hybrid_side, status, filler):
    region, peer = hybrid_side
    seen, growth = run_peak_probe(peer.path, "hybrid", status, filler, region.name)
    assert seen == "RuntimeError|early eof"
    # Success bodies keep 40 bytes, error bodies at most 4 MiB; the rest is read and dropped.
    assert growth < 32 * MiB, growth
