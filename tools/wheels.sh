#!/usr/bin/env bash
# The released wheels: manylinux2014 (glibc 2.17) for x86_64 and aarch64, built with one
# toolchain, zig's clang from the pinned ziglang package (tools/requirements-wheels.txt), which
# compiles against its own copies of old glibc's headers and stubs and links libc++ into the
# module, so a wheel needs nothing newer than glibc 2.17 and no libstdc++ at all.
#
#   tools/dev.sh wheels [--test]          every wheel (run as a script, from tools/dev.sh)
#   tools/dev.sh --python 3.X wheel [--arch x86_64|aarch64] [--test]
#                                         the wheel of one interpreter (sourced by tools/dev.sh,
#                                         which has made its environment)
#
# libsamplerate comes from Debian's source package (through the private apt configuration of
# tools/python-source.sh) and is built with the same toolchain once per target into the cache,
# in a folder of its own renamed into place only when complete. auditwheel copies it into the
# wheel. Wheels land in wheelhouse/. With --test each wheel is installed into a fresh environment
# of its interpreter, on its architecture, and the resample, Resampler and CallbackResampler
# tests run against it, with the bundled-library check of tests/test_wheel.py.

wheels_repo=${repo:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
wheels_cache=${QUAVIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quavix}
wheels_zig_version=$(sed -n 's/^ziglang==\([^ ]*\).*/\1/p' "$wheels_repo/tools/requirements-wheels.txt")
wheels_glibc=2.17
# The test files every wheel runs, besides the bundled-library check.
wheels_test_files=(tests/test_resample.py tests/test_resampler.py tests/test_callback_resampler.py)

wheels_say() { printf 'quavix wheels: %s\n' "$*" >&2; }

# The zig compiler of the environment (installed there from tools/requirements-wheels.txt).
wheel_zig() {
    "$venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))'
}

# Writes cc, c++, ar and ranlib wrappers for ARCH into folder DEST: zig with its target for
# glibc 2.17, so that CMake sees ordinary compilers.
wheel_wrappers() {
    local arch=$1 dest=$2 zig tool
    zig=$(wheel_zig) || return 1
    mkdir -p "$dest"
    for tool in cc c++; do
        printf '#!/bin/sh\nexec %q %s -target %s "$@"\n' "$zig" "$tool" "$arch-linux-gnu.$wheels_glibc" \
            >"$dest/$tool"
    done
    for tool in ar ranlib; do
        printf '#!/bin/sh\nexec %q %s "$@"\n' "$zig" "$tool" >"$dest/$tool"
    done
    # The linker strips (-s); the host's strip, which pybind11 runs after linking, knows only the
    # host's architecture.
    printf '#!/bin/sh\n# stripped by the linker already\nexit 0\n' >"$dest/strip"
    chmod +x "$dest"/*
}

# The highest GLIBC_ symbol version that ELF file FILE asks for.
wheel_highest_glibc() {
    readelf --dyn-syms --wide "$1" | grep -o 'GLIBC_[0-9.]*' | sort -u -V | tail -n 1
}

# Fails if ELF file FILE asks for a glibc newer than 2.17.
wheel_check_glibc() {
    local highest
    highest=$(wheel_highest_glibc "$1")
    if [ "$(printf '%s\n' "GLIBC_$wheels_glibc" "$highest" | sort -V | tail -n 1)" != "GLIBC_$wheels_glibc" ]; then
        wheels_say "$1 needs $highest, newer than glibc $wheels_glibc"
        return 1
    fi
}

# Folder of the checkout through which the host hands to the forky root what it fetched for a
# wheel built there (wheel_from_root): the forky root's apt cannot fetch it itself when the
# suite's signed index has passed its validity date.
wheels_handed_in="$wheels_repo/build/wheel-sources"

# Prints the path of Debian's libsamplerate source (the upstream tarball), fetched once, with the
# tools its build needs, through tools/python-source.sh (in a subshell, as that file also defines
# an interpreter provider's functions).
wheel_libsamplerate_source() {
    (
        source "$wheels_repo/tools/python-source.sh" &&
            need_commands cmake:cmake ninja:ninja-build readelf:binutils >&2 &&
            debian_source libsamplerate "$source_cache/debian-source/libsamplerate"
    )
}

# Makes the cache entry FINAL, complete once it holds the file STAMP, unless it is complete
# already: under a lock, so that a concurrent run waits rather than races, BUILDER ARGS... WORK
# makes it in folder WORK/done, which is renamed into place only when the builder succeeded. A
# builder that fails leaves nothing but the log it kept beside the entry (FINAL.log).
wheel_cache_entry() {
    local final=$1 stamp=$2 lock
    shift 2
    [ -f "$final/$stamp" ] && return 0
    mkdir -p "$wheels_cache"
    exec {lock}>"$final.lock"
    flock "$lock"
    if [ ! -f "$final/$stamp" ]; then
        rm -rf "$final.work"
        mkdir -p "$final.work"
        "$@" "$final.work" || { rm -rf "$final.work"; return 1; }
        rm -rf "$final"
        mv "$final.work/done" "$final"
        rm -rf "$final.work"
    fi
    exec {lock}>&-
}

# Prints the folder of libsamplerate built for ARCH with the pinned zig, building it first (once
# per machine, or per root) if need be.
wheel_libsamplerate() {
    local arch=$1 final
    final="$wheels_cache/libsamplerate-zig$wheels_zig_version-$arch-linux-gnu.$wheels_glibc"
    wheel_cache_entry "$final" lib/pkgconfig/samplerate.pc wheel_libsamplerate_build "$arch" "$final" ||
        return 1
    printf '%s\n' "$final"
}

# wheel_cache_entry's builder of libsamplerate for ARCH, to be installed at FINAL, in folder WORK.
wheel_libsamplerate_build() {
    local arch=$1 final=$2 work=$3 tarball
    if [ -n "${QUAVIX_IN_FORKY_ROOT:-}" ]; then
        # In the forky root, the source the host fetched, handed in (wheel_from_root).
        tarball=$(find "$wheels_handed_in" -maxdepth 1 -name 'libsamplerate_*.orig.tar.*' | head -n 1)
        [ -n "$tarball" ] || { wheels_say "no libsamplerate source in $wheels_handed_in"; return 1; }
    else
        tarball=$(wheel_libsamplerate_source) || return 1
    fi
    mkdir -p "$work/src"
    : >"$work/build.log"
    wheels_say "building libsamplerate for $arch-linux-gnu.$wheels_glibc into $final (once)"
    wheel_wrappers "$arch" "$work/bin" &&
        tar -xf "$tarball" -C "$work/src" --strip-components=1 &&
        cmake -S "$work/src" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR="$arch" \
            -DCMAKE_C_COMPILER="$work/bin/cc" -DCMAKE_AR="$work/bin/ar" \
            -DCMAKE_RANLIB="$work/bin/ranlib" -DBUILD_SHARED_LIBS=ON -DBUILD_TESTING=OFF \
            -DLIBSAMPLERATE_EXAMPLES=OFF -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
            -DCMAKE_INSTALL_PREFIX="$final" >"$work/build.log" 2>&1 &&
        cmake --build "$work/build" >>"$work/build.log" 2>&1 &&
        DESTDIR="$work/root" cmake --install "$work/build" >>"$work/build.log" 2>&1 || {
        mv "$work/build.log" "$final.log" 2>/dev/null
        wheels_say "building libsamplerate for $arch failed; see $final.log"
        return 1
    }
    wheel_check_glibc "$work/root$final/lib/libsamplerate.so.0" || return 1
    mv "$work/root$final" "$work/done"
}


# The interpreter's tags: "cp313 cp313t 3.13t" for the free-threaded 3.13, say.
wheel_tags() {
    "$venv/bin/python" -c 'import sys, sysconfig
py = "cp%d%d" % sys.version_info[:2]
abi = py + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
print(py, abi, "%d.%d" % sys.version_info[:2] + abi[len(py):])'
}

# Prints an include folder for CPython's headers in folder INCLUDE whose pyconfig.h zig's clang
# can read: Debian's is a switch to the file of each architecture under /usr/include (ROOT, in a
# sysroot for another architecture), which a compiler without Debian's multiarch search paths
# cannot find; a copy with that file in its place is made in build folder DEST.
wheel_python_include() {
    local include=$1 root=$2 dest=$3 arch_file
    arch_file=$(sed -n 's|^# *include <\([a-z0-9_]*-linux-gnu/python[^>]*/pyconfig\.h\)>.*|\1|p' "$include/pyconfig.h" |
        grep "^$wheel_arch-" | head -n 1)
    if [ -z "$arch_file" ]; then
        printf '%s\n' "$include"
        return 0
    fi
    [ -f "$root/$arch_file" ] || { wheels_say "no $root/$arch_file for $include/pyconfig.h"; return 1; }
    rm -rf "$dest"
    mkdir -p "$dest"
    cp -a "$include/." "$dest/"
    cp "$root/$arch_file" "$dest/pyconfig.h"
    printf '%s\n' "$dest"
}

