"""The documentation site: it builds with warnings as errors, its API page has an entry for every
public name of the module, and a broken reference, a missing page or a public name left off the
API page fail the build. (Its code examples run in test_readme.py.)"""

import os
import re
import shutil
import subprocess
import sys
import zlib
from pathlib import Path

import pytest

import quavix

REPO = Path(__file__).resolve().parent.parent

pytestmark = [
    pytest.mark.skipif(
        bool(os.environ.get("QUAVIX_SANITIZED")), reason="the plain run builds the site once"
    ),
    pytest.mark.skipif(
        sys.version_info < (3, 12),
        reason="Sphinx 9.1 needs CPython 3.12 or later; 3.12 and the later ones build the site",
    ),
    pytest.mark.timeout(900),  # a full Sphinx build
]


def build(source, out):
    """Builds the site as tools/dev.sh docs does (warnings fail it)."""
    return subprocess.run(
        [sys.executable, "-m", "sphinx", "-W", "--keep-going", "-q", "-b", "html", source, out],
        capture_output=True, text=True, timeout=600,
    )  # fmt: skip


def inventory(out):
    """name -> page#anchor of every object that the site documents (Sphinx's objects.inv)."""
    header, _, packed = (out / "objects.inv").read_bytes().partition(b"zlib.\n")
    entries = {}
    for line in zlib.decompress(packed).decode().splitlines():
        name, role, _, uri, _ = re.match(r"(\S+) (\S+) (-?\d+) (\S+) (.*)", line).groups()
        if role.startswith("py:"):
            entries[name] = uri.replace("$", name)
    return entries


def public_names():
    modules = {"quavix": quavix, "quavix.converters": quavix.converters,
               "quavix.exceptions": quavix.exceptions}  # fmt: skip
    names = set(modules) | {"quavix.__version__", "quavix.__libsamplerate_version__"}
    for module_name, module in modules.items():
        for name, value in vars(module).items():
            if not name.startswith("_"):
                names.add(f"{module_name}.{name}")
            if isinstance(value, type) and not name.startswith("_"):
                names |= {f"quavix.{name}.{m}" for m in vars(value) if not m.startswith("_")}
    return names


def test_site_builds_with_an_api_entry_for_every_public_name(tmp_path):
    done = build(REPO / "docs", tmp_path)
    assert done.returncode == 0, done.stderr
    entries = inventory(tmp_path)
    assert public_names() - set(entries) == set()
    api = (tmp_path / "api.html").read_text()
    for name in public_names():
        page, anchor = entries[name].split("#")
        assert page == "api.html" and f'id="{anchor}"' in api, name
    assert "peers.png" in (tmp_path / "benchmarks.html").read_text()
    assert "Targets" in (tmp_path / "benchmarks.html").read_text()  # docs/performance.md


def test_broken_reference_missing_page_and_unlisted_name_fail_the_build(tmp_path):
    source = tmp_path / "docs"
    shutil.copytree(REPO / "docs", source, ignore=shutil.ignore_patterns("_build", "__pycache__"))
    guide = source / "guide.md"
    guide.write_text(guide.read_text() + "\nSee {py:func}`quavix.resample_everything`.\n")
    (source / "examples.md").unlink()
    api = source / "api.md"
    api.write_text(re.sub(r"```\{eval-rst\}\n\.\. quavix-module:: quavix\.exceptions\n```",
                          "", api.read_text()))  # fmt: skip
    done = build(source, tmp_path / "out")
    assert done.returncode != 0
    for message in (
        "py:func reference target not found: quavix.resample_everything",
        "toctree contains reference to nonexisting document 'examples'",
        "public name quavix.exceptions has no entry on the API page",
    ):
        assert message in done.stderr
