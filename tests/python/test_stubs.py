"""The shipped type stubs: `mypy --strict` accepts typed use of the module and flags misuse."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy not installed")

HERE = Path(__file__).resolve().parent
EXAMPLE = HERE / "typing_example.py"
SOURCE_STUBS = HERE.parent.parent / "stubs" / "zelto_sdk-stubs" / "__init__.pyi"


def installed_stubs() -> Path | None:
    for key in ("purelib", "platlib"):
        candidate = Path(sysconfig.get_paths()[key]) / "zelto_sdk-stubs" / "__init__.pyi"
        if candidate.exists():
            return candidate
    return None


@pytest.fixture
def mypy(tmp_path):
    """Runs mypy --strict on files; finds the stubs where the wheel installed them or, in a
    source tree, in a copy laid out as a plain stub module (MYPYPATH ignores -stubs folders)."""
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if installed_stubs() is None:
        if not SOURCE_STUBS.exists():
            pytest.skip("zelto_sdk stubs neither installed nor in a source tree")
        stub_dir = tmp_path / "stub-path" / "zelto_sdk"
        stub_dir.mkdir(parents=True)
        shutil.copy(SOURCE_STUBS, stub_dir / "__init__.pyi")
        env["MYPYPATH"] = str(stub_dir.parent)

    def run(*files: Path) -> subprocess.CompletedProcess:
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
             "--cache-dir", str(tmp_path / "cache"), *map(str, files)],
            capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600,
        )

    return run


def test_typed_example_passes_strict_checking(mypy):
    result = mypy(EXAMPLE)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found" in result.stdout


MISUSE = '''
import zelto_sdk

client = zelto_sdk.ZeltoClient(port="9096")
client.infer(1, "23", "float32", b"")
text: str = client.infer(1, [2], "uint8", b"ab")
client.infer(1, [2], "uint8", "ab")
zelto_sdk.ZeltoClient("a", "b")
zelto_sdk.ZeltoShmClient()
shape: int = client.infer_tensor(1, [1], "u8", b"x")[1]
zelto_sdk.ZeltoClient(max_pool_size=None)
client.endpoint = "x"
for item in client.infer_stream(1, [1], "u8", b"x"):
    item.upper(1)
'''


def test_misuse_is_flagged(mypy, tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    result = mypy(misuse)
    assert result.returncode == 1, result.stdout + result.stderr
    flagged = {int(line.split(":")[1]) for line in result.stdout.splitlines() if ": error:" in line}
    source_lines = MISUSE.splitlines()
    expected = {number for number, line in enumerate(source_lines, 1)
                if line and not line.startswith(("import", "for", "client = "))}
    expected.add(source_lines.index('client = zelto_sdk.ZeltoClient(port="9096")') + 1)
    assert flagged == expected, result.stdout


def test_the_testing_kit_passes_strict_checking(tmp_path):
    """zelto_testing (MockEngine, the plugin, the numpy layer, zelto-perf) as installed, or from
    the source tree where the tests run without the wheel."""
    import zelto_testing

    env = dict(os.environ)
    if installed_stubs() is None:
        stub_dir = tmp_path / "stub-path" / "zelto_sdk"
        stub_dir.mkdir(parents=True)
        shutil.copy(SOURCE_STUBS, stub_dir / "__init__.pyi")
        kit_parent = Path(zelto_testing.__file__).resolve().parents[1]
        env["MYPYPATH"] = os.pathsep.join([str(stub_dir.parent), str(kit_parent)])
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), "-p", "zelto_testing"],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "Success: no issues found in 15 source files" in result.stdout