# Builds the wheel of this environment's CPython for wheel_arch (x86_64 or aarch64) into
# wheelhouse/ and prints its path.
wheel_arch=x86_64
wheel_build() {
    local py abi label lib dist bin include defines=() repaired
    read -r py abi label < <(wheel_tags) || return 1
    lib=$(wheel_libsamplerate "$wheel_arch") || return 1
    dist="$wheels_repo/build/wheel-$label-$wheel_arch"
    bin="$dist/bin"
    rm -rf "$dist/plain" "$dist/repaired"
    wheel_wrappers "$wheel_arch" "$bin" || return 1
    include=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("include"))')
    local cross_env=()
    if [ "$wheel_arch" = aarch64 ]; then
        local sysroot numpy_include
        if [ -n "${QUAVIX_IN_FORKY_ROOT:-}" ]; then
            sysroot="$wheels_handed_in/arm64-python$label"
        else
            sysroot=$(wheel_arm64_sysroot "$label") || return 1
        fi
        include="$sysroot/usr/include/python$label"
        include=$(wheel_python_include "$include" "$sysroot/usr/include" "$dist/include") || return 1
        # Cross-compiling: the extension's file name and the wheel's platform are the target's,
        # and pybind11 takes the former from setuptools' variable rather than asking the host.
        cross_env=(SETUPTOOLS_EXT_SUFFIX=".cpython-${abi#cp}-aarch64-linux-gnu.so"
            _PYTHON_HOST_PLATFORM=linux-aarch64)
        numpy_include=$(wheel_arm64_numpy_include "$label") || return 1
        defines+=(-DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64
            -DPYBIND11_USE_CROSSCOMPILING=ON "-DPython_NumPy_INCLUDE_DIR=$numpy_include")
    else
        include=$(wheel_python_include "$include" /usr/include "$dist/include") || return 1
    fi
    defines+=("-DPython_INCLUDE_DIR=$include" "-DCMAKE_CXX_COMPILER=$bin/c++" "-DCMAKE_AR=$bin/ar"
        "-DCMAKE_RANLIB=$bin/ranlib" "-DCMAKE_STRIP=$bin/strip")
    # Stripped by the linker (see wheel_wrappers).
    local options=("-Cbuild-dir=$dist/cmake" -Cinstall.strip=false -Ccmake.build-type=Release
        "-Ccmake.define.CMAKE_SHARED_LINKER_FLAGS=-s" "-Ccmake.define.CMAKE_MODULE_LINKER_FLAGS=-s")
    local d
    for d in "${defines[@]}"; do options+=("-Ccmake.define.${d#-D}"); done
    wheels_say "building the $py-$abi wheel for $wheel_arch-linux-gnu.$wheels_glibc"
    (
        cd "$wheels_repo"
        env "${cross_env[@]}" PKG_CONFIG_LIBDIR="$lib/lib/pkgconfig" PKG_CONFIG_PATH= \
            "$venv/bin/python" -m pip wheel -v --no-build-isolation --no-deps "${options[@]}" \
            --wheel-dir "$dist/plain" . >"$dist/build.log" 2>&1
    ) || { tail -n 30 "$dist/build.log" >&2; wheels_say "building the wheel failed; see $dist/build.log"; return 1; }
    # The compiler's warnings, shown rather than buried in the log.
    grep -E '(warning|error):' "$dist/build.log" >&2 || true
    # auditwheel names the platforms of the machine it runs on, so it is left to choose the tag,
    # which must then be glibc 2.17's.
    PATH="$venv/bin:$PATH" LD_LIBRARY_PATH="$lib/lib" "$venv/bin/python" -m auditwheel repair \
        --plat auto -w "$dist/repaired" "$dist/plain"/quavix-*.whl >"$dist/repair.log" 2>&1 ||
        { tail -n 20 "$dist/repair.log" >&2; wheels_say "auditwheel repair failed; see $dist/repair.log"; return 1; }
    repaired=$(find "$dist/repaired" -name "quavix-*-$py-$abi-*manylinux_${wheels_glibc/./_}_$wheel_arch.whl" | head -n 1)
    if [ -z "$repaired" ]; then
        wheels_say "auditwheel gave no manylinux_${wheels_glibc/./_}_$wheel_arch wheel: $(ls "$dist/repaired")"
        return 1
    fi
    mkdir -p "$wheels_repo/wheelhouse"
    rm -f "$wheels_repo/wheelhouse"/quavix-*-"$py-$abi"-*"_$wheel_arch".whl
    cp "$repaired" "$wheels_repo/wheelhouse/"
    printf '%s\n' "$wheels_repo/wheelhouse/$(basename "$repaired")"
}

