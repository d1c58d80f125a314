"""Every ```python block of README.md and of the documentation site's pages (docs/*.md) runs, and
prints what the ```text block right after it shows, if there is one. Each block runs on its own,
in a fresh namespace and an empty folder."""

import contextlib
import io
import re
import sys
import sysconfig
from pathlib import Path

import pytest

import quavix

REPO = Path(__file__).resolve().parent.parent
DOCUMENTS = [REPO / "README.md", *sorted((REPO / "docs").glob("*.md"))]
# The info string may be a MyST directive, e.g. ```{figure} peers.png
FENCE = re.compile(r"^```([^\n`]*)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)


def python_blocks(text):
    """(line number, code, expected output or None) for each python block."""
    fences = list(FENCE.finditer(text))
    blocks = []
    for i, fence in enumerate(fences):
        if fence.group(1) != "python":
            continue
        expected = None
        following = fences[i + 1] if i + 1 < len(fences) else None
        if following and following.group(1) == "text":
            between = text[fence.end() : following.start()]
            if not between.strip():
                expected = following.group(2)
        blocks.append((text.count("\n", 0, fence.start()) + 1, fence.group(2), expected))
    return blocks


BLOCKS = [
    (str(path.relative_to(REPO)), *block)
    for path in DOCUMENTS
    for block in python_blocks(path.read_text())
]


@pytest.mark.parametrize("document", ["README.md", "docs/guide.md"])
def test_readme_has_examples_of_every_way_of_converting(document):
    code = "".join(block for path, _, block, _ in BLOCKS if path == document)
    for name in ("quavix.resample(", "quavix.Resampler(", "quavix.CallbackResampler("):
        assert name in code


@pytest.mark.parametrize(
    "document, line, code, expected", BLOCKS, ids=[f"{b[0]} line {b[1]}" for b in BLOCKS]
)
def test_readme_block_runs(document, line, code, expected, tmp_path, monkeypatch):
    for name in ("CallbackResampler", "Resampler"):
        if f"quavix.{name}" in code and not hasattr(quavix, name):
            pytest.skip(f"{name} is not part of this build")
    if "import soundfile" in code and sysconfig.get_config_var("Py_GIL_DISABLED"):
        if sys.version_info[:2] == (3, 13):
            pytest.skip(
                "soundfile needs CFFI, which builds for no free-threaded CPython before 3.14"
            )
    monkeypatch.chdir(tmp_path)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, f"{document}, block at line {line}", "exec"), {"__name__": "readme"})
    if expected is not None:
        assert printed.getvalue() == expected
