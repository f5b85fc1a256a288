import shutil
import subprocess

import pytest

import zelto_sdk


def test_module_imports():
    assert zelto_sdk.__name__ == "zelto_sdk"


def test_module_exports_only_its_init_function():
    # The core and a static libstdc++ are linked into the module; a symbol of theirs left visible
    # could take the place of another extension's, or be taken by it, in the same process.
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "-D", "--defined-only", "-C", zelto_sdk.__file__],
                             capture_output=True, text=True, check=True).stdout
    symbols = [line.split(None, 2) for line in listing.splitlines()]
    # Weak symbols are template code from the standard headers (which mark namespace std
    # visible), the same in every module that instantiates it; a build without optimisation
    # (the sanitizer one) keeps some out of line.
    functions = [name for _, kind, name in symbols if kind in "Tti"]
    assert functions == ["PyInit_zelto_sdk"]
    assert not [name for _, _, name in symbols if "zelto" in name and name != "PyInit_zelto_sdk"]
