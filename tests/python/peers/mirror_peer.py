"""A hostile engine whose every reply is dictated by the request that provokes it.

The clients keep the interpreter lock while they block on the socket, so a peer on a thread of
the test process could never answer: this runs as its own process.

    python mirror_peer.py SOCKET_PATH LOG_PATH [REGION_NAME]

For each request frame the peer writes back raw bytes taken from the request's own input tensor,
so one long-lived peer can play any number of hostile cases without being told about them:

  op 1 and op 2   the input tensor of the InferenceRequest: its data bytes are the reply,
                  written verbatim (headers included: the test builds the whole frame)
  op 4            the tensor block that the HybridRequest names in the shared region
                  REGION_NAME: its data bytes are the reply

The first three dimensions of that tensor steer the peer:

  shape[0]  a bit set   1  close the connection after the reply
                        4  (op 4) patch bytes 32..39 of the reply - the shm_offset of a
                           HybridResponse behind an 8-byte reply header - with the request's
                           own block offset, so the client reads its own block back
  shape[1]  filler: this many bytes of 0xEE follow the reply bytes (real bytes on the wire, to
            show that memory follows what arrives and not what a header announces)
  shape[2]  delay: wait this many milliseconds (after logging the frame) before replying, so a
            call can be caught in flight

Without the close bit the connection stays open and the next frame is read. Every event is
appended to LOG_PATH at once: "accept", "frame <op> <payload_len>", "eof". Each connection is
served on a thread of its own, so a client that keeps an idle connection open (in its pool, or a
stream nobody reads) never keeps the next client waiting. The peer ends by itself after an hour
at most, and whenever its standard input closes.
"""

from __future__ import annotations

import mmap
import os
import select
import signal
import socket
import stat
import struct
import sys
import threading
import time
from pathlib import Path

CLOSE, PATCH_OFFSET = 1, 4
FILLER_CHUNK = b"\xee" * (1 << 20)


class Closed(Exception):
    """The client closed its end before a whole frame arrived."""


def recv_exact(conn: socket.socket, size: int) -> bytes:
    parts = []
    while size:
        chunk = conn.recv(min(size, 1 << 20))
        if not chunk:
            raise Closed()
        parts.append(chunk)
        size -= len(chunk)
    return b"".join(parts)


def parse_tensor(payload: bytes, offset: int = 0):
    """(shape, data) of the BinaryTensorPacketPayload at `offset` (the request's input)."""
    (ndim,) = struct.unpack_from("<Q", payload, offset)
    offset += 8
    shape = list(struct.unpack_from(f"<{ndim}q", payload, offset))
    offset += 8 * ndim
    (dtype_len,) = struct.unpack_from("<Q", payload, offset)
    offset += 8 + dtype_len
    if payload[offset] != 1:
        return shape, b""
    (data_len,) = struct.unpack_from("<Q", payload, offset + 1)
    start = offset + 9
    return shape, payload[start:start + data_len]


def parse_block(region: mmap.mmap, block_offset: int):
    """(shape, data) of the ShmTensorBlock at `block_offset` of the region."""
    ndim, = struct.unpack_from("<I", region, block_offset)
    dims = struct.unpack_from("<8q", region, block_offset + 8)
    (data_len,) = struct.unpack_from("<Q", region, block_offset + 72)
    start = block_offset + 80
    return list(dims[:min(ndim, 8)]), bytes(region[start:start + data_len])


class Peer:
    def __init__(self, path: str, log_path: str, region_name: str | None) -> None:
        self.log = open(log_path, "a", buffering=1)
        self.log_lock = threading.Lock()
        self.region = None
        if region_name:
            with open(Path("/dev/shm") / region_name.lstrip("/"), "rb") as handle:
                self.region = mmap.mmap(handle.fileno(), 0, access=mmap.ACCESS_READ)
        # A peer killed earlier on this path leaves its socket file behind; a restart replaces it.
        if os.path.exists(path) and stat.S_ISSOCK(os.lstat(path).st_mode):
            os.unlink(path)
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(64)

    def note(self, line: str) -> None:
        with self.log_lock:
            self.log.write(line + "\n")

    def reply_for(self, op: int, payload: bytes):
        if op == 4:
            (block_offset,) = struct.unpack_from("<Q", payload, 24)
            shape, data = parse_block(self.region, block_offset)
        else:
            shape, data = parse_tensor(payload)
            block_offset = 0
        flags = shape[0] if shape else 0
        filler = shape[1] if len(shape) > 1 else 0
        delay = shape[2] if len(shape) > 2 else 0
        if flags & PATCH_OFFSET and len(data) >= 40:
            data = data[:32] + struct.pack("<Q", block_offset) + data[40:]
        return flags, data, filler, delay

    def serve(self, conn: socket.socket) -> None:
        while True:
            try:
                model_id, op, payload_len = struct.unpack("<III", recv_exact(conn, 12))
                payload = recv_exact(conn, payload_len)
            except Closed:
                self.note("eof")
                return
            self.note(f"frame {op} {payload_len}")
            flags, reply, filler, delay = self.reply_for(op, payload)
            if delay > 0:
                time.sleep(delay / 1000)
            try:
                conn.sendall(reply)
                while filler > 0:
                    piece = FILLER_CHUNK[:min(filler, len(FILLER_CHUNK))]
                    conn.sendall(piece)
                    filler -= len(piece)
            except OSError:
                self.note("eof")
                return
            if flags & CLOSE:
                return

    def run(self) -> None:
        print("ready", flush=True)
        while True:
            conn, _ = self.listener.accept()
            self.note("accept")
            threading.Thread(target=self.serve_and_close, args=(conn,), daemon=True).start()

    def serve_and_close(self, conn: socket.socket) -> None:
        with conn:
            self.serve(conn)


def main() -> None:
    path, log_path = sys.argv[1], sys.argv[2]
    region_name = sys.argv[3] if len(sys.argv) > 3 else None
    # Bounded life: an hour at most, and gone as soon as the test process lets go of stdin.
    signal.alarm(3600)

    def watch_stdin() -> None:
        select.select([sys.stdin], [], [])
        os._exit(0)

    threading.Thread(target=watch_stdin, daemon=True).start()
    Peer(path, log_path, region_name).run()


if __name__ == "__main__":
    main()
