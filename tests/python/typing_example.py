"""Typed use of zelto_sdk. The stub test runs `mypy --strict` and pyright (strict) on this file
and then runs it against real engines, so what type-checks here also works.

Annotations are evaluated when each function is defined (no `from __future__ import
annotations`): a name the stubs offer but the module lacks fails at import, as it would in a
user's program.
"""

import array
from typing import Iterator, List, Tuple

import numpy as np
import numpy.typing as npt

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


def stream(client: zelto_sdk.ZeltoClient) -> Iterator[bytes]:
    return client.infer_stream(1, [2], "uint8", b"ab")


def first_item(items: "zelto_sdk.StreamIterator") -> bytes:
    return next(items)


def arrays(client: zelto_sdk.ZeltoClient) -> Tuple[npt.NDArray[np.float32], bytes]:
    """The README's numpy pattern: the bytes of any C-contiguous array as a uint8 view."""
    x = np.arange(6, dtype=np.float32).reshape(2, 3)
    raw = client.infer(7, x.shape, "float32", x.reshape(-1).view(np.uint8))
    ids = client.infer(7, [2], "uint8", np.array([4, 5], dtype=np.uint8))
    return np.frombuffer(raw, dtype=np.float32).reshape(x.shape), ids


def buffers(client: zelto_sdk.ZeltoShmClient) -> bytes:
    return (client.infer([4], "uint8", memoryview(b"abcd"))
            + client.infer([2], "u8", array.array("B", b"ar"))
            + client.infer([2], "u8", memoryview(bytearray(b"mv"))))


def shared(shm: zelto_sdk.ZeltoShmClient, hybrid: zelto_sdk.ZeltoHybridClient) -> bytes:
    return shm.infer([4], "uint8", memoryview(b"abcd")) + hybrid.infer([1], "u8", b"x")


def make(shm_name: str, socket_path: str) -> List[object]:
    return [
        zelto_sdk.ZeltoClient(),
        zelto_sdk.ZeltoClient("tcp://127.0.0.1:9096", api_token="t", max_pool_size=4),
        zelto_sdk.ZeltoClient(protocol="tcp", host="gpu1", port=9096),
        zelto_sdk.ZeltoShmClient(shm_name),
        zelto_sdk.ZeltoHybridClient(shm_name, socket_path),
    ]