# Installs WHEEL into a fresh environment of this CPython and runs the wheel's tests there, from
# the checkout but on the installed module: the three test files and tests/test_wheel.py, which
# checks that wheel (QUAVIX_WHEEL) and that the module maps the library bundled with it.
wheel_test_native() {
    local wheel=$1 python numpy tmp status=0
    python=$(provide_python) || return 1
    numpy=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')
    tmp=$(mktemp -d "${TMPDIR:-/tmp}/quavix-wheel-test.XXXXXX")
    wheels_say "testing $(basename "$wheel") in a fresh environment of $python"
    # pip upgraded with the rest: the one an interpreter bundles may be too old to run for the
    # newer interpreters that tests/test_wheel.py has refuse the wheel (3.10's pip for 3.12).
    "$python" -m venv "$tmp/env" &&
        "$tmp/env/bin/python" -m pip install -q --upgrade "${pip_constraints[@]}" pip "$wheel" "numpy==$numpy" \
            -r "$wheels_repo/tools/requirements-wheel-test.txt" &&
        (cd "$wheels_repo" && QUAVIX_WHEEL="$wheel" "$tmp/env/bin/python" -m pytest -p no:cacheprovider \
            -q "${wheel_tests[@]}") || status=$?
    rm -rf "$tmp"
    return "$status"
}

