"""numpy uint8 arrays as tensor data, against a real engine and every client: contiguous arrays
are read where they lie (pinned for the call), strided ones through one copy; either way the
engine must receive exactly the array's bytes."""

from __future__ import annotations

import sys

import pytest

import zelto_sdk

np = pytest.importorskip("numpy")


def pattern(size: int) -> "np.ndarray":
    return (np.arange(size, dtype=np.int64) * 7 % 251).astype(np.uint8)


def read_only(array: "np.ndarray") -> "np.ndarray":
    array.flags.writeable = False
    return array


ARRAYS = {
    "empty": lambda: np.zeros(0, dtype=np.uint8),
    "small": lambda: pattern(5),
    "offset-slice": lambda: pattern(100)[13:77],  # contiguous, data pointer inside the block
    "strided": lambda: pattern(100)[::3],
    "reversed": lambda: pattern(100)[::-1],
    "read-only": lambda: read_only(pattern(4096)),
    "view-of-float32": lambda: np.linspace(-1, 1, 1024, dtype=np.float32).view(np.uint8),
    "9-MiB": lambda: pattern(9 << 20),  # beyond the size from which shm copies stream
}


@pytest.fixture
def clients(engines, socket_path, shm_name):
    engines.start("--unix", socket_path, "--shm", shm_name)
    return {
        "socket": lambda a: zelto_sdk.ZeltoClient(socket_path).infer(0, [a.size], "uint8", a),
        "shm": lambda a: zelto_sdk.ZeltoShmClient(shm_name).infer([a.size], "uint8", a),
        "hybrid": lambda a: zelto_sdk.ZeltoHybridClient(shm_name, socket_path).infer(
            [a.size], "uint8", a),
    }


@pytest.mark.parametrize("make", ARRAYS.values(), ids=ARRAYS.keys())
def test_every_client_sends_exactly_the_array_bytes(clients, make):
    array = make()
    expected = array.tobytes()
    for name, infer in clients.items():
        assert infer(array) == expected, name


def test_calls_leave_no_reference_to_the_array(clients, shm_name):
    """The in-place view holds the array only for the call: after calls of every client that
    succeed and one that fails (an unknown dtype), the array's reference count is what it was."""
    array = pattern(4096)
    before = sys.getrefcount(array)
    for infer in clients.values():
        assert infer(array) == array.tobytes()
    with pytest.raises(ValueError) as refused:
        zelto_sdk.ZeltoShmClient(shm_name).infer([array.size], "nope", array)
    assert str(refused.value) == "Invalid input: Unsupported dtype: nope"
    del refused
    assert sys.getrefcount(array) == before
