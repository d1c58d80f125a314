"""examples/demo.py: its table, its files, and the quality measures behind the table."""

import math

import numpy as np
import pytest
import soundfile as sf
from example_programs import load, run

import quavix
import srcref

RATIO = 48000 / 44100


@pytest.fixture(scope="module")
def example():
    return load("demo")


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    out_dir = tmp_path_factory.mktemp("demo")
    result = run("demo", "--duration", "0.5", "--out-dir", out_dir, cwd=out_dir)
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
