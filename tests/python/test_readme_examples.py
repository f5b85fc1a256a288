"""The README's Python examples, run as written against real engines.

Every ```python block of the project README runs, in order, in one namespace; only the
addresses are swapped for fresh ones (and `zelto-mock-engine` for the engine under test). A
renamed method, a changed signature or an example whose claim no longer holds fails here.
"""

from __future__ import annotations

import re
from pathlib import Path
from typing import Dict, List

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


def test_readme_examples_run_as_written(engines, socket_path, shm_name, capsys):
    text = README.read_text(encoding="utf-8")
    blocks = python_blocks(text)
    addresses = {
        "/tmp/zelto.sock": socket_path,
        "/zelto_shm": shm_name,
        "/tmp/my.sock": str(Path(socket_path).with_name("my.sock")),
        '"zelto-mock-engine"': repr(engine_binary()),
    }
    # An address the README no longer uses is not swapped, and its example would fail for want
    # of an engine; say which instead.
    for written in addresses:
        assert written in text, f"the README examples no longer use {written}"
    assert len(blocks) >= 4
    engines.start("--unix", socket_path, "--shm", shm_name)

    namespace: dict = {}
    for number, block in enumerate(blocks, start=1):
        namespace.pop("raw", None)
        exec(compile(with_addresses(block, addresses), f"README.md python block {number}", "exec"),
             namespace)
        # The engine's default model echoes: whatever an example got back is its input.
        if "raw" in namespace:
            assert namespace["raw"] == namespace["x"].tobytes(), f"block {number}"
        if "y" in namespace:
            assert np.array_equal(namespace["y"].reshape(-1), namespace["x"].reshape(-1))

    printed = capsys.readouterr().out.split()
    assert printed and all(line == "24" for line in printed)  # stream items of 2 x 3 float32
