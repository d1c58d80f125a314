"""Threads: every converter used from eight threads at once gives the single-threaded result."""

import threading
import time

import numpy as np
import pytest

import quavix

THREADS = 8
SECONDS = 1.0


def stream(seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, size=(4000, 2)).astype(np.float32)
    sizes = rng.integers(1, 300, size=40)
    return x, np.split(x, np.cumsum(sizes)[np.cumsum(sizes) < len(x)])


def push_all(blocks, converter):
    r = quavix.Resampler(converter, 2)
    out = [r.process(b, 160 / 147) for b in blocks]
    out.append(r.process(blocks[0][:0], 160 / 147, True))
    return np.concatenate(out)


def run_threads(work):
    """Runs work(index) repeatedly in eight threads for a few seconds; collects failures."""
    failures, deadline = [], time.monotonic() + SECONDS
    barrier = threading.Barrier(THREADS)

    def loop(index):
        barrier.wait()
        try:
            while time.monotonic() < deadline:
                work(index)
        except BaseException as error:  # reported below, in the main thread
            failures.append(error)

    threads = [threading.Thread(target=loop, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures


def pull_all(blocks, converter):
    queue = list(blocks)
    r = quavix.CallbackResampler(lambda: queue.pop(0) if queue else None, 160 / 147, converter, 2)
    out = []
    while (got := r.read(512)).shape[0]:
        out.append(got)
    return np.concatenate(out)


def one_shot(blocks, converter):
    return quavix.resample(np.concatenate(blocks), 160 / 147, converter)


@pytest.mark.parametrize("convert", [one_shot, push_all, pull_all])
@pytest.mark.parametrize("converter", ["sinc_fastest", "linear"])
def test_converters_in_threads_give_single_threaded_results(convert, converter):
    inputs = [stream(seed)[1] for seed in range(THREADS)]
    expected = [convert(blocks, converter) for blocks in inputs]

    def work(index):
        np.testing.assert_array_equal(convert(inputs[index], converter), expected[index])

    run_threads(work)
