"""examples/cli.py, as both examples use it: a failure the user can act on is one line on stderr
with a failing exit status and leaves no file behind; a missing optional package is named."""

import sys

import pytest
from example_programs import load, run, write_noise

DEMO_ERRORS = [
    (["--bogus"], "unrecognized arguments"),
    (["--rate", "48000"], "--rate need INPUT and OUTPUT"),
    (["--duration", "nan"], "not a duration"),
    (["--out-dir", "in.wav"], "cannot create the output folder"),
]
CONVERTER_ERRORS = [
    (["--rate", "48000"], "--rate need INPUT and OUTPUT"),
    (["in.wav"], "OUTPUT is missing"),
    (["in.wav", "out.wav", "extra.wav"], "unrecognized arguments"),
    (["missing.wav", "out.wav"], "no such file: missing.wav"),
    ([".", "out.wav"], "not a file"),
    (["junk.wav", "out.wav"], "cannot read junk.wav"),
    (["in.wav", "out.xyz"], "cannot tell the audio format"),
    (["in.wav", "out.flac", "--subtype", "FLOAT"], "cannot hold"),
    (["in.wav", "in.wav"], "OUTPUT must not be INPUT"),
    (["in.wav", "nowhere/out.wav"], "no such folder: nowhere"),
    (["in.wav", "out.wav", "--rate", "fast"], "not a positive whole number of hertz"),
    (["in.wav", "out.wav", "--rate", "0"], "not a positive whole number of hertz"),
    (["in.wav", "out.wav", "--rate", "20000000"], "factor of 256"),
    (["in.wav", "out.wav", "--converter", "cubic"], "unknown converter 'cubic'"),
    (["in.wav", "out.wav", "--block-frames", "-1"], "not a positive whole number of frames"),
    (["in.wav", "out.wav", "--duration", "1"], "apply only to the demonstration"),
]


@pytest.mark.parametrize(
    ("program", "args", "message"),
    [("demo", *row) for row in DEMO_ERRORS] + [("convert_file", *row) for row in CONVERTER_ERRORS],
)
def test_argument_errors_give_one_line_and_fail(tmp_path, rng, program, args, message):
    write_noise(tmp_path / "in.wav", rng, 100, 1)
    (tmp_path / "junk.wav").write_text("not audio\n")
    before = sorted(tmp_path.iterdir())
    result = run(program, *args, cwd=tmp_path)
    assert result.returncode != 0
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith(f"{program}.py: error: ")
    assert message in result.stderr
    assert sorted(tmp_path.iterdir()) == before


@pytest.mark.parametrize(
    ("program", "package", "args"),
    [
        ("demo", "soundfile", []),
        ("demo", "matplotlib", ["--duration", "1"]),
        ("convert_file", "tqdm", ["in.wav", "out.wav"]),
    ],
)
def test_missing_extra_is_named(tmp_path, monkeypatch, capsys, program, package, args):
    example = load(program)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setitem(sys.modules, package, None)  # makes importing it fail
    assert example.main(args) == 1
    assert capsys.readouterr().err == (
        f"{program}.py: error: this example needs {package}: pip install 'quavix[examples]'\n"
    )
    assert list(tmp_path.iterdir()) == []
