"""What one zelto-perf run measures: the transports with their addresses, the tensors, and how
long each (transport, size) pair is measured."""

from __future__ import annotations

import re
from dataclasses import dataclass, field
from typing import Dict, List, Optional, Tuple

# Bytes per element of the dtype names zelto-perf sends (the engine's canonical names).
ITEM_SIZES: Dict[str, int] = {"uint8": 1, "float16": 2, "int32": 4, "float32": 4, "int64": 8,
                              "float64": 8}
TRANSPORTS = ("unix", "tcp", "shm", "hybrid")
# A region's one response ring has one reading process at a time, so only one worker process
# may hold a ZeltoShmClient on it (ZeltoHybridClient objects of any number of processes share it).
ONE_CALLER_ONLY = ("shm",)
UNITS = {"": 1, "b": 1, "k": 1 << 10, "kb": 1 << 10, "kib": 1 << 10, "m": 1 << 20,
         "mb": 1 << 20, "mib": 1 << 20, "g": 1 << 30, "gb": 1 << 30, "gib": 1 << 30}


@dataclass(frozen=True)
class Target:
    transport: str  # one of TRANSPORTS
    address: str    # what the client is given, for the table and the JSON

    @property
    def label(self) -> str:
        return {"unix": "socket (unix)", "tcp": "socket (tcp)", "shm": "shared memory",
                "hybrid": "hybrid"}[self.transport]


@dataclass(frozen=True)
class Addresses:
    unix: Optional[str] = None
    tcp: Optional[Tuple[str, int]] = None
    shm: Optional[str] = None


@dataclass
class Plan:
    targets: List[Target]
    addresses: Addresses
    sizes: List[int]
    dtype: str = "float32"
    model_id: int = 0
    calls: int = 200
    duration: Optional[float] = None  # seconds per row; replaces `calls` when given
    warmup: int = 5
    concurrency: int = 1
    check_echo: bool = False
    max_errors: int = 10  # consecutive failed calls after which a row gives up
    notes: List[str] = field(default_factory=list)

    def shape_for(self, size: int) -> List[int]:
        return [size // ITEM_SIZES[self.dtype]]


def parse_size(text: str) -> int:
    """"4KiB" -> 4096, "1m" -> 1048576, "300" -> 300 (binary units, case ignored), and a
    difference such as "16MiB-80" (the largest tensor a 16 MiB pool slot holds)."""
    match = re.fullmatch(r"\s*(\d+)\s*([a-zA-Z]*)\s*(?:-\s*(\d+)\s*([a-zA-Z]*)\s*)?", text)
    units = [match.group(2).lower(), (match.group(4) or "").lower()] if match else []
    if not match or any(unit not in UNITS for unit in units):
        raise ValueError(f"not a size: {text!r} (write e.g. 4096, 4KiB, 1MiB, 16MiB-80)")
    size = int(match.group(1)) * UNITS[units[0]]
    if match.group(3):
        size -= int(match.group(3)) * UNITS[units[1]]
    if size < 1:
        raise ValueError(f"not a size: {text!r} (at least one byte)")
    return size


def parse_sizes(text: str, dtype: str) -> List[int]:
    sizes = [parse_size(part) for part in text.split(",") if part.strip()]
    if not sizes:
        raise ValueError("give at least one size")
    item = ITEM_SIZES[dtype]
    for size in sizes:
        if size % item:
            raise ValueError(f"{size} bytes is not a whole number of {dtype} elements "
                             f"({item} bytes each)")
    return sizes


def parse_tcp(text: str) -> Tuple[str, int]:
    """"HOST:PORT" or "PORT" (then on 127.0.0.1); a tcp:// prefix is allowed."""
    text = text[len("tcp://"):] if text.startswith("tcp://") else text
    host, _, port = text.rpartition(":")
    if not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError(f"not a TCP address: {text!r} (write HOST:PORT)")
    return host or "127.0.0.1", int(port)


def choose_targets(wanted: Optional[List[str]], addresses: Addresses) -> List[Target]:
    """The requested transports, or every one whose addresses were given."""
    available: Dict[str, Optional[str]] = {
        "unix": f"unix://{addresses.unix}" if addresses.unix else None,
        "tcp": f"tcp://{addresses.tcp[0]}:{addresses.tcp[1]}" if addresses.tcp else None,
        "shm": addresses.shm,
        "hybrid": f"{addresses.shm} + {addresses.unix}" if addresses.shm and addresses.unix
        else None,
    }
    needs = {"unix": "--unix PATH", "tcp": "--tcp HOST:PORT", "shm": "--shm NAME",
             "hybrid": "--shm NAME and --unix PATH"}
    names = wanted if wanted else [name for name in TRANSPORTS if available[name]]
    if not names:
        raise ValueError("give the engine's addresses (--unix, --tcp, --shm) or --mock-engine")
    targets = []
    for name in names:
        if name not in available:
            raise ValueError(f"unknown transport {name!r} (choose from {', '.join(TRANSPORTS)})")
        address = available[name]
        if address is None:
            raise ValueError(f"transport {name} needs {needs[name]}")
        targets.append(Target(name, address))
    return targets
