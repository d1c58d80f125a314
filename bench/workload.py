"""What the benchmarks convert: the rates, a deterministic test signal, its blocks, and whole
streamed conversions through quavix."""

from functools import partial

import numpy as np

import quavix

RATE_IN = 44100
RATE_OUT = 48000
RATIO = RATE_OUT / RATE_IN
# The per-call and scaling tables use the fastest converter with a filter and the fastest
# without, where what the binding adds weighs most.
FAST_CONVERTERS = ("linear", "sinc_fastest")


def test_signal(frames, channels, seed=7):
    """A deterministic float32 signal: a tone and a sweep per channel, plus a little noise."""
    rng = np.random.default_rng(seed)
    t = np.arange(frames, dtype=np.float64) / RATE_IN
    columns = []
    for c in range(channels):
        tone = 0.3 * np.sin(2 * np.pi * (440.0 + 110.0 * c) * t)
        sweep = 0.2 * np.sin(2 * np.pi * (20.0 * t + 1000.0 * t * t))
        columns.append(tone + sweep + 0.01 * rng.standard_normal(frames))
    data = np.stack(columns, axis=1).astype(np.float32)
    return np.ascontiguousarray(data)


def blocks_of(signal, size):
    return [signal[i : i + size] for i in range(0, max(len(signal), 1), size)]


def stream_output(kind, blocks, converter, ratio, channels, size):
    """The whole output of one streamed conversion and the number of binding calls: pushed
    through `Resampler.process` ("process") or pulled by `CallbackResampler.read` ("read")."""
    parts = []
    if kind == "process":
        resampler = quavix.Resampler(converter, channels)
        for i, block in enumerate(blocks):
            parts.append(resampler.process(block, ratio, i == len(blocks) - 1))
    else:
        feed = partial(next, iter(blocks), None)
        resampler = quavix.CallbackResampler(feed, ratio, converter, channels)
        while len(out := resampler.read(size)):
            parts.append(out)
        parts.append(out)
    return np.concatenate(parts), len(parts)


def has_streaming():
    return hasattr(quavix, "Resampler")


def has_pulling():
    return hasattr(quavix, "CallbackResampler")
