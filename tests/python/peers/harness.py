"""Building blocks of the hostile-engine and fault-injection tests: wire bytes written
independently of the library, the mirror peer process (mirror_peer.py), and shared regions laid
out by hand in /dev/shm."""

from __future__ import annotations

import mmap
import os
import select
import struct
import subprocess
import sys
import uuid
from pathlib import Path
from typing import List, Optional

PEERS = Path(__file__).parent
CLOSE, PATCH_OFFSET = 1, 4  # mirror_peer.py's steering bits (shape[0])
U64_MAX = (1 << 64) - 1

# --- wire bytes, written independently of the library ----------------------------------------


def u32(value: int) -> bytes:
    return struct.pack("<I", value)


def u64(value: int) -> bytes:
    return struct.pack("<Q", value)


def text(raw: bytes) -> bytes:
    return u64(len(raw)) + raw


def shape_bytes(shape) -> bytes:
    return u64(len(shape)) + b"".join(struct.pack("<q", d) for d in shape)


def packet(shape=(2, 3), dtype=b"float32", data: Optional[bytes] = bytes(range(24)),
           base64: Optional[bytes] = None) -> bytes:
    out = shape_bytes(shape) + text(dtype)
    out += b"\x00" if data is None else b"\x01" + text(data)
    out += b"\x00" if base64 is None else b"\x01" + text(base64)
    return out


def frame(word: int, body: bytes) -> bytes:
    """A reply frame (status, body) or a stream frame (kind, body)."""
    return u32(word) + u32(len(body)) + body


def hybrid_response(shm_offset: int, request_id: int = 1, shm_size: int = 128) -> bytes:
    return struct.pack("<QB7xQQQ", request_id, 0, 12345, shm_offset, shm_size)


# --- the mirror peer -------------------------------------------------------------------------


class MirrorPeer:
    """peers/mirror_peer.py serving one Unix socket (and reading one region, for op 4)."""

    def __init__(self, path: str, log: Path, region: Optional[str] = None):
        self.path = path
        self.log = log
        args = [sys.executable, str(PEERS / "mirror_peer.py"), path, str(log)]
        if region:
            args.append(region)
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        ready, _, _ = select.select([self.proc.stdout], [], [], 20)
        if not ready or self.proc.stdout.readline().strip() != b"ready":
            self.close()
            raise RuntimeError("mirror peer did not start")

    def events(self, kind: str) -> int:
        if not self.log.exists():
            return 0
        return sum(1 for line in self.log.read_text().splitlines() if line.split()[0] == kind)

    @property
    def accepted(self) -> int:
        return self.events("accept")

    def close(self) -> None:
        self.proc.kill()
        self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            stream.close()
        if os.path.exists(self.path):
            os.unlink(self.path)


def short_socket_path() -> str:
    directory = Path("/tmp") / f"zh-{uuid.uuid4().hex[:10]}"
    directory.mkdir()
    return str(directory / "peer.sock")


# --- a shared region laid out by hand --------------------------------------------------------

MAGIC, VERSION = 0x41494D4F, 1
REQUEST_RING, RESPONSE_RING = 4096, 4096 + 40960
POOL = RESPONSE_RING + 49152  # 94208
POOL_SIZE = 100000  # one class of one 100000-byte slot: a leaked slot shows at once
TAIL = 1 << 16  # after the pool: where these tests put result blocks and error texts
REGION_SIZE = POOL + POOL_SIZE + TAIL
END = REGION_SIZE


def header_bytes(magic=MAGIC, version=VERSION, request_ring=REQUEST_RING, response_ring=RESPONSE_RING,
                 pool_offset=POOL, pool_size=POOL_SIZE, notify_fd=-1) -> bytes:
    return struct.pack("<IIQQQQi", magic, version, request_ring, response_ring, pool_offset,
                       pool_size, notify_fd)


class CraftedRegion:
    """A /dev/shm object written by this test: magic 0x41494D4F LE, version 1, ring and pool
    offsets, pool_size (u64) and notify_fd (i32), then whatever the case puts in."""

    def __init__(self, size: int = REGION_SIZE, header: Optional[bytes] = None):
        self.name = f"/zelto-hostile-{uuid.uuid4().hex[:12]}"
        self.path = Path("/dev/shm") / self.name.lstrip("/")
        self.size = size
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
        try:
            os.ftruncate(fd, size)
            head = header_bytes() if header is None else header
            os.pwrite(fd, head[:size], 0)
            self.map = mmap.mmap(fd, size) if size else None
        finally:
            os.close(fd)

    def u64_at(self, offset: int) -> int:
        return struct.unpack_from("<Q", self.map, offset)[0]

    def counters(self, ring: int, entry: int) -> List[int]:
        return [self.u64_at(ring + i * entry) for i in range(3)]

    def set_counters(self, ring: int, entry: int, values) -> None:
        for i, value in enumerate(values):
            struct.pack_into("<Q", self.map, ring + i * entry, value)

    def answer(self, request_id: int = 1, status: int = 0, shm_offset: int = 0,
               error_offset: int = 0) -> None:
        """Publishes one response entry in cell 0 of the response ring."""
        struct.pack_into("<QB15xQQQ", self.map, RESPONSE_RING + 3 * 48, request_id, status,
                         shm_offset, 0, error_offset)
        self.set_counters(RESPONSE_RING, 48, [1, 1, 0])

    def block(self, offset: int, data_len: int, data: bytes = b"") -> None:
        """A tensor block header (1 dim) at `offset`, with as much data as fits."""
        head = struct.pack("<IB3x8qQ", 1, 0, len(data), *[0] * 7, data_len)
        room = self.size - offset
        self.map[offset:offset + min(80, room)] = head[:room]
        data = data[:max(0, room - 80)]
        if data:
            self.map[offset + 80:offset + 80 + len(data)] = data

    def error_text(self, offset: int, length: int, body: bytes = b"") -> None:
        room = self.size - offset
        self.map[offset:offset + min(8, room)] = u64(length)[:room]
        if body:
            self.map[offset + 8:offset + 8 + len(body)] = body

    def close(self) -> None:
        if self.map is not None:
            self.map.close()
        if self.path.exists():
            self.path.unlink()


# --- other peer processes ----------------------------------------------------------------------


class PeerProcess:
    """A peer script run as its own process; started, waited for "ready" (if it prints one)."""

    def __init__(self, script: str, *args: str, ready: bool = True):
        self.proc = subprocess.Popen([sys.executable, str(PEERS / script), *args],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        if ready:
            seen, _, _ = select.select([self.proc.stdout], [], [], 20)
            if not seen or self.proc.stdout.readline().strip() != b"ready":
                self.close()
                raise RuntimeError(f"{script} did not start")

    @property
    def pid(self) -> int:
        return self.proc.pid

    def output(self, timeout: float = 90) -> str:
        """Waits for the process to end and returns what it printed."""
        out, _ = self.proc.communicate(timeout=timeout)
        return out.decode().strip()

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate()


class Killer(PeerProcess):
    """kill_when_recorded.py: SIGKILL for `pid` once `path` has `lines` lines containing `match`,
    plus `delay` seconds."""

    def __init__(self, pid: int, path, lines: int, delay: float, match: str = ""):
        super().__init__("kill_when_recorded.py", str(pid), str(path), str(lines), repr(delay),
                         match, ready=False)


def count_lines(path, match: str = "") -> int:
    if not os.path.exists(path):
        return 0
    with open(path) as lines:
        return sum(1 for line in lines if match in line)
