"""tools/dev.sh's set-up as users other than the developer who owns the machine meet it.

A plain user whose machine has libsamplerate (found by pkg-config), the compiler and the headers
runs the tests: no sudo, no valgrind; the optional tools that are missing are named once, with
the tests that skip for them. The providers that need root (the forky root for 3.14 and 3.15, the
source builds for 3.13t) say so at once, with the command to run instead. On a machine whose apt
sources are another distribution's, they say that no Debian mirror was found and name
QUAVIX_DEBIAN_MIRROR, rather than trying a mirror that is not Debian's.

The plain user is `nobody`, switched to with setpriv, so these tests need root; they run on the
host (not inside the forky root) in the environment that tools/dev.sh made for this checkout.
"""

import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
# Each optional tool, and the test that skips without it, as tools/dev.sh names them.
OPTIONAL = {
    "valgrind": "tests/test_callback_resampler.py::test_valgrind_memcheck",
    "readelf": "tests/test_wheel.py::test_repaired_extension_looks_beside_itself",
}
SYSTEM_PATH = ["/usr/local/sbin", "/usr/local/bin", "/usr/sbin", "/usr/bin", "/sbin", "/bin"]
# tools/dev.sh's own environment for this interpreter: .venv-3.X in the checkout.
FLAVOUR = re.fullmatch(r"\.venv-(3\.\d+)", Path(sys.prefix).name)

pytestmark = [
    pytest.mark.thread_unsafe(reason="runs tools/dev.sh, which takes the forky root's lock"),
    pytest.mark.skipif(
        bool(os.environ.get("QUAVIX_IN_FORKY_ROOT")), reason="set-up is checked on the host"
    ),
    pytest.mark.skipif(
        bool(os.environ.get("QUAVIX_SANITIZED")), reason="set-up is checked on the plain build"
    ),
    pytest.mark.skipif(os.geteuid() != 0, reason="switching to the user nobody takes root"),
    pytest.mark.skipif(shutil.which("setpriv") is None, reason="util-linux's setpriv is missing"),
]


def link_or_copy(source, target):
    try:
        os.link(source, target)
    except OSError:
        shutil.copy2(source, target)


def relocate(source, target, old, new):
    """A hard-linked copy of the folder `source` at `target`, with the symbolic links into `old`
    and the paths in pyvenv.cfg pointed at `new` instead."""
    shutil.copytree(source, target, symlinks=True, copy_function=link_or_copy)
    for link in [p for p in target.rglob("*") if p.is_symlink()]:
        pointed = os.readlink(link)
        if pointed.startswith(str(old) + "/"):
            link.unlink()
            link.symlink_to(str(new) + pointed[len(str(old)) :])
    cfg = target / "pyvenv.cfg"
    if cfg.exists():
        text = cfg.read_text().replace(str(old), str(new))
        cfg.unlink()  # a hard link: the original stays as it is
        cfg.write_text(text)


@pytest.fixture(scope="module")
def plain_user():
    """(checkout, environment variables, scratch folder) for the user nobody: a writable copy of
    the checkout holding a copy of tools/dev.sh's environment, which runs on a copy of its
    interpreter (the original may lie in root's home, which nobody cannot read). All of it in a
    folder that nobody can reach, which pytest's own temporary folders are not."""
    if FLAVOUR is None:
        pytest.skip("runs in the environment that tools/dev.sh made for this checkout")
    top = Path(tempfile.mkdtemp(prefix="quavix-plain-user-"))
    try:
        top.chmod(0o755)
        checkout, home, base = top / "quavix", top / "home", top / "python"
        shutil.copytree(
            REPO, checkout,
            ignore=shutil.ignore_patterns(".git", ".venv*", "build", "wheelhouse", "out",
                                          "__pycache__", ".*_cache", ".hypothesis"),
        )  # fmt: skip
        home.mkdir()
        for folder in (checkout, home):
            subprocess.run(["chown", "-R", "nobody:nogroup", str(folder)], check=True)
        # Hard links, after the chown: the environment's files stay root's, and nobody only
        # reads them (the stamps in it match this checkout, so set-up writes nothing there).
        relocate(Path(sys.base_prefix), base, Path(sys.base_prefix), base)
        relocate(Path(sys.prefix), checkout / Path(sys.prefix).name, Path(sys.base_prefix), base)
        env = {"HOME": str(home), "LANG": "C.UTF-8", "LD_LIBRARY_PATH": str(base / "lib")}
        yield checkout, env, top
    finally:
        shutil.rmtree(top)


def scratch(top):
    """A new folder in `top` that nobody can read and write."""
    folder = Path(tempfile.mkdtemp(dir=top))
    folder.chmod(0o755)
    shutil.chown(folder, "nobody", "nogroup")
    return folder


