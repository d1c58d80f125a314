#!/usr/bin/env bash
# Sets up everything quavix needs (system packages, a CPython 3.12 virtual environment, the
# built module and its test dependencies), then runs one job. Quick when all is in place.
#
#   tools/dev.sh test [pytest args]    run the test suite
#   tools/dev.sh example [--duration SECONDS] [--out-dir FOLDER]
#                                      run the demonstration (examples/demo.py)
#   tools/dev.sh example INPUT OUTPUT [options]
#                                      convert a file (examples/convert_file.py)
#   tools/dev.sh sanitize [pytest args] run the test suite on a build instrumented with
#                                      AddressSanitizer and UndefinedBehaviorSanitizer
#   tools/dev.sh bench [args]          benchmarks against libsamplerate in C and peers
#                                      (bench/run.py; --quick, --selftest, --help)
#   tools/dev.sh docs [sphinx args]    build the documentation site into build/docs
#   tools/dev.sh python [args]         run the environment's python
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
venv="$repo/.venv"
build_options=(-Cbuild-dir=build/{wheel_tag})

say() { printf 'quavix setup: %s\n' "$*" >&2; }

is_python312() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1
}

find_python312() {
    local candidates=()
    command -v python3.12 >/dev/null 2>&1 && candidates+=("$(command -v python3.12)")
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.12*/bin/python3.12)
    fi
    candidates+=("$HOME"/.pyenv/versions/3.12*/bin/python3.12 /usr/local/bin/python3.12 /usr/bin/python3.12)
    local c
    for c in "${candidates[@]}"; do
        if [ -x "$c" ] && is_python312 "$c"; then
            printf '%s\n' "$c"
            return 0
        fi
    done
    return 1
}

ensure_system_packages() {
    local missing=()
    pkg-config --exists 'samplerate >= 0.2' 2>/dev/null || missing+=(libsamplerate0-dev)
    command -v pkg-config >/dev/null 2>&1 || missing+=(pkg-config)
    command -v g++ >/dev/null 2>&1 || missing+=(g++)
    command -v valgrind >/dev/null 2>&1 || missing+=(valgrind)
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]} with apt-get"
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

hash_of() { cat "$@" 2>/dev/null | sha256sum | cut -d' ' -f1; }

ensure_venv() {
    if [ -x "$venv/bin/python" ] && is_python312 "$venv/bin/python"; then
        return 0
    fi
    local python
    if ! python=$(find_python312); then
        say "no CPython 3.12 found (looked for python3.12 on PATH and under pyenv)."
        say "install CPython 3.12 with its headers, for example with 'pyenv install 3.12', and run again."
        exit 1
    fi
    say "creating $venv with $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
}

# Build requirements, run-time and test dependencies; redone when pyproject.toml changes.
ensure_dependencies() {
    local stamp="$venv/.quavix-deps" want
    want=$(hash_of pyproject.toml tools/requirements-dev.txt)
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && return 0
    say "installing Python dependencies"
    "$venv/bin/python" -m pip install -q -r tools/requirements-dev.txt
    printf '%s\n' "$want" >"$stamp"
}

# Builds and installs the extension with pip; rebuilt when a source or build file changes.
ensure_module() {
    local stamp="$venv/.quavix-build" want
    want=$(hash_of pyproject.toml CMakeLists.txt $(find src quavix-stubs LICENSES -type f | sort); echo "${build_options[*]}")
    [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ] && return 0
    say "building and installing quavix"
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
    "$venv/bin/python" -m pip install -q -r "$file"
    printf '%s\n' "$want" >"$stamp"
}

# Runs in the repository; the jobs themselves run where they were called from.
setup() (
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
    venv="$repo/.venv-sanitize"
    build_options=(-Cbuild-dir=build/sanitize -Ccmake.define.QUAVIX_SANITIZE=ON)
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
bench)
    setup
    ensure_requirements bench
    exec "$venv/bin/python" "$repo/bench/run.py" "$@"
    ;;
docs)
    setup
    ensure_requirements docs
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
    echo "usage: tools/dev.sh {test|example|sanitize|bench|docs|python} [args...]" >&2
    exit 2
    ;;
esac
