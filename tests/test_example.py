"""The example converter: its demonstration, file conversion, block path and argument errors."""

import importlib.util
import math
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
import soundfile as sf

import quavix
import srcref

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "resample_file.py"
RATIO = 48000 / 44100


def run_example(*args, cwd):
    return subprocess.run(
        [sys.executable, str(EXAMPLE), *map(str, args)],
        capture_output=True,
        text=True,
        cwd=cwd,
        timeout=120,
    )


@pytest.fixture(scope="module")
def example():
    spec = importlib.util.spec_from_file_location("resample_file", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def write_noise(path, rng, frames, channels, subtype="FLOAT", rate=44100):
    data = (0.3 * rng.standard_normal((frames, channels))).astype(np.float32)
    sf.write(path, data, rate, subtype=subtype)
    return sf.read(path, dtype="float32", always_2d=True)[0]


# --- the demonstration ---------------------------------------------------------------------


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    out_dir = tmp_path_factory.mktemp("demo")
    result = run_example("--duration", "0.5", "--out-dir", out_dir, cwd=out_dir)
    assert result.returncode == 0, result.stderr
    rows = {}
    for line in result.stdout.splitlines():
        fields = line.split()
        if fields and fields[0] in srcref.CONVERTERS:
            frames_in, frames_out = map(int, fields[1:3])
            seconds, rtf, delay, snr, above = map(float, fields[3:8])
            rows[fields[0]] = dict(
                frames_in=frames_in, frames_out=frames_out, delay=delay, snr=snr, above=above
            )
    return out_dir, result.stdout, rows


def test_demo_names_its_folder_and_prints_one_row_per_converter(demo):
    out_dir, stdout, rows = demo
    assert f"Output folder: {out_dir}" in stdout
    assert list(rows) == list(srcref.CONVERTERS)
    assert {row["frames_in"] for row in rows.values()} == {22050}


def test_demo_files_are_the_conversions_of_its_test_signal(demo):
    out_dir, _, rows = demo
    signal, rate = sf.read(out_dir / "test_signal_44100.wav", dtype="float32")
    assert (rate, signal.shape) == (44100, (22050, 2))
    for name, row in rows.items():
        converted, rate = sf.read(out_dir / f"{name}_48000.wav", dtype="float32")
        assert rate == 48000
        np.testing.assert_array_equal(converted, quavix.resample(signal, RATIO, name))
        assert row["frames_out"] == converted.shape[0]
    assert (out_dir / "spectrograms.png").read_bytes().startswith(b"\x89PNG\r\n\x1a\n")


def test_demo_figures_match_known_converter_behaviour(demo):
    rows = demo[2]
    sinc = [rows[name] for name in ("sinc_best", "sinc_medium", "sinc_fastest")]
    crude = [rows["zero_order_hold"], rows["linear"]]
    assert rows["sinc_best"]["snr"] > 120
    assert [r["snr"] for r in sinc] == sorted((r["snr"] for r in sinc), reverse=True)
    assert all(r["snr"] < 70 for r in crude)
    assert rows["linear"]["snr"] > rows["zero_order_hold"]["snr"]
    # Sinc filters keep images of the sweep far down; holding and straight lines do not.
    assert all(r["above"] < -100 for r in sinc)
    assert all(r["above"] > -60 for r in crude)
    # The sinc converters are aligned with their input, the others lag behind it.
    assert all(abs(r["delay"]) < 0.01 for r in sinc)
    assert all(r["delay"] > 0.5 for r in crude)


def test_tone_quality_recovers_delay_and_snr(example, rng):
    rate, frames, delay = 48000, 24000, 2.5 / 44100
    times = np.arange(frames) / rate
    noise = 1e-3 * rng.standard_normal(frames)
    measured_delay, snr = example.tone_quality(example.tone(times, delay) + noise, rate)
    edge = int(frames * example.EDGE_SHARE)
    middle = slice(edge, frames - edge)
    expected = 10 * math.log10(
        np.sum(example.tone(times[middle], delay) ** 2) / np.sum(noise[middle] ** 2)
    )
    assert measured_delay == pytest.approx(delay, abs=1e-8)
    assert snr == pytest.approx(expected, abs=0.05)


def test_energy_above_splits_at_the_frequency(example):
    rate = 48000
    times = np.arange(rate) / rate
    signal = 0.5 * np.sin(2 * np.pi * 1000 * times) + 0.01 * np.sin(2 * np.pi * 23000 * times)
    expected = 10 * math.log10(0.01**2 / (0.5**2 + 0.01**2))
    assert example.energy_above(signal, rate, 22050) == pytest.approx(expected, abs=1e-6)


# --- file conversion -----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("channels", "subtype", "converter"),
    [(2, "FLOAT", "sinc_fastest"), (1, "PCM_16", "linear"), (3, "FLOAT", "zero_order_hold")],
)
def test_file_conversion_matches_resample(tmp_path, rng, channels, subtype, converter):
    data = write_noise(tmp_path / "in.wav", rng, 10000, channels, subtype)
    result = run_example(
        "in.wav",
        "out.wav",
        "--rate",
        48000,
        "--converter",
        converter,
        "--block-frames",
        3000,
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stderr
    # What the same data gives at once, stored through the same sample format.
    sf.write(tmp_path / "expected.wav", quavix.resample(data, RATIO, converter), 48000, subtype)
    expected = sf.read(tmp_path / "expected.wav", dtype="float32", always_2d=True)[0]
    with sf.SoundFile(tmp_path / "out.wav") as out:
        assert (out.samplerate, out.channels, out.subtype) == (48000, channels, subtype)
        np.testing.assert_array_equal(out.read(dtype="float32", always_2d=True), expected)


class DrainingResampler:
    """The streaming interface the example uses, on libsamplerate's own src_process."""

    calls = []

    def __init__(self, converter_type, channels):
        self.state = srcref.State(srcref.CONVERTERS.index(converter_type), channels)

    def process(self, block, ratio, end_of_input=False):
        self.calls.append((block.shape[0], end_of_input))
        pieces = []
        while True:
            capacity = math.ceil(block.shape[0] * ratio) + 64
            out, used, generated = self.state.process(block, capacity, ratio, end_of_input)
            pieces.append(out.copy())
            block = block[used:]
            if block.shape[0] == 0 and (not end_of_input or generated == 0):
                return np.concatenate(pieces)


@pytest.mark.parametrize("frames", [0, 2500, 7000])
def test_block_path_streams_every_block_once(example, tmp_path, rng, monkeypatch, capsys, frames):
    data = write_noise(tmp_path / "in.wav", rng, frames, 2)
    monkeypatch.setattr(quavix, "Resampler", DrainingResampler, raising=False)
    DrainingResampler.calls = []
    args = [str(tmp_path / "in.wav"), str(tmp_path / "out.wav"), "--block-frames", "2500"]
    assert example.main([*args, "--converter", "sinc_medium", "--subtype", "pcm_24"]) == 0
    blocks = [min(2500, frames - start) for start in range(0, frames, 2500)] or [0]
    assert DrainingResampler.calls == [(n, i == len(blocks) - 1) for i, n in enumerate(blocks)]
    sf.write(
        tmp_path / "expected.wav", quavix.resample(data, RATIO, "sinc_medium"), 48000, "PCM_24"
    )
    np.testing.assert_array_equal(
        sf.read(tmp_path / "out.wav")[0], sf.read(tmp_path / "expected.wav")[0]
    )
    assert capsys.readouterr().err == ""


def test_failed_conversion_leaves_no_output(example, tmp_path, rng, monkeypatch, capsys):
    class FailingResampler(DrainingResampler):
        def process(self, block, ratio, end_of_input=False):
            if end_of_input:
                quavix._internals.error_handler(srcref.BAD_SRC_RATIO)
            return super().process(block, ratio, end_of_input)

    write_noise(tmp_path / "in.wav", rng, 5000, 1)
    monkeypatch.setattr(quavix, "Resampler", FailingResampler, raising=False)
    args = [str(tmp_path / "in.wav"), str(tmp_path / "out.wav"), "--block-frames", "1000"]
    assert example.main(args) == 1
    assert capsys.readouterr().err == (
        f"resample_file.py: error: conversion failed: {srcref.strerror(srcref.BAD_SRC_RATIO)}\n"
    )
    assert not (tmp_path / "out.wav").exists()


# --- argument errors -----------------------------------------------------------------------


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["--bogus"], "unrecognized arguments"),
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
        (["--duration", "nan"], "not a duration"),
        (["--out-dir", "in.wav"], "cannot create the output folder"),
    ],
)
def test_argument_errors_give_one_line_and_fail(tmp_path, rng, args, message):
    write_noise(tmp_path / "in.wav", rng, 100, 1)
    (tmp_path / "junk.wav").write_text("not audio\n")
    before = sorted(tmp_path.iterdir())
    result = run_example(*args, cwd=tmp_path)
    assert result.returncode != 0
    assert result.stdout == ""
    assert len(result.stderr.splitlines()) == 1, result.stderr
    assert result.stderr.startswith("resample_file.py: error: ")
    assert message in result.stderr
    assert sorted(tmp_path.iterdir()) == before


@pytest.mark.parametrize(
    ("package", "args"),
    [("soundfile", []), ("matplotlib", ["--duration", "1"]), ("tqdm", ["in.wav", "out.wav"])],
)
def test_missing_extra_is_named(example, tmp_path, monkeypatch, capsys, package, args):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(quavix, "Resampler", DrainingResampler, raising=False)
    if package == "soundfile":
        monkeypatch.setattr(example, "sf", None)
    else:
        monkeypatch.setitem(sys.modules, package, None)  # makes importing it fail
    assert example.main(args) == 1
    assert capsys.readouterr().err == (
        f"resample_file.py: error: this example needs {package}: pip install 'quavix[examples]'\n"
    )
    assert list(tmp_path.iterdir()) == []
