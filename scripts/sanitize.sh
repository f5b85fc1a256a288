#!/usr/bin/env bash
# Runs the tests under the sanitizers:
#   1. build-asan (GCC, ASan + UBSan, UBSan findings fatal): the C++ unit tests, then the whole
#      Python suite against the sanitized extension and the sanitized mock engine, in an
#      interpreter started with the ASan runtime preloaded;
#   2. build-tsan (GCC, TSan): the C++ tests labelled `concurrency`, those of every file whose
#      tests run on several threads or processes (rings, allocator, pool, event loop, hybrid
#      connection, frames, connecting, waiting, shared regions).
# Exits non-zero on any test failure and on any sanitizer report, including reports from child
# processes (engines, helper interpreters) that a test might not notice: reports are written to
# log files under build-*/sanitizer-logs (and the engine's stderr is copied to
# build-asan/engine-stderr), and the stage fails if one appears.
#
#   SANITIZE_STAGES    "asan tsan" (default) or a subset
#   SANITIZE_PYTHON    interpreter for the Python stage (default: the newest one on the machine)
#   SANITIZE_PYTHON_LEAKS  0 to skip leak checking of the test interpreter (default 1)
#   SANITIZE_PYTEST_MARKERS  pytest -m expression for the Python stage (default "not soak")
#   ZELTO_BUILD_JOBS   compile jobs (default 2)
# Extra arguments are passed to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source scripts/lib/setup.sh

stages=${SANITIZE_STAGES:-asan tsan}
# The soak tests bound the growth of resident memory, which ASan's quarantine and shadow memory
# make meaningless; every other test runs.
pytest_markers=${SANITIZE_PYTEST_MARKERS:-not soak}

# Fails the stage when a sanitizer wrote a report anywhere under `dir`.
check_sanitizer_logs() {
    local dir=$1 stage=$2
    if [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
        for report in "$dir"/*; do
            echo "----- $report"
            head -n 80 "$report"
        done
        echo "FAILED: $stage: sanitizer reports in $dir" >&2
        return 1
    fi
}

fresh_log_dir() {
    rm -rf "$1"
    mkdir -p "$1"
}

timings=()
stage_started=0
start_stage() { section "$1"; stage_started=$SECONDS; }
end_stage() { timings+=("$(printf '%-34s %5ss' "$1" $((SECONDS - stage_started)))"); }

install_system_packages
python=${SANITIZE_PYTHON:-$(test_pythons | tail -n 1)}
venv=$(make_tool_venv "$python")

status=0

if [[ " $stages " == *" asan "* ]]; then
    build=build-asan  # the asan preset's binaryDir (CMakePresets.json)
    logs="$root/$build/sanitizer-logs"
    libasan=$(gcc -print-file-name=libasan.so)
    libubsan=$(gcc -print-file-name=libubsan.so)
    [ -f "$libasan" ] && [ -f "$libubsan" ] || { echo "GCC sanitizer runtimes not found" >&2; exit 2; }

    start_stage "ASan + UBSan build ($build)"
    cmake --preset asan -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
    cmake --build --preset asan -j "$(build_jobs)"
    end_stage "asan: build"

    # halt_on_error/abort_on_error: the first finding stops the process with a failing status;
    # log_path: the report also survives in a file when the process was a child of a test.
    common="halt_on_error=1:abort_on_error=1:print_stacktrace=1:symbolize=1"
    export UBSAN_OPTIONS="$common:log_path=$logs/ubsan"

    start_stage "asan: C++ unit tests"
    fresh_log_dir "$logs"
    # Our own code: leaks count.
    if ! ASAN_OPTIONS="$common:detect_leaks=1:log_path=$logs/asan" \
        "$build/zelto_cpp_tests" --gtest_brief=1; then
        echo "FAILED: C++ unit tests under ASan/UBSan" >&2
        status=1
    fi
    check_sanitizer_logs "$logs" "asan C++ tests" || status=1
    end_stage "asan: C++ unit tests"

    start_stage "asan: Python tests ($("$venv/bin/python" --version))"
    fresh_log_dir "$logs"
    # The engine is our code too, so it keeps leak detection. GCC's UBSan runtime, loaded next to
    # ASan, ignores log_path and reports only on stderr, which the tests capture; so the wrapper
    # also copies the engine's stderr into a file that is searched afterwards. exec keeps the
    # pid, so tests can still signal and wait for the engine.
    engine_stderr="$root/$build/engine-stderr"
    fresh_log_dir "$engine_stderr"
    engine_wrapper="$root/$build/zelto-mock-engine-checked"
    cat >"$engine_wrapper" <<WRAPPER
#!/usr/bin/env bash
exec 2> >(tee -a "$engine_stderr/engine.\$\$" >&2)
ASAN_OPTIONS="$common:detect_leaks=1:log_path=$logs/asan-engine" LSAN_OPTIONS= LD_PRELOAD= \\
    exec "$root/$build/zelto-mock-engine" "\$@"
WRAPPER
    chmod +x "$engine_wrapper"
    # The interpreter itself is not instrumented: the runtime must be loaded before it, and
    # Python's own allocator must step aside so that ASan sees every object. What CPython and
    # numpy deliberately keep until exit is suppressed by allocator name; leaks from our code are
    # still reported (SANITIZE_PYTHON_LEAKS=0 turns leak checking off for the interpreter).
    if ! (cd tests/python &&
        LD_PRELOAD="$libasan $libubsan" \
        ASAN_OPTIONS="$common:detect_leaks=${SANITIZE_PYTHON_LEAKS:-1}:log_path=$logs/asan-python" \
        LSAN_OPTIONS="suppressions=$root/tests/sanitizers/lsan_cpython.supp:print_suppressions=0" \
        PYTHONMALLOC=malloc \
        PYTHONPATH="$root/$build:$root/python" \
        ZELTO_MOCK_ENGINE="$engine_wrapper" \
        ZELTO_SHM_INSPECT="$root/$build/zelto-shm-inspect" \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider -m "$pytest_markers" "$@"); then
        echo "FAILED: Python tests under ASan/UBSan" >&2
        status=1
    fi
    check_sanitizer_logs "$logs" "asan Python tests" || status=1
    if grep -l -E 'runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer' \
        "$engine_stderr"/* 2>/dev/null; then
        echo "FAILED: asan Python tests: sanitizer reports in the engine stderr copies above" >&2
        status=1
    fi
    end_stage "asan: Python tests"
fi

if [[ " $stages " == *" tsan "* ]]; then
    build=build-tsan  # the tsan preset's binaryDir (CMakePresets.json)
    logs="$root/$build/sanitizer-logs"

    start_stage "TSan build ($build)"
    cmake --preset tsan >/dev/null
    cmake --build --preset tsan -j "$(build_jobs)"
    end_stage "tsan: build"

    start_stage "tsan: concurrency tests"
    fresh_log_dir "$logs"
    # The tsan test preset runs the tests labelled `concurrency` (tests/cpp/CMakeLists.txt says
    # which files those are, and fails to configure when a file that starts threads is not one).
    if ! TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$logs/tsan" \
        ctest --preset tsan; then
        echo "FAILED: concurrency tests under TSan" >&2
        status=1
    fi
    check_sanitizer_logs "$logs" "tsan tests" || status=1
    end_stage "tsan: concurrency tests"
fi

section "Sanitizer stages"
printf '%s\n' "${timings[@]}"
[ "$status" -eq 0 ] && echo "no findings" || echo "FAILED"
exit $status
