"""numpy arrays in and out of the zelto_sdk clients.

The clients take tensor data as bytes: `data` is read as a sequence of byte values, so an int64
array of token ids passed as `data` would go out as one byte per element (each id cut to 0..255
or refused), and a float32 array cannot be read as bytes at all. These functions send an array's
own bytes under the dtype name that matches it, refuse what the engine would misread, and turn
results back into arrays.

    tokens = np.array([[101, 2023, 102]], dtype=np.int64)
    out = infer_tensor_array(client, 7, tokens)           # shaped and typed by the engine's reply
    out = infer_array(shm_client, tokens)                 # int64, flat (the reply has no shape)
    out = infer_array(shm_client, tokens, result_dtype=np.float32, result_shape=(1, -1))
"""

from __future__ import annotations

import sys
from typing import Any, Dict, Iterator, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

import zelto_sdk

# The engine's dtype names and the numpy types they hold, little-endian as on the wire.
ENGINE_DTYPES: Dict[str, np.dtype[Any]] = {
    "float16": np.dtype("<f2"),
    "float32": np.dtype("<f4"),
    "float64": np.dtype("<f8"),
    "int32": np.dtype("<i4"),
    "int64": np.dtype("<i8"),
    "uint8": np.dtype("u1"),
}
SUPPORTED = ", ".join(ENGINE_DTYPES)

DTypeLike = npt.DTypeLike
ShapeLike = Union[int, Sequence[int]]
SocketOrRegionClient = Union[zelto_sdk.ZeltoShmClient, zelto_sdk.ZeltoHybridClient]


def engine_dtype_name(dtype: npt.DTypeLike) -> str:
    """The engine's name for a numpy dtype; ValueError for one the engine has no type for."""
    wanted = np.dtype(dtype)
    if wanted.byteorder == ">" or (wanted.byteorder == "=" and sys.byteorder == "big"):
        raise ValueError(f"{wanted} is big-endian and the engine reads little-endian numbers: "
                         f"send array.astype('{wanted.newbyteorder('<').str}') instead")
    for name, engine_dtype in ENGINE_DTYPES.items():
        if wanted == engine_dtype:
            return name
    hint = ""
    if wanted == np.bool_:
        hint = "; send array.astype(np.uint8)"
    elif wanted.kind in "iu":
        hint = "; widen it with array.astype(np.int32) or np.int64"
    raise ValueError(f"the engine has no dtype for numpy {wanted}{hint} (it takes {SUPPORTED})")


def numpy_dtype(engine_name: str) -> np.dtype[Any]:
    """The numpy dtype of an engine dtype name as a reply gives it."""
    found = ENGINE_DTYPES.get(engine_name.lower())
    if found is None:
        raise ValueError(f"the engine answered with dtype {engine_name!r}, which has no numpy "
                         f"equivalent here (known: {SUPPORTED})")
    return found


def tensor_parts(array: npt.NDArray[Any]) -> Tuple[Tuple[int, ...], str, Any]:
    """(shape, engine dtype name, data) for a client call: data is a uint8 view of the array's
    bytes, read in place when the array is C-contiguous (else one C-order copy is sent)."""
    if not isinstance(array, np.ndarray):
        raise TypeError(f"expected a numpy array, not {type(array).__name__}: build one with "
                        "np.asarray(value, dtype=...) so that the dtype is yours to choose")
    name = engine_dtype_name(array.dtype)
    contiguous = np.ascontiguousarray(array)
    return tuple(int(d) for d in array.shape), name, contiguous.reshape(-1).view(np.uint8)


def result_array(data: bytes, dtype: npt.DTypeLike, shape: ShapeLike = -1) -> npt.NDArray[Any]:
    """The result bytes as an array of `dtype` (read-only: it shares the bytes object)."""
    wanted = np.dtype(dtype)
    if wanted.itemsize and len(data) % wanted.itemsize:
        raise ValueError(f"the engine's result of {len(data)} bytes is not a whole number of "
                         f"{wanted} elements ({wanted.itemsize} bytes each)")
    return np.frombuffer(data, dtype=wanted).reshape(shape)


@overload
def infer_array(client: zelto_sdk.ZeltoClient, model_id: int, array: npt.NDArray[Any], /, *,
                result_dtype: Optional[DTypeLike] = None,
                result_shape: ShapeLike = -1) -> npt.NDArray[Any]: ...
@overload
def infer_array(client: SocketOrRegionClient, array: npt.NDArray[Any], /, *,
                result_dtype: Optional[DTypeLike] = None,
                result_shape: ShapeLike = -1) -> npt.NDArray[Any]: ...
def infer_array(client: Any, /, *args: Any, result_dtype: Optional[DTypeLike] = None,
                result_shape: ShapeLike = -1) -> npt.NDArray[Any]:
    """`infer` with an array: (client, model_id, array) for ZeltoClient, (client, array) for
    ZeltoShmClient and ZeltoHybridClient. The result bytes carry no shape or dtype, so they are
    read as `result_dtype` (default: the input's) in `result_shape` (default: flat)."""
    model_id, array = split_call_arguments(client, args)
    shape, name, data = tensor_parts(array)
    if model_id is None:
        raw = client.infer(shape, name, data)
    else:
        raw = client.infer(model_id, shape, name, data)
    return result_array(raw, array.dtype if result_dtype is None else result_dtype,
                        result_shape)


def infer_tensor_array(client: zelto_sdk.ZeltoClient, model_id: int,
                       array: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """`infer_tensor` with an array: the result has the shape and dtype the engine reports."""
    shape, name, data = tensor_parts(array)
    raw, result_shape, result_dtype = client.infer_tensor(model_id, shape, name, data)
    expected = int(np.prod(result_shape, dtype=np.int64)) * numpy_dtype(result_dtype).itemsize
    if len(raw) != expected:
        raise ValueError(f"the engine's result of {len(raw)} bytes does not fill its reported "
                         f"shape {result_shape} of {result_dtype} ({expected} bytes)")
    return result_array(raw, numpy_dtype(result_dtype), result_shape)


def infer_stream_arrays(client: zelto_sdk.ZeltoClient, model_id: int, array: npt.NDArray[Any],
                        *, result_dtype: Optional[DTypeLike] = None
                        ) -> Iterator[npt.NDArray[Any]]:
    """`infer_stream` with an array: each item flat, as `result_dtype` (default: the input's)."""
    shape, name, data = tensor_parts(array)
    dtype = array.dtype if result_dtype is None else result_dtype
    for item in client.infer_stream(model_id, shape, name, data):
        yield result_array(item, dtype)


def split_call_arguments(client: Any, args: Tuple[Any, ...]
                         ) -> Tuple[Optional[int], npt.NDArray[Any]]:
    if isinstance(client, zelto_sdk.ZeltoClient):
        if len(args) != 2:
            raise TypeError("infer_array(ZeltoClient, model_id, array) takes a model id and an "
                            "array")
        return int(args[0]), args[1]
    if isinstance(client, (zelto_sdk.ZeltoShmClient, zelto_sdk.ZeltoHybridClient)):
        if len(args) != 1:
            raise TypeError(f"infer_array({type(client).__name__}, array) takes an array only")
        return None, args[0]
    raise TypeError(f"expected a zelto_sdk client, not {type(client).__name__}")
