"""What a user would pick instead of zelto_sdk, each with its natural server, for the benchmark.

Clients (used in the driver's process):
- ``PySocketClient``: the engine's own socket protocol written with ``socket`` and ``struct``
  only, against the same zelto-mock-engine.
- ``ZmqClient``: pyzmq REQ socket over ``ipc://`` to a REP echo server process.
- ``GrpcClient``: grpcio unary call over a Unix socket, raw bytes in and out (generic handler,
  identity serializers, no generated code), to an echo server process.
- ``ShmPipeClient``: ``multiprocessing.shared_memory`` for the bytes, a pair of pipes for the
  signal; the server process copies the input region to the output region.

Servers: ``python peers.py serve zmq|grpc|shmpipe ...`` prints "ready" once it listens and runs
until it is terminated (SIGTERM) or its input pipe closes.
"""

from __future__ import annotations

import os
import signal
import socket
import struct
import subprocess
import sys
from typing import List, Optional, Sequence

# ---------------------------------------------------------------------------------------------
# The engine's socket protocol in plain Python.

_FRAME = struct.Struct("<III")  # model_id, op, payload_len
_REPLY = struct.Struct("<II")  # status, body_len
_U64 = struct.Struct("<Q")
# data_base64 absent, additional_inputs count 0, session_id absent, metadata absent
_REQUEST_TAIL = b"\x00" + bytes(8) + b"\x00" + b"\x00"
OP_INFER = 1


def encode_request(shape: Sequence[int], dtype: str, data: bytes) -> bytes:
    """The InferenceRequest record: the input tensor and nothing else."""
    dt = dtype.encode()
    head = struct.pack(f"<Q{len(shape)}qQ{len(dt)}sBQ", len(shape), *shape, len(dt), dt, 1, len(data))
    return b"".join((head, data, _REQUEST_TAIL))


def decode_tensor_data(body) -> bytes:
    """The data bytes of a tensor packet payload (raw data only; the mock engine never sends base64)."""
    (ndim,) = _U64.unpack_from(body, 0)
    offset = 8 + 8 * ndim
    (dtype_len,) = _U64.unpack_from(body, offset)
    offset += 8 + dtype_len
    if body[offset] != 1:
        raise RuntimeError("reply without raw data")
    (data_len,) = _U64.unpack_from(body, offset + 1)
    start = offset + 9
    if start + data_len > len(body):
        raise RuntimeError("short reply body")
    return bytes(memoryview(body)[start:start + data_len])


class PySocketClient:
    """One persistent connection; the request frame in one sendall, the reply read exactly."""

    def __init__(self, endpoint: str) -> None:
        if endpoint.startswith("unix://"):
            self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            self.sock.connect(endpoint[len("unix://"):])
        elif endpoint.startswith("tcp://"):
            host, port = endpoint[len("tcp://"):].rsplit(":", 1)
            self.sock = socket.create_connection((host, int(port)))
            self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        else:
            raise ValueError(f"unknown endpoint {endpoint!r}")

    def _recv_exact(self, n: int) -> bytearray:
        buf = bytearray(n)
        view = memoryview(buf)
        got = 0
        while got < n:
            k = self.sock.recv_into(view[got:])
            if k == 0:
                raise ConnectionError("engine closed the connection")
            got += k
        return buf

    def infer(self, model_id: int, shape: Sequence[int], dtype: str, data: bytes) -> bytes:
        payload = encode_request(shape, dtype, data)
        self.sock.sendall(b"".join((_FRAME.pack(model_id, OP_INFER, len(payload)), payload)))
        status, body_len = _REPLY.unpack(self._recv_exact(_REPLY.size))
        body = self._recv_exact(body_len)
        if status != 0:
            raise RuntimeError(body.decode("utf-8", "replace"))
        return decode_tensor_data(body)

    def close(self) -> None:
        self.sock.close()


# ---------------------------------------------------------------------------------------------
# Peer servers, each in its own process.

MAX_MESSAGE = 64 << 20
GRPC_METHOD = "/zeltobench.Echo/Echo"
GRPC_OPTIONS = [
    ("grpc.max_receive_message_length", MAX_MESSAGE),
    ("grpc.max_send_message_length", MAX_MESSAGE),
]


def serve_zmq(address: str) -> None:
    import zmq

    ctx = zmq.Context()
    sock = ctx.socket(zmq.REP)
    sock.bind(address)
    print("ready", flush=True)
    while True:
        sock.send(sock.recv(copy=False), copy=False)


