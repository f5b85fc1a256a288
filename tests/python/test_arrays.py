"""zelto_testing.arrays against a real engine: every dtype the engine has goes out as its own
bytes under its own name and comes back equal; what the engine would misread is refused before
anything is sent, with a sentence that says what to do instead."""

from __future__ import annotations

import pytest

np = pytest.importorskip("numpy")

from zelto_testing import MockEngine  # noqa: E402
from zelto_testing.arrays import (engine_dtype_name, infer_array, infer_stream_arrays,  # noqa: E402
                                  infer_tensor_array, numpy_dtype, result_array, tensor_parts)

DTYPES = ["float16", "float32", "float64", "int32", "int64", "uint8"]


@pytest.fixture(scope="module")
def engine():
    with MockEngine(tcp=False) as running:
        yield running


def sample(dtype: str):
    return (np.arange(24, dtype=dtype) * 3 + 250).reshape(2, 3, 4)  # values past 255 too


@pytest.mark.parametrize("dtype", DTYPES)
def test_round_trip_through_every_client(engine, dtype):
    x = sample(dtype)
    socket = engine.socket_client()
    typed = infer_tensor_array(socket, 1, x)
    assert typed.dtype == x.dtype and typed.shape == x.shape and np.array_equal(typed, x)
    for flat in (infer_array(socket, 1, x), infer_array(engine.shm_client(), x),
                 infer_array(engine.hybrid_client(), x)):
        assert flat.dtype == x.dtype and flat.shape == (24,)
        assert np.array_equal(flat, x.reshape(-1))
    items = list(infer_stream_arrays(socket, 1, x))
    assert len(items) == 3 and all(np.array_equal(item, x.reshape(-1)) for item in items)


def test_what_the_engine_is_told(engine):
    """The request carries the array's own bytes, its shape and the engine's dtype name."""
    shape, name, data = tensor_parts(np.array([[1, 300]], dtype=np.int64))
    assert (shape, name) == ((1, 2), "int64")
    assert bytes(data) == (1).to_bytes(8, "little") + (300).to_bytes(8, "little")
    _, returned_shape, returned_dtype = engine.socket_client().infer_tensor(1, shape, name, data)
    assert (returned_shape, returned_dtype) == ([1, 2], "int64")


def test_non_contiguous_arrays_are_sent_in_c_order(engine):
    x = np.arange(12, dtype=np.float32).reshape(3, 4)
    for view in (x.T, x[:, ::2], np.asfortranarray(x)):
        assert np.array_equal(infer_tensor_array(engine.socket_client(), 1, view), view)


def test_result_dtype_and_shape(engine):
    x = np.arange(8, dtype=np.uint8)
    out = infer_array(engine.shm_client(), x, result_dtype=np.float32, result_shape=(1, 2))
    assert out.shape == (1, 2) and np.array_equal(out.view(np.uint8).reshape(-1), x)
    with pytest.raises(ValueError) as caught:
        infer_array(engine.shm_client(), np.arange(6, dtype=np.uint8), result_dtype=np.float32)
    assert str(caught.value) == ("the engine's result of 6 bytes is not a whole number of "
                                 "float32 elements (4 bytes each)")


@pytest.mark.parametrize(
    "value, error, message",
    [
        (np.arange(3, dtype=np.int16), ValueError,
         "the engine has no dtype for numpy int16; widen it with array.astype(np.int32) or "
         "np.int64 (it takes float16, float32, float64, int32, int64, uint8)"),
        (np.array([True, False]), ValueError,
         "the engine has no dtype for numpy bool; send array.astype(np.uint8) (it takes float16, "
         "float32, float64, int32, int64, uint8)"),
        (np.arange(3, dtype=">f4"), ValueError,
         ">f4 is big-endian and the engine reads little-endian numbers: send "
         "array.astype('<f4') instead"),
        (np.array([1 + 2j]), ValueError,
         "the engine has no dtype for numpy complex128 (it takes float16, float32, float64, "
         "int32, int64, uint8)"),
        (np.array(["a"]), ValueError,
         "the engine has no dtype for numpy <U1 (it takes float16, float32, float64, int32, "
         "int64, uint8)"),
        ([101, 2023, 102], TypeError,
         "expected a numpy array, not list: build one with np.asarray(value, dtype=...) so that "
         "the dtype is yours to choose"),
        (b"\x01\x02", TypeError,
         "expected a numpy array, not bytes: build one with np.asarray(value, dtype=...) so that "
         "the dtype is yours to choose"),
    ],
    ids=["int16", "bool", "big-endian", "complex", "unicode", "list", "bytes"],
)
def test_what_would_be_misread_is_refused_before_sending(engine, value, error, message):
    with pytest.raises(error) as caught:
        infer_array(engine.socket_client(), 1, value)
    assert str(caught.value) == message


def test_the_trap_it_closes(engine):
    """Small token ids passed straight as `data` go out as one byte each, with no error (the
    engine echoes three bytes); infer_array sends eight bytes each."""
    tokens = np.array([1, 2, 3], dtype=np.int64)
    assert engine.socket_client().infer(1, tokens.shape, "int64", tokens) == b"\x01\x02\x03"
    assert np.array_equal(infer_array(engine.socket_client(), 1, tokens), tokens)


def test_wrong_call_shapes():
    with MockEngine(tcp=False) as running:
        with pytest.raises(TypeError) as caught:
            infer_array(running.shm_client(), 1, np.zeros(2))  # type: ignore[call-overload]
        assert str(caught.value) == "infer_array(ZeltoShmClient, array) takes an array only"
        with pytest.raises(TypeError) as caught:
            infer_array(running.socket_client(), np.zeros(2))  # type: ignore[call-overload]
        assert str(caught.value) == ("infer_array(ZeltoClient, model_id, array) takes a model "
                                     "id and an array")
    with pytest.raises(TypeError, match="expected a zelto_sdk client, not str"):
        infer_array("unix:///tmp/x.sock", 1, np.zeros(2))  # type: ignore[call-overload]


def test_dtype_names_both_ways():
    assert [engine_dtype_name(numpy_dtype(name)) for name in DTYPES] == DTYPES
    assert numpy_dtype("FLOAT32") == np.float32
    with pytest.raises(ValueError, match=r"the engine answered with dtype 'string'"):
        numpy_dtype("string")
    assert result_array(b"\x01\x00\x02\x00", np.int16, (2, 1)).tolist() == [[1], [2]]


def test_a_reply_that_does_not_fill_its_shape_is_refused():
    with MockEngine(tcp=False, shm=False, reply_dtype="float32") as running:
        with pytest.raises(ValueError) as caught:
            infer_tensor_array(running.socket_client(), 1, np.arange(3, dtype=np.uint8))
    assert str(caught.value) == ("the engine's result of 3 bytes does not fill its reported "
                                 "shape [3] of float32 (12 bytes)")