def path_without(folder, hidden):
    """A folder of links to every command on the system PATH except `hidden` and sudo."""
    folder.mkdir()
    for directory in SYSTEM_PATH:
        if not os.path.isdir(directory):
            continue
        for entry in os.scandir(directory):
            name = entry.name
            if name in hidden or name == "sudo" or (folder / name).exists():
                continue
            (folder / name).symlink_to(entry.path)
    return str(folder)


def as_nobody(args, cwd, env, timeout=600):
    return subprocess.run(
        ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--", *args],
        capture_output=True, text=True, timeout=timeout, cwd=cwd, env=env,
    )  # fmt: skip


@pytest.mark.parametrize("hidden", [[], ["valgrind"], ["valgrind", "readelf"]])
def test_plain_user_gets_past_setup_without_root(plain_user, hidden):
    checkout, env, top = plain_user
    env = {**env, "PATH": path_without(scratch(top) / "bin", hidden)}
    done = as_nobody(
        ["./tools/dev.sh", "--python", FLAVOUR[1], "test", "-q", "-p", "no:cacheprovider",
         "tests/test_module.py::test_top_level_attributes"],
        cwd=checkout, env=env,
    )  # fmt: skip
    output = done.stdout + done.stderr
    assert done.returncode == 0, output
    assert re.search(r"^1 passed\b", done.stdout, re.M), output
    assert "sudo" not in output
    missing = [tool for tool in OPTIONAL if tool in hidden or shutil.which(tool) is None]
    notes = [line for line in done.stderr.splitlines() if "optional tools not installed" in line]
    if not missing:
        assert notes == [], output
        return
    (note,) = notes
    for tool, test in OPTIONAL.items():
        assert (f"{tool} (Debian package" in note) == (tool in missing), note
        assert (test in note) == (tool in missing), note


@pytest.mark.parametrize("python", ["3.14", "3.15", "3.13t"])
def test_root_needing_provider_says_so_at_once(plain_user, python):
    checkout, env, top = plain_user
    cache = scratch(top)
    env = {**env, "PATH": os.pathsep.join(SYSTEM_PATH), "QUAVIX_CACHE": str(cache)}
    args = ["./tools/dev.sh", "--python", python, "test", "-x"]
    done = as_nobody(args, cwd=checkout, env=env, timeout=120)
    assert done.returncode == 1, done.stdout + done.stderr
    assert "takes root" in done.stderr
    assert f"run this as root instead: sudo {shlex.join(args)}" in done.stderr
    # Nothing was begun: no root made, nothing fetched or built.
    assert not re.search(r"making|fetching|building|creating", done.stderr), done.stderr
    assert [p.name for p in cache.iterdir()] in ([], ["forky-root.lock"], ["venvs"])


def setup_would_install_first(python):
    """Why tools/dev.sh would install system packages for `python` before what a test is after
    (so the test cannot see that), or None."""
    needed = ["debootstrap"] if python == "3.14" else ["gcc", "make", "dpkg-source"]
    needed += ["pkg-config", "g++", *OPTIONAL]
    if [tool for tool in needed if shutil.which(tool) is None]:
        return f"set-up would install {needed} first"
    if (
        python == "3.13t"
        and subprocess.run(
            ["dpkg", "-s", "libssl-dev", "zlib1g-dev", "libffi-dev"], capture_output=True
        ).returncode
    ):
        return "set-up would install the headers that CPython's build needs first"
    return None


