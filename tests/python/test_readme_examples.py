"""The README's Python examples, run as written against real engines.

Every ```python block of the project README runs, in order, in one namespace; only the
addresses are swapped for fresh ones (and `zelto-mock-engine` for the engine under test). A
renamed method, a changed signature or an example whose claim no longer holds fails here.

The namespace is a module registered in sys.modules and the pools of the recipes fork their
workers, so the functions the examples hand to a pool reach the workers by name, as those of an
importable module would.
"""

from __future__ import annotations

import multiprocessing
import re
import sys
import time
import types
from contextlib import contextmanager
from pathlib import Path
from typing import Dict, Iterator, List

import pytest

from conftest import engine_binary

np = pytest.importorskip("numpy")  # the examples themselves use it

README = Path(__file__).resolve().parents[2] / "README.md"


def python_blocks(text: str) -> List[str]:
    return re.findall(r"^```python\n(.*?)^```", text, flags=re.DOTALL | re.MULTILINE)


def with_addresses(block: str, addresses: Dict[str, str]) -> str:
    for written, fresh in addresses.items():
        block = block.replace(written, fresh)
    return block


@contextmanager
def forked_workers() -> Iterator[None]:
    previous = multiprocessing.get_start_method(allow_none=True)
    multiprocessing.set_start_method("fork", force=True)
    try:
        yield
    finally:
        multiprocessing.set_start_method(previous, force=True)


# The model the engine under test holds for a minute before it answers.
SLOW_MODEL = 9


# The hybrid example's client runs its event loop on threads while the recipes' pools fork.
@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_readme_examples_run_as_written(engines, socket_path, shm_name, capsys, monkeypatch):
    text = README.read_text(encoding="utf-8")
    blocks = python_blocks(text)
    addresses = {
        "/tmp/zelto.sock": socket_path,
        "/zelto_shm": shm_name,
        "/tmp/my.sock": str(Path(socket_path).with_name("my.sock")),
        "/tmp/no-engine.sock": str(Path(socket_path).with_name("no-engine.sock")),
        '"zelto-mock-engine"': repr(engine_binary()),
    }
    # An address the README no longer uses is not swapped, and its example would fail for want
    # of an engine; say which instead.
    for written in addresses:
        assert written in text, f"the README examples no longer use {written}"
    assert len(blocks) >= 4
    engines.start("--unix", socket_path, "--shm", shm_name,
                  "--delay-model", str(SLOW_MODEL), "--delay-ms", "60000")

    module = types.ModuleType("readme_examples")
    monkeypatch.setitem(sys.modules, module.__name__, module)
    namespace = module.__dict__
    with forked_workers():
        for number, block in enumerate(blocks, start=1):
            namespace.pop("raw", None)
            exec(compile(with_addresses(block, addresses), f"README.md python block {number}",
                         "exec"), namespace)
            # The engine's default model echoes: whatever an example got back is its input.
            if "raw" in namespace:
                assert namespace["raw"] == namespace["x"].tobytes(), f"block {number}"
            if "y" in namespace:
                assert np.array_equal(namespace["y"].reshape(-1), namespace["x"].reshape(-1))
        check_bounded_worker(namespace["BoundedWorker"], f"unix://{socket_path}")

    printed = capsys.readouterr().out.split()
    assert printed and all(line == "24" for line in printed)  # stream items of 2 x 3 float32


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
