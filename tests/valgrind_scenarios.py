"""A short workout of every converter meant to run under valgrind's memcheck.

One-shot and streaming conversion with every converter, their refusals, copies and reset,
and one-frame linear inputs, which must read nothing outside the caller's arrays. For the
CallbackResampler it covers the roads where memory could go wrong: a copy reading pending
input after its source is gone, callables that fail in every way, reset, __exit__ and
re-opening, a chain of two converters, input after its end and refused use from inside the
callable. Blocks are larger than NumPy's small-block cache, so that released input really
goes back to the allocator. Run with PYTHONMALLOC=malloc (mimalloc on a free-threaded CPython,
which has no other); tests/test_callback_resampler.py drives it.
"""

import gc

import numpy as np

import srcref
from quavix import CallbackResampler, Resampler, ResamplingError, resample

rng = np.random.default_rng(7)
CONVERTERS = ("sinc_fastest", "zero_order_hold", "linear")


def noise(frames, channels=1):
    data = rng.standard_normal((frames, channels)).astype(np.float32)
    return data[:, 0].copy() if channels == 1 else data


def feeder(blocks):
    blocks = list(blocks)
    return lambda: blocks.pop(0) if blocks else None


def churn():
    gc.collect()
    return [np.full(20_000, 1e30, dtype=np.float32) for _ in range(8)]


def same(got, expected):
    assert got.shape[0] == expected.shape[0], (got.shape, expected.shape)
    assert np.array_equal(got.reshape(expected.shape), expected)


def clone_after_destroy(converter):
    data = noise(26_000)
    pieces = [data[:20_000], data[20_000:23_000], data[23_000:]]
    twin = CallbackResampler(feeder(p.copy() for p in pieces), 0.9, converter)
    expected = [twin.read(n) for n in (400, 2000, 4000)]
    source = CallbackResampler(feeder(p.copy() for p in pieces), 0.9, converter)
    same(source.read(400), expected[0])
    copy = source.clone()
    del source
    junk = churn()
    for n, want in zip((2000, 4000), expected[1:], strict=True):
        same(copy.read(n), want)
    del junk


class Boom(Exception):
    pass


def failing_callables(converter):
    good = noise(3000, 2)
    failures = [
        (Boom("raised"), Boom),
        (np.zeros((3, 2, 2), dtype=np.float32), ValueError),
        (np.zeros(700, dtype=np.float32), ValueError),
        ([[1.0, 2.0], [3.0]], ValueError),
    ]
    for bad, kind in failures:
        queue = [good[:1500].copy(), bad, good[1500:].copy()]

        def supply(queue=queue):
            item = queue.pop(0) if queue else None
            if isinstance(item, BaseException):
                raise item
            return item

        r = CallbackResampler(supply, 0.8, converter, 2)
        r.read(300)
        try:
            r.read(3000)
        except kind:
            pass
        else:
            raise AssertionError(f"{kind.__name__} expected")
        junk = churn()
        fresh = srcref.CallbackState(srcref.CONVERTERS.index(converter), 2, [good[1500:]])
        same(r.read(2000), fresh.read(2000, 0.8))
        del junk
    try:
        CallbackResampler(None, 1.0, converter).read(10)
    except RuntimeError:
        pass
    else:
        raise AssertionError("RuntimeError expected")


def reset_and_exit(converter):
    data = noise(8000)
    r = CallbackResampler(feeder([data[:4000], data[4000:]]), 1.3, converter)
    r.read(1000)
    r.reset()
    r.read(1000)
    r.__exit__(None, None, None)
    for closed in (r.reset, r.clone, lambda: r.set_starting_ratio(2.0)):
        try:
            closed()
        except ResamplingError:
            pass
        else:
            raise AssertionError("ResamplingError expected")
    r.__exit__(None, None, None)
    with r:
        assert r.read(2000).ndim == 1
    r.read(500)
    r.ratio = float("nan")
    try:
        r.read(10)
    except ResamplingError:
        pass


def input_after_its_end(converter):
    data = noise(9000, 2)
    r = CallbackResampler(
        feeder([data[:3000], None, data[3000:6000], np.zeros((0, 2), np.float32), data[6000:]]),
        1.1,
        converter,
        2,
    )
    sizes = [len(r.read(1500)) for _ in range(12)]
    assert sum(sizes) > 9000, sizes


def chain_and_misuse():
    data = noise(6000)
    inner = CallbackResampler(
        feeder(data[i : i + 600].copy() for i in range(0, 6000, 600)), 0.8, "zero_order_hold"
    )
    outer = CallbackResampler(lambda: inner.read(300), 1.25, "sinc_fastest")
    outer.read(3000)

    def selfish():
        for misuse in (lambda: r.read(3), r.reset, r.clone, lambda: r.__exit__(None, None, None)):
            try:
                misuse()
            except RuntimeError:
                pass
        return inner.read(300)

    r = CallbackResampler(selfish, 1.1, "linear")
    r.read(1000)


def one_shot_and_streaming(converter):
    for channels in (1, 2):
        x = noise(3000, channels)
        resample(x, 160 / 147, converter)
        resample(x[:1], 3.0, converter)
        r = Resampler(converter, channels)
        for start in range(0, 3000, 700):
            r.process(x[start : start + 700], 0.5 + start / 3000)
        for i in range(5):
            r.process(x[i : i + 1].copy(), 1.7)  # one-frame blocks, each in its own allocation
        twin = r.clone()
        del r
        churn()
        twin.process(x[:0], 1.7, True)
        twin.reset()
        bad_calls = (
            (twin.process, x, float("nan")),
            (twin.set_ratio, 0.0),
            (twin.process, noise(10, 3), 1.0),
        )
        for call, *args in bad_calls:
            try:
                call(*args)
            except (ResamplingError, ValueError):
                pass
    c = CallbackResampler(feeder(x[i : i + 1].copy() for i in range(20)), 1.7, converter, 2)
    c.read(40)


for name in srcref.CONVERTERS:
    one_shot_and_streaming(name)
for name in CONVERTERS:
    clone_after_destroy(name)
    failing_callables(name)
    reset_and_exit(name)
    input_after_its_end(name)
chain_and_misuse()
gc.collect()
print("all scenarios passed")
