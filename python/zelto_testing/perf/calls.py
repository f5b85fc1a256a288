"""One callable per transport: the client is made once, each call sends the same tensor."""

from __future__ import annotations

from typing import Callable, List

import zelto_sdk

from .plan import Addresses, Target

Call = Callable[[], bytes]


def make_call(target: Target, addresses: Addresses, model_id: int, shape: List[int], dtype: str,
              data: bytes) -> Call:
    """A function doing one inference through `target`; constructing the client may raise
    (a missing region, for instance) just as a call may."""
    if target.transport in ("unix", "tcp"):
        client = zelto_sdk.ZeltoClient(target.address)
        return lambda: client.infer(model_id, shape, dtype, data)
    assert addresses.shm is not None
    if target.transport == "shm":
        shm = zelto_sdk.ZeltoShmClient(addresses.shm)
        return lambda: shm.infer(shape, dtype, data)
    assert addresses.unix is not None
    hybrid = zelto_sdk.ZeltoHybridClient(addresses.shm, addresses.unix)
    return lambda: hybrid.infer(shape, dtype, data)
