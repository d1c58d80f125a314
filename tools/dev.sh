#!/usr/bin/env bash
# Sets up everything quavix needs (system packages, a virtual environment for the chosen
# CPython, the built module and its test dependencies), then runs one job. Quick when all is in
# place.
#
#   tools/dev.sh [options] test [pytest args]     run the test suite
#   tools/dev.sh [options] example [--duration SECONDS] [--out-dir FOLDER]
#                                                 run the demonstration (examples/demo.py)
#   tools/dev.sh [options] example INPUT OUTPUT [options]
#                                                 convert a file (examples/convert_file.py)
#   tools/dev.sh [options] sanitize [pytest args] run the test suite on a build instrumented
#                                                 with AddressSanitizer and UndefinedBehaviorSanitizer
#   tools/dev.sh [options] tsan [pytest args]     the thread tests (tests/test_threads.py) under
#                                                 ThreadSanitizer, on 3.13t only
#   tools/dev.sh [options] wheel [--arch A] [--test] [--bullseye] [-- pytest args]
#                                                 build the manylinux2014 wheel of that CPython for
#                                                 x86_64 (or aarch64) into wheelhouse/; --test runs
#                                                 it in a fresh environment, --bullseye (cp313
#                                                 x86_64) in a Debian bullseye root (tools/wheels.sh)
#   tools/dev.sh wheels [--test]                  every released wheel, the same way
#   tools/dev.sh [options] bench [args]           benchmarks against libsamplerate in C and peers
#                                                 (bench/run.py; --quick, --selftest, --help)
#   tools/dev.sh [options] docs [sphinx args]     build the documentation site into build/docs
#   tools/dev.sh [options] python [args]          run the environment's python
#
# Options (or the environment variables beside them):
#   --python 3.X    QUAVIX_PYTHON=3.X    the CPython to use: 3.10, 3.11, 3.12 (the default), 3.13,
#                                        3.14 or 3.15 (these two in a Debian forky root, run as
#                                        root: tools/python-forky.sh), or 3.13t, the free-threaded
#                                        3.13, built once from Debian's source package
#                                        (tools/python-source.sh)
#   --numpy oldest  QUAVIX_NUMPY=oldest  run on the oldest NumPy that quavix declares for that
#                                        CPython (tools/numpy-oldest.txt); the module is still
#                                        built against NumPy 2 headers
#
# Each CPython, and each with the oldest NumPy, has a virtual environment of its own (.venv-3.X,
# .venv-3.X-numpy-oldest) and a build folder of its own, so switching rebuilds nothing.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
supported_pythons=(3.10 3.11 3.12 3.13 3.13t 3.14 3.15)
python_version=${QUAVIX_PYTHON:-3.12}
numpy_choice=${QUAVIX_NUMPY:-newest}

usage() {
    echo "usage: tools/dev.sh [--python 3.X] [--numpy oldest] {test|example|sanitize|tsan|wheel|wheels|bench|docs|python} [args...]" >&2
    exit 2
}

while [ $# -gt 0 ]; do
    case "$1" in
    --python) [ $# -ge 2 ] || usage; python_version=$2; shift 2 ;;
    --python=*) python_version=${1#--python=}; shift ;;
    --numpy) [ $# -ge 2 ] || usage; numpy_choice=$2; shift 2 ;;
    --numpy=*) numpy_choice=${1#--numpy=}; shift ;;
    *) break ;;
    esac
done

say() { printf 'quavix setup: %s\n' "$*" >&2; }

# Every wheel: tools/wheels.sh runs this script once per interpreter and architecture.
[ "${1:-}" = wheels ] && { shift; exec bash "$repo/tools/wheels.sh" "$@"; }

if [[ " ${supported_pythons[*]} " != *" $python_version "* ]]; then
    say "CPython $python_version is not supported; choose one of ${supported_pythons[*]}."
    exit 2
