"""The README's examples, run as written against real engines.

Every ```python block of the project README runs, in order, in one namespace, with only the
addresses swapped for fresh ones, and with no virtual environment on PATH (as for a user who
did not activate one); a block that defines pytest tests runs under pytest instead, with the
plugin of the wheel. Every "$ " command of a ```console block runs in a shell, and the output
the README shows under it must be what the command prints, numbers aside. A renamed method, a
changed signature, an option that no longer exists or an example whose claim no longer holds
fails here.

The namespace is a module registered in sys.modules and the pools of the recipes fork their
workers, so the functions the examples hand to a pool reach the workers by name, as those of an
importable module would.
"""

from __future__ import annotations

import json
import multiprocessing
import os
import re
import subprocess
import sys
import sysconfig
import time
import types
from contextlib import contextmanager
from pathlib import Path
from typing import Dict, Iterator, List, Tuple

import pytest

from test_testing_kit import plugin_entry_point_installed

np = pytest.importorskip("numpy")  # the examples themselves use it

README = Path(__file__).resolve().parents[2] / "README.md"
PLAIN_PATH = "/usr/bin:/bin"
README_POOL_SIZE = 16 << 20  # the pool of the region the README's inspector output shows
SLOW_MODEL = 9  # the model the engine under test holds for a minute before it answers


def blocks(text: str, language: str) -> List[str]:
    return re.findall(rf"^```{language}\n(.*?)^```", text, flags=re.DOTALL | re.MULTILINE)


def python_blocks(text: str) -> List[str]:
    return blocks(text, "python")


def with_addresses(block: str, addresses: Dict[str, str]) -> str:
    for written, fresh in addresses.items():
        block = block.replace(written, fresh)
    return block


def console_commands(block: str) -> List[Tuple[str, List[str]]]:
    """("$ command" without the "$ ", the lines shown under it) for each command."""
    commands: List[Tuple[str, List[str]]] = []
    for line in block.splitlines():
        if line.startswith("$ "):
            commands.append((line[2:], []))
        else:
            commands[-1][1].append(line)
    return commands


def numbers_aside(lines: List[str]) -> List[str]:
    """Lines with every number (1,234.5) as N and runs of blanks as one, for comparing what a
    measurement printed with what the README shows."""
    return [re.sub(r"\s+", " ", re.sub(r"-+", "-", re.sub(r"\d[\d,.]*", "N", line))).strip()
            for line in lines]


@contextmanager
def forked_workers() -> Iterator[None]:
    previous = multiprocessing.get_start_method(allow_none=True)
    multiprocessing.set_start_method("fork", force=True)
    try:
        yield
    finally:
        multiprocessing.set_start_method(previous, force=True)


@pytest.fixture
def readme_engine(engines, socket_path, shm_name):
    engines.start("--unix", socket_path, "--shm", shm_name, "--pool-size", str(README_POOL_SIZE),
                  "--delay-model", str(SLOW_MODEL), "--delay-ms", "60000")
    return {"/tmp/zelto.sock": socket_path, "/zelto_shm": shm_name,
            "/tmp/no-engine.sock": str(Path(socket_path).with_name("no-engine.sock"))}


