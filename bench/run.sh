#!/usr/bin/env bash
# End-to-end benchmark in one command: installs what it needs, builds the extension, the mock
# engine and the two C++ reference programs, then runs bench/run_bench.py (arguments are passed
# on, e.g. `bench/run.sh --scale 0.2 --no-soak` for a quick look).
#
# Writes bench/results/results.md, latency.png, throughput.png and bench/RESULTS.md.
#
# Environment: BENCH_BUILD_DIR (default build-bench), BENCH_JOBS (parallel build jobs, default
# the number of cores), PYTHON (interpreter for the venv, default python3; 3.10 or newer).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BENCH_BUILD_DIR:-$root/build-bench}
jobs=${BENCH_JOBS:-$(nproc)}
python=${PYTHON:-python3}

source scripts/lib/setup.sh
install_missing_packages g++ cmake ninja-build

venv=$build/venv
if [ ! -x "$venv/bin/python" ]; then
    section "virtual environment $venv"
    mkdir -p "$build"
    "$python" -m venv "$venv"
fi
section "pip install numpy pyzmq grpcio matplotlib"
"$venv/bin/python" -m pip install -q --disable-pip-version-check numpy pyzmq grpcio matplotlib

# The bench preset (CMakePresets.json) builds the extension, the mock engine and, in
# $build/bench, the C++ floor client (program and libzelto_floor.so) and machine limits.
section "build (cmake --preset bench, -j$jobs)"
base_python=$("$venv/bin/python" -c 'import sys; print(sys._base_executable)')
cmake --preset bench -B "$build" -DPython_EXECUTABLE="$base_python" >/dev/null
cmake --build "$build" -j"$jobs"

section "run"
PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" "$venv/bin/python" bench/run_bench.py \
    --engine "$build/zelto-mock-engine" --native-dir "$build/bench" "$@"