fi
if [ "$numpy_choice" != newest ] && [ "$numpy_choice" != oldest ]; then
    say "--numpy takes 'oldest' (or 'newest', the default), not '$numpy_choice'."
    exit 2
fi
# This command with its choices as options (sudo drops QUAVIX_PYTHON and QUAVIX_NUMPY), for the
# messages that say to run it as root instead.
command_line=$(printf '%q ' "$0" --python "$python_version" "$@")
[ "$numpy_choice" = newest ] || command_line=${command_line/ --python / --numpy oldest --python }
command_line=${command_line% }

# Installs Debian packages with the machine's apt-get (through sudo when not root; without
# sudo, says what to install as root and fails).
apt_install() {
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if ! command -v sudo >/dev/null 2>&1; then
            say "missing: $*; installing them takes root: run 'apt-get install $*' as root and run again."
            return 1
        fi
        sudo=(sudo)
    fi
    say "installing $* with apt-get"
    "${sudo[@]}" apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "$@" >/dev/null
}

# The wheel of an interpreter of the forky root is built there from what this machine fetches
# (tools/wheels.sh).
if [ "${1:-}" = wheel ] && [ -z "${QUAVIX_IN_FORKY_ROOT:-}${QUAVIX_WHEEL_HANDED_IN:-}" ] &&
    [[ $python_version == 3.1[45] ]]; then
    source "$repo/tools/wheels.sh"
    shift
    wheel_from_root "$@"
    exit
fi

# Where the interpreter comes from; each way has a file of its own that defines provide_python,
# which prints the interpreter's path or says what is missing and fails. A provider may keep the
# environments elsewhere (venv_home).
venv_home=$repo
case "$python_version" in
3.13t) source "$repo/tools/python-source.sh" ;;
3.14 | 3.15) source "$repo/tools/python-forky.sh" ;;
*) source "$repo/tools/python-pyenv.sh" ;;
esac

