"""zelto-mock-engine's echo, byte for byte, as a raw socket sees it: the reply to raw input is sent
from the request as it arrived, to base64 input from the decoded bytes; both must read the same
as any other echo, --trailing bytes included, and a request with bytes left over is refused."""

from __future__ import annotations

import socket

import pytest


def recv_exact(sock: socket.socket, count: int) -> bytes:
    got = sock.recv(count, socket.MSG_WAITALL)
    assert len(got) == count, f"engine closed after {len(got)} of {count} bytes"
    return got


def exchange(path: str, frames: list) -> list:
    """Sends each frame on one connection and reads its reply: (status, body) each."""
    replies = []
    with socket.socket(socket.AF_UNIX) as sock:
        sock.connect(path)
        for frame in frames:
            sock.sendall(frame)
            header = recv_exact(sock, 8)
            body = recv_exact(sock, int.from_bytes(header[4:], "little"))
            replies.append((int.from_bytes(header[:4], "little"), body))
    return replies


def base64_request(wire, shape, text: str) -> bytes:
    # the input as data_base64, no additional inputs, no session id, no metadata
    return wire.base64_tensor(shape, "uint8", text) + wire.u64(0) + b"\x00" + b"\x00"


@pytest.mark.parametrize("trailing", [0, 3])
def test_echo_bytes(engines, socket_path, wire, trailing):
    engines.start("--unix", socket_path, *(["--trailing", str(trailing)] if trailing else []))
    tail = b"\xee" * trailing
    large = bytes(range(256)) * 1200  # 300 KiB: more than one socket buffer's worth
    cases = [
        (wire.request([1200, 256], "uint8", large), wire.tensor([1200, 256], "uint8", large)),
        (wire.request([0], "uint8", b""), wire.tensor([0], "uint8", b"")),
        (wire.request([2], "int32", b"12345678", additional=[("m", ([1], "uint8", b"z"))],
                      session_id="s"), wire.tensor([2], "int32", b"12345678")),
        (base64_request(wire, [3], "AQID"), wire.tensor([3], "uint8", b"\x01\x02\x03")),
    ]
    frames = [wire.frame(1, 1, payload) for payload, _ in cases]
    assert exchange(socket_path, frames) == [(0, packet + tail) for _, packet in cases]


def test_request_with_bytes_left_over_is_refused(engines, socket_path, wire):
    engines.start("--unix", socket_path)
    payload = wire.request([1], "uint8", b"x") + b"\x00"
    good = wire.request([1], "uint8", b"y")
    assert exchange(socket_path, [wire.frame(1, 1, payload), wire.frame(1, 1, good)]) == [
        (1, b"bad request: trailing bytes after the request"),
        (0, wire.tensor([1], "uint8", b"y")),
    ]
