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

import json
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path
from typing import Iterator, List

import pytest

from conftest import engine_binary, make_eventfd
from peers.harness import (END, PATCH_OFFSET, POOL, POOL_SIZE, CraftedRegion, MirrorPeer, frame,
                           hybrid_response, short_socket_path)
from zelto_sdk import ZeltoHybridClient, ZeltoShmClient

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


def shm_waiting_for_its_turn(engines, shm_name, socket_path, tmp_path):
    """A second object of the region waits, without the interpreter lock, for the turn that a
    first one holds while it sleeps on the descriptor."""
    gate = str(tmp_path / "gate")
    fd = make_eventfd()
    engines.start("--shm", shm_name, "--notify-fd", str(fd), "--shm-gate", gate, pass_fds=(fd,))
    setup = f"holder = zelto_sdk.ZeltoShmClient({shm_name!r})\n" \
            "threading.Thread(target=lambda: holder.infer([1], 'uint8', b'h'), daemon=True).start()\n" \
            "time.sleep(0.3)  # the holder has the turn and sleeps on the descriptor\n" \
            f"client = zelto_sdk.ZeltoShmClient({shm_name!r})\n" \
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


@pytest.mark.parametrize("arrange", [shm_with_notify, shm_waiting_for_its_turn, socket_unary, hybrid],
                         ids=["shm-notify-wait", "shm-turn-wait", "socket", "hybrid"])
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


# --- region pages that the system cannot provide ----------------------------------------------
#
# An engine makes its region with ftruncate, which allocates nothing. A page the shared-memory
# file system has no room for, or one past the end of a region the engine shrank, raises SIGBUS
# when first touched; the clients report it as a RuntimeError and give the slot back.


@pytest.fixture
def crafted() -> Iterator:
    made: List[CraftedRegion] = []

    def make() -> CraftedRegion:
        made.append(CraftedRegion())
        return made[-1]

    yield make
    for region in made:
        region.close()


def assert_slot_given_back(client: ZeltoShmClient, region: CraftedRegion) -> None:
    """The pool's one slot is free again (a whole-pool tensor fits), and the client answers."""
    region.block(END - 84, 2, b"ok")
    region.answer(request_id=2, shm_offset=END - 84)
    assert client.infer([1], "uint8", bytes(POOL_SIZE - 80)) == b"ok"


def shrunk_text(name: str, offset: int, mapped: int, now: int) -> str:
    return (f"Shared memory region '{name}' could not provide the page at offset {offset} "
            f"(SIGBUS): the engine shrank the region from {mapped} to {now} bytes after this "
            "client attached")


SHRUNK_TO = POOL + 8192  # the pool's first slot still exists; the result block does not


def test_shm_client_reads_a_result_beyond_a_shrunk_region(crafted):
    region = crafted()
    region.block(END - 82, 2, b"ok")
    region.answer(shm_offset=END - 82)
    client = ZeltoShmClient(region.name)
    os.truncate(region.path, SHRUNK_TO)
    with pytest.raises(RuntimeError) as caught:
        client.infer([1], "uint8", b"x")
    # The fault is where the client first read beyond the end: the block's data_len field.
    assert caught.value.args == (shrunk_text(region.name, END - 82 + 72, END, SHRUNK_TO),)
    os.truncate(region.path, END)  # the engine grows it back: the slot was given back
    assert_slot_given_back(client, region)


def test_hybrid_client_reads_a_result_beyond_a_shrunk_region(crafted, tmp_path: Path):
    region = crafted()
    peer = MirrorPeer(short_socket_path(), tmp_path / "peer.log", region.name)
    try:
        client = ZeltoHybridClient(region.name, peer.path)
        os.truncate(region.path, SHRUNK_TO)
        with pytest.raises(RuntimeError) as caught:
            client.infer([0, 0], "uint8", frame(0, hybrid_response(END - 82)))
        assert caught.value.args == (shrunk_text(region.name, END - 82 + 72, END, SHRUNK_TO),)
        # The reply was consumed whole and the slot given back: the next call succeeds.
        reply = frame(0, hybrid_response(0))
        assert client.infer([PATCH_OFFSET, 0], "uint8", reply) == reply
    finally:
        peer.close()


