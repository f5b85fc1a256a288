"""zelto-perf against real engines: the table, JSON and CSV agree with what was measured; engine
errors, wrong addresses, echo mismatches and an engine killed mid-run are counted with their
text instead of stopping the run; the command line refuses what it cannot measure."""

from __future__ import annotations

import csv
import json
import os
import signal
import subprocess
import sys
import sysconfig
import time
from pathlib import Path

import pytest

from conftest import SocketWire, free_tcp_port, wait_for

HEADER = ("transport      size  calls  errors  p50 us  p90 us  p99 us  calls/s  MiB/s")


def perf(*args: str, timeout: float = 300, python_prefix=()) -> subprocess.CompletedProcess:
    command = [sys.executable, *python_prefix, "-m", "zelto_testing.perf", *args]
    return subprocess.run(command, capture_output=True, text=True, timeout=timeout)


def table_rows(stdout: str):
    """The table's rows as lists of cells (the label may hold one space)."""
    lines = stdout.split("\n\n")[0].splitlines()
    assert lines[1].startswith("-------------")
    rows = []
    for line in lines[2:]:
        label = " ".join(line.split()[:2]) if line.startswith(("socket", "shared")) else \
            line.split()[0]
        rows.append([label, *line[len(label):].split()])
    return lines[0], rows


def test_table_json_and_csv_of_a_clean_run(engines, socket_path, tmp_path):
    port = free_tcp_port()
    engines.start("--unix", socket_path, "--tcp", str(port))
    out_json, out_csv = tmp_path / "r.json", tmp_path / "r.csv"
    result = perf("--unix", socket_path, "--tcp", f"127.0.0.1:{port}", "--sizes", "4KiB,64k",
                  "--calls", "30", "--warmup", "2", "--check-echo", "--json", str(out_json),
                  "--csv", str(out_csv), "--progress", "never")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stderr == ""
    header, rows = table_rows(result.stdout)
    assert header.split() == HEADER.split()
    assert [(r[0], r[1], r[2], r[3], r[4]) for r in rows] == [
        ("socket (unix)", "4", "KiB", "30", "0"), ("socket (unix)", "64", "KiB", "30", "0"),
        ("socket (tcp)", "4", "KiB", "30", "0"), ("socket (tcp)", "64", "KiB", "30", "0")]
    assert "errors:" not in result.stdout

    report = json.loads(out_json.read_text())
    assert report["settings"] == {"dtype": "float32", "model_id": 0, "calls": 30,
                                  "duration_s": None, "warmup": 2, "concurrency": 1,
                                  "check_echo": True, "max_errors": 10}
    measured = report["rows"]
    assert [(r["transport"], r["size"], r["calls"], r["errors"]) for r in measured] == [
        ("unix", 4096, 30, 0), ("unix", 65536, 30, 0), ("tcp", 4096, 30, 0),
        ("tcp", 65536, 30, 0)]
    for row in measured:
        assert 0 < row["p50_us"] <= row["p90_us"] <= row["p99_us"]
        assert row["mib_per_s"] == pytest.approx(row["calls_per_s"] * row["size"] / (1 << 20))
        assert row["error_texts"] == {} and row["gave_up"] is None
    assert measured[0]["address"] == f"unix://{socket_path}"
    assert measured[2]["address"] == f"tcp://127.0.0.1:{port}"

    with open(out_csv, newline="") as f:
        written = list(csv.DictReader(f))
    assert [(r["transport"], int(r["size"]), float(r["p99_us"])) for r in written] == [
        (r["transport"], r["size"], r["p99_us"]) for r in measured]
    assert all(r["first_error"] == "" for r in written)


def test_engine_errors_are_counted_with_their_text(engines, socket_path, tmp_path):
    engines.start("--unix", socket_path, "--error", "model is warming up", "--error-model", "7")
    out_json = tmp_path / "r.json"
    result = perf("--unix", socket_path, "--model-id", "7", "--sizes", "4KiB", "--calls", "50",
                  "--json", str(out_json))
    assert result.returncode == 1
    _, rows = table_rows(result.stdout)
    assert rows[0][:5] == ["socket (unix)", "4", "KiB", "0", "10"]
    assert result.stdout.endswith(
        "\nerrors:\n"
        "  socket (unix) 4 KiB: 10 x RuntimeError: model is warming up\n"
        "  socket (unix) 4 KiB: gave up after 10 failed calls in a row\n")
    row = json.loads(out_json.read_text())["rows"][0]
    assert row["error_texts"] == {"RuntimeError: model is warming up": 10}
    assert (row["calls"], row["p50_us"], row["calls_per_s"]) == (0, None, None)
    # Another model of the same engine is measured in full.
    assert perf("--unix", socket_path, "--model-id", "1", "--sizes", "4KiB",
                "--calls", "20").returncode == 0


