"""Installing from source as a user does, without tools/dev.sh.

The sdist (`python -m build --sdist`) holds what a build needs, both licence texts and the tests,
and nothing of a checkout's build folders, environments, wheelhouse or output; pip installs it
with build isolation into a fresh environment, where the resample tests pass against it. The
documented command for the free-threaded 3.13 takes NumPy from wheels only, for the run and for
pip's isolated build environment, with pip's cache off.

Each builds quavix once more, so each runs on one interpreter: the sdist on CPython 3.12 and on
3.13, where the build environment's NumPy is held back and the module must run on the newest
NumPy all the same; the documented command on the free-threaded 3.13.
"""

import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
BUILT_FOR = "{}.{}".format(*sys.version_info[:2])

pytestmark = [
    pytest.mark.slow,
    pytest.mark.thread_unsafe(reason="builds and installs quavix into fresh environments"),
    pytest.mark.timeout(1500),
    pytest.mark.skipif(
        bool(os.environ.get("QUAVIX_SANITIZED")),
        reason="packaging is checked on the regular build, not under the sanitizers",
    ),
]

# What a checkout holds besides its sources after a while, planted into the copy that the sdist
# is built from: build folders, environments, the wheelhouse, the examples' output, bytecode and
# a module built in place.
LEFTOVERS = {
    # planted file: the folder of it (or the file) that the sdist must not hold at all
    "build/cp312-cp312-linux_x86_64/CMakeCache.txt": "build/",
    ".venv-3.12/pyvenv.cfg": ".venv-3.12/",
    ".venv/bin/python": ".venv/",
    "wheelhouse/quavix-0.1.0-cp312-cp312-manylinux_2_34_x86_64.whl": "wheelhouse/",
    "out/resample_demo/tone_linear.wav": "out/",
    "tests/__pycache__/conftest.cpython-312-pytest-8.4.2.pyc": "tests/__pycache__/",
    "quavix.cpython-312-x86_64-linux-gnu.so": "quavix.cpython-312-x86_64-linux-gnu.so",
    "dist/quavix-0.1.0.tar.gz": "dist/",
}
# What a build and a test run from the sdist need: each file of the checkout that matches.
NEEDED = [
    "pyproject.toml",
    "CMakeLists.txt",
    "README.md",
    "LICENSE",
    "LICENSES/*.txt",
    "src/**/*.[ch]pp",
    "quavix-stubs/*.pyi",
    "tests/conftest.py",
    "tests/srcref.py",
    "tests/test_resample.py",
]


def run(args, timeout=1200, **kwargs):
    done = subprocess.run(args, capture_output=True, text=True, timeout=timeout, **kwargs)
    assert done.returncode == 0, f"{args} failed:\n{done.stdout}\n{done.stderr}"
    return done


def clean_env(**extra):
    return {**{k: v for k, v in os.environ.items() if k != "PYTHONPATH"}, **extra}


@pytest.fixture(scope="module")
def sdist(tmp_path_factory):
    """The sdist built from a copy of the checkout with LEFTOVERS planted in it, and its member
    names relative to its top folder."""
    source = tmp_path_factory.mktemp("checkout") / "quavix"
    shutil.copytree(
        REPO, source,
        ignore=shutil.ignore_patterns(".git", ".venv*", "build", "wheelhouse", "out",
                                      "__pycache__", ".*_cache", ".hypothesis"),
    )  # fmt: skip
    # Without .gitignore, which a checkout need not have: pyproject.toml says what to leave out.
    (source / ".gitignore").unlink()
    for leftover in LEFTOVERS:
        (source / leftover).parent.mkdir(parents=True, exist_ok=True)
        (source / leftover).write_text("left over\n")
    out = tmp_path_factory.mktemp("sdist")
    # Without isolation: the build backend is in this environment (the build itself is isolated in
    # the install test).
    run([sys.executable, "-m", "build", "--sdist", "--no-isolation", "--skip-dependency-check",
         "--outdir", str(out), str(source)], env=clean_env())  # fmt: skip
    (archive,) = out.glob("quavix-*.tar.gz")
    with tarfile.open(archive) as tar:
        names = {name.partition("/")[2] for name in tar.getnames() if tar.getmember(name).isfile()}
    return archive, names


@pytest.mark.parametrize("pattern", NEEDED)
def test_sdist_holds_what_a_build_needs(sdist, pattern):
    wanted = {str(p.relative_to(REPO)) for p in REPO.glob(pattern) if p.is_file()}
    assert wanted, pattern
    assert wanted - sdist[1] == set()


@pytest.mark.parametrize("leftover, excluded", LEFTOVERS.items())
def test_sdist_leaves_out_what_a_checkout_accumulates(sdist, leftover, excluded):
    assert [name for name in sdist[1] if name.startswith(excluded)] == []


def test_sdist_metadata_declares_the_licence_and_both_texts(sdist):
    archive, names = sdist
    with tarfile.open(archive) as tar:
        (info,) = [
            m for m in tar.getmembers() if m.name.count("/") == 1 and m.name.endswith("/PKG-INFO")
        ]
        metadata = tar.extractfile(info).read().decode()
    assert "License-Expression: BSD-2-Clause" in metadata.splitlines()
    for text in ("LICENSE", "LICENSES/libsamplerate.txt"):
        assert f"License-File: {text}" in metadata.splitlines()
        assert text in names