# Installs the cp313 x86_64 WHEEL into a fresh environment of the CPython 3.13 of the Debian
# bullseye root (glibc 2.31, tools/python-bullseye.sh) and runs the wheel's tests there.
wheel_test_bullseye() {
    local wheel=$1 py abi label numpy
    read -r py abi label < <(wheel_tags) || return 1
    if [ "$label-$wheel_arch" != 3.13-x86_64 ]; then
        wheels_say "the bullseye root has CPython 3.13 for x86_64 only, not $label for $wheel_arch"
        return 2
    fi
    source "$wheels_repo/tools/python-bullseye.sh"
    bullseye_provide || return 1
    numpy=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')
    wheels_say "testing $(basename "$wheel") in the Debian bullseye root (glibc 2.31)"
    # shellcheck disable=SC2016
    bullseye_run '
        set -e
        wheel=$1 numpy=$2 python=$3
        shift 3
        "$python" -m venv /tmp/env
        /tmp/env/bin/python -m pip install -q --upgrade pip "$wheel" "numpy==$numpy" -r tools/requirements-wheel-test.txt
        QUAVIX_WHEEL=$wheel exec /tmp/env/bin/python -m pytest -p no:cacheprovider -q "$@"
    ' "$wheel" "$numpy" "$bullseye_python" "${wheel_tests[@]}"
}

# The wheel job of tools/dev.sh for the interpreter it set up: [--arch x86_64|aarch64] [--test]
# [--bullseye] [-- pytest args]. --test runs the wheel where its interpreter lives (under qemu for
# aarch64), --bullseye (cp313 x86_64 only) in the Debian bullseye root; pytest arguments given
# after -- take the place of the wheel's tests (wheel_tests).
wheel_tests=("${wheels_test_files[@]}" tests/test_wheel.py)
wheel_job() {
    local test=no bullseye=no wheel
    while [ $# -gt 0 ]; do
        case "$1" in
        --arch) [ $# -ge 2 ] || usage; wheel_arch=$2; shift 2 ;;
        --arch=*) wheel_arch=${1#--arch=}; shift ;;
        --test) test=yes; shift ;;
        --bullseye) bullseye=yes; shift ;;
        --) shift; [ $# -gt 0 ] && wheel_tests=("$@"); break ;;
        *) usage ;;
        esac
    done
    case "$wheel_arch" in
    x86_64 | aarch64) ;;
    *) wheels_say "--arch takes x86_64 or aarch64, not '$wheel_arch'"; exit 2 ;;
    esac
    if [ "$(uname -m)" != x86_64 ]; then
        wheels_say "the wheels are built on an x86_64 machine, not on $(uname -m)"
        exit 2
    fi
    # What an aarch64 run needs, before minutes of building.
    if [ "$test" = yes ] && [ "$wheel_arch" = aarch64 ]; then
        wheel_arm64_require || exit 1
    fi
    setup
    ensure_requirements wheels
    wheel=$(wheel_build) || exit 1
    echo "$wheel"
    if [ "$test" = yes ]; then
        if [ "$wheel_arch" = x86_64 ]; then
            wheel_test_native "$wheel" || exit 1
        else
            local label numpy
            label=$(wheel_tags | cut -d' ' -f3)
            numpy=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')
            wheel_test_arm64 "$wheel" "$label" "$numpy" || exit 1
        fi
    fi
    if [ "$bullseye" = yes ]; then
        wheel_test_bullseye "$wheel" || exit 1
    fi
}

