# Sourced by tools/dev.sh: CPython python_version (3.14 or 3.15) from Debian's testing suite,
# forky, in a root made once with debootstrap and kept in the cache folder outside the checkout.
#
# On the host this file makes (or reuses) the root, then runs tools/dev.sh again inside it with
# the same job and arguments: in a mount namespace of its own (unshare --mount), so that the
# bind mounts of the checkout, /proc, /dev and /sys vanish with the process, then chroot. The
# checkout is bind-mounted at the same path as on the host rather than copied: builds, wheels
# and test output land in the checkout as for any other interpreter, and nothing is copied back.
# Inside the root the interpreters are /usr/bin/python3.X; their environments live in the root
# (kept per machine, so a fresh clone does not make them again) and their build folders in the
# checkout, one per interpreter as on the host.
#
# The root is made in a temporary folder and renamed into place only when debootstrap finished
# and the interpreters, compiler and libsamplerate answer inside it, so a failed or interrupted
# run never leaves a root that a later run trusts. The machine's apt sources are left alone: the
# suite and the mirror (the Debian one the host's apt sources name, or QUAVIX_DEBIAN_MIRROR; see
# tools/debian-mirror.sh) go on debootstrap's command line.

forky_cache="${QUAVIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quavix}"
forky_root="$forky_cache/forky-root"
# What the root holds besides the minimal base: both interpreters with their headers and venv,
# the compiler, CMake and Ninja, pkg-config and libsamplerate, valgrind for the memory check,
# binutils' readelf. A root made with another list is made again.
forky_packages=(python3.14-dev python3.14-venv python3.15-dev python3.15-venv g++ cmake
    ninja-build pkg-config libsamplerate0-dev valgrind binutils)
forky_stamp=/etc/quavix-forky-root

# is_wanted_python, as for the host's interpreters; provide_python is this file's own, below.
source "$repo/tools/python-pyenv.sh"
source "$repo/tools/debian-mirror.sh"

forky_require() {
    if [ "$(id -u)" -ne 0 ]; then
        say "CPython $python_version runs in a Debian forky root, which takes root to make and to enter"
        say "(debootstrap, chroot and bind mounts); run this as root instead: sudo $command_line"
        exit 1
    fi
    local missing=() tool
    command -v debootstrap >/dev/null 2>&1 || apt_install debootstrap || true
    for tool in debootstrap unshare chroot flock; do
        command -v "$tool" >/dev/null 2>&1 || missing+=("$tool")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        say "CPython $python_version runs in a Debian forky root; missing here: ${missing[*]}."
        say "install them with 'apt-get install debootstrap util-linux coreutils' and run again."
        exit 1
    fi
    if [ ! -f /usr/share/debootstrap/scripts/sid ]; then
        say "debootstrap has no 'sid' script (which makes forky roots); install Debian's debootstrap."
        exit 1
    fi
}

# The wanted package list, as the stamp inside a finished root records it.
forky_stamp_text() { printf '%s\n' "forky ${forky_packages[*]}"; }

forky_root_is_ready() {
    [ -f "$forky_root$forky_stamp" ] && [ "$(cat "$forky_root$forky_stamp")" = "$(forky_stamp_text)" ]
}

forky_make_root() {
    local mirror tmp log started=$SECONDS
    mirror=$(debian_mirror) || exit 1
    mkdir -p "$forky_cache"
    # Leftovers of an interrupted run are never trusted; the lock keeps them from a running one.
    rm -rf "$forky_cache"/forky-root.tmp.*
    tmp="$forky_cache/forky-root.tmp.$$"
    log="$forky_cache/forky-root.log"
    say "making the Debian forky root for CPython 3.14 and 3.15 in $forky_root (a few minutes; log: $log)"
    # In a mount namespace of its own, so that whatever debootstrap mounts in the new root goes
    # away with it even when it fails.
    if ! unshare --mount --propagation private -- debootstrap --variant=minbase \
        --include="$(
            IFS=,
            echo "${forky_packages[*]}"
        )" forky "$tmp" "$mirror" /usr/share/debootstrap/scripts/sid >"$log" 2>&1; then
        tail -n 15 "$log" >&2
        rm -rf "$tmp"
        say "debootstrap failed (see $log): it needs network access to the Debian mirror $mirror."
        say "check the network, or name another mirror with QUAVIX_DEBIAN_MIRROR=URL, and run again."
        exit 1
    fi
    local check="import sys, venv, sysconfig; assert sysconfig.get_config_h_filename()"
    if ! chroot "$tmp" /bin/sh -c "python3.14 -c '$check' && python3.15 -c '$check' &&
        g++ --version && cmake --version && ninja --version &&
        pkg-config --exists 'samplerate >= 0.2'" >>"$log" 2>&1; then
        rm -rf "$tmp"
        say "the new forky root lacks an interpreter, a build tool or libsamplerate (see $log); not kept."
        exit 1
    fi
    forky_stamp_text >"$tmp$forky_stamp"
    rm -rf "$forky_root"
    mv -T "$tmp" "$forky_root"
    say "forky root made in $((SECONDS - started)) s"
}