def test_check_echo_counts_results_that_differ(engines, socket_path):
    other = SocketWire.tensor([1], "uint8", b"Z").hex()  # every reply: one byte "Z"
    engines.start("--unix", socket_path, "--reply-hex", other)
    args = ("--unix", socket_path, "--dtype", "uint8", "--sizes", "16", "--calls", "5",
            "--warmup", "0")
    assert perf(*args).returncode == 0  # without the check, any answer counts
    checked = perf(*args, "--check-echo", "--max-errors", "3")
    assert checked.returncode == 1
    assert ("  socket (unix) 16 B: 3 x echo check: the result differs from the input\n"
            in checked.stdout)


def test_wrong_addresses(tmp_path):
    missing_socket = str(tmp_path / "none.sock")
    closed_port = free_tcp_port()
    result = perf("--unix", missing_socket, "--tcp", str(closed_port), "--shm", "/zelto-none",
                  "--sizes", "4KiB", "--calls", "5", "--max-errors", "4")
    assert result.returncode == 1
    _, rows = table_rows(result.stdout)
    assert [(r[0], r[3], r[4]) for r in rows] == [
        ("socket (unix)", "0", "4"), ("socket (tcp)", "0", "4"), ("shared memory", "0", "1"),
        ("hybrid", "0", "1")]
    errors = result.stdout.split("errors:\n")[1]
    assert "  socket (unix) 4 KiB: 4 x ConnectionError: No such file or directory (os error 2)\n" \
        in errors
    assert "  socket (tcp) 4 KiB: 4 x ConnectionError: Connection refused (os error 111)\n" \
        in errors
    shm_error = ("ConnectionError: Shared memory error: Opening the shared memory failed, "
                 "os error 2")
    assert f"  shared memory 4 KiB: 1 x {shm_error}\n" in errors
    assert f"  hybrid 4 KiB: 1 x {shm_error}\n  hybrid 4 KiB: the client could not be made\n" \
        in errors