flavour=$python_version
[ "$numpy_choice" = oldest ] && flavour+=-numpy-oldest
venv="$venv_home/.venv-$flavour"
build_options=(-Cbuild-dir=build/{wheel_tag}${flavour#$python_version})
pip_constraints=()
[ "$numpy_choice" = oldest ] && pip_constraints=(-c "$repo/tools/numpy-oldest.txt")
[ "$python_version" = 3.13t ] && pip_constraints+=(-c "$repo/tools/constraints-cp313t.txt")

# What the build needs, installed when missing; then the optional tools, each with the tests that
# skip without it: installed when missing as root, and otherwise named once, so that a plain user
# with the build's needs in place runs without root.
optional_tools=(
    "valgrind:valgrind:the memory check (tests/test_callback_resampler.py::test_valgrind_memcheck)"
    "readelf:binutils:the wheel's library path check (tests/test_wheel.py::test_repaired_extension_looks_beside_itself)"
)
ensure_system_packages() {
    local missing=() absent=() packages=() skipped=() tool rest
    pkg-config --exists 'samplerate >= 0.2' 2>/dev/null || missing+=(libsamplerate0-dev)
    command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
    command -v g++ >/dev/null 2>&1 || missing+=(g++)
    [ ${#missing[@]} -eq 0 ] || apt_install "${missing[@]}"
    for tool in "${optional_tools[@]}"; do
        rest=${tool#*:}
        command -v "${tool%%:*}" >/dev/null 2>&1 || { absent+=("$tool"); packages+=("${rest%%:*}"); }
    done
    [ ${#absent[@]} -eq 0 ] && return 0
    [ "$(id -u)" -ne 0 ] || apt_install "${packages[@]}" || true
    missing=()
    for tool in "${absent[@]}"; do
        command -v "${tool%%:*}" >/dev/null 2>&1 && continue
        rest=${tool#*:}
        missing+=("${tool%%:*} (Debian package ${rest%%:*})")
        skipped+=("${rest#*:}")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "optional tools not installed: $(printf '%s, ' "${missing[@]}" | sed 's/, $//');" \
        "these tests skip for that: $(printf '%s, ' "${skipped[@]}" | sed 's/, $//')."
}

hash_of() { cat "$@" 2>/dev/null | sha256sum | cut -d' ' -f1; }

ensure_venv() {
    if [ -x "$venv/bin/python" ] && is_wanted_python "$venv/bin/python"; then
        return 0
    fi
    local python
    python=$(provide_python) || exit 1
    say "creating $venv with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    venv_pip_install --upgrade pip || { rm -rf "$venv"; exit 1; }
}

# The build and test dependencies (tools/requirements-dev.txt, or a shorter list for a job).
requirements=tools/requirements-dev.txt

# A requirements file less what cannot be installed on this interpreter. On the free-threaded
# 3.13: soundfile, which needs CFFI, which builds for no free-threaded CPython before 3.14; and
# soxr, a peer of the benchmarks, which has no cp313t wheel.
requirements_here() {
    if [ "$python_version" = 3.13t ]; then
        grep -Ev '^(soundfile|soxr)\b' "$1"
    else
        cat "$1"
    fi
}

# pip install into the environment, held to the oldest NumPy where that was asked for.
venv_pip_install() {
    "$venv/bin/python" -m pip install -q "${pip_constraints[@]}" "$@" && return 0
    say "pip could not install what $venv needs (its message is above)."
    say "It needs network access to PyPI, or to the index that pip's configuration names; check the"
    say "network and run again."
    return 1
}

# Build requirements, run-time and test dependencies; redone when pyproject.toml changes.
ensure_dependencies() {
    local stamp="$venv/.quavix-deps" want
    want=$(hash_of pyproject.toml "$requirements" tools/numpy-oldest.txt tools/constraints-cp313t.txt; echo "$numpy_choice")
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && return 0
    say "installing Python dependencies"
    venv_pip_install -r <(requirements_here "$requirements")
    if [ "$numpy_choice" = oldest ]; then
        # The module is built against NumPy 2 headers, as a wheel is, and runs on the oldest
        # NumPy: the headers come from a NumPy 2 kept beside the environment, not in it.
        rm -rf "$venv/numpy2-headers"
        "$venv/bin/python" -m pip install -q --no-deps --target "$venv/numpy2-headers" "numpy>=2.0"
    fi
    printf '%s\n' "$want" >"$stamp"
}

# Builds and installs the extension with pip; rebuilt when a source or build file changes.
ensure_module() {
    local stamp="$venv/.quavix-build" want
    want=$(hash_of pyproject.toml CMakeLists.txt LICENSE $(find src quavix-stubs LICENSES -type f | sort); echo "${build_options[*]}")
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && return 0
    say "building and installing quavix for CPython $python_version"
    "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps "${build_options[@]}" .
    printf '%s\n' "$want" >"$stamp"
}

# Dependencies that only some jobs need, from tools/requirements-NAME.txt, each with its own
# stamp: bench (the peers compared against, the plot), kept out of the tests, and docs (Sphinx,
# MyST, the theme), which the test suite needs too since it builds the site.
ensure_requirements() {
    local file="$repo/tools/requirements-$1.txt" stamp="$venv/.quavix-$1-deps" want
    want=$(hash_of "$file")
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && return 0
    say "installing $1 dependencies"
    venv_pip_install -r <(requirements_here "$file")
    printf '%s\n' "$want" >"$stamp"
}

# Runs in the repository; the jobs themselves run where they were called from.
setup() {
    if [ "$numpy_choice" = oldest ]; then
        build_options+=("-Ccmake.define.Python_NumPy_INCLUDE_DIR=$venv/numpy2-headers/numpy/_core/include")
    fi
    # The wheel test builds with the same options, into the same build folder.
    export QUAVIX_BUILD_OPTIONS="${build_options[*]}"
    in_repository_setup
}

in_repository_setup() (
    cd "$repo"
    ensure_system_packages
    ensure_venv
    ensure_dependencies
    ensure_module
)

job=${1:-}
[ $# -gt 0 ] && shift
case "$job" in
test)
    setup
    ensure_requirements docs
    [ "$python_version" = 3.13t ] && ensure_requirements free-threaded
    cd "$repo"
    exec "$venv/bin/python" -m pytest "$@"
    ;;
example)
    setup
    # The demonstration with no arguments or when they start with one of its options.
    if [ $# -eq 0 ] || [[ $1 == --duration* || $1 == --out-dir* ]]; then
        exec "$venv/bin/python" "$repo/examples/demo.py" "$@"
    fi
    exec "$venv/bin/python" "$repo/examples/convert_file.py" "$@"
    ;;
sanitize)
    venv="$venv_home/.venv-sanitize-$flavour"
    build_options=(-Cbuild-dir=build/sanitize-$flavour -Ccmake.define.QUAVIX_SANITIZE=ON)
    setup
    runtimes="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
    export QUAVIX_SANITIZED=1
    export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_init_order=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    cd "$repo"
    # Several times slower than the plain build, so longer time limits (see tests/conftest.py).
    LD_PRELOAD="$runtimes" exec "$venv/bin/python" -m pytest --timeout=900 \
        -o faulthandler_timeout=2800 "$@"
    ;;
tsan)
    # The free-threaded CPython, libsamplerate and the module, each built with ThreadSanitizer
    # (the first two once, cached; see tools/python-source.sh), and the thread tests on them.
    if [ "$python_version" != 3.13t ]; then
        say "the ThreadSanitizer job runs on the free-threaded CPython: --python 3.13t"
        exit 2
    fi
    source_sanitizer=thread
    venv="$venv_home/.venv-tsan-$flavour"
    requirements=tools/requirements-tsan.txt
    # Unstripped, so that reports name our functions and lines.
    build_options=(-Cbuild-dir=build/tsan-$flavour -Ccmake.define.QUAVIX_SANITIZE_THREAD=ON
        -Cinstall.strip=false -Ccmake.build-type=RelWithDebInfo)
    libsamplerate=$(provide_libsamplerate_thread_sanitizer) || exit 1
    export PKG_CONFIG_PATH="$libsamplerate/lib/pkgconfig" LD_LIBRARY_PATH="$libsamplerate/lib"
    setup
    export QUAVIX_SANITIZED=1
    # Every report fails the run (exit status 66); the suppressions name CPython's internals only.
    export TSAN_OPTIONS="halt_on_error=0:exitcode=66:second_deadlock_stack=1:suppressions=$repo/tools/tsan-suppressions.txt"
    cd "$repo"
    # Reports go to the process's standard error, which pytest leaves alone (--capture=sys).
    exec "$venv/bin/python" -m pytest -p no:cacheprovider --capture=sys --timeout=1800 \
        -o faulthandler_timeout=2800 \
        tests/test_threads.py "$@"
    ;;
wheel)
    source "$repo/tools/wheels.sh"
    wheel_job "$@"
    ;;
bench)
    setup
    ensure_requirements bench
    exec "$venv/bin/python" "$repo/bench/run.py" "$@"
    ;;
docs)
    setup
    ensure_requirements docs
    if ! "$venv/bin/python" -c "import sphinx" 2>/dev/null; then
        say "the documentation site is built with Sphinx 9.1, which needs CPython 3.12 or later."
        exit 1
    fi
    cd "$repo"
    # Built afresh each time (a few seconds): no page keeps an old navigation or outlives its source.
    rm -rf build/docs
    "$venv/bin/python" -m sphinx -W --keep-going -q -b html docs build/docs "$@"
    echo "quavix docs: $repo/build/docs/index.html"
    ;;
python)
    setup
    exec "$venv/bin/python" "$@"
    ;;
*)
    usage
    ;;
esac
