"""The engine killed with SIGKILL while calls are in flight, then started again at the same socket
path or region name; each client must behave as documented and lose no descriptor and no slot.

A call is held in flight - for far longer than any kill takes - by the engine's --delay-ms
(with --delay-model for the socket client, so other calls go through), by --shm-gate or a peer
that answers late (shared memory), or by a stream that stops sending.
peers/kill_when_recorded.py, a separate process (the clients keep the interpreter lock while
they wait), watches the record for the request and kills the engine a random time later. The times come from one seeded generator:
ZELTO_FAULT_SEED picks another sequence, and every failure message names the seed in use.

What the clients do, as observed here:
- ZeltoClient: the read fails, the call reconnects once; with the engine down that reconnect is
  refused, so the call raises ConnectionError "Connection refused (os error 111)". A connection
  left stale in the pool by a restart is retried on a fresh connection and the call succeeds.
- StreamIterator: frames already received are still yielded, then __next__ raises RuntimeError.
- ZeltoShmClient: the call times out (TimeoutError "Request timed out", after ~6 s). The mock
  engine's region goes with it: a restarted engine makes a new object under the same name, and
  an existing client keeps the mapping of the old, unlinked one - it only ever times out again.
  A new client object works. Against an engine side that attaches to the same region again
  (peers/shm_echo_peer.py) the same client object keeps working.
- ZeltoHybridClient: the call raises RuntimeError; the broken socket is dropped and every later
  call connects again, so calls succeed once the engine is back.
"""

from __future__ import annotations

import gc
import os
import random
import signal
import struct
from pathlib import Path
from typing import List

import pytest

from peers.harness import (PATCH_OFFSET, POOL_SIZE, CraftedRegion, Killer, MirrorPeer,
                           PeerProcess, count_lines, frame, hybrid_response, short_socket_path)
from zelto_sdk import ZeltoClient, ZeltoHybridClient, ZeltoShmClient

SEED = int(os.environ.get("ZELTO_FAULT_SEED", "20240917"))
REFUSED = "Connection refused (os error 111)"
FILL_FAILED = "failed to fill whole buffer"
# Texts of a Unix stream cut by the peer's death, depending on where the client was.
CUT_TEXTS = ("early eof", "Broken pipe (os error 32)", "Connection reset by peer (os error 104)")
RECONNECT_TEXTS = (REFUSED,) + CUT_TEXTS[1:] + (FILL_FAILED,)
HOLD_MS = 30000  # a held reply waits this long: every kill lands inside it, however slow the box


def fd_count() -> int:
    # Objects of earlier tests that sit in reference cycles (an exception's traceback holds its
    # frame) may still hold pipes; collect them so that only this test's descriptors count.
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


def rng_for(name: str) -> random.Random:
    return random.Random(f"{SEED}-{name}")


def kill_offset(rng: random.Random) -> float:
    """Seconds after the engine has the request."""
    return rng.uniform(0.0, 0.25)


# =============================================================================================
# ZeltoClient
# =============================================================================================


def test_unary_engine_killed_in_flight(engines, socket_path, record_path):
    rng = rng_for("unary")
    # Model 2 is held; the others are answered at once.
    knobs = ("--unix", socket_path, "--record", record_path, "--delay-ms", str(HOLD_MS),
             "--delay-model", "2")
    engine = engines.start(*knobs)
    client = ZeltoClient(socket_path)
    assert client.infer(1, [1], "uint8", b"0") == b"0"
    baseline = fd_count()  # one pooled connection

    faults = 4
    for fault in range(faults):
        killer = Killer(engine.proc.pid, record_path, count_lines(record_path, "frame") + 1,
                        kill_offset(rng), "frame")
        with pytest.raises(ConnectionError) as caught:
            client.infer(2, [1], "uint8", b"x")
        # The read failed and the call reconnected once. Mostly nobody listens on the stale
        # socket file any more; but the kernel closes a killed process's descriptors one by one,
        # and a reconnect that slips in before the listener is gone is reset with it.
        assert caught.value.args[0] in RECONNECT_TEXTS, f"seed {SEED}, fault {fault}: {caught.value.args}"
        assert type(caught.value) is ConnectionError
        assert killer.output() == "killed"
        engine.stop()
        # Down is down: a call now fails at once with the refused connect...
        with pytest.raises(ConnectionError) as down:
            client.infer(3, [1], "uint8", b"y")
        assert down.value.args == (REFUSED,)
        # ...and once the engine is back at the same path, the next call simply works.
        engine = engines.start(*knobs)
        data = bytes([fault, rng.randrange(256)])
        assert client.infer(4, [2], "uint8", data) == data
    assert fd_count() == baseline, f"seed {SEED}"