def test_an_engine_killed_during_the_run(engines, socket_path, record_path, tmp_path):
    engine = engines.start("--unix", socket_path, "--record", record_path)
    out_json = tmp_path / "r.json"
    run = subprocess.Popen(
        [sys.executable, "-m", "zelto_testing.perf", "--unix", socket_path, "--sizes", "64,128",
         "--duration", "3", "--warmup", "0", "--json", str(out_json)],
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    wait_for(lambda: os.path.exists(record_path)
             and sum(1 for _ in open(record_path)) >= 50, timeout=60)
    os.kill(engine.proc.pid, signal.SIGKILL)
    stdout, stderr = run.communicate(timeout=120)
    assert run.returncode == 1, stdout + stderr
    first, second = json.loads(out_json.read_text())["rows"]
    assert first["calls"] >= 49  # measured until the kill
    texts = set(first["error_texts"]) | set(second["error_texts"])
    # A request the killed engine had not read yet makes the kernel reset the connection.
    cut = {"ConnectionError: Connection refused (os error 111)",
           "ConnectionError: Connection reset by peer (os error 104)",
           "ConnectionError: failed to fill whole buffer",
           "ConnectionError: No such file or directory (os error 2)"}
    assert texts and texts <= cut, texts
    assert "gave up after 10 failed calls in a row" in (first["gave_up"], second["gave_up"])
    assert "errors:\n" in stdout


def test_concurrent_worker_processes(engines, socket_path, record_path, tmp_path):
    engines.start("--unix", socket_path, "--record", record_path)
    out_json = tmp_path / "r.json"
    result = perf("--unix", socket_path, "--sizes", "64", "--calls", "41", "--warmup", "1",
                  "--concurrency", "3", "--check-echo", "--json", str(out_json))
    assert result.returncode == 0, result.stdout + result.stderr
    row = json.loads(out_json.read_text())["rows"][0]
    assert (row["calls"], row["errors"]) == (41, 0)
    frames = [line.split()[0] for line in open(record_path) if line.split()[1] == "frame"]
    assert len(set(frames)) == 3  # one client, one connection per worker
    assert len(frames) == 41 + 3  # every call and warm-up call, once


def test_concurrent_worker_processes_through_one_region(engines, socket_path, shm_name, tmp_path):
    """Hybrid clients of several processes share a region: every echo checked, no error."""
    engines.start("--unix", socket_path, "--shm", shm_name)
    out_json = tmp_path / "r.json"
    result = perf("--unix", socket_path, "--shm", shm_name, "--transports", "hybrid",
                  "--sizes", "64,300KiB", "--calls", "60", "--concurrency", "3", "--check-echo",
                  "--json", str(out_json))
    assert result.returncode == 0, result.stdout + result.stderr
    rows = json.loads(out_json.read_text())["rows"]
    assert [(row["calls"], row["errors"]) for row in rows] == [(60, 0), (60, 0)]


def test_mock_engine_every_transport_with_progress_and_plot(tmp_path):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "perf.png"
    result = perf("--mock-engine", "--check-echo", "--sizes", "4KiB,1MiB", "--calls", "20",
                  "--plot", str(plot), "--progress", "always")
    assert result.returncode == 0, result.stdout + result.stderr
    _, rows = table_rows(result.stdout)
    assert [(r[0], r[3], r[4]) for r in rows] == [
        (label, "20", "0") for label in ("socket (unix)", "socket (tcp)", "shared memory",
                                         "hybrid") for _ in range(2)]
    drawn = result.stderr.splitlines()  # universal newlines: each "\r" redraw is a line
    assert drawn[1].startswith("[" + "." * 30 + "]   0%  socket (unix) 4 KiB")
    assert "[" + "#" * 30 + "] 100%  hybrid 1 MiB" in result.stderr  # full at the end
    assert drawn[-1].strip() == ""  # and wiped before the table
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and plot.stat().st_size > 10_000


def test_plot_without_matplotlib_is_refused_before_measuring(tmp_path):
    blocked = ("-c", "import sys; sys.modules['matplotlib'] = None; "
                     "from zelto_testing.perf import main; sys.exit(main(sys.argv[1:]))")
    result = subprocess.run([sys.executable, *blocked, "--mock-engine", "--plot",
                             str(tmp_path / "p.png")], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == "zelto-perf: --plot needs matplotlib (pip install matplotlib)\n"


@pytest.mark.parametrize(
    "args, message",
    [
        (["--mock-engine", "--sizes", "4XB"], "not a size: '4XB' (write e.g. 4096, 4KiB, 1MiB, 16MiB-80)"),
        (["--mock-engine", "--sizes", "6", "--dtype", "float32"],
         "6 bytes is not a whole number of float32 elements (4 bytes each)"),
        (["--mock-engine", "--transports", "unix,quic"],
         "unknown transport 'quic' (choose from unix, tcp, shm, hybrid)"),
        (["--shm", "/x", "--transports", "hybrid"], "transport hybrid needs --shm NAME and "
                                                    "--unix PATH"),
        (["--mock-engine", "--unix", "/tmp/x.sock"],
         "--mock-engine chooses its own addresses; leave out --unix/--tcp/--shm"),
        ([], "give the engine's addresses (--unix, --tcp, --shm) or --mock-engine"),
        (["--tcp", "localhost"], "not a TCP address: 'localhost' (write HOST:PORT)"),
        (["--mock-engine", "--concurrency", "2"],
         "--concurrency 2 cannot measure shm: a region's response ring is read by one process "
         "at a time, so only one worker may hold a ZeltoShmClient on it; choose --transports "
         "unix,tcp,hybrid"),
    ],
    ids=["size", "dtype-multiple", "transport", "hybrid-needs-unix", "mock-and-address",
         "nothing", "tcp", "concurrent-region"],
)
def test_command_lines_it_cannot_measure(args, message):
    result = perf(*args)
    assert (result.returncode, result.stdout) == (2, "")
    assert result.stderr == f"zelto-perf: {message}\n"


def test_the_console_script_is_installed():
    script = Path(sysconfig.get_path("scripts")) / "zelto-perf"
    if not script.exists():
        pytest.skip("no wheel installed (a source tree is under test)")
    shown = subprocess.run([str(script), "--help"], capture_output=True, text=True, timeout=60)
    assert shown.returncode == 0 and shown.stdout.startswith("usage: zelto-perf")


@pytest.mark.parametrize("written, size, shown", [
    ("300", 300, "300 B"), ("4KiB", 4096, "4 KiB"), ("64k", 65536, "64 KiB"),
    ("1MiB", 1 << 20, "1 MiB"), ("16MiB-80", (16 << 20) - 80, "16MiB-80B"),
    ("1m - 1KiB", (1 << 20) - 1024, "1023 KiB"), ("2 GiB", 2 << 30, "2 GiB"),
])
def test_sizes_as_written_and_as_shown(written, size, shown):
    from zelto_testing.perf.plan import parse_size
    from zelto_testing.perf.results import human_size
    assert parse_size(written) == size and human_size(size) == shown


@pytest.mark.parametrize("written", ["", "4XB", "1KiB-2KiB", "-5", "4 KiB 2"])
def test_sizes_that_are_none(written):
    from zelto_testing.perf.plan import parse_size
    with pytest.raises(ValueError, match="not a size"):
        parse_size(written)
