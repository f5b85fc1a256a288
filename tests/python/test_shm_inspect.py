"""zelto-shm-inspect against live engine regions and regions laid out by hand: what it prints
must be what the clients see (their checks, their carving of the pool, the rings' counters),
it must never write, and a missing or invalid region must say so with a failing status."""

from __future__ import annotations

import hashlib
import json
import os
import re
import subprocess
from pathlib import Path

import pytest

import zelto_sdk
from peers.harness import POOL, REQUEST_RING, RESPONSE_RING, CraftedRegion, header_bytes
from zelto_testing import find_executable

def inspect(*args: str, user: str = "") -> subprocess.CompletedProcess:
    command = [find_executable("zelto-shm-inspect"), *args]
    if user:
        command = ["setpriv", f"--reuid={user}", "--regid=nogroup", "--clear-groups", *command]
    return subprocess.run(command, capture_output=True, text=True, timeout=60)


def region_path(name: str) -> Path:
    return Path("/dev/shm") / name.lstrip("/")


def digest(name: str) -> str:
    return hashlib.sha256(region_path(name).read_bytes()).hexdigest()


@pytest.fixture
def crafted():
    made = []

    def make(**kwargs) -> CraftedRegion:
        made.append(CraftedRegion(**kwargs))
        return made[-1]

    yield make
    for region in made:
        region.close()


def test_text_report_of_a_live_region_after_calls(engines, shm_name):
    engines.start("--shm", shm_name, "--pool-size", str(1 << 20))
    client = zelto_sdk.ZeltoShmClient(shm_name)
    for _ in range(3):
        assert client.infer([4], "u8", b"abcd") == b"abcd"
    size = region_path(shm_name).stat().st_size
    result = inspect(shm_name)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    assert result.stdout == (
        f"region {shm_name}: {size} bytes\n"
        "header\n"
        "  magic                 0x41494d4f\n"
        "  version               1\n"
        "  request_ring_offset   4096\n"
        "  response_ring_offset  45056\n"
        "  pool_offset           94208\n"
        "  pool_size             1048576\n"
        "  notify_fd             -1 (none: clients poll)\n"
        "check: ok (the layout checks the clients make on attaching pass)\n"
        "tensor pool, carved as every client carves it (default size classes)\n"
        "  class           base   slot_size   slots       bytes\n"
        "  class0         94208      262144       4     1048576\n"
        "request ring (client -> engine) at offset 4096, 40-byte entries, capacity 1021\n"
        "  reserve_index 3  commit_index 3  read_index 3\n"
        "  queued 0 of 1020, reserved but unpublished 0\n"
        "response ring (engine -> client) at offset 45056, 48-byte entries, capacity 1021\n"
        "  reserve_index 3  commit_index 3  read_index 3\n"
        "  queued 0 of 1020, reserved but unpublished 0\n")


def test_json_report_matches_the_clients_own_layout(engines, shm_name, eventfd):
    engines.start("--shm", shm_name, "--notify-fd", str(eventfd), pass_fds=[eventfd])
    client = zelto_sdk.ZeltoShmClient(shm_name)
    with pytest.raises(RuntimeError) as exhausted:  # the client tells its carving in this text
        client.infer([1], "u8", bytes(16 << 20))  # more than the largest slot holds
    client_layout = re.search(r"layout=(.*)\)$", str(exhausted.value)).group(1)

    result = inspect("--json", shm_name)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["pool"]["layout"] == client_layout
    assert [c["name"] for c in report["pool"]["classes"]] == ["class0", "class1", "class2",
                                                              "class3"]
    assert report["header"] == {
        "magic": 0x41494D4F, "version": 1, "request_ring_offset": 4096,
        "response_ring_offset": 45056, "pool_offset": 94208, "pool_size": 64 << 20,
        "notify_fd": eventfd}
    assert report["check"] == {"ok": True, "message": None} and report["valid"] is True
    assert report["rings"]["request"] == {
        "offset": 4096, "entry_size": 40, "capacity": 1021, "reserve_index": 0,
        "commit_index": 0, "read_index": 0, "counters_in_range": True, "queued": 0,
        "unpublished": 0}
    assert report["rings"]["response"]["entry_size"] == 48


@pytest.fixture
def eventfd():
    from zelto_testing.eventfd import open_eventfd
    fd = open_eventfd()
    yield fd
    os.close(fd)