def fresh_venv(path):
    run([sys.executable, "-m", "venv", str(path)])
    return path / "bin" / "python"


@pytest.mark.skipif(
    BUILT_FOR not in ("3.12", "3.13") or FREE_THREADED,
    reason="the sdist is installed on CPython 3.12, and on 3.13 for its held-back build NumPy",
)
def test_sdist_installs_with_build_isolation_and_passes_the_resample_tests(sdist, tmp_path):
    archive, _ = sdist
    python = fresh_venv(tmp_path / "env")
    run([str(python), "-m", "pip", "install", "--quiet", str(archive), "pytest>=8",
         "pytest-timeout>=2.3"], env=clean_env())  # fmt: skip
    with tarfile.open(archive) as tar:
        tar.extractall(tmp_path / "unpacked", filter="data")
    (unpacked,) = (tmp_path / "unpacked").iterdir()
    # The module comes from the fresh environment: nothing of the sdist's tree shadows it.
    code = "import numpy, quavix; print(quavix.__file__); print(numpy.__version__)"
    probe = run([str(python), "-c", code], cwd=unpacked / "tests", env=clean_env())
    module, numpy_version = probe.stdout.split()
    assert Path(module).is_relative_to(tmp_path / "env"), module
    if BUILT_FOR == "3.13":
        # Built against the NumPy that the build requirements hold 3.13 to, running on a newer one.
        assert numpy_build_cap_is_below(numpy_version), numpy_version
    done = subprocess.run(
        [str(python), "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/test_resample.py"],
        capture_output=True, text=True, timeout=1200, cwd=unpacked, env=clean_env(),
    )  # fmt: skip
    assert done.returncode == 0, done.stdout + done.stderr
    assert re.search(r"\b\d+ passed\b", done.stdout), done.stdout


def numpy_build_cap_is_below(version):
    """Whether the NumPy that the build requirements allow this interpreter has an upper bound
    that `version` lies beyond."""
    import tomllib
    from packaging.markers import default_environment
    from packaging.requirements import Requirement

    requires = tomllib.loads((REPO / "pyproject.toml").read_text())["build-system"]["requires"]
    environment = default_environment()
    (numpy,) = [
        r for r in map(Requirement, requires)
        if r.name == "numpy" and (r.marker is None or r.marker.evaluate(environment))
    ]  # fmt: skip
    capped = any(spec.operator in ("<", "<=") for spec in numpy.specifier)
    return capped and not numpy.specifier.contains(version)


def documented_commands(prefix):
    """{document: [command lines of its sh blocks that start with prefix]}."""
    found = {}
    for document in ("README.md", "docs/getting-started.md"):
        blocks = re.findall(r"^```sh\n(.*?)^```\n", (REPO / document).read_text(), re.M | re.S)
        found[document] = [
            line.split("#")[0].strip()
            for block in blocks
            for line in block.splitlines()
            if line.startswith(prefix)
        ]
    return found


@pytest.mark.skipif(
    not (FREE_THREADED and BUILT_FOR == "3.13"), reason="the documented command is for 3.13t"
)
def test_documented_free_threaded_install_takes_numpy_from_wheels_only(tmp_path, request):
    if str(request.config.getoption("parallel_threads", default=1)) not in ("1", "None"):
        pytest.skip("checked once, in the run on one thread")
    commands = documented_commands("python3.13t -m pip install")
    assert all(len(found) == 1 for found in commands.values()), commands
    (command,) = {found[0] for found in commands.values()}
    venv = tmp_path / "env"
    fresh_venv(venv)
    # pip's cache off, as on a machine that never installed NumPy; verbose, so that what pip's
    # isolated build environment installs shows in the output too.
    env = clean_env(
        PATH=os.pathsep.join([str(venv / "bin"), os.environ["PATH"]]),
        PIP_NO_CACHE_DIR="1",
        PIP_VERBOSE="1",
        VIRTUAL_ENV=str(venv),
    )
    done = subprocess.run(
        ["bash", "-c", command], capture_output=True, text=True, timeout=1400, cwd=REPO, env=env
    )
    output = done.stdout + done.stderr
    assert done.returncode == 0, output[-5000:]
    source_builds = re.findall(
        r"^.*(?:(?:Downloading|Processing|Using cached) \S*numpy-[^\s/]+\.(?:tar\.gz|zip)\b"
        r"|Building wheel for numpy\b).*$",
        output, re.M,
    )  # fmt: skip
    assert source_builds == [], "pip built NumPy from source:\n" + "\n".join(source_builds)
    # One NumPy wheel for the build environment and one for the environment itself.
    wheels = re.findall(r"(?:Downloading|Processing) \S*?(numpy-\S+-cp313t-\S+\.whl)", output)
    assert len(wheels) >= 2, output[-5000:]
    check = (
        "import sys, numpy as np, quavix\n"
        "out = quavix.resample(np.zeros(441, np.float32), 160 / 147)\n"
        "print(len(out), sys._is_gil_enabled())\n"
    )
    result = run([str(venv / "bin" / "python"), "-c", check], cwd=tmp_path, env=env)
    assert result.stdout.split() == ["480", "False"]
