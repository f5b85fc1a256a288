"""What Python sees of the module before any client talks to an engine: attributes, classes,
signatures, docstrings, type properties, and the one-module-per-process rule."""

from __future__ import annotations

import importlib
import subprocess
import sys
import textwrap
import threading
import weakref

import pytest

import zelto_sdk

CLASS_NAMES = ["ZeltoClient", "ZeltoShmClient", "ZeltoHybridClient"]
CLASSES = [zelto_sdk.ZeltoClient, zelto_sdk.ZeltoShmClient, zelto_sdk.ZeltoHybridClient]

CLIENT_SIGNATURE = (
    "(endpoint=None, *, protocol=None, host=None, port=None, socket_path=None, pipe_name=None,"
    " max_pool_size=..., api_token=None)"
)
INFER_PARAMS = "model_id, shape, dtype, data, additional_inputs=None, session_id=None"
INFER_TENSOR_DOC = (
    "Like `infer` but returns `(data, shape, dtype)` so the caller knows\n"
    "how to interpret the output bytes without hardcoding dimensions.\n"
    "Essential for models whose output shape varies (diffusion, video, TTS)."
)
PY_TPFLAGS_BASETYPE = 1 << 10


# --- the module -------------------------------------------------------------------------------


def test_module_attributes_are_the_three_classes_in_registration_order():
    public = [name for name in zelto_sdk.__dict__ if not name.startswith("__")]
    assert public == CLASS_NAMES
    assert [name for name in dir(zelto_sdk) if not name.startswith("__")] == sorted(CLASS_NAMES)
    assert zelto_sdk.__name__ == "zelto_sdk"
    assert zelto_sdk.__doc__ == ""


def test_stream_iterator_is_not_a_module_attribute():
    with pytest.raises(AttributeError):
        zelto_sdk.StreamIterator  # noqa: B018


def test_panic_exception_is_not_a_module_attribute():
    assert not hasattr(zelto_sdk, "PanicException")


def test_internal_faults_raise_a_base_exception_that_is_not_an_exception(engines, socket_path):
    # Using a StreamIterator on a thread other than its creator is such a fault.
    engines.start("--unix", socket_path)
    try:
        stream = zelto_sdk.ZeltoClient(socket_path=socket_path).infer_stream(1, [1], "uint8", b"x")
    except NotImplementedError:
        pytest.skip("ZeltoClient.infer_stream is not implemented yet")  # temporary placeholder
    caught = []

    def consume() -> None:
        try:
            next(stream)
        except BaseException as error:  # noqa: B036 - the point is what it derives from
            caught.append(error)

    worker = threading.Thread(target=consume)
    worker.start()
    worker.join()
    assert len(caught) == 1
    fault = caught[0]
    assert not isinstance(fault, Exception)
    assert type(fault).__name__ == "PanicException"
    assert type(fault).__module__ == "zelto_sdk"
    assert type(fault).__bases__ == (BaseException,)
    assert fault.args == ("zelto_sdk::StreamIterator is unsendable, but sent to another thread",)
    assert next(stream) == b"x"  # still usable on its own thread


def test_reimport_returns_the_same_module_without_registering_again():
    original = sys.modules.pop("zelto_sdk")
    try:
        again = importlib.import_module("zelto_sdk")
        assert again is original
        assert again.ZeltoClient is zelto_sdk.ZeltoClient
        assert [n for n in again.__dict__ if not n.startswith("__")] == CLASS_NAMES
    finally:
        sys.modules["zelto_sdk"] = original


SUBINTERPRETER_PROBE = textwrap.dedent(
    """
    import sys
    import zelto_sdk
    try:
        import _testcapi
        run = _testcapi.run_in_subinterp
    except (ImportError, AttributeError):
        print("no-subinterpreters")
        sys.exit(0)
    code = (
        "import sys\\n"
        "try:\\n"
        "    import zelto_sdk\\n"
        "except ImportError as error:\\n"
        "    sys.stdout.write('ImportError: ' + str(error) + '\\\\n')\\n"
        "else:\\n"
        "    sys.stdout.write('imported\\\\n')\\n"
        "sys.stdout.flush()\\n"
    )
    sys.stdout.flush()
    run(code)
    """
)