# The hybrid example's client runs its event loop on threads while the recipes' pools fork.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_readme_python_examples_run_as_written(readme_engine, capsys, monkeypatch, tmp_path):
    text = README.read_text(encoding="utf-8")
    # An address the README no longer uses is not swapped, and its example would fail for want
    # of an engine; say which instead.
    for written in readme_engine:
        assert written in text, f"the README examples no longer use {written}"
    python_blocks = blocks(text, "python")
    assert len(python_blocks) >= 5
    monkeypatch.setenv("PATH", PLAIN_PATH)  # the kit must find the engine by itself

    module = types.ModuleType("readme_examples")
    monkeypatch.setitem(sys.modules, module.__name__, module)
    namespace = module.__dict__
    test_blocks = []
    with forked_workers():
        for number, block in enumerate(python_blocks, start=1):
            block = with_addresses(block, readme_engine)
            if "\ndef test_" in block:
                test_blocks.append(block)
                continue
            for name in ("raw", "y", "ids"):
                namespace.pop(name, None)
            exec(compile(block, f"README.md python block {number}", "exec"), namespace)
            # The engine's default model echoes: whatever an example got back is its input.
            if "raw" in namespace:
                assert namespace["raw"] == namespace["x"].tobytes(), f"block {number}"
            if "y" in namespace:
                assert np.array_equal(namespace["y"].reshape(-1), namespace["x"].reshape(-1))
            if "ids" in namespace:
                assert namespace["ids"].tolist() == [101, 2023, 102]
        check_bounded_worker(namespace["BoundedWorker"], f"unix://{readme_engine['/tmp/zelto.sock']}")

    printed = capsys.readouterr().out.split()
    assert printed and all(line == "24" for line in printed)  # stream items of 2 x 3 float32

    assert test_blocks, "the README shows no pytest example"
    suite = tmp_path / "test_readme_suite.py"
    suite.write_text("\n\n".join(test_blocks))
    plugin = [] if plugin_entry_point_installed() else ["-p", "zelto_testing.pytest_plugin"]
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
                             *plugin, str(suite)], capture_output=True, text=True, cwd=tmp_path,
                            timeout=600)
    assert result.returncode == 0, result.stdout + result.stderr
    defined = len(re.findall(r"^def test_", suite.read_text(), flags=re.MULTILINE))
    assert f"{defined + 1} passed" in result.stdout  # one test is parametrised twice


def check_bounded_worker(bounded_worker: type, endpoint: str) -> None:
    """The bounding recipe gives up on a call the engine holds, and its next call is answered."""
    bounded = bounded_worker(endpoint)
    try:
        started = time.monotonic()
        with pytest.raises(TimeoutError) as caught:
            bounded.infer(0.5, SLOW_MODEL, [1], "uint8", b"s")
        assert caught.value.args == ("no answer within 0.5 s",)
        assert time.monotonic() - started < 30  # the engine would have answered after 60 s
        assert bounded.infer(30.0, 1, [1], "uint8", b"f") == b"f"
        with pytest.raises(ValueError) as caught:
            bounded.infer(30.0, 1, [1], "bogus", b"f")
        assert caught.value.args == ("Invalid input: Unsupported dtype: bogus",)
    finally:
        bounded.close()


def test_readme_console_examples_print_what_it_shows(readme_engine, tmp_path):
    scripts = Path(sysconfig.get_path("scripts"))
    if not (scripts / "zelto-perf").exists():
        pytest.skip("no wheel installed (a source tree is under test)")
    # The calls the Python examples made through the shared-memory ring are left aside: the
    # counters are numbers, and numbers are not compared.
    commands = [command for block in blocks(README.read_text(encoding="utf-8"), "console")
                for command in console_commands(block)]
    assert {c.split()[0] for c, _ in commands} == {"zelto-perf", "zelto-shm-inspect"}
    for command, shown in commands:
        result = subprocess.run(["bash", "-c", with_addresses(command, readme_engine)],
                                capture_output=True, text=True, cwd=tmp_path, timeout=600,
                                env={**os.environ, "PATH": f"{scripts}:{PLAIN_PATH}"})
        assert result.returncode == 0, (command, result.stdout, result.stderr)
        if shown:
            expected = numbers_aside(with_addresses("\n".join(shown), readme_engine).splitlines())
            assert numbers_aside(result.stdout.splitlines()) == expected, command
        elif "--json" in command and "zelto-shm-inspect" in command:
            assert json.loads(result.stdout)["valid"] is True
    written = json.loads((tmp_path / "perf.json").read_text())
    assert [row["transport"] for row in written["rows"]] == ["unix"] * 2 + ["shm"] * 2 + [
        "hybrid"] * 2
    assert all(row["errors"] == 0 for row in written["rows"])
