"""zelto_testing's MockEngine and pytest plugin, as a user's test suite meets them: real engines,
their own error output when they do not start, a clear word when one dies or leaves something
behind, and fixtures that keep several pytest-xdist workers apart."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import sysconfig
import textwrap
from importlib import metadata
from pathlib import Path

import pytest

import zelto_sdk
import zelto_testing
from zelto_testing import ExecutableNotFoundError, MockEngine, MockEngineError
from zelto_testing import executables
from zelto_testing.mock_engine import knob_arguments

HERE = Path(__file__).resolve().parent


def shm_path(name: str) -> Path:
    return Path("/dev/shm") / name.lstrip("/")


def header_notify_fd(name: str) -> int:
    with open(shm_path(name), "rb") as region:
        return int.from_bytes(region.read(44)[40:44], "little", signed=True)


def test_every_transport_answers_and_nothing_is_left():
    with MockEngine(notify=True) as engine:
        folder = Path(engine.socket_path).parent
        assert engine.endpoint == f"unix://{engine.socket_path}"
        assert engine.tcp_endpoint == f"tcp://127.0.0.1:{engine.tcp_port}"
        assert engine.shm_name.startswith("/zelto-engine-")
        assert header_notify_fd(engine.shm_name) == engine.notify_fd
        for client in (engine.socket_client(), engine.tcp_client()):
            assert client.infer(3, [2], "u8", b"ok") == b"ok"
        assert engine.shm_client().infer([2], "u8", b"ok") == b"ok"
        assert engine.hybrid_client().infer([2], "u8", b"ok") == b"ok"
        notify_fd, shm = engine.notify_fd, engine.shm_name
    assert engine.returncode == 0
    assert not folder.exists() and not shm_path(shm).exists()
    with pytest.raises(OSError):
        os.fstat(notify_fd)  # closed with the engine


def test_two_engines_share_nothing():
    with MockEngine() as first, MockEngine() as second:
        assert first.socket_path != second.socket_path
        assert first.tcp_port != second.tcp_port and first.shm_name != second.shm_name


def test_addresses_it_was_told_not_to_make():
    with MockEngine(unix=False, shm=False) as engine:
        assert engine.tcp_client().infer(1, [1], "u8", b"x") == b"x"
        with pytest.raises(AttributeError, match=r"has no Unix socket \(unix=False\)"):
            engine.socket_path
        with pytest.raises(AttributeError, match=r"shared-memory region \(shm=False\)"):
            engine.shm_name
    with pytest.raises(ValueError, match="notify=True needs shm=True"):
        MockEngine(shm=False, notify=True)


@pytest.mark.parametrize(
    "knobs, args",
    [
        ({"delay_ms": 5}, ["--delay-ms=5"]),
        ({"base64": True, "no_reply": False, "error": None}, ["--base64"]),
        ({"stream": ["data", "end"]}, ["--stream=data,end"]),
        ({"error": "--looks-like-an-option"}, ["--error=--looks-like-an-option"]),
    ],
)
def test_knobs_become_engine_options(knobs, args):
    assert knob_arguments(knobs) == args


def test_addresses_are_not_knobs():
    with pytest.raises(TypeError, match=r"MockEngine chooses --tcp itself"):
        knob_arguments({"tcp": 9096})
    with pytest.raises(TypeError, match=r"MockEngine chooses --notify-fd itself"):
        MockEngine(notify_fd=3)


def test_knobs_reach_the_engine():
    with MockEngine(error="boom", error_status=3, error_model=9) as engine:
        client = engine.socket_client()
        with pytest.raises(RuntimeError) as caught:
            client.infer(9, [1], "u8", b"x")
        assert caught.value.args == ("boom",)
        assert client.infer(1, [1], "u8", b"x") == b"x"  # other models still echo
    with MockEngine(stream=["data", "data", "end"], shm=False, tcp=False) as engine:
        items = list(engine.socket_client().infer_stream(1, [2], "u8", b"ab"))
        assert len(items) == 2
    with MockEngine(shm_behaviour="error", shm_error_text="region says no") as engine:
        with pytest.raises(RuntimeError) as caught:
            engine.shm_client().infer([1], "u8", b"x")
        assert caught.value.args == ("region says no",)


def test_an_engine_that_refuses_to_start_raises_with_its_own_words():
    engine = MockEngine(dealy_ms=500)
    with pytest.raises(MockEngineError) as caught:
        engine.start()
    error = caught.value
    assert error.returncode == 2
    assert error.stderr == ("zelto-mock-engine: unknown option '--dealy-ms' "
                            "(see zelto-mock-engine --help)\n")
    assert str(error) == ("zelto-mock-engine did not start (exit status 2): zelto-mock-engine: "
                          "unknown option '--dealy-ms' (see zelto-mock-engine --help)")
    socket_folder = Path(engine.args[engine.args.index("--unix") + 1]).parent
    assert not socket_folder.exists()
    assert not shm_path(engine.args[engine.args.index("--shm") + 1]).exists()


def test_a_missing_binary_names_where_it_was_looked_for(monkeypatch):
    with pytest.raises(ExecutableNotFoundError) as caught:
        MockEngine(binary="/nowhere/zelto-mock-engine").start()
    assert str(caught.value) == ("zelto-mock-engine not found: '/nowhere/zelto-mock-engine' is "
                                 "not an executable file")

    monkeypatch.delenv("ZELTO_MOCK_ENGINE", raising=False)
    monkeypatch.setenv("PATH", "/nowhere")
    monkeypatch.setattr(sysconfig, "get_path", lambda name: "/nowhere/venv/bin")
    monkeypatch.setattr(sys, "executable", "/nowhere/python/bin/python3")
    with pytest.raises(FileNotFoundError) as caught:
        MockEngine().start()
    assert str(caught.value) == (
        "zelto-mock-engine not found: looked for $ZELTO_MOCK_ENGINE (not set), "
        "/nowhere/venv/bin/zelto-mock-engine, /nowhere/python/bin/zelto-mock-engine and on "
        "PATH; install the zelto_sdk wheel into this Python's environment or set "
        "ZELTO_MOCK_ENGINE")


def test_the_installed_engine_is_found_without_an_activated_environment(monkeypatch):
    if os.environ.get("ZELTO_MOCK_ENGINE"):
        pytest.skip("a build of its own is under test, not the wheel's")
    monkeypatch.setenv("PATH", "/usr/bin:/bin")
    assert executables.find_executable("zelto-mock-engine") == str(
        Path(sysconfig.get_path("scripts")) / "zelto-mock-engine")
    with MockEngine(shm=False) as engine:
        assert engine.socket_client().infer(1, [1], "u8", b"x") == b"x"


def test_an_engine_that_dies_in_use_is_reported_and_cleaned_up():
    engine = MockEngine()
    with pytest.raises(MockEngineError) as caught:
        with engine:
            socket_path, shm = engine.socket_path, engine.shm_name
            os.kill(engine.pid, signal.SIGKILL)
            with pytest.raises(ConnectionError):
                zelto_sdk.ZeltoClient(engine.endpoint).infer(1, [1], "u8", b"x")
    assert str(caught.value).startswith("zelto-mock-engine died while in use (signal SIGKILL)")
    assert caught.value.returncode == -signal.SIGKILL
    assert not os.path.exists(socket_path) and not shm_path(shm).exists()


def test_kill_on_purpose_is_no_error():
    with MockEngine() as engine:
        shm = engine.shm_name
        engine.kill()
        assert shm_path(shm).exists()  # as a crash would leave it
    assert not shm_path(shm).exists()


def test_the_blocks_own_exception_comes_first():
    with pytest.raises(KeyError):
        with MockEngine() as engine:
            os.kill(engine.pid, signal.SIGKILL)
            raise KeyError("the test's own failure")


# An engine stand-in that exits as told on SIGTERM and never removes its socket file: what
# MockEngine must notice about an engine that does not clean up after itself.
UNTIDY_ENGINE = """#!{python}
import signal, socket, sys, time
args = sys.argv[1:]
listener = socket.socket(socket.AF_UNIX)
listener.bind(args[args.index("--unix") + 1])
listener.listen()
signal.signal(signal.SIGTERM, lambda *_: sys.exit({status}))
print("ready tcp_port=1" if "--tcp" in args else "ready", flush=True)
while True:
    time.sleep(1)
