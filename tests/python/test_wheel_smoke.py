"""The short check that every supported CPython, and the older system's root, run on the installed
wheel: the module imports with its surface, the wheel's own zelto-mock-engine answers one call per
transport, and the wheel is what gets published (a cp39-abi3 manylinux wheel whose binaries need
nothing but glibc, with its stubs, license and metadata).

It needs only pytest and this folder's conftest.py, which is all that scripts/check_old_system.sh
copies into the older root.
"""

from __future__ import annotations

import shutil
import struct
import subprocess
import sys
from importlib import metadata
from pathlib import Path
from typing import List, Optional

import pytest

import zelto_sdk
from conftest import free_tcp_port

CLASS_METHODS = {
    "ZeltoClient": {"protocol", "endpoint", "infer", "infer_tensor", "infer_stream"},
    "ZeltoShmClient": {"infer"},
    "ZeltoHybridClient": {"infer"},
}
TENSOR = struct.pack("<6f", 0.5, -1.0, 2.25, 3.0, -4.5, 1e30)
# The dynamic loader, the vDSO and glibc's own libraries: every manylinux system has them.
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "librt.so.1", "libdl.so.2"}


def test_module_surface_is_the_three_clients_and_their_methods():
    assert [name for name in vars(zelto_sdk) if not name.startswith("__")] == list(CLASS_METHODS)
    for name, methods in CLASS_METHODS.items():
        cls = getattr(zelto_sdk, name)
        assert {attr for attr in vars(cls) if not attr.startswith("__")} == methods


def test_one_call_per_transport_against_the_mock_engine(engines, socket_path, shm_name):
    port = free_tcp_port()
    engines.start("--unix", socket_path, "--tcp", str(port), "--shm", shm_name)

    unix = zelto_sdk.ZeltoClient(socket_path=socket_path)
    assert unix.infer(1, [2, 3], "float32", TENSOR) == TENSOR
    assert unix.infer_tensor(2, [2, 3], "FP32", bytearray(TENSOR)) == (TENSOR, [2, 3], "float32")
    # The engine's default stream answers with its input three times, then ends.
    assert list(unix.infer_stream(3, [3], "uint8", b"abc")) == [b"abc"] * 3

    tcp = zelto_sdk.ZeltoClient(f"tcp://127.0.0.1:{port}")
    assert tcp.protocol() == "tcp"
    assert tcp.infer(4, [6], "u8", list(b"zelto!")) == b"zelto!"

    assert zelto_sdk.ZeltoShmClient(shm_name).infer([2, 3], "float32", TENSOR) == TENSOR
    hybrid = zelto_sdk.ZeltoHybridClient(shm_name, socket_path)
    assert hybrid.infer([2, 3], "float32", TENSOR) == TENSOR


# --- what the wheel ships ----------------------------------------------------------------------


@pytest.fixture
def wheel() -> metadata.Distribution:
    """The installed distribution whose module this process imported; a build found on
    PYTHONPATH (the sanitizer stage's) is no wheel, and its checks are skipped."""
    try:
        dist = metadata.distribution("zelto_sdk")
    except metadata.PackageNotFoundError:
        dist = None
    module = Path(zelto_sdk.__file__).resolve()
    if dist is None or module not in {Path(str(dist.locate_file(f))).resolve() for f in dist.files or []}:
        pytest.skip(f"{module} does not come from an installed wheel")
    return dist


def installed_file(dist: metadata.Distribution, name: str) -> Optional[Path]:
    for file in dist.files or []:
        if file.name == name:
            return Path(str(dist.locate_file(file)))
    return None


def shared_libraries_loaded(binary: Path) -> List[str]:
    listing = subprocess.run(["ldd", str(binary)], capture_output=True, text=True, check=True)
    return [line.split()[0].rsplit("/", 1)[-1] for line in listing.stdout.splitlines() if line.strip()]


def test_wheel_is_a_cp39_abi3_manylinux_one(wheel):
    tags = [line.split(":", 1)[1].strip() for line in (wheel.read_text("WHEEL") or "").splitlines()
            if line.startswith("Tag:")]
    assert tags, "WHEEL names no tag"
    assert all(tag.startswith("cp39-abi3-manylinux_") for tag in tags), tags


def test_module_and_engine_need_only_glibc(wheel):
    # A C++ runtime that is not linked in would be grafted into the wheel by the repair and
    # still work, but the wheel would no longer be self-contained the way it claims to be.
    if shutil.which("ldd") is None:
        pytest.skip("ldd (glibc's libc-bin) is not installed")
    engine = installed_file(wheel, "zelto-mock-engine")
    assert engine is not None and engine.exists(), "the wheel installs no zelto-mock-engine"
    for binary in (Path(zelto_sdk.__file__), engine):
        foreign = [name for name in shared_libraries_loaded(binary)
                   if name not in GLIBC_LIBRARIES and not name.startswith(("ld-linux", "linux-vdso"))]
        assert foreign == [], f"{binary.name} needs {foreign}"


def test_metadata_names_this_python_typing_and_license(wheel):
    classifiers = wheel.metadata.get_all("Classifier") or []
    this_python = "Programming Language :: Python :: %d.%d" % sys.version_info[:2]
    assert this_python in classifiers, f"a tested Python without its classifier: {this_python}"
    assert "Typing :: Typed" in classifiers
    assert wheel.metadata["Requires-Python"] == ">=3.9"
    license_file = installed_file(wheel, "LICENSE")
    assert license_file is not None, "the wheel ships no LICENSE"
    assert license_file.read_text().lstrip().startswith("Apache License")
    stubs = installed_file(wheel, "__init__.pyi")
    assert stubs is not None and stubs.parent.name == "zelto_sdk-stubs"
