# Shared set-up steps of the project's scripts (sourced, not run).

section() { printf '\n=== %s ===\n' "$*"; }

# Debian packages the build and the tests need.
install_system_packages() { install_missing_packages libgtest-dev cmake ninja-build g++; }

# The interpreters the Python tests run on: the oldest 3.9 and the newest CPython installed.
pyenv_root() { echo "${PYENV_ROOT:-$HOME/.pyenv}"; }
test_pythons() {
    local root versions
    root=$(pyenv_root)
    versions=$(ls "$root/versions" 2>/dev/null | grep -E '^3\.[0-9]+\.[0-9]+$' | sort -V)
    local oldest newest
    oldest=$(echo "$versions" | grep -E '^3\.9\.' | tail -n 1)
    newest=$(echo "$versions" | tail -n 1)
    if [ -z "$oldest$newest" ]; then
        command -v python3
        return
    fi
    [ -n "$oldest" ] && echo "$root/versions/$oldest/bin/python3"
    [ -n "$newest" ] && [ "$newest" != "$oldest" ] && echo "$root/versions/$newest/bin/python3"
}

# The build interpreter: any supported CPython; the wheel is the same cp39-abi3 file for all.
build_python() { command -v python3; }

build_wheel() {
    section "Building the cp39-abi3 wheel"
    local py
    py=$(build_python)
    "$py" -m pip install -q --disable-pip-version-check "scikit-build-core>=0.10" "cmake>=3.24" ninja abi3audit
    rm -rf dist
    "$py" -m pip wheel -q --no-deps --no-build-isolation -w dist . 
    WHEEL=$(ls dist/zelto_sdk-*-cp39-abi3-*.whl)
    echo "built $WHEEL"
}

check_wheel_abi3() {
    section "abi3audit"
    "$(build_python)" -m abi3audit --strict --report "$WHEEL"
}

# What the tests use besides the wheel: pytest-xdist for the testing kit's parallel-worker test,
# matplotlib for zelto-perf's plot.
test_tools() { echo pytest pytest-xdist numpy mypy matplotlib; }

# A fresh virtual environment for one interpreter, with the wheel and the test tools in it.
make_test_venv() {
    local python=$1 tag venv
    tag=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv="$PWD/build/venv-$tag"
    rm -rf "$venv"
    "$python" -m venv "$venv" >&2
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2
    "$venv/bin/python" -m pip install -q --disable-pip-version-check "$WHEEL" $(test_tools) >&2
    echo "$venv"
}

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
# a module found on PYTHONPATH (a sanitizer build). Kept between runs: tools change rarely.
make_tool_venv() {
    local python=$1 tag venv
    tag=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv="$PWD/build/venv-tools-$tag"
    if [ "$(cat "$venv/.tools-installed" 2>/dev/null)" != "$(test_tools)" ]; then
        rm -rf "$venv"
        "$python" -m venv "$venv" >&2
        "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip >&2
        "$venv/bin/python" -m pip install -q --disable-pip-version-check $(test_tools) >&2
        test_tools >"$venv/.tools-installed"
    fi
    echo "$venv"
}
