# Sourced by tools/dev.sh: CPython python_version as installed on this machine, under pyenv or
# on the PATH.

is_wanted_python() {
    "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$python_version'.split('.'))))" \
        >/dev/null 2>&1
}

# Under pyenv, whose versions folder is searched directly because its shims may not work, or
# else on the PATH.
find_python() {
    local name="python$python_version" candidates=() root
    root=${PYENV_ROOT:-$HOME/.pyenv}
    command -v pyenv >/dev/null 2>&1 && root=$(pyenv root 2>/dev/null || echo "$root")
    candidates+=("$root"/versions/"$python_version".*/bin/"$name" "$HOME"/.pyenv/versions/"$python_version".*/bin/"$name")
    command -v "$name" >/dev/null 2>&1 && candidates+=("$(command -v "$name")")
    candidates+=(/usr/local/bin/"$name" /usr/bin/"$name")
    local c
    for c in "${candidates[@]}"; do
        if [ -x "$c" ] && is_wanted_python "$c"; then
            printf '%s\n' "$c"
            return 0
        fi
    done
    return 1
}

provide_python() {
    find_python && return 0
    say "no CPython $python_version found (looked for python$python_version on PATH and under pyenv)."
    say "install CPython $python_version with its headers, for example with 'pyenv install $python_version', and run again."
    return 1
}