# Local files and folders that pip's configuration names (a CA bundle, constraints, wheel
# folders, file:// indexes), bind-mounted read-only into the root by forky_enter. A
# local index is its whole folder, as its pages link to files beside "simple".
forky_pip_paths() {
    {
        cat /etc/pip.conf /etc/xdg/pip/pip.conf "${XDG_CONFIG_HOME:-$HOME/.config}/pip/pip.conf" \
            "$HOME/.pip/pip.conf" 2>/dev/null | grep -v '^[ \t]*[#;]'
        env | grep '^PIP_' | cut -d= -f2-
    } | tr ' =,' '\n\n\n' | sed -n 's|^file://||; s|/*$||; s|/simple$||; \|^/.|p' | sort -u
}

# Carries in what pip and the resolver need to reach the registries as on the host.
forky_carry_in() {
    local f
    for f in /etc/resolv.conf /etc/hosts /etc/ssl/certs/ca-certificates.crt /etc/pip.conf; do
        [ -f "$f" ] && install -D -m 0644 "$f" "$forky_root$f"
    done
    for f in /etc/xdg/pip "${XDG_CONFIG_HOME:-$HOME/.config}/pip" "$HOME/.pip"; do
        if [ -d "$f" ]; then
            rm -rf "${forky_root:?}$f"
            mkdir -p "$(dirname "$forky_root$f")"
            cp -a "$f" "$forky_root$f"
        fi
    done
}

# Runs tools/dev.sh inside the root with the same job and arguments, in the same folder when
# that is in the checkout (nothing else of the host is seen there); does not return.
forky_enter() {
    local folders=() f here=$PWD
    if [[ "$here/" != "$repo/"* ]]; then
        say "running in $repo: only the checkout is seen inside the forky root, not $here."
        here=$repo
    fi
    while IFS= read -r f; do
        [ -e "$f" ] && folders+=("$f")
    done < <(forky_pip_paths)
    # The root's own file systems are mounted first and the host's folders over them, so that
    # nothing hides the checkout or a folder of pip's that lies under /tmp (as mktemp's, CI
    # systems' and pip's own do) behind the root's fresh /tmp.
    # shellcheck disable=SC2016
    exec unshare --mount --propagation private -- /bin/bash -euc '
        root=$1 repo=$2 folders=$3 here=$4
        shift 4
        mount -t proc proc "$root/proc"
        mount --rbind /dev "$root/dev"
        mount --rbind /sys "$root/sys"
        mount -t tmpfs tmpfs "$root/tmp"
        mkdir -p "$root$repo"
        mount --bind "$repo" "$root$repo"
        while IFS= read -r f; do
            [ -n "$f" ] || continue
            if [ -d "$f" ]; then
                mkdir -p "$root$f"
            else
                mkdir -p "$(dirname "$root$f")"
                touch "$root$f"
            fi
            mount --bind "$f" "$root$f"
            mount -o remount,bind,ro "$root$f"
        done <<<"$folders"
        exec chroot "$root" /usr/bin/env -C "$here" -u TMPDIR -u LC_ALL -u PYTHONPATH \
            LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
            QUAVIX_IN_FORKY_ROOT=1 /bin/bash "$repo/tools/dev.sh" "$@"
    ' quavix-forky "$forky_root" "$repo" "$(printf '%s\n' "${folders[@]}")" "$here" \
        --python "$python_version" --numpy "$numpy_choice" "$@"
}

if [ -z "${QUAVIX_IN_FORKY_ROOT:-}" ]; then
    forky_require
    mkdir -p "$forky_cache"
    exec {forky_lock}>"$forky_cache/forky-root.lock"
    flock "$forky_lock"
    forky_root_is_ready || forky_make_root
    forky_carry_in
    flock -u "$forky_lock"
    forky_enter "$@"
fi

# Inside the root: environments in the root, kept across checkouts and runs.
venv_home=/var/lib/quavix

provide_python() {
    local python=/usr/bin/python$python_version
    if [ -x "$python" ] && is_wanted_python "$python"; then
        printf '%s\n' "$python"
        return 0
    fi
    say "the forky root has no working $python; remove $forky_root to have it made again."
    return 1
}
