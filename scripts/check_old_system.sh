#!/usr/bin/env bash
# Proof that the published wheel runs on an older system: in the Debian bullseye root under build/
# (glibc 2.31; made with debootstrap, or reused), installs the wheel with that system's own
# CPython 3.9 and pip (20.3, which must accept the manylinux tag) into a fresh virtual environment
# and runs the smoke suite, tests/python/test_wheel_smoke.py, there: import, the module surface,
# one call per transport against the wheel's own zelto-mock-engine, what the wheel ships.
#
#   ./scripts/check_old_system.sh [WHEEL]   default: dist/'s manylinux wheel, built first if none
# Extra arguments after WHEEL are passed to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/setup.sh
source scripts/lib/old_root.sh
source scripts/lib/dist.sh

started=$SECONDS
wheel=${1:-}
[ $# -gt 0 ] && shift
if [ -z "$wheel" ]; then
    wheel=$(ls dist/zelto_sdk-*-cp39-abi3-"$WHEEL_POLICY".whl 2>/dev/null || true)
    if [ -z "$wheel" ]; then
        build_distribution
        wheel=$WHEEL
    fi
fi
ensure_old_root

root=$(old_root)
section "The wheel on the $OLD_ROOT_SUITE root: $(basename "$wheel")"
# Only the smoke file and the conftest it uses: the rest of the suite needs numpy and mypy.
rm -rf "$root/zelto/check"
mkdir -p "$root/zelto/check"
cp "$wheel" tests/python/conftest.py tests/python/test_wheel_smoke.py "$root/zelto/check/"
status=0
in_old_root /bin/sh -c '
    set -e
    echo "Debian $(cat /etc/debian_version), $(ldd --version | head -n 1), $(python3 --version)"
    rm -rf /zelto/check-venv
    python3 -m venv /zelto/check-venv
    /zelto/check-venv/bin/python -m pip install -q --disable-pip-version-check \
        /zelto/check/*.whl pytest
    cd /zelto/check
    PYTHONDONTWRITEBYTECODE=1 /zelto/check-venv/bin/python -m pytest -q -p no:cacheprovider \
        test_wheel_smoke.py "$@"' check-old-system "$@" || status=1
echo "old-system check: $((SECONDS - started)) s"
exit $status