# The Debian suite whose arm64 CPython LABEL (3.11, 3.13, 3.14, 3.15) is taken. Debian has none
# for 3.10 or 3.12 (no suite carries them any more), nor a free-threaded one, so those
# interpreters get no aarch64 wheel: a wheel is shipped only where it was run.
wheel_arm64_suite() {
    case "$1" in
    3.11) echo bookworm ;;
    3.13) echo trixie ;;
    3.14 | 3.15) echo forky ;;
    *) return 1 ;;
    esac
}

# Prints the folder of an arm64 sysroot holding Debian's CPython LABEL (interpreter, standard
# library, headers, venv with its pip), libsamplerate (the reference the tests compare with) and
# the C and C++ runtimes NumPy needs, made once from Debian's arm64 packages, downloaded through
# a private apt configuration and unpacked with dpkg-deb (nothing is installed or run as a
# package).
wheel_arm64_sysroot() {
    local label=$1 suite final
    suite=$(wheel_arm64_suite "$label") ||
        { wheels_say "Debian has no arm64 CPython $label, so no aarch64 wheel is built for it"; return 1; }
    final="$wheels_cache/arm64-sysroot-python$label"
    wheel_cache_entry "$final" .quavix-sysroot wheel_arm64_sysroot_build "$label" "$suite" "$final" ||
        return 1
    printf '%s\n' "$final"
}