def test_import_in_a_sub_interpreter_fails_with_import_error():
    # A separate process: a sub-interpreter is not something to create inside the test runner.
    result = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER_PROBE], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    if result.stdout.strip() == "no-subinterpreters":
        pytest.skip("this interpreter cannot run sub-interpreters from Python")
    line = result.stdout.strip()
    assert line.startswith("ImportError: "), (line, result.stderr)
    assert "sub-interpreters are not supported" in line


# --- properties shared by the classes ---------------------------------------------------------


@pytest.mark.parametrize("cls, name", list(zip(CLASSES, CLASS_NAMES)))
def test_classes_are_named_as_builtins(cls, name):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)


@pytest.mark.parametrize("cls", CLASSES)
def test_classes_are_final(cls):
    assert not cls.__flags__ & PY_TPFLAGS_BASETYPE
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):

        class Sub(cls):  # noqa: F841
            pass


@pytest.mark.parametrize("cls", CLASSES)
def test_instances_have_no_dict_and_no_weakrefs(cls):
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0
    assert "__dict__" not in dir(cls)
    assert "__weakref__" not in dir(cls)


def test_client_instance_rejects_attributes_and_weak_references():
    client = zelto_sdk.ZeltoClient()
    assert not hasattr(client, "__dict__")
    with pytest.raises(AttributeError):
        client.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(client)


@pytest.mark.parametrize(
    "cls, methods",
    [
        (zelto_sdk.ZeltoClient, {"protocol", "endpoint", "infer", "infer_tensor", "infer_stream"}),
        (zelto_sdk.ZeltoShmClient, {"infer"}),
        (zelto_sdk.ZeltoHybridClient, {"infer"}),
    ],
)
def test_classes_define_exactly_their_methods(cls, methods):
    own = {name for name in vars(cls) if not name.startswith("__")}
    assert own == methods
    # No special methods of their own beyond construction and deallocation.
    assert cls.__repr__ is object.__repr__
    assert cls.__hash__ is object.__hash__
    assert cls.__eq__ is object.__eq__
    assert not hasattr(cls, "__enter__")
    assert not hasattr(cls, "close")


# --- signatures and docstrings ----------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        (zelto_sdk.ZeltoClient, CLIENT_SIGNATURE, ""),
        (zelto_sdk.ZeltoShmClient, "(shm_name)", "Wrapper for the shared memory client."),
        (zelto_sdk.ZeltoHybridClient, "(shm_name, socket_path)", ""),
    ],
)
def test_class_signature_and_docstring(cls, signature, doc):
    assert cls.__doc__ == doc
    if sys.version_info < (3, 10):
        # Before 3.10 PyType_FromSpec drops the signature part of a heap type's docstring, and
        # the limited API offers no way to put it back.
        assert cls.__text_signature__ is None
    else:
        assert cls.__text_signature__ == signature


@pytest.mark.parametrize(
    "method, signature, doc",
    [
        (zelto_sdk.ZeltoClient.protocol, "($self)", None),
        (zelto_sdk.ZeltoClient.endpoint, "($self)", None),
        (zelto_sdk.ZeltoClient.infer, f"($self, {INFER_PARAMS})", None),
        (zelto_sdk.ZeltoClient.infer_tensor, f"($self, {INFER_PARAMS})", INFER_TENSOR_DOC),
        (zelto_sdk.ZeltoClient.infer_stream, f"($self, {INFER_PARAMS})", None),
        (zelto_sdk.ZeltoShmClient.infer, "($self, shape, dtype, data)", None),
        (zelto_sdk.ZeltoHybridClient.infer, "($self, shape, dtype, data)", None),
    ],
)
def test_method_signature_and_docstring(method, signature, doc):
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_accessors_are_methods_not_properties():
    client = zelto_sdk.ZeltoClient()
    bound = client.endpoint
    assert not isinstance(bound, str)
    assert callable(bound)
    assert bound.__self__ is client
    assert bound.__name__ == "endpoint"
    assert bound() == "unix:///tmp/zelto.sock"
    assert client.protocol.__self__ is client
    assert client.protocol() == "socket"


@pytest.mark.parametrize("method", ["protocol", "endpoint"])
def test_accessors_take_no_arguments(method):
    client = zelto_sdk.ZeltoClient()
    with pytest.raises(TypeError):
        getattr(client, method)(1)
