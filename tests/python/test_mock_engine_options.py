"""zelto-mock-engine's command line: every option is declared by the part that reads it, anything
else stops the engine before it starts (exit status 2, a sentence naming the argument), --help
lists every option, --version names the wheel's version, --tcp 0 reports its port on the ready
line, and --replace-stale takes over what a SIGKILLed engine left behind - and nothing else."""

from __future__ import annotations

import os
import re
import signal
import subprocess
from importlib import metadata
from pathlib import Path

import pytest

import zelto_sdk
from conftest import engine_binary

ENGINE_SOURCES = Path(__file__).resolve().parents[2] / "engine"
SEE_HELP = " (see zelto-mock-engine --help)\n"


def run_engine(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([engine_binary(), *args], capture_output=True, text=True, timeout=30)


@pytest.mark.parametrize(
    "args, message",
    [
        (["--unix", "P", "--dealy-ms", "500"], "unknown option '--dealy-ms'"),
        (["--unix", "P", "--eror", "boom"], "unknown option '--eror'"),
        (["--unix"], "option '--unix' needs a value (PATH)"),
        (["--unix", "--tcp", "0"], "option '--unix' needs a value (PATH)"),
        (["--unix", "P", "--delay-ms", "abc"], "option '--delay-ms' needs a number, not 'abc'"),
        (["--unix", "P", "--close-after", "-1"], "option '--close-after' needs a number, not '-1'"),
        (["--unix", "P", "--tcp", " 5"], "option '--tcp' needs a number, not ' 5'"),
        (["--unix", "P", "--verbose=yes"], "option '--verbose' takes no value"),
        (["--unix", "P", "stray"], "unexpected argument 'stray' (options start with --)"),
        (["--print-ready"], "give --unix PATH, --tcp PORT and/or --shm NAME"),
    ],
    ids=["misspelt-delay", "misspelt-error", "no-value", "option-for-value", "not-a-number",
         "negative", "blank", "flag-with-value", "positional", "no-listener"],
)
def test_bad_command_lines_stop_the_engine_with_status_2(args, message):
    result = run_engine(*args)
    assert result.returncode == 2
    assert result.stdout == ""
    suffix = SEE_HELP if "give --unix" not in message else "\n"
    assert result.stderr == f"zelto-mock-engine: {message}{suffix}"


def test_values_after_an_equals_sign_may_start_with_dashes(socket_path):
    engine = subprocess.Popen([engine_binary(), "--unix", socket_path, "--error=--boom",
                               "--print-ready"], stdout=subprocess.PIPE)
    try:
        assert engine.stdout.readline() == b"ready\n"
        with pytest.raises(RuntimeError) as caught:
            zelto_sdk.ZeltoClient(socket_path).infer(1, [1], "u8", b"x")
        assert caught.value.args == ("--boom",)
    finally:
        engine.terminate()
        assert engine.wait(timeout=10) == 0


def options_read_in(source: str):
    return set(re.findall(r'options_?\.(?:has|text|number)\(\s*"([a-z0-9-]+)"', source))


def test_help_lists_every_option_a_part_reads():
    result = run_engine("--help")
    assert result.returncode == 0 and result.stderr == ""
    listed = set(re.findall(r"^  --([a-z0-9-]+)", result.stdout, flags=re.MULTILINE))
    read = set()
    for source in ENGINE_SOURCES.glob("*.cpp"):
        read |= options_read_in(source.read_text())
    assert len(read) > 30  # the pattern still finds the parts' reads
    assert read <= listed, f"read but not declared: {sorted(read - listed)}"
    assert {"help", "version", "print-ready", "replace-stale"} <= listed
    assert result.stdout.startswith("usage: zelto-mock-engine [--unix PATH]")
    assert max(map(len, result.stdout.splitlines())) <= 100


def test_help_wins_over_a_bad_command_line():
    result = run_engine("--dealy-ms", "--help")
    assert result.returncode == 0 and result.stdout.startswith("usage:")


def test_version_is_the_wheels():
    result = run_engine("--version")
    assert result.returncode == 0
    if os.environ.get("ZELTO_MOCK_ENGINE"):  # a build of its own, not the installed wheel's
        assert re.fullmatch(r"zelto-mock-engine \S+\n", result.stdout)
    else:
        assert result.stdout == f"zelto-mock-engine {metadata.version('zelto_sdk')}\n"


def test_tcp_port_0_is_reported_on_the_ready_line(engines, socket_path):
    plain = engines.start("--unix", socket_path)
    assert plain.tcp_port is None  # "ready" alone, as before, without TCP
    engine = engines.start("--tcp", "0")
    assert engine.tcp_port and 0 < engine.tcp_port < 65536
    client = zelto_sdk.ZeltoClient(f"tcp://127.0.0.1:{engine.tcp_port}")
    assert client.infer(1, [3], "u8", b"abc") == b"abc"


def test_a_port_out_of_range_is_refused(socket_path):
    result = run_engine("--unix", socket_path, "--tcp", "70000")
    assert result.returncode == 1
    assert result.stderr == "zelto-mock-engine: --tcp 70000 is not a port (0 to 65535)\n"
    assert not os.path.exists(socket_path)  # the Unix listener made first is gone again


def region_file(name: str) -> Path:
    return Path("/dev/shm") / name.lstrip("/")


def test_replace_stale_takes_over_what_a_killed_engine_left(engines, socket_path, shm_name):
    killed = engines.start("--unix", socket_path, "--shm", shm_name)
    killed.stop(signal.SIGKILL)
    assert region_file(shm_name).exists() and os.path.exists(socket_path)

    refused = run_engine("--unix", socket_path, "--shm", shm_name)
    assert refused.returncode == 1
    assert refused.stderr == (
        f"zelto-mock-engine: cannot create shared memory object '{shm_name}': File exists "
        "(os error 17) (one left behind by a killed engine is replaced with --replace-stale)\n")

    engines.start("--unix", socket_path, "--shm", shm_name, "--replace-stale")
    assert zelto_sdk.ZeltoHybridClient(shm_name, socket_path).infer([2], "u8", b"ok") == b"ok"
    assert zelto_sdk.ZeltoShmClient(shm_name).infer([2], "u8", b"ok") == b"ok"


def test_replace_stale_never_takes_a_running_engines_region_or_socket(
        engines, socket_path, shm_name, tmp_path):
    engines.start("--unix", socket_path, "--shm", shm_name)
    other_socket = str(Path(socket_path).with_name("other.sock"))
    taken = run_engine("--unix", other_socket, "--shm", shm_name, "--replace-stale")
    assert taken.returncode == 1
    assert taken.stderr == (
        f"zelto-mock-engine: cannot create shared memory object '{shm_name}': File exists "
        "(os error 17) (a running engine holds it, or it is not a region of ours)\n")
    for extra in ([], ["--replace-stale"]):
        result = run_engine("--unix", socket_path, *extra)
        assert result.returncode == 1
        assert result.stderr == (f"zelto-mock-engine: cannot listen on {socket_path}: "
                                 "a running process accepts connections there\n")
    # The first engine still owns both and answers on both.
    assert zelto_sdk.ZeltoHybridClient(shm_name, socket_path).infer([1], "u8", b"x") == b"x"


def test_replace_stale_leaves_an_object_of_another_kind_alone(shm_name):
    foreign = region_file(shm_name)
    foreign.write_bytes(b"not a region of ours")
    try:
        result = run_engine("--shm", shm_name, "--replace-stale")
        assert result.returncode == 1
        assert "(a running engine holds it, or it is not a region of ours)" in result.stderr
        assert foreign.read_bytes() == b"not a region of ours"
    finally:
        foreign.unlink()