# wheel_cache_entry's builder of the arm64 sysroot of CPython LABEL from Debian SUITE, to be kept
# at FINAL, in folder WORK.
wheel_arm64_sysroot_build() {
    local label=$1 suite=$2 final=$3 work=$4 deb
    wheels_say "making an arm64 sysroot with Debian $suite's CPython $label in $final (once)"
    mkdir -p "$work/debs" "$work/done/usr/lib" "$work/done/usr/bin" "$work/done/usr/sbin"
    # Debian's merged /usr: the loader is asked for as /lib/ld-linux-aarch64.so.1.
    ln -s usr/lib "$work/done/lib"
    ln -s usr/bin "$work/done/bin"
    ln -s usr/sbin "$work/done/sbin"
    (
        source "$wheels_repo/tools/python-source.sh"
        need_commands dpkg-deb:dpkg apt-get:apt >&2 || exit 1
        private_apt_arch=arm64 private_apt_suites=$suite
        private_apt_update || exit 1
        packages=$(private_apt apt-cache depends --recurse --no-recommends --no-suggests \
            --no-conflicts --no-breaks --no-replaces --no-enhances \
            "python$label-minimal" "libpython$label-stdlib" "libpython$label-dev" \
            "python$label-venv" libsamplerate0 libstdc++6 | grep -v '^[ <]' | sort -u)
        [ -n "$packages" ] || { wheels_say "Debian $suite has no arm64 python$label"; exit 1; }
        # shellcheck disable=SC2086
        cd "$work/debs" && private_apt apt-get download $packages >"$work/download.log" 2>&1 || {
            mv "$work/download.log" "$final.log"
            wheels_say "downloading the arm64 packages from the Debian mirror failed; see $final.log"
            exit 1
        }
    ) || return 1
    for deb in "$work/debs"/*.deb; do
        dpkg-deb -x "$deb" "$work/done" || { wheels_say "dpkg-deb -x $deb failed"; return 1; }
    done
    if [ ! -f "$work/done/usr/include/python$label/Python.h" ] ||
        [ ! -e "$work/done/usr/bin/python$label" ] ||
        [ ! -e "$work/done/lib/ld-linux-aarch64.so.1" ]; then
        wheels_say "the arm64 sysroot made from Debian $suite lacks CPython $label's interpreter, headers or loader; not kept"
        return 1
    fi
    touch "$work/done/.quavix-sysroot"
}

# Prints NumPy's C headers from its aarch64 wheel for CPython LABEL (of the NumPy this
# environment builds against), unpacked once into the build folder.
wheel_arm64_numpy_include() {
    local label=$1 numpy dest
    numpy=$("$venv/bin/python" -c 'import numpy; print(numpy.__version__)')
    dest="$wheels_repo/build/wheel-numpy-$numpy-cp${label/./}-aarch64"
    if [ ! -d "$dest/numpy/_core/include" ]; then
        rm -rf "$dest" "$dest.download"
        "$venv/bin/python" -m pip download -q --no-deps --only-binary=:all: \
            --platform manylinux_2_28_aarch64 --platform manylinux2014_aarch64 --python-version "$label" "numpy==$numpy" \
            -d "$dest.download" >&2 || { wheels_say "NumPy $numpy has no aarch64 wheel for $label"; return 1; }
        "$venv/bin/python" -m zipfile -e "$dest.download"/numpy-*.whl "$dest" >&2 || return 1
        rm -rf "$dest.download"
    fi
    printf '%s\n' "$dest/numpy/_core/include"
}

# binfmt_misc: the kernel runs arm64 programs with qemu-aarch64-static for the time of a test run
# (the tests start the interpreter again, as sys.executable), through an entry of this process's
# own, removed afterwards: by wheel_binfmt_remove, called on every exit of the run's subshell,
# and before a new one, which also removes entries that an interrupted run left behind. Where no
# binfmt_misc was mounted, a run mounts it, and the last run to end unmounts it (unmounting drops
# every entry, so not while another run holds the shared lock). The lock and the note that a run
# mounted it are the machine's, as the mount is, not a cache's: runs with caches of their own
# share them too, and /run forgets the note when the machine restarts, as the kernel the mount.
wheel_binfmt=/proc/sys/fs/binfmt_misc
wheel_binfmt_state=/run/quavix-binfmt
wheel_binfmt_entry=
wheel_binfmt_lock=

wheel_binfmt_register() {
    local qemu entry marker="$wheel_binfmt_state/mounted"
    qemu=$(command -v qemu-aarch64-static) || return 1
    mkdir -p "$wheel_binfmt_state"
    exec {wheel_binfmt_lock}>"$wheel_binfmt_state/lock"
    flock -s "$wheel_binfmt_lock"
    if ! mountpoint -q "$wheel_binfmt"; then
        mount -t binfmt_misc binfmt_misc "$wheel_binfmt" 2>/dev/null || {
            wheels_say "binfmt_misc cannot be mounted at $wheel_binfmt (the kernel lacks it, or this is a"
            wheels_say "container without the right); the aarch64 tests start the interpreter again and need it."
            return 1
        }
        touch "$marker"
    fi
    for entry in "$wheel_binfmt"/quavix-aarch64-*; do
        [ -e "$entry" ] || continue
        kill -0 "${entry##*-}" 2>/dev/null || echo -1 >"$entry"
    done
    wheel_binfmt_entry="quavix-aarch64-$BASHPID"
    # An ELF64 little-endian executable or shared object for machine 183 (AArch64); F opens qemu
    # now, so the entry works whatever the filesystem of the program.
    printf ':%s:M::\\x7fELF\\x02\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\xb7\\x00:\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:%s:F\n' \
        "$wheel_binfmt_entry" "$qemu" >"$wheel_binfmt/register" || {
        wheels_say "registering qemu-aarch64-static with binfmt_misc failed"
        wheel_binfmt_entry=
        return 1
    }
}

wheel_binfmt_remove() {
    if [ -n "$wheel_binfmt_entry" ] && [ -e "$wheel_binfmt/$wheel_binfmt_entry" ]; then
        echo -1 >"$wheel_binfmt/$wheel_binfmt_entry"
    fi
    wheel_binfmt_entry=
    [ -n "$wheel_binfmt_lock" ] || return 0
    # The last run unmounts what a run mounted.
    if flock -n -x "$wheel_binfmt_lock" && [ -f "$wheel_binfmt_state/mounted" ]; then
        umount "$wheel_binfmt" 2>/dev/null && rm -f "$wheel_binfmt_state/mounted"
    fi
    exec {wheel_binfmt_lock}>&-
    wheel_binfmt_lock=
}

# What running the aarch64 wheels needs here, checked before anything is built or fetched:
# root (qemu-aarch64-static is registered with binfmt_misc for the run), the kernel's
# binfmt_misc, and qemu-aarch64-static, or apt-get to install it (wheel_arm64_require).
wheel_arm64_preflight() {
    if [ "$(id -u)" -ne 0 ]; then
        wheels_say "running the aarch64 wheels takes root: qemu-aarch64-static is registered with the"
        wheels_say "kernel's binfmt_misc for the run. Run as root (for example with sudo), or build without --test."
        return 1
    fi
    if [ ! -d "$wheel_binfmt" ]; then
        wheels_say "this kernel offers no binfmt_misc ($wheel_binfmt is missing; in a container, the host"
        wheels_say "must lend it), which the aarch64 tests need to start the interpreter again. Run them on a"
        wheels_say "machine whose kernel has binfmt_misc, or build without --test."
        return 1
    fi
    command -v mountpoint >/dev/null 2>&1 || { wheels_say "mountpoint is missing: apt-get install util-linux"; return 1; }
    if ! command -v qemu-aarch64-static >/dev/null 2>&1 && ! command -v apt-get >/dev/null 2>&1; then
        wheels_say "qemu-aarch64-static is missing, and there is no apt-get to install it with:"
        wheels_say "install qemu-user-static (Debian's, or your distribution's) and run again."
        return 1
    fi
}

# wheel_arm64_preflight, then qemu-aarch64-static installed with apt-get where it is missing.
wheel_arm64_require() {
    wheel_arm64_preflight || return 1
    command -v qemu-aarch64-static >/dev/null 2>&1 || apt_install qemu-user-static >&2 || true
    if ! command -v qemu-aarch64-static >/dev/null 2>&1; then
        wheels_say "qemu-aarch64-static is missing: install Debian's qemu-user-static (apt-get install qemu-user-static)."
        return 1
    fi
}

# Installs aarch64 WHEEL into a fresh environment of Debian's arm64 CPython LABEL under qemu and
# runs the wheel's tests there, with NumPy at version NUMPY if given.
wheel_test_arm64() {
    local wheel=$1 label=$2 numpy=${3:+==$3} sysroot pip
    wheel_arm64_require || return 1
    sysroot=$(wheel_arm64_sysroot "$label") || return 1
    pip=$(find "$sysroot/usr/share/python-wheels" -name 'pip-*.whl' | head -n 1)
    wheels_say "testing $(basename "$wheel") under qemu-aarch64-static with Debian's arm64 CPython $label"
    (
        tmp=$(mktemp -d "${TMPDIR:-/tmp}/quavix-wheel-test.XXXXXX")
        trap 'wheel_binfmt_remove; rm -rf "$tmp"' EXIT
        trap 'exit 130' INT TERM HUP
        wheel_binfmt_register || exit 1
        export QEMU_LD_PREFIX=$sysroot
        # Without ensurepip, which copies Debian's pip wheel with a call whose path qemu does not
        # map into the sysroot: pip runs from that wheel instead and installs itself too. Nothing
        # is compiled ahead (--no-compile), which under qemu takes minutes: imports compile.
        "$sysroot/usr/bin/python$label" -m venv --without-pip "$tmp/env" &&
            "$tmp/env/bin/python" "$pip/pip" install -q --no-compile pip "$wheel" "numpy$numpy" \
                -r "$wheels_repo/tools/requirements-wheel-test.txt" || exit 1
        cd "$wheels_repo" && QUAVIX_WHEEL="$wheel" "$tmp/env/bin/python" -m pytest -p no:cacheprovider \
            -q "${wheel_tests[@]}"
    )
}

# The released set: x86_64 for every supported CPython, aarch64 where Debian has an arm64 CPython
# to run the wheel on (wheel_arm64_suite).
wheels_x86_64=(3.10 3.11 3.12 3.13 3.13t 3.14 3.15)
wheels_aarch64=(3.11 3.13 3.14 3.15)

# Name, size, highest GLIBC_ symbol of the extension, for each wheel given.
wheels_table() {
    local wheel tmp so
    tmp=$(mktemp -d)
    for wheel in "$@"; do
        rm -rf "${tmp:?}"/*
        python3 -m zipfile -e "$wheel" "$tmp" >/dev/null
        so=$(find "$tmp" -maxdepth 1 -name 'quavix.*.so' | head -n 1)
        printf '%-82s %8s  %s\n' "$(basename "$wheel")" "$(du -k "$wheel" | cut -f1) kB" \
            "$(wheel_highest_glibc "$so")"
    done
    rm -rf "$tmp"
}

wheels_main() {
    local test=() failed=() version arch started=$SECONDS
    case "${1:-}" in
    --test) test=(--test) ;;
    "") ;;
    *) echo "usage: tools/dev.sh wheels [--test]" >&2; exit 2 ;;
    esac
    # Not an hour of x86_64 wheels before the aarch64 runs find that they cannot start.
    if [ ${#test[@]} -gt 0 ]; then
        wheel_arm64_preflight || exit 1
    fi
    for arch in x86_64 aarch64; do
        local versions=("${wheels_x86_64[@]}")
        [ "$arch" = aarch64 ] && versions=("${wheels_aarch64[@]}")
        for version in "${versions[@]}"; do
            local begun=$SECONDS
            wheels_say "=== cp${version/./} $arch ==="
            local extra=()
            [ ${#test[@]} -gt 0 ] && [ "$version-$arch" = 3.13-x86_64 ] && extra=(--bullseye)
            "$wheels_repo/tools/dev.sh" --python "$version" wheel --arch "$arch" "${test[@]}" "${extra[@]}" ||
                failed+=("$version $arch")
            wheels_say "=== cp${version/./} $arch: $((SECONDS - begun)) s ==="
        done
    done
    wheels_table "$wheels_repo"/wheelhouse/quavix-*manylinux_2_17_*.whl
    echo "all wheels: $((SECONDS - started)) s"
    if [ ${#failed[@]} -gt 0 ]; then
        wheels_say "failed: ${failed[*]}"
        exit 1
    fi
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
    set -euo pipefail
    wheels_main "$@"
fi

# The wheel job for CPython 3.14 or 3.15, on the host, before tools/dev.sh enters the forky root
# where they live: hands in libsamplerate's source and, for aarch64, the arm64 CPython's headers
# (wheels_handed_in), has the wheel built (and an x86_64 one run) in the root by tools/dev.sh,
# and runs an aarch64 one here under qemu, where the arm64 sysroot is. Arguments as wheel_job's.
wheel_from_root() {
    local args=("$@") test=no arch=x86_64 tests=() sysroot label=$python_version inner=()
    while [ $# -gt 0 ]; do
        case "$1" in
        --arch) arch=${2:-}; shift 2 || usage ;;
        --arch=*) arch=${1#--arch=}; shift ;;
        --test) test=yes; shift ;;
        --) shift; tests=("$@"); break ;;
        *) shift ;;
        esac
    done
    if [ "$arch" = aarch64 ] && [ "$test" = yes ]; then
        wheel_arm64_require || return 1
    fi
    rm -rf "$wheels_handed_in"
    mkdir -p "$wheels_handed_in"
    cp "$(wheel_libsamplerate_source)" "$wheels_handed_in/" || return 1
    if [ "$arch" = aarch64 ]; then
        sysroot=$(wheel_arm64_sysroot "$label") || return 1
        mkdir -p "$wheels_handed_in/arm64-python$label/usr/include/aarch64-linux-gnu"
        cp -a "$sysroot/usr/include/python$label" "$wheels_handed_in/arm64-python$label/usr/include/"
        cp -a "$sysroot/usr/include/aarch64-linux-gnu/python$label" \
            "$wheels_handed_in/arm64-python$label/usr/include/aarch64-linux-gnu/"
        # Built in the root; run here.
        inner=(--arch aarch64)
    else
        inner=("${args[@]}")
    fi
    QUAVIX_WHEEL_HANDED_IN=1 "$wheels_repo/tools/dev.sh" --python "$python_version" wheel "${inner[@]}" ||
        return 1
    [ "$arch" = aarch64 ] && [ "$test" = yes ] || return 0
    [ ${#tests[@]} -gt 0 ] && wheel_tests=("${tests[@]}")
    local wheel
    wheel=$(find "$wheels_repo/wheelhouse" -name "quavix-*-cp${label/./}-cp${label/./}-*manylinux_2_17_aarch64.whl" | head -n 1)
    [ -n "$wheel" ] || { wheels_say "no cp${label/./} aarch64 wheel in wheelhouse/"; return 1; }
    wheel_test_arm64 "$wheel" "$label"
}