# Run as root in a private mount namespace whose /dev/shm is a small tmpfs: an engine whose
# region is much larger, and tensors that grow until the file system has no room for them.
FULL_SHM_PROGRAM = r"""
import json, os, subprocess, sys, uuid
import zelto_sdk

engine_binary, socket_dir, transport, behaviour = sys.argv[1:5]
subprocess.run(["mount", "-t", "tmpfs", "-o", "size=24m", "tmpfs", "/dev/shm"], check=True)
name = f"/zelto-full-{uuid.uuid4().hex[:8]}"
path = os.path.join(socket_dir, "engine.sock")
engine = subprocess.Popen(
    [engine_binary, "--shm", name, "--unix", path, "--pool-size", str(160 << 20),
     "--shm-behaviour", behaviour, "--hybrid-behaviour", behaviour, "--print-ready"],
    stdout=subprocess.PIPE)
assert engine.stdout.readline() == b"ready\n"
make = {"shm": lambda: zelto_sdk.ZeltoShmClient(name),
        "hybrid": lambda: zelto_sdk.ZeltoHybridClient(name, path)}[transport]
outcomes = []
try:
    client = make()
    small = bytes(range(256)) * 4
    assert client.infer([len(small)], "uint8", small) == small
    for mib in (1, 3, 12, 40):
        data = bytes([mib]) * (mib << 20)
        try:
            outcomes.append(["ok", client.infer([len(data)], "uint8", data) == data])
        except RuntimeError as error:
            outcomes.append(["RuntimeError", str(error)])
    # Room again: the same object makes the call that failed, and a small one.
    subprocess.run(["mount", "-o", "remount,size=800m", "/dev/shm"], check=True)
    outcomes.append(["40 MiB again", client.infer([len(data)], "uint8", data) == data])
    outcomes.append(["small again", client.infer([len(small)], "uint8", small) == small])
finally:
    engine.terminate()
    engine.wait()
print(json.dumps({"name": name, "outcomes": outcomes}))
"""

NO_ROOM = re.compile(
    r"Shared memory region '(?P<name>[^']+)' could not provide the page at offset \d+ \(SIGBUS\): "
    r"the shared-memory file system holding it has no room for the region's pages "
    r"\(25165824 bytes in all, \d+ free; the region is (?P<size>\d+) bytes\)$")
ENGINE_NO_ROOM = re.compile(
    r"mock engine: the region could not provide the page at offset \d+ for the result \(SIGBUS\)$")


def run_with_a_small_dev_shm(*args: str) -> dict:
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root and unshare(1) for a private /dev/shm")
    finished = subprocess.run(
        ["unshare", "--mount", "--propagation", "private", sys.executable, "-c", FULL_SHM_PROGRAM,
         *args], capture_output=True, text=True, timeout=120)
    assert (finished.returncode, finished.stderr) == (0, ""), finished.stdout
    return json.loads(finished.stdout)


@pytest.mark.parametrize("transport", ["shm", "hybrid"])
def test_tensors_that_outgrow_the_dev_shm_file_system(transport, tmp_path: Path):
    """The engine answers in place, so the client's own copy into the slot is what runs out of
    room: RuntimeError with the file system's size, nothing killed, and once there is room
    again the same object makes the same call."""
    result = run_with_a_small_dev_shm(engine_binary(), str(tmp_path), transport, "in-place")
    outcomes = result["outcomes"]
    assert outcomes[:3] == [["ok", True]] * 3
    kind, text = outcomes[3]
    assert kind == "RuntimeError"
    matched = NO_ROOM.match(text)
    assert matched, text
    assert matched["name"] == result["name"] and int(matched["size"]) > 320 << 20
    assert outcomes[4:] == [["40 MiB again", True], ["small again", True]]


@pytest.mark.parametrize("transport", ["shm", "hybrid"])
def test_an_echoing_engine_that_runs_out_of_room_survives_too(transport, tmp_path: Path):
    """When the engine copies the result, either side may be the first to find no room; each
    says so, and both go on."""
    result = run_with_a_small_dev_shm(engine_binary(), str(tmp_path), transport, "echo")
    outcomes = result["outcomes"]
    failures = [text for kind, text in outcomes[1:4] if kind == "RuntimeError"]
    assert failures and all(NO_ROOM.match(t) or ENGINE_NO_ROOM.match(t) for t in failures), failures
    assert outcomes[4:] == [["40 MiB again", True], ["small again", True]]
