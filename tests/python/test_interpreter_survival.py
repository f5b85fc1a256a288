"""The module never kills the interpreter: real programs in their own processes, whose exit
status must be their own (never an abort or a fatal signal).

Shutdown with a thread inside a call: a daemon thread is inside a blocking call while the main
thread ends the program, and a slow finaliser keeps the interpreter finalising after the thread
may no longer take the interpreter lock back. CPython ends such a thread when it asks for the
lock; a ZeltoShmClient waiting on its notify descriptor (the one wait that releases the lock)
is ended that way once its answer comes, which the finaliser makes happen. The calls that keep
the lock (ZeltoClient, ZeltoHybridClient with its worker threads) end first and the thread is
ended in Python code."""

from __future__ import annotations

import subprocess
import sys
from pathlib import Path

import pytest

from conftest import make_eventfd

# {setup} builds `call`, a function making one blocking call; {gate} is the file whose creation
# lets the engine answer (or "" when the engine answers after a delay).
SHUTDOWN_PROGRAM = """
import os, threading, time
import zelto_sdk

{setup}
entered = threading.Event()

def inside_a_call():
    entered.set()
    call()
    os.write(1, b"the call returned\\n")  # only if the thread outlived the interpreter's end

threading.Thread(target=inside_a_call, daemon=True).start()
entered.wait()
time.sleep(0.3)  # well inside the call: the engine has not answered yet

class SlowFinaliser:
    # Collected while the interpreter finalises (a reference cycle), when other threads can no
    # longer take the interpreter lock; it lets the engine answer, then gives the thread time.
    def __del__(self, gate={gate!r}, sleep=time.sleep):
        if gate:
            open(gate, "w").close()
        sleep(1.5)

garbage = SlowFinaliser()
garbage.cycle = garbage
del garbage
os.write(1, b"main thread done\\n")
"""


def run_program(source: str, pass_fds=()) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", source], pass_fds=tuple(pass_fds),
                          capture_output=True, text=True, timeout=60)


def shm_with_notify(engines, shm_name, socket_path, tmp_path):
    gate = str(tmp_path / "gate")
    fd = make_eventfd()
    engines.start("--shm", shm_name, "--notify-fd", str(fd), "--shm-gate", gate, pass_fds=(fd,))
    setup = f"client = zelto_sdk.ZeltoShmClient({shm_name!r})\n" \
            "call = lambda: client.infer([3], 'uint8', b'abc')"
    return setup, gate, (fd,)


def socket_unary(engines, shm_name, socket_path, tmp_path):
    engines.start("--unix", socket_path, "--delay-ms", "700")
    setup = f"client = zelto_sdk.ZeltoClient({socket_path!r})\n" \
            "call = lambda: client.infer(1, [3], 'uint8', b'abc')"
    return setup, "", ()


def hybrid(engines, shm_name, socket_path, tmp_path):
    engines.start("--shm", shm_name, "--unix", socket_path, "--delay-ms", "700")
    setup = f"client = zelto_sdk.ZeltoHybridClient({shm_name!r}, {socket_path!r})\n" \
            "client.infer([1], 'uint8', b'x')  # connected, worker threads running\n" \
            "call = lambda: client.infer([3], 'uint8', b'abc')"
    return setup, "", ()


@pytest.mark.parametrize("arrange", [shm_with_notify, socket_unary, hybrid],
                         ids=["shm-notify-wait", "socket", "hybrid"])
def test_a_daemon_thread_inside_a_call_at_exit_does_not_abort(
        engines, shm_name, socket_path, tmp_path: Path, arrange):
    setup, gate, fds = arrange(engines, shm_name, socket_path, tmp_path)
    finished = run_program(SHUTDOWN_PROGRAM.format(setup=setup, gate=gate), pass_fds=fds)
    assert (finished.returncode, finished.stderr) == (0, ""), finished.stdout
    assert "main thread done" in finished.stdout
    if gate:
        # The engine answered (the finaliser opened the gate) while the interpreter finalised:
        # the thread was ended on its way back, not left waiting in the kernel.
        assert "the call returned" not in finished.stdout
