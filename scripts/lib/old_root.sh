# The older system that the published wheel is built in and checked on (sourced, not run): a
# minimal Debian bullseye root (glibc 2.31, GCC 10, CPython 3.9) made with debootstrap under
# build/. The wheel is compiled there by that system's own compiler and python, as the manylinux
# build images do, so that it asks for no newer glibc than the root has.

OLD_ROOT_SUITE=bullseye
# The wheel build's compiler and headers, and venv for the fresh environments of each step.
OLD_ROOT_PACKAGES=python3,python3-venv,python3-dev,g++
# Tried in this order: a Debian release that has left the main mirror lives on in the archive.
OLD_ROOT_MIRRORS=${ZELTO_DEBIAN_MIRRORS:-"http://deb.debian.org/debian http://archive.debian.org/debian"}

old_root() { echo "$PWD/build/$OLD_ROOT_SUITE-root"; }

# Makes the root, unless one made for the same suite and packages is there: a local run keeps it
# between runs (about a minute and a half to make), CI starts without it.
ensure_old_root() {
    local root stamp wanted mirror
    root=$(old_root)
    stamp="$root/.zelto-old-root"
    wanted="$OLD_ROOT_SUITE $OLD_ROOT_PACKAGES"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
        echo "reusing $root ($wanted)"
        return
    fi
    install_missing_packages debootstrap
    for mirror in $OLD_ROOT_MIRRORS; do
        if ! wget -q --spider --timeout=20 --tries=1 "$mirror/dists/$OLD_ROOT_SUITE/Release"; then
            echo "$mirror does not serve $OLD_ROOT_SUITE"
            continue
        fi
        section "debootstrap $OLD_ROOT_SUITE from $mirror into $root"
        # Made beside its final place: an interrupted run leaves no root that looks complete.
        rm -rf "$root" "$root.partial"
        mkdir -p "$(dirname "$root")"
        if ! debootstrap --variant=minbase --include="$OLD_ROOT_PACKAGES" "$OLD_ROOT_SUITE" \
            "$root.partial" "$mirror" >"$root.log" 2>&1; then
            tail -n 20 "$root.log" >&2
            echo "debootstrap from $mirror failed (whole log: $root.log)" >&2
            continue
        fi
        mv "$root.partial" "$root"
        echo "$wanted" >"$stamp"
        echo "made $root from $mirror"
        return
    done
    echo "no Debian mirror gave a $OLD_ROOT_SUITE root (tried: $OLD_ROOT_MIRRORS)" >&2
    return 1
}

# Runs a command inside the root with a clean environment. The root gets its own /proc and an
# empty /dev/shm of its own (the shared-memory transports need one), and the host's name servers
# and certificate bundle, so that its pip reaches the package index as the host's does. Both
# mounts live in a private mount namespace: they go away with the command however it ends, and
# the host never sees them (removing build/ cannot descend into them).
in_old_root() {
    local root bundle
    root=$(old_root)
    cp /etc/resolv.conf "$root/etc/resolv.conf"
    local environment=(PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin HOME=/root LANG=C.UTF-8
                       CMAKE_BUILD_PARALLEL_LEVEL="$(build_jobs)")
    bundle=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
    if [ -f "$bundle" ]; then
        mkdir -p "$root/etc/ssl/certs"
        cp "$bundle" "$root/etc/ssl/certs/host-bundle.crt"
        environment+=(PIP_CERT=/etc/ssl/certs/host-bundle.crt)
    fi
    unshare --mount --propagation private -- /bin/sh -c '
        root=$1; shift
        mount -t proc proc "$root/proc" &&
            mount -t tmpfs -o mode=1777,size=2g zelto-shm "$root/dev/shm" &&
            exec /usr/sbin/chroot "$root" /usr/bin/env -i "$@"' \
        in-old-root "$root" "${environment[@]}" "$@"
}
