"""Type information for the zelto_sdk extension module."""

from typing import Dict, List, Optional, Sequence, SupportsIndex, Tuple, Union, final

# Tensor bytes: any sequence of ints 0..255. bytes and bytearray are read in place; a memoryview
# of format 'B', a 1-D numpy uint8 array or array('B') costs one copy. A str is refused.
_TensorData = Union[bytes, bytearray, memoryview, Sequence[SupportsIndex]]
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

# Returned by ZeltoClient.infer_stream; not an attribute of the module at run time and not
# constructible, so use it in annotations only.
@final
class StreamIterator:
    def __iter__(self) -> "StreamIterator": ...
    def __next__(self) -> bytes: ...
