# Sourced by tools/wheels.sh: CPython 3.13 in a Debian bullseye root (glibc 2.31, the oldest
# Debian that the mirror still carries), where the cp313 x86_64 wheel is run as on an older
# distribution. The root is made once with debootstrap and kept in the cache folder outside the
# checkout; the CPython in it is built there, in /opt/python3.13, from Debian's python3.13 source
# package (the upstream tarball, through tools/python-source.sh), since bullseye has no 3.13.
#
# The root is made in a temporary folder and renamed into place only when debootstrap finished
# and the CPython built there answers with ssl, zlib, ctypes and venv, so a failed or
# interrupted run never leaves a root that a later run trusts. The machine's apt sources are
# left alone: the suite and the mirror go on debootstrap's command line. Entering it happens in a
# mount namespace of its own (unshare --mount), so the bind mounts of the checkout, /proc and /dev
# vanish with the process.

bullseye_cache="${QUAVIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quavix}"
bullseye_root="$bullseye_cache/bullseye-root"
bullseye_python=/opt/python3.13/bin/python3.13
# The compiler and the headers CPython's build needs for ssl (so pip), zlib and ctypes;
# libsamplerate, which the tests compare the module with; the CA certificates for pip.
bullseye_packages=(gcc make libc6-dev libssl-dev zlib1g-dev libffi-dev libsamplerate0 xz-utils
    ca-certificates)
bullseye_stamp=/etc/quavix-bullseye-root

bullseye_say() { printf 'quavix bullseye: %s\n' "$*" >&2; }

bullseye_stamp_text() { printf '%s\n' "bullseye ${bullseye_packages[*]} $bullseye_python"; }

bullseye_root_is_ready() {
    [ -f "$bullseye_root$bullseye_stamp" ] &&
        [ "$(cat "$bullseye_root$bullseye_stamp")" = "$(bullseye_stamp_text)" ]
}

bullseye_require() {
    if [ "$(id -u)" -ne 0 ]; then
        bullseye_say "the Debian bullseye root takes root to make and to enter (debootstrap, chroot and"
        bullseye_say "bind mounts): run as root, for example with sudo."
        return 1
    fi
    local missing=() tool
    command -v debootstrap >/dev/null 2>&1 || apt_install debootstrap >&2 || true
    for tool in debootstrap unshare chroot flock; do
        command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        bullseye_say "missing here: ${missing[*]}; install them with"
        bullseye_say "'apt-get install debootstrap util-linux coreutils' and run again."
        return 1
    fi
    if [ ! -f /usr/share/debootstrap/scripts/bullseye ]; then
        bullseye_say "debootstrap has no 'bullseye' script; install Debian's debootstrap."
        return 1
    fi
}

# debian_mirror: the Debian mirror of the machine's apt sources, or QUAVIX_DEBIAN_MIRROR.
source "$repo/tools/debian-mirror.sh"

bullseye_make_root() {
    local mirror tmp log tarball started=$SECONDS
    mirror=$(debian_mirror) || return 1
    tarball=$(source "$repo/tools/python-source.sh" &&
        debian_source python3.13 "$source_cache/debian-source/python3.13") || return 1
    mkdir -p "$bullseye_cache"
    rm -rf "$bullseye_cache"/bullseye-root.tmp.*
    tmp="$bullseye_cache/bullseye-root.tmp.$$"
    log="$bullseye_cache/bullseye-root.log"
    bullseye_say "making the Debian bullseye root with CPython 3.13 in $bullseye_root (about 10 minutes, once; log: $log)"
    if ! unshare --mount --propagation private -- debootstrap --variant=minbase \
        --include="$(
            IFS=,
            echo "${bullseye_packages[*]}"
        )" bullseye "$tmp" "$mirror" >"$log" 2>&1; then
        tail -n 15 "$log" >&2
        rm -rf "$tmp"
        bullseye_say "debootstrap failed (see $log): it needs network access to the Debian mirror $mirror."
        bullseye_say "check the network, or name another mirror with QUAVIX_DEBIAN_MIRROR=URL, and run again."
        return 1
    fi
    mkdir -p "$tmp/usr/src/python3.13"
    tar -xf "$tarball" -C "$tmp/usr/src/python3.13" --strip-components=1
    # shellcheck disable=SC2016
    if ! unshare --mount --propagation private -- /bin/sh -c '
        mount -t proc proc "$1/proc" && exec chroot "$1" /usr/bin/env -i PATH=/usr/bin:/bin LANG=C.UTF-8 /bin/sh -c "
            cd /usr/src/python3.13 &&
            ./configure -q --prefix=/opt/python3.13 --with-ensurepip=install &&
            make -s -j$2 && make -s install && cd / && rm -rf /usr/src/python3.13 &&
            $3 -c \"import ssl, zlib, ctypes, venv, sys; print(sys.version)\""
        ' bullseye-build "$tmp" "${QUAVIX_JOBS:-2}" "$bullseye_python" >>"$log" 2>&1; then
        tail -n 15 "$log" >&2
        rm -rf "$tmp"
        bullseye_say "building CPython 3.13 in the bullseye root failed (see $log); not kept."
        return 1
    fi
    bullseye_stamp_text >"$tmp$bullseye_stamp"
    rm -rf "$bullseye_root"
    mv -T "$tmp" "$bullseye_root"
    bullseye_say "bullseye root made in $((SECONDS - started)) s"
}

# Makes the root if need be (under a lock, so that a concurrent call waits rather than races).
bullseye_provide() {
    local lock
    bullseye_require || return 1
    mkdir -p "$bullseye_cache"
    exec {lock}>"$bullseye_cache/bullseye-root.lock"
    flock "$lock"
    bullseye_root_is_ready || bullseye_make_root || return 1
    # What pip needs to reach the registries as on the host.
    local f
    for f in /etc/resolv.conf /etc/hosts /etc/ssl/certs/ca-certificates.crt /etc/pip.conf; do
        [ -f "$f" ] && install -D -m 0644 "$f" "$bullseye_root$f"
    done
    mkdir -p "$bullseye_root$repo"
    flock -u "$lock"
}

# Runs the shell code SCRIPT with /bin/sh inside the root, in the checkout, which is bind-mounted
# at its own path; the arguments after SCRIPT are its $1, $2 and so on.
bullseye_run() {
    local script=$1
    shift
    # shellcheck disable=SC2016
    unshare --mount --propagation private -- /bin/bash -euc '
        root=$1 repo=$2 script=$3
        shift 3
        # /tmp first, so that a checkout under /tmp is mounted over it rather than hidden.
        mount -t tmpfs tmpfs "$root/tmp"
        mkdir -p "$root$repo"
        mount --bind "$repo" "$root$repo"
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        exec chroot "$root" /usr/bin/env -C "$repo" -u TMPDIR -u LC_ALL -u PYTHONPATH \
            LANG=C.UTF-8 PATH=/usr/local/bin:/usr/bin:/bin /bin/sh -c "$script" bullseye "$@"
    ' quavix-bullseye "$bullseye_root" "$repo" "$script" "$@"
}
