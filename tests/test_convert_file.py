"""examples/convert_file.py: a file converted in blocks is what one `resample` gives, every
block is streamed once, and a failed conversion leaves nothing behind."""

import math

import numpy as np
import pytest
import soundfile as sf
from example_programs import load, run, write_noise

import quavix
import srcref

RATIO = 48000 / 44100


@pytest.fixture(scope="module")
def example():
    return load("convert_file")


@pytest.mark.parametrize(
    ("channels", "subtype", "converter"),
    [(2, "FLOAT", "sinc_fastest"), (1, "PCM_16", "linear"), (3, "FLOAT", "zero_order_hold")],
)
def test_file_conversion_matches_resample(tmp_path, rng, channels, subtype, converter):
    data = write_noise(tmp_path / "in.wav", rng, 10000, channels, subtype)
    result = run(
        "convert_file",
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
        f"convert_file.py: error: conversion failed: {srcref.strerror(srcref.BAD_SRC_RATIO)}\n"
    )
    assert not (tmp_path / "out.wav").exists()
