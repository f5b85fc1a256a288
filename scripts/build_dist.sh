#!/usr/bin/env bash
# Makes what a release publishes, in dist/: the sdist, and the manylinux wheel built from that
# sdist inside the Debian bullseye root under build/ (made with debootstrap, or reused), repaired
# with auditwheel and checked (its manylinux policy, abi3audit --strict). Then runs the smoke
# suite with that wheel on the root's own CPython (scripts/check_old_system.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/setup.sh
source scripts/lib/old_root.sh
source scripts/lib/dist.sh

build_distribution
./scripts/check_old_system.sh "$WHEEL"
section "dist/"
ls -l dist
