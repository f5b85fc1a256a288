# Type information for the zelto_sdk extension module. Docstrings here are the module's own
# (tests/python/test_stubs.py compares them), so an editor shows what help() shows.

from typing import (
    Dict,
    Iterator,
    List,
    Optional,
    Protocol,
    Sequence,
    SupportsIndex,
    Tuple,
    Union,
    final,
    type_check_only,
)

import numpy

# A numpy array of dtype uint8, seen through what the module reads. Without numpy installed the
# dtype is unknown and any object with these two members passes.
@type_check_only
class _UInt8Array(Protocol):
    @property
    def dtype(self) -> numpy.dtype[numpy.uint8]: ...
    def tobytes(self) -> bytes: ...

# Tensor bytes, as the module reads them: bytes and bytearray in place; a one-dimensional numpy
# uint8 array in place when C-contiguous (x.reshape(-1).view(numpy.uint8) of any C-contiguous
# array), otherwise with one copy; a memoryview of format 'B' and array('B') with one copy; any
# other sequence of ints 0..255 item by item (not an mmap: iterating one yields bytes). A str is
# refused, and so is a numpy array of more than one dimension, which only the run time catches
# (not every numpy version types dimensions). Arrays of other dtypes are left out on purpose: a
# float array is refused at run time, and an int array is sent one byte per element (its values
# must be 0..255), which is almost never what was meant.
_TensorData = Union[bytes, bytearray, memoryview, _UInt8Array, Sequence[SupportsIndex]]
# Dimensions: any sequence of ints in the signed 64-bit range (a str is refused).
_Shape = Sequence[SupportsIndex]
# additional_inputs values: (shape, dtype, data).
_NamedInput = Tuple[_Shape, str, _TensorData]

@final
class ZeltoClient:
    def __new__(
        cls,
        endpoint: Optional[str] = None,
        *,
        protocol: Optional[str] = None,
        host: Optional[str] = None,
        port: Optional[SupportsIndex] = None,
        socket_path: Optional[str] = None,
        pipe_name: Optional[str] = None,
        max_pool_size: SupportsIndex = ...,
        api_token: Optional[str] = None,
    ) -> "ZeltoClient": ...
    def protocol(self) -> str: ...
    def endpoint(self) -> str: ...
    def infer(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _TensorData,
        additional_inputs: Optional[Dict[str, _NamedInput]] = None,
        session_id: Optional[str] = None,
    ) -> bytes: ...
    def infer_tensor(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _TensorData,
        additional_inputs: Optional[Dict[str, _NamedInput]] = None,
        session_id: Optional[str] = None,
    ) -> Tuple[bytes, List[int], str]:
        """Like `infer` but returns `(data, shape, dtype)` so the caller knows
        how to interpret the output bytes without hardcoding dimensions.
        Essential for models whose output shape varies (diffusion, video, TTS)."""
    def infer_stream(
        self,
        model_id: SupportsIndex,
        shape: _Shape,
        dtype: str,
        data: _TensorData,
        additional_inputs: Optional[Dict[str, _NamedInput]] = None,
        session_id: Optional[str] = None,
    ) -> "StreamIterator": ...

@final
class ZeltoShmClient:
    """Wrapper for the shared memory client."""

    def __new__(cls, shm_name: str) -> "ZeltoShmClient": ...
    def infer(self, shape: _Shape, dtype: str, data: _TensorData) -> bytes: ...

@final
class ZeltoHybridClient:
    def __new__(cls, shm_name: str, socket_path: str) -> "ZeltoHybridClient": ...
    def infer(self, shape: _Shape, dtype: str, data: _TensorData) -> bytes: ...

# Returned by ZeltoClient.infer_stream. It is no attribute of the module at run time and cannot
# be constructed: type_check_only lets checkers flag any use outside annotations. Annotating with
# Iterator[bytes] needs neither quotes nor `from __future__ import annotations`.
@final
@type_check_only
class StreamIterator(Iterator[bytes]):
    def __iter__(self) -> "StreamIterator": ...
    def __next__(self) -> bytes: ...
