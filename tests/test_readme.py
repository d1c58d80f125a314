"""Every ```python block of README.md runs, and prints what the ```text block right after it
shows, if there is one. Each block runs on its own, in a fresh namespace and an empty folder."""

import contextlib
import io
import re
from pathlib import Path

import pytest

import quavix

README = Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.MULTILINE | re.DOTALL)


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


BLOCKS = python_blocks(README.read_text())


def test_readme_has_examples_of_every_way_of_converting():
    code = "".join(block for _, block, _ in BLOCKS)
    for name in ("quavix.resample(", "quavix.Resampler(", "quavix.CallbackResampler("):
        assert name in code


@pytest.mark.parametrize("line, code, expected", BLOCKS, ids=[f"line {b[0]}" for b in BLOCKS])
def test_readme_block_runs(line, code, expected, tmp_path, monkeypatch):
    for name in ("CallbackResampler", "Resampler"):
        if f"quavix.{name}" in code and not hasattr(quavix, name):
            pytest.skip(f"{name} is not part of this build")
    monkeypatch.chdir(tmp_path)
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        exec(compile(code, f"{README.name}, block at line {line}", "exec"), {"__name__": "readme"})
    if expected is not None:
        assert printed.getvalue() == expected
