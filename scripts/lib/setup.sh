# Shared set-up steps of the project's scripts (sourced, not run).

section() { printf '\n=== %s ===\n' "$*"; }

# Debian packages the build and the tests need.
install_system_packages() { install_missing_packages libgtest-dev cmake ninja-build g++; }

pyenv_root() { echo "${PYENV_ROOT:-$HOME/.pyenv}"; }

# Every supported CPython that pyenv has (3.9 and newer), the newest release of each minor
# version, oldest first; the machine's python3 if pyenv has none.
supported_pythons() {
    local root versions
    root=$(pyenv_root)
    versions=$(ls "$root/versions" 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V |
        awk -F. '$2 >= 9 { newest[$2] = $0 } END { for (minor in newest) print newest[minor] }' |
        sort -V)
    if [ -z "$versions" ]; then
        command -v python3
        return
    fi
    for version in $versions; do echo "$root/versions/$version/bin/python3"; done
}

# The interpreters the whole Python suite runs on: the oldest and the newest supported CPython.
test_pythons() { supported_pythons | sed -n '1p;$p' | uniq; }

# The build interpreter: any supported CPython; the wheel is the same cp39-abi3 file for all.
build_python() { command -v python3; }

build_wheel() {
    section "Building the cp39-abi3 wheel"
    local py
    py=$(build_python)
    "$py" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.11" "cmake>=3.24" ninja
    rm -rf dist
    "$py" -m pip wheel -q --no-deps --no-build-isolation -w dist . 
    WHEEL=$(ls dist/zelto_sdk-*-cp39-abi3-*.whl)
    echo "built $WHEEL"
}

# A virtual environment for one interpreter, with the wheel, pytest and the packages given. It is
# kept between runs while the interpreter and the package list stay the same as its stamp file
# records, and then only the wheel is installed again, and only when its hash changed.
make_test_venv() {
    local python=$1 tag venv stamp contents wheel_hash
    shift
    tag=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv="$PWD/build/venv-$tag"
    stamp="$venv/.zelto-test-venv"
    contents=$(test_venv_contents "$python" pytest "$@")
    wheel_hash=$(sha256sum "$WHEEL" | cut -d' ' -f1)
    # Callers run this in $(...), where bash does not stop at a failing command: each step
    # checks for itself, and the stamp is written only once the venv is complete.
    if [ "$(sed '$d' "$stamp" 2>/dev/null)" != "$contents" ] ||
        ! "$venv/bin/python" -c '' 2>/dev/null; then
        rm -rf "$venv"
        "$python" -m venv "$venv" >&2 &&
            "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2 &&
            "$venv/bin/python" -m pip install -q --disable-pip-version-check "$WHEEL" pytest "$@" >&2 ||
            return 1
    elif [ "$(tail -n 1 "$stamp")" != "wheel $wheel_hash" ]; then
        rm -f "$stamp"
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --force-reinstall \
            --no-deps "$WHEEL" >&2 || return 1
    fi
    printf '%s\nwheel %s\n' "$contents" "$wheel_hash" >"$stamp"
    echo "$venv"
}

# What a test venv holds apart from the wheel: the interpreter (its resolved path and full
# version, which names its build) and the packages asked for, one a line.
test_venv_contents() {
    local python=$1
    shift
    "$python" -c 'import os, sys; print("python", os.path.realpath(sys.executable)); print("version", sys.version.replace("\n", " "))'
    printf 'package %s\n' "$@"
}

# What the whole Python suite needs beside pytest. pyright comes as its PyPI wheel, which bundles
# the checker itself; the nodejs extra brings the node that runs it as a wheel too, so neither
# the npm registry nor a download of node is needed.
# pytest-xdist runs the testing kit's parallel-worker test, matplotlib zelto-perf's plot.
FULL_SUITE_PACKAGES=(numpy mypy "pyright[nodejs]" pytest-xdist matplotlib)
TEST_TOOLS=(pytest "${FULL_SUITE_PACKAGES[@]}")

# --- Hardening builds (scripts/sanitize.sh, scripts/fuzz.sh) ---------------------------------

# Parallel compile jobs; other work may share the machine, so it can be lowered from outside.
build_jobs() { echo "${ZELTO_BUILD_JOBS:-2}"; }

# Installs the Debian packages given that are not installed yet.
install_missing_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        section "apt-get install ${missing[*]}"
        export DEBIAN_FRONTEND=noninteractive
        apt-get update -qq
        apt-get install -y -qq "${missing[@]}" >/dev/null
    fi
}

# clang with its libFuzzer and sanitizer runtimes (a separate package per clang version), and
# llvm-symbolizer so that sanitizer reports name functions and lines.
install_fuzz_packages() {
    install_missing_packages clang llvm
    local major
    major=$(clang -dumpversion | cut -d. -f1)
    install_missing_packages "libclang-rt-$major-dev"
}

# A virtual environment with the test tools but without the wheel, for running the tests against
# a module found on PYTHONPATH (a sanitizer build). Kept between runs while the list of tools
# is the same: tools change rarely.
make_tool_venv() {
    local python=$1 tag venv
    tag=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv="$PWD/build/venv-tools-$tag"
    if [ "$(cat "$venv/.tools-installed" 2>/dev/null)" != "${TEST_TOOLS[*]}" ]; then
        rm -rf "$venv"
        "$python" -m venv "$venv" >&2
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2
        "$venv/bin/python" -m pip install -q --disable-pip-version-check "${TEST_TOOLS[@]}" >&2
        echo "${TEST_TOOLS[*]}" > "$venv/.tools-installed"
    fi
    echo "$venv"
}

# --- Formatting (scripts/format.sh) ------------------------------------------------------------

# The one clang-format that decides the layout of the C++ code: its PyPI wheel, pinned, since
# each release lays out some constructs differently and the check must not change with the
# machine.
CLANG_FORMAT_VERSION=23.1.5

# A virtual environment holding the pinned clang-format; kept while the pin is the same. Prints
# the path of its clang-format.
make_format_venv() {
    local venv="$PWD/build/venv-format"
    local stamp="$venv/.clang-format-version"
    if [ "$(cat "$stamp" 2>/dev/null)" != "$CLANG_FORMAT_VERSION" ] ||
        ! [ -x "$venv/bin/clang-format" ]; then
        rm -rf "$venv"
        "$(build_python)" -m venv "$venv" >&2 &&
            "$venv/bin/python" -m pip install -q --disable-pip-version-check \
                "clang-format==$CLANG_FORMAT_VERSION" >&2 ||
            return 1
        echo "$CLANG_FORMAT_VERSION" >"$stamp"
    fi
    echo "$venv/bin/clang-format"
}
