import glob
import importlib
import os
import shutil
import subprocess
import sys

import pytest

import quavix

SUBMODULES = {
    "exceptions": "Sub-module containing sampling exceptions",
    "converters": "Sub-module containing the quavix converters",
    "_internals": "Internal helper functions",
}


def test_top_level_attributes():
    assert quavix.__doc__ == "A simple python wrapper library around libsamplerate"
    assert quavix.__version__ == "nightly"
    assert quavix.__libsamplerate_version__ == ""


@pytest.mark.parametrize("name", SUBMODULES)
def test_submodules_are_registered(name):
    sub = getattr(quavix, name)
    assert sub.__name__ == f"quavix.{name}"
    assert sub.__doc__ == SUBMODULES[name]
    assert sys.modules[f"quavix.{name}"] is sub
    assert sub.__file__ == quavix.__file__


@pytest.mark.parametrize(
    "name, sub",
    [
        ("ResamplingError", "exceptions"),
        ("resample", "converters"),
        ("Resampler", "converters"),
        ("CallbackResampler", "converters"),
        ("ConverterType", "converters"),
    ],
)
def test_top_level_copies_are_the_same_objects(name, sub):
    if name == "CallbackResampler" and not hasattr(getattr(quavix, sub), name):
        pytest.skip(f"{name} is not part of this build")
    assert getattr(quavix, name) is getattr(getattr(quavix, sub), name)


@pytest.mark.parametrize("name", ["get_converter_type", "error_handler", "sinc_best", "linear"])
def test_internal_names_stay_off_the_top_level(name):
    assert not hasattr(quavix, name)


def test_exported_members_live_in_converters():
    assert quavix.converters.sinc_best is quavix.ConverterType.sinc_best
    assert quavix.converters.linear is quavix.ConverterType.linear


@pytest.mark.parametrize(
    "statement",
    [
        "import quavix.converters; print(quavix.converters.__name__)",
        "from quavix.exceptions import ResamplingError; print(ResamplingError.__module__)",
        "from quavix._internals import error_handler; print(error_handler.__name__)",
    ],
)
def test_submodule_import_in_a_fresh_interpreter(isolated, statement):
    result = isolated(statement)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().startswith(("quavix.", "error_handler"))


def test_reimport_returns_the_same_module_without_running_the_body_again():
    original = sys.modules.pop("quavix")
    try:
        original.user_marker = 42
        again = importlib.import_module("quavix")
        assert again is original
        assert again.user_marker == 42
    finally:
        sys.modules["quavix"] = original
        del original.user_marker


def _other_interpreters():
    """CPython interpreters other than 3.12 on this machine, by their minor version."""
    found = {}
    roots = glob.glob(os.path.expanduser("~/.pyenv/versions/3.*/bin/python3.*"))
    roots += [shutil.which(f"python3.{minor}") or "" for minor in (11, 13)]
    for path in roots:
        name = os.path.basename(path)
        if not name.startswith("python3.") or name.endswith("-config"):
            continue
        minor = name.removeprefix("python3.")
        if minor.isdigit() and minor in ("11", "13") and os.access(path, os.X_OK):
            probe = subprocess.run([path, "-c", "import sys"], capture_output=True)
            if probe.returncode == 0:
                found.setdefault(minor, path)
    return found


@pytest.mark.parametrize("minor", ["11", "13"])
def test_other_interpreter_versions_are_refused(minor, tmp_path):
    interpreter = _other_interpreters().get(minor)
    if interpreter is None:
        pytest.skip(f"no CPython 3.{minor} on this machine")
    # Loads the 3.12 file under the other interpreter by its path, whatever its name suffix.
    code = (
        "import importlib.machinery as m, importlib.util as u, sys\n"
        f"loader = m.ExtensionFileLoader('quavix', {quavix.__file__!r})\n"
        "spec = u.spec_from_file_location('quavix', loader.path, loader=loader)\n"
        "try:\n"
        "    u.module_from_spec(spec)\n"
        "except ImportError as e:\n"
        "    print(e); sys.exit(3)\n"
    )
    result = subprocess.run([interpreter, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 3, result.stdout + result.stderr
    if "undefined symbol" in result.stdout:
        # The dynamic loader refused the file before its initialisation function could run.
        return
    version = subprocess.run(
        [interpreter, "-c", "import sys; print(sys.version)"], capture_output=True, text=True
    ).stdout.strip()
    assert result.stdout.strip() == (
        "Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {version}."
    )