"""


@pytest.mark.parametrize("status, problem", [
    (0, "left behind {socket}"),
    (3, "stopped with exit status 3"),
])
def test_an_engine_that_does_not_clean_up_is_reported(tmp_path, status, problem):
    script = tmp_path / "untidy-engine"
    script.write_text(UNTIDY_ENGINE.format(python=sys.executable, status=status))
    script.chmod(0o755)
    engine = MockEngine(binary=str(script), shm=False)
    with pytest.raises(MockEngineError) as caught:
        with engine:
            socket_path = engine.socket_path
    assert str(caught.value) == (f"zelto-mock-engine {problem.format(socket=socket_path)}; its "
                                 "stderr: (empty)")
    assert not os.path.exists(socket_path)


# --- the pytest plugin -----------------------------------------------------------------------

USERS_TESTS = '''
import json, os
import pytest
import zelto_sdk

def note(engine, kind):
    worker = os.environ.get("PYTEST_XDIST_WORKER", "main")
    with open(os.environ["NOTES"], "a") as f:
        f.write(json.dumps([kind, worker, engine.socket_path, engine.tcp_port,
                            engine.shm_name]) + "\\n")

@pytest.mark.parametrize("n", range(6))
def test_each_test_has_its_own(zelto_engine, zelto_engine_session, n):
    note(zelto_engine, "own")
    note(zelto_engine_session, "session")
    assert zelto_sdk.ZeltoClient(zelto_engine.endpoint).infer(1, [1], "u8", b"x") == b"x"
    assert zelto_engine_session.shm_client().infer([1], "u8", b"y") == b"y"

@pytest.mark.zelto_engine(error="boom")
def test_marker_knobs(zelto_engine):
    with pytest.raises(RuntimeError, match="^boom$"):
        zelto_engine.socket_client().infer(1, [1], "u8", b"x")

@pytest.mark.parametrize("zelto_engine", [{"close_after": 1}, {}], indirect=True)
def test_indirect_knobs(zelto_engine):
    client = zelto_engine.socket_client()
    assert [client.infer(1, [1], "u8", b"x") for _ in range(3)] == [b"x"] * 3

def test_factory(zelto_engine_factory):
    slow = zelto_engine_factory(delay_ms=1, shm=False)
    assert slow.tcp_client().infer(1, [1], "u8", b"z") == b"z"

def test_a_misspelt_knob_fails_the_test(zelto_engine_factory):
    with pytest.raises(Exception, match="unknown option '--eror'"):
        zelto_engine_factory(eror="boom")
'''


def plugin_entry_point_installed() -> bool:
    """True with the wheel installed; False in a source tree (the sanitizer stage)."""
    found = metadata.entry_points()
    group = found.select(group="pytest11") if hasattr(found, "select") \
        else found.get("pytest11", [])  # Python 3.9
    return any(entry.name == "zelto_testing" for entry in group)


def run_users_suite(tmp_path: Path, *args: str) -> tuple:
    tests = tmp_path / "test_users.py"
    tests.write_text(USERS_TESTS)
    notes = tmp_path / "notes.jsonl"
    plugin = [] if plugin_entry_point_installed() else ["-p", "zelto_testing.pytest_plugin"]
    result = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *plugin, *args,
         str(tests)],
        capture_output=True, text=True, cwd=tmp_path, timeout=600,
        env={**os.environ, "NOTES": str(notes)})
    lines = [json.loads(line) for line in notes.read_text().splitlines()] if notes.exists() else []
    return result, lines


def test_plugin_fixtures_in_one_process(tmp_path):
    result, notes = run_users_suite(tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr
    assert "11 passed" in result.stdout
    own = [tuple(n[2:]) for n in notes if n[0] == "own"]
    session = {tuple(n[2:]) for n in notes if n[0] == "session"}
    assert len(own) == len(set(own)) == 6  # an engine per test
    assert len(session) == 1


def test_plugin_fixtures_under_xdist_workers(tmp_path):
    pytest.importorskip("xdist")
    result, notes = run_users_suite(tmp_path, "-n", "3")
    assert result.returncode == 0, result.stdout + result.stderr
    assert "11 passed" in result.stdout
    workers = {n[1] for n in notes}
    assert len(workers) >= 2, notes  # really spread over processes
    own = [tuple(n[2:]) for n in notes if n[0] == "own"]
    assert len(own) == len(set(own)) == 6
    sessions = {n[1]: tuple(n[2:]) for n in notes if n[0] == "session"}
    # one session engine per worker, no two workers sharing a path, port or region name
    for position in range(3):
        values = [engine[position] for engine in sessions.values()]
        assert len(values) == len(set(values))


def test_importing_the_kit_loads_no_pytest():
    probe = subprocess.run(
        [sys.executable, "-c", "import sys, zelto_testing, zelto_testing.arrays; "
                               "print('pytest' in sys.modules)"],
        capture_output=True, text=True, timeout=60)
    assert probe.stdout == "False\n", probe.stderr
    assert zelto_testing.__all__ == ["ExecutableNotFoundError", "KnobValue", "MockEngine",
                                     "MockEngineError", "find_executable"]
