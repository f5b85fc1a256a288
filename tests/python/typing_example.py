"""Typed use of zelto_sdk; the stub test runs `mypy --strict` on this file."""

from __future__ import annotations

from typing import List, Tuple

import zelto_sdk


def describe(client: zelto_sdk.ZeltoClient) -> str:
    return f"{client.protocol()} {client.endpoint()}"


def run(client: zelto_sdk.ZeltoClient) -> Tuple[bytes, List[int], str]:
    raw: bytes = client.infer(
        7, [2, 3], "float32", bytearray(24), {"mask": ([2], "uint8", b"\x01\x00")}, session_id="s1"
    )
    data, shape, dtype = client.infer_tensor(7, (2, 3), "float32", raw)
    chunks: List[bytes] = [chunk for chunk in client.infer_stream(7, [1], "uint8", [0, 255])]
    return data + b"".join(chunks), shape, dtype


def shared(shm: zelto_sdk.ZeltoShmClient, hybrid: zelto_sdk.ZeltoHybridClient) -> bytes:
    return shm.infer([4], "uint8", memoryview(b"abcd")) + hybrid.infer([1], "u8", b"x")


def make() -> List[object]:
    return [
        zelto_sdk.ZeltoClient(),
        zelto_sdk.ZeltoClient("tcp://127.0.0.1:9096", api_token="t", max_pool_size=4),
        zelto_sdk.ZeltoClient(protocol="tcp", host="gpu1", port=9096),
        zelto_sdk.ZeltoShmClient("/zelto"),
        zelto_sdk.ZeltoHybridClient("/zelto", "/tmp/zelto.sock"),
    ]
