#!/usr/bin/env bash
# A/B of two builds in one run: the module at REV (a commit) against the working tree.
#
#   bench/compare.sh REV [compare_builds.py options]   e.g. bench/compare.sh HEAD~3 --load 2
#
# Builds both wheels into build-compare/ (REV from a temporary git worktree), installs each into
# its own virtual environment, and runs bench/compare_builds.py with the working tree's mock
# engine serving both.
set -euo pipefail
cd "$(dirname "$0")/.."
rev=${1:?usage: bench/compare.sh REV [options]}
shift
source scripts/lib/setup.sh
install_system_packages

out=$PWD/build-compare
python=$(build_python)
"$python" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.24" ninja

# The wheel of the tree at $1 into a fresh environment $2.
build_into() {
    local tree=$1 venv=$2 wheels
    wheels=$(mktemp -d)
    (cd "$tree" && "$python" -m pip wheel -q --no-deps --no-build-isolation -w "$wheels" \
        -C build-dir="$out/build-$(basename "$venv")" .)
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheels"/*.whl
    rm -rf "$wheels"
}

section "build $rev"
base_tree=$out/tree-base
git worktree remove --force "$base_tree" 2>/dev/null || rm -rf "$base_tree"
git worktree add --detach -q "$base_tree" "$rev"
trap 'git worktree remove --force "$base_tree"' EXIT
build_into "$base_tree" "$out/venv-base"

section "build the working tree"
build_into "$PWD" "$out/venv-new"

section "compare $rev (base) with the working tree (new)"
"$out/venv-new/bin/python" bench/compare_builds.py --base "$out/venv-base/bin/python" \
    --new "$out/venv-new/bin/python" --engine "$out/venv-new/bin/zelto-mock-engine" "$@"
