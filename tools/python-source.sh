# Sourced by tools/dev.sh: the free-threaded CPython 3.13 (3.13t), built once from Debian's
# python3.13 source package into a cache outside the checkout. The source comes through
# apt-get source under a private apt configuration (its own sources file, lists and package
# cache under the cache folder); the machine's apt configuration is only read, for its Debian
# mirror and keyring, never changed.
#
# Also builds, on demand, the pieces that the ThreadSanitizer job needs: the same CPython with
# --with-thread-sanitizer, and libsamplerate from its Debian source package with -fsanitize=thread.
#
# A build happens in a folder of its own and is renamed into place only when complete, so a
# failed or interrupted build leaves nothing that a later run would trust.

source "$repo/tools/debian-mirror.sh"

source_cache=${QUAVIX_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quavix}
source_jobs=${QUAVIX_JOBS:-2}
# The environments of these interpreters are kept beside them, per machine rather than per
# checkout: their dependencies include source builds that take minutes.
venv_home="$source_cache/venvs"

is_wanted_python() {
    "$1" -c "import sys, sysconfig; sys.exit(sys.version_info[:2] != (3, 13) or not sysconfig.get_config_var('Py_GIL_DISABLED'))" \
        >/dev/null 2>&1
}

# A build from Debian's source takes root: apt-get installs its tools and headers and fetches the
# source package. Says so before anything else, with the command to run instead, when not root.
source_require_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    say "$1 is built once from Debian's source into $2, which takes root (apt-get, for the build's"
    say "tools and headers and for the source package); run this as root instead: sudo $command_line"
    return 1
}

