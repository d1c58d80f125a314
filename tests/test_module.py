import ctypes
import glob
import importlib
import importlib.metadata
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

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


@pytest.mark.parametrize(
    "text, holder",
    [("LICENSE", "the quavix developers"), ("LICENSES/libsamplerate.txt", "Erik de Castro Lopo")],
)
def test_installed_distribution_declares_its_licence_and_carries_both_texts(text, holder):
    distribution = importlib.metadata.distribution("quavix")
    assert distribution.metadata["License-Expression"] == "BSD-2-Clause"
    assert text in distribution.metadata.get_all("License-File")
    installed = distribution.read_text(f"licenses/{text}")
    assert installed == (Path(__file__).resolve().parent.parent / text).read_text()
    assert holder in installed


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


@pytest.mark.thread_unsafe(reason="takes quavix out of sys.modules for a while")
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


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


class ModuleSlot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("value", ctypes.c_void_p)]


def module_definition():
    """(m_name, [(slot id, value), ...]) of quavix's module definition, read through the C API.
    PyModuleDef starts with the object header and three words of PyModuleDef_Base, followed by
    m_name, m_doc, m_size, m_methods and m_slots."""
    get_def = ctypes.pythonapi.PyModule_GetDef
    get_def.restype = ctypes.c_void_p
    get_def.argtypes = [ctypes.py_object]
    definition = get_def(quavix)
    word = ctypes.sizeof(ctypes.c_void_p)
    base = definition + object.__basicsize__ + 3 * word
    name = ctypes.c_char_p.from_address(base).value
    slot = ModuleSlot.from_address(ctypes.c_void_p.from_address(base + 4 * word).value)
    slots = []
    while slot.slot != 0:
        slots.append((slot.slot, slot.value))
        slot = ModuleSlot.from_address(ctypes.addressof(slot) + ctypes.sizeof(ModuleSlot))
    return name, slots


def test_module_definition_slots():
    name, slots = module_definition()
    assert name == b"quavix"
    # Py_mod_create, Py_mod_exec, then Py_mod_multiple_interpreters (NOT_SUPPORTED, a null
    # value) where CPython has it, and Py_mod_gil (NOT_USED, 1) on free-threaded builds alone.
    # CPython 3.15 gives these slots new numbers, 84 to 87, where its headers compile them.
    create, execute, interpreters, gil = (
        (84, 85, 86, 87) if sys.version_info >= (3, 15) else (1, 2, 3, 4)
    )
    expected = [(create, slots[0][1]), (execute, slots[1][1])]
    if sys.version_info >= (3, 12):
        expected.append((interpreters, None))
    if FREE_THREADED:
        expected.append((gil, 1))
    assert slots == expected
    assert None not in (slots[0][1], slots[1][1])


def test_import_leaves_the_gil_as_the_build_has_it():
    """A free-threaded CPython stays without the GIL, with nothing to warn about; a CPython
    with a GIL keeps it. PYTHON_GIL is dropped, as it would override the module's choice."""
    code = "import sys, quavix; print(getattr(sys, '_is_gil_enabled', lambda: True)())"
    env = {key: value for key, value in os.environ.items() if key != "PYTHON_GIL"}
    result = subprocess.run(
        [sys.executable, "-W", "error", "-c", code],
        capture_output=True,
        text=True,
        timeout=60,
        env=env,
    )
    assert (result.returncode, result.stderr) == (0, "")
    assert result.stdout.strip() == str(not FREE_THREADED)


# Every CPython that quavix is built for; the module of one refuses the others. 3.14 and 3.15 are
# built in a Debian forky root, where the host's interpreters are not found, and the other way
# round: each side checks the versions it has.
SUPPORTED = ("3.10", "3.11", "3.12", "3.13", "3.14", "3.15")
BUILT_FOR = "{}.{}".format(*sys.version_info[:2])


def _installed_interpreter(version):
    """The path of a working CPython `version` on this machine (PATH or pyenv), or None."""
    pyenv_root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    paths = [shutil.which(f"python{version}") or ""]
    pattern = os.path.join(pyenv_root, "versions", f"{version}.*", "bin", f"python{version}")
    paths += sorted(glob.glob(pattern))
    for path in paths:
        if path and os.access(path, os.X_OK):
            probe = subprocess.run(
                [path, "-c", f"import sys; assert sys.version.startswith('{version}.')"],
                capture_output=True,
            )
            if probe.returncode == 0:
                return path
    return None


@pytest.mark.parametrize("version", [v for v in SUPPORTED if v != BUILT_FOR])
def test_other_interpreter_versions_are_refused(version):
    interpreter = _installed_interpreter(version)
    if interpreter is None:
        pytest.skip(f"no CPython {version} on this machine")
    # Loads this build's file under the other interpreter by its path, whatever its name suffix.
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
    full_version = subprocess.run(
        [interpreter, "-c", "import sys; print(sys.version)"], capture_output=True, text=True
    ).stdout.strip()
    assert result.stdout.strip() == (
        f"Python version mismatch: module was compiled for Python {BUILT_FOR}, "
        f"but the interpreter version is incompatible: {full_version}."
    )