def test_unary_engine_killed_between_calls(engines, socket_path, record_path):
    """The pooled connection goes stale; the call retries once on a fresh one and succeeds."""
    rng = rng_for("between")
    knobs = ("--unix", socket_path, "--record", record_path)
    engine = engines.start(*knobs)
    client = ZeltoClient(socket_path, max_pool_size=1)
    assert client.infer(1, [1], "uint8", b"0") == b"0"
    baseline = fd_count()
    faults = 5
    for fault in range(faults):
        for _ in range(rng.randrange(1, 20)):
            assert client.infer(1, [1], "uint8", b"a") == b"a"
        os.kill(engine.proc.pid, signal.SIGKILL)
        engine.stop()
        engine = engines.start(*knobs)
        data = bytes([fault])
        assert client.infer(2, [1], "uint8", data) == data, f"seed {SEED}, fault {fault}"
        assert fd_count() == baseline


def test_stream_engine_killed_while_the_reader_waits(engines, socket_path, record_path):
    rng = rng_for("stream")
    knobs = ("--unix", socket_path, "--record", record_path, "--stream", "data,data,data,hold")
    engine = engines.start(*knobs)
    client = ZeltoClient(socket_path)
    baseline = fd_count()
    faults = 4
    for fault in range(faults):
        data = bytes([fault, 1, 2])
        killer = Killer(engine.proc.pid, record_path, count_lines(record_path, "frame") + 1,
                        kill_offset(rng), "frame")
        stream = client.infer_stream(5, [3], "uint8", data)
        items: List[bytes] = []
        with pytest.raises(RuntimeError) as caught:
            for item in stream:
                items.append(item)
        # Whatever frames had arrived before the kill are delivered, then the read fails.
        assert items == [data] * len(items) and len(items) <= 3, f"seed {SEED}, fault {fault}"
        assert caught.value.args[0] in (FILL_FAILED, CUT_TEXTS[2]), caught.value.args
        assert type(caught.value) is RuntimeError
        # The iterator does not remember: the connection is still dead on the next read.
        with pytest.raises(RuntimeError):
            next(stream)
        assert killer.output() == "killed"
        del stream
        engine.stop()
        with pytest.raises(ConnectionError) as down:
            client.infer_stream(5, [1], "uint8", b"z")
        assert down.value.args == (REFUSED,)
        engine = engines.start(*knobs)
    assert fd_count() == baseline, f"seed {SEED}"


# =============================================================================================
# ZeltoShmClient
# =============================================================================================


def unlink_region(name: str) -> None:
    """What a supervisor does after SIGKILL: the dead engine could not remove its region."""
    (Path("/dev/shm") / name.lstrip("/")).unlink()


def test_shm_engine_killed_in_flight_and_restarted(engines, shm_name, record_path, tmp_path):
    rng = rng_for("shm")
    gate = tmp_path / "never"  # the engine takes requests but never answers them
    engine = engines.start("--shm", shm_name, "--record", record_path, "--pool-size", "100000",
                           "--shm-gate", str(gate))
    baseline = fd_count()
    old = ZeltoShmClient(shm_name)
    killer = Killer(engine.proc.pid, record_path, 1, kill_offset(rng), "id=")
    with pytest.raises(TimeoutError) as caught:
        old.infer([1], "uint8", b"x")
    assert caught.value.args == ("Request timed out",)
    assert killer.output() == "killed"
    engine.stop()

    unlink_region(shm_name)
    engines.start("--shm", shm_name, "--pool-size", "100000")
    # The old object still maps the unlinked region, where nobody answers. It times out again -
    # rather than reporting an exhausted pool, so the one slot was given back after the first.
    with pytest.raises(TimeoutError):
        old.infer([1], "uint8", bytes(100000 - 80))
    new = ZeltoShmClient(shm_name)
    assert new.infer([4], "uint8", b"anew") == b"anew"
    del old, new
    assert fd_count() == baseline


@pytest.fixture
def persistent_region():
    region = CraftedRegion()
    yield region
    region.close()