def host_env(cache, **extra):
    """This process's environment for tools/dev.sh as a new checkout's caller: no QUAVIX_ choices
    or virtual environment of ours, and the cache in folder `cache`."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("QUAVIX_", "VIRTUAL_ENV"))}
    return env | {"QUAVIX_CACHE": str(cache), **extra}


def half_made(cache):
    """What in the cache folder is more than locks, logs, empty folders and the private apt
    configurations: a root, a toolchain or a build that a failed run began."""
    found = []
    for path in cache.rglob("*"):
        relative = path.relative_to(cache)
        if relative.parts[0].startswith("apt") or path.suffix in (".lock", ".log"):
            continue
        unfinished = path.name.endswith((".work", ".partial")) or ".tmp." in path.name
        if not path.is_dir() or unfinished:
            found.append(str(relative))
    return found


@pytest.mark.parametrize("python", ["3.14", "3.13t"])
def test_non_debian_machine_names_the_debian_mirror_variable(python, tmp_path):
    if reason := setup_would_install_first(python):
        pytest.skip(reason)
    # An Ubuntu machine's apt sources, through apt's own configuration variable.
    apt = tmp_path / "apt"
    (apt / "parts").mkdir(parents=True)
    (apt / "lists").mkdir()
    (apt / "sources.list").write_text(
        "deb http://archive.ubuntu.com/ubuntu noble main universe\n"
        "deb http://security.ubuntu.com/ubuntu noble-security main\n"
    )
    (apt / "apt.conf").write_text(
        f'Dir::Etc::SourceList "{apt}/sources.list";\n'
        f'Dir::Etc::SourceParts "{apt}/parts";\n'
        f'Dir::State::Lists "{apt}/lists";\n'
    )
    env = host_env(tmp_path / "cache", APT_CONFIG=str(apt / "apt.conf"))
    done = subprocess.run(
        [str(REPO / "tools" / "dev.sh"), "--python", python, "test"],
        capture_output=True, text=True, timeout=120, cwd=REPO, env=env,
    )  # fmt: skip
    assert done.returncode == 1, done.stdout + done.stderr
    assert "no Debian mirror found in this machine's apt sources" in done.stderr
    assert "QUAVIX_DEBIAN_MIRROR" in done.stderr
    assert "ubuntu" not in done.stderr
    assert not (tmp_path / "cache" / "forky-root").exists()


def offline(command):
    """`command` in a network namespace of its own, which has no way out."""
    if subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode:
        pytest.skip("unshare cannot make a network namespace here")
    return ["unshare", "-n", *command]


# Each road's first fetch: debootstrap for the forky root, Debian's source of CPython for 3.13t,
# and for a wheel, pip (the toolchain) or Debian's source of libsamplerate, whichever it needs
# first in this checkout's environment.
@pytest.mark.parametrize("road", ["3.14", "3.13t", "wheel"])
def test_without_network_each_fetch_says_what_it_needs_and_leaves_nothing_half_made(road, tmp_path):
    if road == "wheel":
        if FLAVOUR is None:
            pytest.skip("runs in the environment that tools/dev.sh made for this checkout")
        args = ["--python", FLAVOUR[1], "wheel", "--arch", "aarch64"]
    elif reason := setup_would_install_first(road):
        pytest.skip(reason)
    else:
        args = ["--python", road, "test"]
    cache = tmp_path / "cache"
    done = subprocess.run(
        offline(["./tools/dev.sh", *args]), capture_output=True, text=True, timeout=300,
        cwd=REPO, env=host_env(cache, PIP_RETRIES="0"),
    )  # fmt: skip
    output = done.stdout + done.stderr
    assert done.returncode == 1, output
    said = [line for line in done.stderr.splitlines() if line.startswith("quavix ")]
    assert any("needs network access to" in line for line in said), output
    assert "QUAVIX_DEBIAN_MIRROR" in output or "PyPI" in output, output
    assert "unbound variable" not in output
    assert half_made(cache) == []


# Running the aarch64 wheels takes root, the kernel's binfmt_misc, and qemu-aarch64-static (or
# apt-get to install it): without one, both the one wheel and the whole set stop at once, before
# anything is fetched or built, and say what is missing.
@pytest.mark.parametrize(
    "command",
    [["--python", "3.13", "wheel", "--arch", "aarch64", "--test"], ["wheels", "--test"]],
    ids=["wheel", "wheels"],
)
@pytest.mark.parametrize(
    ("lacking", "message"),
    [
        ("root", "running the aarch64 wheels takes root"),
        ("binfmt_misc", "this kernel offers no binfmt_misc"),
        ("qemu", "qemu-aarch64-static is missing, and there is no apt-get to install it with"),
    ],
)
def test_an_aarch64_run_names_what_it_lacks_before_building(
    request, command, lacking, message, tmp_path
):
    cache = tmp_path / "cache"
    args = ["./tools/dev.sh", *command]
    if lacking == "root":
        checkout, env, top = request.getfixturevalue("plain_user")
        cache = scratch(top)
        env = {**env, "PATH": os.pathsep.join(SYSTEM_PATH), "QUAVIX_CACHE": str(cache)}
        done = as_nobody(args, cwd=checkout, env=env, timeout=60)
    else:
        env = host_env(cache)
        if lacking == "binfmt_misc":
            # /proc/sys/fs hidden in a mount namespace of the run's own, as in a container.
            hide = 'mount -t tmpfs -o ro tmpfs /proc/sys/fs && exec "$@"'
            args = ["unshare", "-m", "sh", "-c", hide, "sh", *args]
        else:
            env["PATH"] = path_without(tmp_path / "bin", ["qemu-aarch64-static", "apt-get"])
        done = subprocess.run(args, capture_output=True, text=True, timeout=60, cwd=REPO, env=env)
    output = done.stdout + done.stderr
    assert done.returncode == 1, output
    assert message in done.stderr
    assert not re.search(r"making|fetching|building|installing", done.stderr), output
    assert not cache.exists() or list(cache.iterdir()) == []
