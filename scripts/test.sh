#!/usr/bin/env bash
# Runs the whole test suite on a fresh machine: installs what the tests need; builds the sdist,
# from it the one cp39-abi3 wheel inside a Debian bullseye root (glibc 2.31), repairs it to its
# manylinux policy and checks that policy and abi3 (scripts/lib/dist.sh); runs the smoke suite
# with that wheel on the bullseye root's own CPython (scripts/check_old_system.sh); runs the C++
# unit tests; installs the same wheel for every supported CPython on the machine and runs the
# smoke suite on each, the whole Python suite on the oldest and the newest; then the hardening
# stages: the suites again under ASan/UBSan and TSan, and a bounded fuzzing run.
#
#   ZELTO_SKIP_HARDENING=1   skip the sanitizer and fuzzing stages (a quick local run)
#   FUZZ_SECONDS=N           seconds per fuzz target (default 30)
# Extra arguments are passed to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/setup.sh
source scripts/lib/old_root.sh
source scripts/lib/dist.sh

timings=()
stage_started=$SECONDS
end_stage() {
    timings+=("$(printf '%-44s %5ss' "$1" $((SECONDS - stage_started)))")
    stage_started=$SECONDS
}

install_system_packages
end_stage "set-up"

status=0
section "Format check"
./scripts/format.sh --check || status=1
end_stage "format check (clang-format $CLANG_FORMAT_VERSION)"

build_distribution
end_stage "sdist, wheel in the old root, repair, checks"

./scripts/check_old_system.sh "$WHEEL" || status=1
end_stage "smoke suite on the $OLD_ROOT_SUITE root"

section "C++ unit tests"
cmake --preset cpp-tests >/dev/null
cmake --build --preset cpp-tests
ctest --preset cpp-tests
end_stage "C++ unit tests"

whole_suite_pythons=$(test_pythons)
for python in $(supported_pythons); do
    if grep -qxF "$python" <<<"$whole_suite_pythons"; then
        venv=$(make_test_venv "$python" "${FULL_SUITE_PACKAGES[@]}")
        section "Python tests on $("$venv/bin/python" --version)"
        (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@") || status=1
        end_stage "Python tests, $("$venv/bin/python" --version)"
    else
        venv=$(make_test_venv "$python")
        section "Smoke tests on $("$venv/bin/python" --version)"
        (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider \
            test_wheel_smoke.py "$@") || status=1
        end_stage "smoke tests, $("$venv/bin/python" --version)"
    fi
done

if [ "${ZELTO_SKIP_HARDENING:-0}" != 1 ]; then
    ./scripts/sanitize.sh || status=1
    end_stage "sanitizer stages"
    FUZZ_SECONDS=${FUZZ_SECONDS:-30} ./scripts/fuzz.sh || status=1
    end_stage "fuzzing"
fi

section "Stages"
printf '%s\n' "${timings[@]}"
exit $status