# Installs the Debian packages of the commands that are missing (each given as COMMAND:PACKAGE);
# says which are still missing and which packages provide them, and fails, if that did not work.
need_commands() {
    local packages=() missing=() pair
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null 2>&1 || packages+=("${pair#*:}")
    done
    [ ${#packages[@]} -eq 0 ] && return 0
    apt_install "${packages[@]}" >&2 || true
    for pair in "$@"; do
        command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair%%:*} (Debian package ${pair#*:})")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "missing: ${missing[*]}; install with apt-get install and run again."
    return 1
}

# apt-get (or apt-cache, named first) with a configuration of its own under the cache: deb-src
# lines for Debian's forky and sid suites, from the Debian mirror of the machine's own sources
# (or QUAVIX_DEBIAN_MIRROR; tools/debian-mirror.sh) and with Debian's archive keyring.
# With private_apt_arch=ARCH and private_apt_suites="SUITE...", deb lines for that
# architecture's packages instead, in a configuration of their own.
private_apt_dir() { printf '%s\n' "$source_cache/apt${private_apt_arch:+-$private_apt_arch-${private_apt_suites// /-}}"; }
private_apt() {
    local tool=$1 dir suite
    shift
    dir=$(private_apt_dir)
    local kind="deb-src [" arch_options=()
    if [ -n "${private_apt_arch:-}" ]; then
        kind="deb [arch=$private_apt_arch "
        arch_options=(-o APT::Architecture="$private_apt_arch" -o APT::Architectures="$private_apt_arch")
    fi
    mkdir -p "$dir/lists/partial" "$dir/archives/partial" "$dir/parts" "$dir/preferences.d"
    if [ ! -s "$dir/sources.list" ]; then
        local mirror keyring=/usr/share/keyrings/debian-archive-keyring.gpg
        mirror=$(debian_mirror) || return 1
        if [ ! -r "$keyring" ]; then
            say "no Debian archive keyring at $keyring; install debian-archive-keyring and run again."
            return 1
        fi
        for suite in ${private_apt_suites:-forky sid}; do
            printf '%ssigned-by=%s] %s %s main\n' "$kind" "$keyring" "$mirror" "$suite"
        done >"$dir/sources.list.new"
        mv "$dir/sources.list.new" "$dir/sources.list"
    fi
    "$tool" -q \
        -o Dir::Etc::SourceList="$dir/sources.list" \
        -o Dir::Etc::SourceParts="$dir/parts" \
        -o Dir::Etc::Preferences="$dir/preferences" \
        -o Dir::Etc::PreferencesParts="$dir/preferences.d" \
        -o Dir::State::Lists="$dir/lists" \
        -o Dir::Cache="$dir" \
        -o Dir::Cache::Archives="$dir/archives" \
        -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= \
        -o APT::Sandbox::User=root "${arch_options[@]}" \
        "$@"
}

# apt-get update of the private configuration. apt only warns about an index it could not fetch
# and goes on without it, which leaves nothing to find; here that fails, saying what is needed.
private_apt_update() {
    private_apt apt-get update -qq --error-on=any >&2 && return 0
    # Without a sources list, private_apt has said why: no Debian mirror, or no keyring.
    [ -s "$(private_apt_dir)/sources.list" ] || return 1
    say "apt-get update under $(private_apt_dir) could not fetch Debian's index."
    say "It needs network access to the Debian mirror $(debian_mirror 2>/dev/null); check the network,"
    say "or name another mirror with QUAVIX_DEBIAN_MIRROR=URL, and run again."
    return 1
}

# Fetches Debian's newest source of PACKAGE from forky or sid into folder DEST (once) and prints
# the path of its upstream tarball, checked against the signed index by apt-get. A mirror may
# list a version whose files it no longer holds, so each listed version is tried, newest first.
debian_source() {
    local package=$1 dest=$2 found version=
    found=$(find "$dest" -maxdepth 1 -name "${package}_*.orig.tar.*" ! -name '*.asc' 2>/dev/null | head -n 1)
    if [ -z "$found" ]; then
        need_commands apt-get:apt dpkg-source:dpkg-dev || return 1
        say "fetching Debian's source package $package"
        private_apt_update || return 1
        rm -rf "$dest.partial"
        mkdir -p "$dest.partial"
        for version in $(private_apt apt-cache showsrc "$package" 2>/dev/null |
            sed -n 's/^Version: //p' | sort -u -r -V); do
            # Only the upstream tarball is used; apt keeps each file only once its checksum
            # matches the signed index, so one that arrived is sound even when the Debian
            # packaging files beside it could not be had.
            (cd "$dest.partial" &&
                private_apt apt-get source --download-only "$package=$version" >>"$dest.partial/apt.log" 2>&1) || true
            find "$dest.partial" -maxdepth 1 -name "${package}_*.orig.tar.*" ! -name '*.asc' | grep -q . && break
            version=
        done
        if [ -z "$version" ]; then
            # Nothing half-fetched is left; the log is kept beside it.
            mv "$dest.partial/apt.log" "$dest.log" 2>/dev/null || : >"$dest.log"
            rm -rf "$dest.partial"
            say "apt-get source $package failed for every version Debian's index lists; see $dest.log"
            return 1
        fi
        rm -rf "$dest"
        mv "$dest.partial" "$dest"
        found=$(find "$dest" -maxdepth 1 -name "${package}_*.orig.tar.*" ! -name '*.asc' | head -n 1)
    fi
    [ -n "$found" ] || { say "no upstream tarball in $dest"; return 1; }
    printf '%s\n' "$found"
}

# Unpacks the upstream CPython source (Debian's patches adapt it to Debian's own /usr layout, so
# they are left out) into folder DEST.
unpack_cpython() {
    local dest=$1 tarball
    tarball=$(debian_source python3.13 "$source_cache/debian-source/python3.13") || return 1
    rm -rf "$dest"
    mkdir -p "$dest"
    tar -xf "$tarball" -C "$dest" --strip-components=1
}

# The compiler and tools, and the headers without which CPython builds with no ssl (so no pip
# install), zlib or ctypes.
cpython_build_tools() {
    need_commands gcc:gcc make:make pkg-config:pkg-config tar:tar xz:xz-utils || return 1
    dpkg -s libssl-dev zlib1g-dev libffi-dev >/dev/null 2>&1 ||
        apt_install libssl-dev zlib1g-dev libffi-dev >&2 ||
        { say "CPython needs libssl-dev, zlib1g-dev and libffi-dev: apt-get install them and run again."; return 1; }
}

# Builds a free-threaded CPython 3.13 configured for prefix FINAL with the configure options
# that follow, installs it into a staging root (with the make options in cpython_install_options)
# and renames it into place when complete.
cpython_install_options=()
build_cpython() {
    local final=$1 work="$1.work"
    shift
    source_require_root "The free-threaded CPython 3.13" "$final" || return 1
    cpython_build_tools || return 1
    say "building CPython 3.13 free-threaded $* into $final (once)"
    rm -rf "$work"
    unpack_cpython "$work/src" || return 1
    (
        set -e
        cd "$work/src"
        ./configure -q --prefix="$final" --disable-gil "$@" >"$work/configure.log" 2>&1
        make -s -j"$source_jobs" >"$work/make.log" 2>&1
        make -s install DESTDIR="$work/root" "${cpython_install_options[@]}" >"$work/install.log" 2>&1
    ) || { say "building CPython failed; see the logs in $work"; return 1; }
    is_wanted_python "$work/root$final/bin/python3.13t" ||
        { say "the CPython built in $work does not run free-threaded"; return 1; }
    rm -rf "$final"
    mv "$work/root$final" "$final"
    rm -rf "$work"
}

# The free-threaded CPython 3.13, in $source_cache/cpython-3.13t.
build_cpython_free_threaded() {
    build_cpython "$source_cache/cpython-3.13t" --with-ensurepip=install
}

# The same with ThreadSanitizer, in $source_cache/cpython-3.13t-tsan, except that its standard
# library is not compiled at install: the instrumented interpreter would take most of the build's
# time for it, and it compiles the few modules a test run imports as they are imported.
# compileall is only asked for its usage, which skips the compiling.
build_cpython_thread_sanitizer() {
    cpython_install_options=(COMPILEALL_OPTS=--help)
    build_cpython "$source_cache/cpython-3.13t-tsan" --with-thread-sanitizer --with-ensurepip=no
}

# libsamplerate from Debian's source package (the upstream tarball), built with
# -fsanitize=thread so that ThreadSanitizer sees its own reads and writes of a converter state,
# installed to $source_cache/libsamplerate-tsan (with its pkg-config file; its CMake files ask for
# an old CMake, hence the policy minimum) through a staging
# folder renamed into place when complete.
build_libsamplerate_thread_sanitizer() {
    local final="$source_cache/libsamplerate-tsan" work="$source_cache/libsamplerate-tsan.work" tarball
    source_require_root "libsamplerate with ThreadSanitizer" "$final" || return 1
    need_commands gcc:gcc cmake:cmake make:make tar:tar || return 1
    say "building libsamplerate with ThreadSanitizer into $final (once)"
    tarball=$(debian_source libsamplerate "$source_cache/debian-source/libsamplerate") || return 1
    rm -rf "$work"
    mkdir -p "$work/src"
    tar -xf "$tarball" -C "$work/src" --strip-components=1
    cmake -S "$work/src" -B "$work/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_C_FLAGS="-fsanitize=thread -fno-omit-frame-pointer" \
        -DCMAKE_SHARED_LINKER_FLAGS=-fsanitize=thread -DBUILD_SHARED_LIBS=ON \
        -DBUILD_TESTING=OFF -DLIBSAMPLERATE_EXAMPLES=OFF -DCMAKE_INSTALL_LIBDIR=lib \
        -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
        -DCMAKE_INSTALL_PREFIX="$final" >"$work/build.log" 2>&1 &&
        cmake --build "$work/build" -j"$source_jobs" >>"$work/build.log" 2>&1 &&
        DESTDIR="$work/root" cmake --install "$work/build" >>"$work/build.log" 2>&1 ||
        { say "building libsamplerate with ThreadSanitizer failed; see $work/build.log"; return 1; }
    rm -rf "$final"
    mv "$work/root$final" "$final"
    rm -rf "$work"
}

# Prints the folder of libsamplerate built with ThreadSanitizer, building it first if need be.
provide_libsamplerate_thread_sanitizer() {
    local lib="$source_cache/libsamplerate-tsan"
    [ -f "$lib/lib/pkgconfig/samplerate.pc" ] || build_libsamplerate_thread_sanitizer >&2 || return 1
    printf '%s\n' "$lib"
}

# The plain free-threaded CPython, or with source_sanitizer=thread the one built with
# ThreadSanitizer.
provide_python() {
    if [ "${source_sanitizer:-}" = thread ]; then
        local tsan="$source_cache/cpython-3.13t-tsan/bin/python3.13t"
        if ! is_wanted_python "$tsan"; then
            build_cpython_thread_sanitizer >&2 || return 1
        fi
        printf '%s\n' "$tsan"
        return 0
    fi
    local python="$source_cache/cpython-3.13t/bin/python3.13t"
    if [ -x "$python" ] && is_wanted_python "$python"; then
        printf '%s\n' "$python"
        return 0
    fi
    build_cpython_free_threaded >&2 || return 1
    printf '%s\n' "$python"
}