def test_shm_engine_side_killed_and_restarted_on_the_same_region(persistent_region, tmp_path):
    rng = rng_for("shm-peer")
    region = persistent_region
    log = tmp_path / "peer.log"
    whole_slot = bytes(range(256)) * (POOL_SIZE // 256) + bytes(POOL_SIZE % 256 - 80)
    assert len(whole_slot) + 80 == POOL_SIZE  # the pool's one slot, all of it
    peers = [PeerProcess("shm_echo_peer.py", region.name, str(log), "0")]

    def replace_peer(*args: str) -> None:
        peers[-1].close()
        peers.append(PeerProcess("shm_echo_peer.py", region.name, str(log), *args))

    try:
        client = ZeltoShmClient(region.name)
        assert client.infer([1], "uint8", b"a") == b"a"
        baseline = fd_count()

        # Faults 1..3: killed while idle. The next request is queued with no engine side at all
        # and answered once a new one attaches, a random moment later (well within the limit).
        faults = 3
        for fault in range(1, faults + 1):
            os.kill(peers[-1].pid, signal.SIGKILL)
            replace_peer("0", str(rng.randrange(50, 800)))
            data = bytes([fault]) * fault
            assert client.infer([fault], "uint8", data) == data, f"seed {SEED}, fault {fault}"

        # Fault 4: killed while it holds the request. The call times out and frees its slot...
        os.kill(peers[-1].pid, signal.SIGKILL)
        replace_peer(str(HOLD_MS))
        killer = Killer(peers[-1].pid, log, count_lines(log, "request") + 1, kill_offset(rng), "request")
        with pytest.raises(TimeoutError) as caught:
            client.infer([1], "uint8", b"b")
        assert caught.value.args == ("Request timed out",)
        assert killer.output() == "killed"
        # ...so with a new engine side on the region, a call needing that whole slot succeeds.
        replace_peer("0")
        assert client.infer([len(whole_slot)], "uint8", whole_slot) == whole_slot
        assert fd_count() == baseline
    finally:
        for peer in peers:
            peer.close()


# =============================================================================================
# ZeltoHybridClient
# =============================================================================================


def test_hybrid_engine_killed_in_flight(engines, shm_name, socket_path, record_path):
    rng = rng_for("hybrid")
    knobs = ("--unix", socket_path, "--shm", shm_name, "--record", record_path, "--pool-size", "100000")
    engine = engines.start(*knobs, "--delay-ms", str(HOLD_MS))  # every reply held
    baseline = fd_count()
    client = ZeltoHybridClient(shm_name, socket_path)
    killer = Killer(engine.proc.pid, record_path, 1, kill_offset(rng), "frame")
    with pytest.raises(RuntimeError) as caught:
        client.infer([1], "uint8", b"b")
    assert caught.value.args[0] in CUT_TEXTS, caught.value.args
    assert killer.output() == "killed"
    engine.stop()
    # The cut socket was dropped: each later call connects again - refused while nobody listens,
    # and asking for the pool's one slot each time, which the failed calls gave back.
    for _ in range(3):
        with pytest.raises(RuntimeError) as down:
            client.infer([1], "uint8", bytes(100000 - 80))
        assert down.value.args == (REFUSED,)
    unlink_region(shm_name)
    engine = engines.start(*knobs)
    fresh = ZeltoHybridClient(shm_name, socket_path)
    assert fresh.infer([3], "uint8", b"new") == b"new"
    del client, fresh
    assert fd_count() == baseline


def test_hybrid_client_follows_a_recreated_region_instead_of_returning_wrong_bytes(
        engines, shm_name, socket_path):
    """The engine restarts and recreates its region under the same name. The client's mapping
    is the old, unlinked object, where the new engine's offsets would read stale bytes; the
    client attaches to the new region before it reconnects, so results stay right."""
    knobs = ("--unix", socket_path, "--shm", shm_name)
    engine = engines.start(*knobs)
    client = ZeltoHybridClient(shm_name, socket_path)
    assert client.infer([3], "uint8", b"old") == b"old"
    os.kill(engine.proc.pid, signal.SIGKILL)
    engine.stop()
    unlink_region(shm_name)
    engines.start(*knobs)
    # The first call still runs on the dead connection, fails and drops it.
    with pytest.raises(RuntimeError) as caught:
        client.infer([1], "uint8", b"x")
    assert caught.value.args[0] == "early eof" or "(os error" in caught.value.args[0]
    for data in (b"new1", b"new22"):
        assert client.infer([len(data)], "uint8", data) == data


def test_hybrid_socket_side_killed_region_kept(persistent_region, tmp_path):
    """The socket server dies and comes back; the region stays. The same client object
    reconnects, and after every failure the pool's one slot is whole again."""
    rng = rng_for("hybrid-peer")
    region = persistent_region
    path = short_socket_path()
    log = tmp_path / "peer.log"
    peer = MirrorPeer(path, log, region.name)
    peers = [peer]
    try:
        client = ZeltoHybridClient(region.name, path)
        reply = frame(0, hybrid_response(0))
        assert client.infer([PATCH_OFFSET], "uint8", reply) == reply
        baseline = fd_count()
        # A success reply whose body fills the whole slot: 40 bytes of response, the rest ignored.
        padding = POOL_SIZE - 80 - 48
        whole = struct.pack("<II", 0, 40 + padding) + hybrid_response(0) + bytes(padding)
        faults = 4
        for fault in range(faults):
            killer = Killer(peers[-1].proc.pid, log, count_lines(log, "frame") + 1,
                            kill_offset(rng), "frame")
            with pytest.raises(RuntimeError) as caught:
                client.infer([PATCH_OFFSET, 0, HOLD_MS], "uint8", reply)
            assert caught.value.args[0] in CUT_TEXTS, f"seed {SEED}, fault {fault}: {caught.value.args}"
            assert killer.output() == "killed"
            peers[-1].close()
            peers.append(MirrorPeer(path, log, region.name))
            assert client.infer([PATCH_OFFSET], "uint8", whole) == whole
        assert fd_count() == baseline
        # Each recovery took exactly one new connection.
        assert count_lines(log, "accept") == 1 + faults
    finally:
        for each in peers:
            each.close()
        os.rmdir(os.path.dirname(path))