def serve_grpc(address: str) -> None:
    from concurrent import futures

    import grpc

    def echo(request: bytes, context) -> bytes:
        return request

    handler = grpc.method_handlers_generic_handler(
        "zeltobench.Echo", {"Echo": grpc.unary_unary_rpc_method_handler(echo)}
    )
    server = grpc.server(futures.ThreadPoolExecutor(max_workers=1), options=GRPC_OPTIONS)
    server.add_generic_rpc_handlers((handler,))
    server.add_insecure_port(address)
    server.start()
    print("ready", flush=True)
    server.wait_for_termination()  # SIGTERM ends the process


def _attach_untracked(name: str):
    from multiprocessing import resource_tracker, shared_memory

    shm = shared_memory.SharedMemory(name=name)
    # The client created the region and will unlink it; this process only borrows it.
    try:
        resource_tracker.unregister(shm._name, "shared_memory")  # type: ignore[attr-defined]
    except Exception:
        pass
    return shm


def serve_shmpipe(name: str, capacity: int, request_fd: int, reply_fd: int) -> None:
    shm = _attach_untracked(name)
    view = shm.buf
    source, target = view[:capacity], view[capacity:2 * capacity]
    print("ready", flush=True)
    while True:
        msg = os.read(request_fd, 8)
        if len(msg) < 8:
            break
        (n,) = _U64.unpack(msg)
        target[:n] = source[:n]
        os.write(reply_fd, msg)
    del source, target, view
    shm.close()


# ---------------------------------------------------------------------------------------------
# Peer clients, and the processes behind them.


def stop_process(proc: subprocess.Popen) -> None:
    """SIGTERM, then SIGKILL if the process has not exited within 10 s."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class PeerServer:
    """A peer's server process; `stop` ends it."""

    def __init__(self, args: List[str], pass_fds: Sequence[int] = ()) -> None:
        self.proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "serve", *args],
            stdout=subprocess.PIPE,
            pass_fds=tuple(pass_fds),
        )
        assert self.proc.stdout is not None
        line = self.proc.stdout.readline().strip()
        if line != b"ready":
            self.stop()
            raise RuntimeError(f"peer server {args[0]} did not start")

    def stop(self) -> None:
        stop_process(self.proc)


class ZmqClient:
    def __init__(self, address: str) -> None:
        import zmq

        self.ctx = zmq.Context()
        self.sock = self.ctx.socket(zmq.REQ)
        self.sock.connect(address)

    def infer(self, data: bytes) -> bytes:
        self.sock.send(data)
        return self.sock.recv()

    def close(self) -> None:
        self.sock.close(linger=0)
        self.ctx.term()


class GrpcClient:
    def __init__(self, address: str) -> None:
        import grpc

        self.channel = grpc.insecure_channel(address, options=GRPC_OPTIONS)
        self.call = self.channel.unary_unary(GRPC_METHOD)

    def infer(self, data: bytes) -> bytes:
        return self.call(data)

    def close(self) -> None:
        self.channel.close()


class ShmPipeClient:
    """Creates the region (input half, output half) and the two pipes, then starts the server."""

    def __init__(self, capacity: int) -> None:
        from multiprocessing import shared_memory

        self.capacity = capacity
        self.shm = shared_memory.SharedMemory(create=True, size=2 * capacity)
        self.source = self.shm.buf[:capacity]
        self.target = self.shm.buf[capacity:2 * capacity]
        req_r, self.req_w = os.pipe()
        self.rep_r, rep_w = os.pipe()
        self.server = PeerServer(["shmpipe", self.shm.name, str(capacity), str(req_r), str(rep_w)],
                                 pass_fds=(req_r, rep_w))
        os.close(req_r)
        os.close(rep_w)

    def infer(self, data: bytes) -> bytes:
        n = len(data)
        self.source[:n] = data
        os.write(self.req_w, _U64.pack(n))
        msg = os.read(self.rep_r, 8)
        if len(msg) < 8:
            raise ConnectionError("shm-pipe server went away")
        return bytes(self.target[:_U64.unpack(msg)[0]])

    def close(self) -> None:
        os.close(self.req_w)
        self.server.stop()
        os.close(self.rep_r)
        self.source.release()
        self.target.release()
        self.shm.close()
        self.shm.unlink()


def main(argv: Optional[List[str]] = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) >= 2 and argv[0] == "serve":
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        kind, rest = argv[1], argv[2:]
        if kind == "zmq":
            serve_zmq(rest[0])
        elif kind == "grpc":
            serve_grpc(rest[0])
        elif kind == "shmpipe":
            serve_shmpipe(rest[0], int(rest[1]), int(rest[2]), int(rest[3]))
        else:
            print(f"unknown server {kind}", file=sys.stderr)
            return 2
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
