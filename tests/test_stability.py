"""Long loops keep memory and reference counts flat: nothing leaks per call."""

import gc
import itertools
import os
import sys
import tracemalloc
import weakref
from functools import partial

import numpy as np
import pytest

import quavix

CALLS = 200_000
WARM_UP = 20_000
# A leak of a single 16-byte block per call would grow resident memory by 3.2 MB.
RSS_BOUND = 2 * 1024 * 1024
TRACED_BOUND = 64 * 1024


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def assert_flat(step, calls=CALLS, warm_up=WARM_UP):
    """Runs `step` many times; resident and traced memory must not grow with the calls."""
    for _ in range(warm_up):
        step()
    gc.collect()
    before = resident_bytes()
    for _ in range(calls):
        step()
    gc.collect()
    rss_growth = resident_bytes() - before

    tracemalloc.start()
    try:
        for _ in range(1000):
            step()
        gc.collect()
        traced_before = tracemalloc.get_traced_memory()[0]
        for _ in range(calls // 10):
            step()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced_before
    finally:
        tracemalloc.stop()
    # AddressSanitizer holds freed memory in quarantine, so only the traced figure counts there.
    if not os.environ.get("QUAVIX_SANITIZED"):
        assert rss_growth < RSS_BOUND, f"resident memory grew by {rss_growth} bytes"
    assert traced_growth < TRACED_BOUND, f"traced memory grew by {traced_growth} bytes"


@pytest.fixture(scope="module")
def block():
    return np.random.default_rng(7).uniform(-1, 1, size=(64, 2)).astype(np.float32)


def test_resample_keeps_memory_flat(block):
    assert_flat(lambda: quavix.resample(block, 1.5, "linear"))


def test_failing_resample_keeps_memory_flat(block):
    def step():
        try:
            quavix.resample(block, float("nan"), "linear")
        except quavix.ResamplingError:
            pass

    assert_flat(step)


def test_resample_reference_counts_return(block):
    block = np.resize(block, (441, 2))
    converter = "linear"
    counts = sys.getrefcount(block), sys.getrefcount(converter)
    results = [quavix.resample(block, 160 / 147, converter) for _ in range(100)]
    view = quavix.resample(block, 160 / 147, converter)
    full = weakref.ref(view.base)
    del results, view
    gc.collect()
    assert full() is None, "the full buffer outlived its only view"
    assert (sys.getrefcount(block), sys.getrefcount(converter)) == counts


def test_process_keeps_memory_flat(block):
    r = quavix.Resampler("linear", 2)
    assert_flat(lambda: r.process(block, 1.5))


def test_clone_keeps_memory_flat(block):
    r = quavix.Resampler("sinc_fastest", 2)
    r.process(block, 1.5)
    c = quavix.CallbackResampler(lambda: block, 1.5, "linear", 2)
    c.read(100)
    assert_flat(lambda: (r.clone(), c.clone()), calls=CALLS // 4)


def test_read_keeps_memory_and_reference_counts_flat(block):
    def supply():
        return block

    counts = sys.getrefcount(supply), sys.getrefcount(block)
    c = quavix.CallbackResampler(supply, 1.5, "linear", 2)
    assert_flat(partial(c.read, 64))
    del c
    gc.collect()
    assert (sys.getrefcount(supply), sys.getrefcount(block)) == counts


class Stream:
    """Keeps its resampler on itself, fed by its own method: a reference cycle per stream."""

    def __init__(self, block, converter):
        self.block = block
        self.rs = quavix.CallbackResampler(self.next_block, 1.5, converter, 2)

    def next_block(self):
        return self.block


def tracked_objects():
    gc.collect()
    return len(gc.get_objects())


@pytest.mark.thread_unsafe(reason="counts the objects that the collector tracks, interpreter-wide")
@pytest.mark.parametrize("converter", ["sinc_fastest", "linear"])
def test_resamplers_in_reference_cycles_keep_memory_flat(block, converter):
    count = itertools.count()

    def step():
        Stream(block, converter).rs.read(64)
        # The oldest generation is collected only once it has grown by a quarter, which in a
        # test session holding a hundred thousand objects takes longer than this loop.
        if next(count) % 100 == 0:
            gc.collect()

    step()
    tracked = tracked_objects()
    assert_flat(step, calls=4000, warm_up=1000)
    # A few objects of the interpreter's own may come and go; a cycle left behind is three.
    assert tracked_objects() - tracked < 100
