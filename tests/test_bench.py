"""The benchmark harness measures the right thing: its C reference computes exactly what quavix
computes, its quality figures tell good conversions from bad ones, and its thread section's runs
convert what serial runs do and see a SIGINT arrive. Nothing here is timed."""

import shutil
import sys
from functools import partial
from pathlib import Path

import numpy as np
import pytest

import quavix

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))

from bench import quality, reference, threads  # noqa: E402

RATIO = 48000 / 44100
needs_compiler = pytest.mark.skipif(
    reference.find_compiler() is None or shutil.which("pkg-config") is None,
    reason="the C reference needs a C compiler and pkg-config",
)


@pytest.fixture(scope="module")
def ref():
    with reference.Reference() as running:
        yield running


def signal(frames, channels, seed=3):
    data = np.random.default_rng(seed).uniform(-0.5, 0.5, (frames, channels))
    data = data.astype(np.float32)
    return np.ascontiguousarray(data[:, 0]) if channels == 1 else data


def pushed(converter, data, size):
    channels = 1 if data.ndim == 1 else data.shape[1]
    resampler = quavix.Resampler(converter, channels)
    blocks = [data[i : i + size] for i in range(0, len(data), size)]
    parts = [resampler.process(b, RATIO, i == len(blocks) - 1) for i, b in enumerate(blocks)]
    return np.concatenate(parts), len(parts)


def pulled(converter, data, size):
    channels = 1 if data.ndim == 1 else data.shape[1]
    feed = partial(next, iter([data[i : i + size] for i in range(0, len(data), size)]), None)
    resampler = quavix.CallbackResampler(feed, RATIO, converter, channels)
    parts = [resampler.read(size)]
    while len(parts[-1]):
        parts.append(resampler.read(size))
    return np.concatenate(parts), len(parts)


@needs_compiler
@pytest.mark.parametrize("channels", [1, 2, 5])
@pytest.mark.parametrize("converter", reference.CONVERTERS)
def test_reference_one_shot_is_quavix_resample(ref, converter, channels):
    data = signal(777, channels)
    got, requests = ref.output("simple", data, converter, RATIO)
    np.testing.assert_array_equal(got, quavix.resample(data, RATIO, converter))
    assert requests == 1
    # The timing command converts the same thing (its figures are not looked at).
    assert ref.time("simple", data, converter, RATIO, place=123).frames == len(got)


@needs_compiler
@pytest.mark.parametrize("size", [7, 64, 1000])
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("converter", reference.CONVERTERS)
@pytest.mark.parametrize("kind", ["process", "callback"])
def test_reference_streams_are_quavix_streams(ref, kind, converter, channels, size):
    name = "Resampler" if kind == "process" else "CallbackResampler"
    if not hasattr(quavix, name):
        pytest.skip(f"{name} is not part of this build")
    data = signal(2000, channels, seed=size)
    got, requests = ref.output(kind, data, converter, RATIO, size)
    expected, calls = (pushed if kind == "process" else pulled)(converter, data, size)
    np.testing.assert_array_equal(got, expected.reshape(got.shape))
    # The C side counts libsamplerate requests: a push may take more than one per block.
    assert requests >= calls if kind == "process" else requests == calls
    timing = ref.time(kind, data, converter, RATIO, size, place=4000)
    assert (timing.frames, timing.requests) == (len(got), requests)


@needs_compiler
@pytest.mark.parametrize("command", ["simple 1 0 1.0 1 4096", "load 9 /nonexistent 1 1 0"])
def test_reference_refuses_bad_commands(ref, command):
    with pytest.raises(reference.ReferenceError):
        ref._ask(command)


def exact_tone(delay_frames=0.0):
    m = np.arange(int(quality.TONE_SECONDS * quality.RATE_OUT)) - delay_frames
    return quality.AMPLITUDE * np.sin(2 * np.pi * quality.TONE_HZ * m / quality.RATE_OUT)


def test_tone_snr_tells_exact_delayed_and_noisy_tones_apart():
    exact, fitted = quality.tone_snr(exact_tone())
    assert exact > 200 and fitted > 200  # float64 round-off only
    exact, fitted = quality.tone_snr(exact_tone(delay_frames=1.0))
    assert exact < 30 and fitted > 200  # a delay counts against the exact tone only
    noise = np.random.default_rng(0).standard_normal(len(exact_tone()))
    exact, fitted = quality.tone_snr(exact_tone() + 0.5e-3 * noise)  # about 57 dB
    assert 55 < exact < 59 and 55 < fitted < 59


@pytest.mark.parametrize("level_db", [-40, -90])
def test_sweep_rejection_reads_the_level_of_an_added_image(level_db):
    t = np.arange(int(quality.SWEEP_SECONDS * quality.RATE_OUT)) / quality.RATE_OUT
    sweep = quality.AMPLITUDE * np.sin(quality.sweep_phase(t))
    assert quality.sweep_rejection(sweep) > 140
    # A second sweep at the image frequency (44.1 kHz minus the sweep's), level_db below.
    image = (
        10 ** (level_db / 20)
        * quality.AMPLITUDE
        * np.sin(2 * np.pi * quality.RATE_IN * t - quality.sweep_phase(t))
    )
    assert quality.sweep_rejection(sweep + image) == pytest.approx(-level_db, abs=1.0)


@pytest.mark.parametrize(
    "call, block",
    [(name, None) for name, _ in threads.roads()]
    + [(name, size) for name in threads.block_calls() for size in (threads.SMALL_BLOCK, 1000)],
)
def test_thread_section_converts_in_two_threads_what_it_converts_in_series(call, block):
    """The large-block table converts whole signals; the small-block one cuts them into blocks,
    and its outputs, joined, are those of the same road in one thread."""
    signals = [signal(9000, 2, seed) for seed in (1, 2)]
    if block is None:
        convert, inputs = dict(threads.roads())[call], signals
    else:
        convert = threads.in_blocks(call, block)
        inputs = [[data[i : i + block] for i in range(0, len(data), block)] for data in signals]
    alone = threads.in_series(convert, inputs)
    for together, expected, data in zip(
        threads.in_threads(convert, inputs), alone, signals, strict=True
    ):
        if block is None:
            np.testing.assert_array_equal(together, expected)
            np.testing.assert_array_equal(expected, quavix.resample(data, RATIO, threads.CONVERTER))
        else:
            np.testing.assert_array_equal(np.concatenate(together), np.concatenate(expected))
            assert len(np.concatenate(expected)) >= len(data) * RATIO - block


def test_thread_section_sees_sigint_stop_a_converting_child():
    converting, latency = threads.interrupt_latency(threads.SELFTEST_SECONDS)
    assert converting >= threads.SIGINT_DELAY
    assert 0 < latency < 10
