#!/usr/bin/env bash
# Runs the whole test suite on a fresh machine: installs what the tests need, builds the one
# cp39-abi3 wheel, checks it really is abi3, runs the C++ unit tests, runs the Python tests with
# that same wheel on the oldest supported and the newest CPython on the machine, then the
# hardening stages: the suites again under ASan/UBSan and TSan, and a bounded fuzzing run.
#
#   ZELTO_SKIP_HARDENING=1   skip the sanitizer and fuzzing stages (a quick local run)
#   FUZZ_SECONDS=N           seconds per fuzz target (default 30)
# Extra arguments are passed to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/setup.sh

install_system_packages
build_wheel
check_wheel_abi3

section "C++ unit tests"
cmake -S . -B build/cpp-tests -G Ninja -DZELTO_WERROR=ON -DZELTO_BUILD_EXTENSION=OFF \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/cpp-tests
(cd build/cpp-tests && ctest --output-on-failure -j2)

status=0
for python in $(test_pythons); do
    venv=$(make_test_venv "$python")
    section "Python tests on $("$venv/bin/python" --version)"
    (cd tests/python && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@") || status=1
done

if [ "${ZELTO_SKIP_HARDENING:-0}" != 1 ]; then
    ./scripts/sanitize.sh || status=1
    FUZZ_SECONDS=${FUZZ_SECONDS:-30} ./scripts/fuzz.sh || status=1
fi
exit $status