def test_ring_occupancy_and_counters_the_clients_refuse(crafted):
    region = crafted()
    region.set_counters(REQUEST_RING, 40, [7, 5, 2])  # 3 queued, 2 reserved but unpublished
    region.set_counters(RESPONSE_RING, 48, [1, 1, 1020])
    report = json.loads(inspect("--json", region.name).stdout)
    assert {k: report["rings"]["request"][k] for k in ("queued", "unpublished")} == {
        "queued": 3, "unpublished": 2}
    assert report["rings"]["response"]["queued"] == 2  # wrapped around past 1020

    region.set_counters(RESPONSE_RING, 48, [0, 5000, 0])  # what the engine's bad-ring writes
    result = inspect(region.name)
    assert result.returncode == 3
    assert ("  reserve_index 0  commit_index 5000  read_index 0\n"
            "  counters out of range (0 to 1020): the clients refuse to use this ring\n"
            in result.stdout)
    assert result.stderr == (f"zelto-shm-inspect: '{region.name}' is not a region the clients "
                             "accept: ring counters out of range\n")


@pytest.mark.parametrize(
    "header, size, client_text",
    [
        (header_bytes(magic=0x4F4D4941), None, "Invalid magic number in shared memory"),
        (header_bytes(version=2), None, "Shared memory version mismatch"),
        (header_bytes(pool_size=1 << 40), None,
         "Invalid shared memory layout: tensor pool at offset 94208 (1099511627776 bytes) does "
         "not fit in the {size}-byte region"),
        (header_bytes(request_ring=4100), None,
         "Invalid shared memory layout: request ring offset 4100 is not a multiple of 8"),
        (header_bytes()[:20], 20,
         "Invalid shared memory layout: the 20-byte region is smaller than its 44-byte header"),
    ],
    ids=["magic", "version", "pool", "misaligned-ring", "short-object"],
)
def test_invalid_regions_fail_with_the_clients_own_words(crafted, header, size, client_text):
    region = crafted(header=header, **({"size": size} if size else {}))
    client_text = client_text.format(size=region.size)
    with pytest.raises(ConnectionError) as caught:
        zelto_sdk.ZeltoShmClient(region.name)
    assert caught.value.args == (client_text,)

    result = inspect(region.name)
    assert result.returncode == 3
    assert result.stdout.endswith(f"check: FAILED: {client_text}\n")
    assert "tensor pool, carved" not in result.stdout and "ring (" not in result.stdout
    assert result.stderr == (f"zelto-shm-inspect: '{region.name}' is not a region the clients "
                             f"accept: {client_text}\n")
    report = json.loads(inspect("--json", region.name).stdout)
    assert report["check"] == {"ok": False, "message": client_text}
    assert report["valid"] is False and report["rings"] == {} and report["pool"]["classes"] == []
    if size:
        assert report["header"] is None
        assert ("header: the object holds 20 bytes, less than the 44-byte header\n"
                in result.stdout)


@pytest.mark.parametrize(
    "make_object, status, message",
    [
        (None, 1, "No such file or directory (os error 2): no shared-memory object has this "
                  "name"),
        (b"", 1, "Invalid argument (os error 22): an empty object, or not a valid name"),
    ],
    ids=["missing", "empty"],
)
def test_objects_that_cannot_be_mapped(shm_name, make_object, status, message):
    if make_object is not None:
        region_path(shm_name).write_bytes(make_object)
    result = inspect(shm_name)
    assert (result.returncode, result.stdout) == (status, "")
    assert result.stderr == f"zelto-shm-inspect: cannot map '{shm_name}': {message}\n"


def test_it_opens_read_only_and_never_writes(engines, shm_name):
    engines.start("--shm", shm_name, "--pool-size", str(1 << 20))
    zelto_sdk.ZeltoShmClient(shm_name).infer([2], "u8", b"hi")
    before = digest(shm_name)
    assert inspect(shm_name).returncode == 0
    assert inspect("--json", shm_name).returncode == 0
    assert digest(shm_name) == before

    # A user who may read the object but not write it: opening it for writing fails for that
    # user, and the inspector still works - so it opened read-only.
    region_path(shm_name).chmod(0o644)
    writer = subprocess.run(
        ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "sh", "-c",
         f"exec 3<>'{region_path(shm_name)}'"], capture_output=True, text=True)
    assert writer.returncode != 0 and "Permission denied" in writer.stderr
    as_reader = inspect(shm_name, user="nobody")
    assert as_reader.returncode == 0, as_reader.stderr
    assert "check: ok" in as_reader.stdout


@pytest.mark.parametrize(
    "args, message",
    [
        ([], "give the region's name, e.g. /zelto_shm"),
        (["/a", "/b"], "one region name only, not also '/b'"),
        (["--jsn", "/a"], "unknown option '--jsn'"),
    ],
)
def test_bad_command_lines(args, message):
    result = inspect(*args)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"zelto-shm-inspect: {message} (see zelto-shm-inspect --help)\n"


def test_help_and_version():
    shown = inspect("--help")
    assert shown.returncode == 0 and shown.stdout.startswith("usage: zelto-shm-inspect [--json] NAME")
    version = inspect("--version")
    assert version.returncode == 0 and re.fullmatch(r"zelto-shm-inspect \S+\n", version.stdout)
