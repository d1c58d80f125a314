"""Paired timing and its statistics.

Every binding figure is a ratio to a second side measured in the same run (the C reference, or
for threads the serial run): the two sides' repetitions alternate, and each ratio is taken pair
by pair, so that the drift of a shared machine cancels. Tables give the median and the
interquartile range of the pairs.
"""

import gc
import math
import time
from dataclasses import dataclass, field
from functools import partial

import numpy as np

import quavix

from .reference import page_offset


@dataclass
class Paired:
    """Alternating repetitions of the Python side and the C side (or of any two sides, the
    first one as `py`)."""

    py: list = field(default_factory=list)
    c: list = field(default_factory=list)

    @property
    def ratios(self):
        return np.array(self.py) / np.array(self.c)

    def ratio(self):
        return quartiles(self.ratios)

    def excess_per_call(self, calls):
        """Python minus C per call, in microseconds."""
        return quartiles((np.array(self.py) - np.array(self.c)) / calls * 1e6)

    def best_ratio(self):
        """Fastest Python run over fastest C run: the other tenants of a shared machine only
        ever add time, so the fastest runs are the least disturbed ones."""
        return min(self.py) / min(self.c)

    def best_excess_per_call(self, calls):
        return (min(self.py) - min(self.c)) / calls * 1e6


def quartiles(values):
    low, mid, high = np.percentile(np.asarray(values, dtype=np.float64), [25, 50, 75])
    return mid, low, high


def alternate(py_run, c_run, reps):
    """Runs both sides once to warm up, then `reps` times each, in alternating order."""
    py_run()
    c_run()
    result = Paired()
    for rep in range(reps):
        steps = (py_run, c_run) if rep % 2 == 0 else (c_run, py_run)
        for step in steps:
            value = step()
            (result.py if step is py_run else result.c).append(value)
    return result


def stopwatch(body, clock=time.thread_time):
    """Seconds taken by `body()`, with the cyclic garbage collector held off. By default the
    CPU time of this thread, as the C side measures too: on a shared machine the time spent
    waiting for a core is noise, not cost."""
    gc.collect()
    gc.disable()
    try:
        start = clock()
        body()
        return clock() - start
    finally:
        gc.enable()


def loops_for(seconds_once, target):
    return max(1, math.ceil(target / max(seconds_once, 1e-9)))


# Python-side runners: each returns the seconds of the measured part only


def py_resample(signal, converter, ratio, loops):
    resample = quavix.resample

    def body():
        for _ in range(loops):
            resample(signal, ratio, converter)

    return lambda: stopwatch(body)


def py_process(blocks, converter, ratio, channels):
    body_blocks, last = blocks[:-1], blocks[-1]

    def run():
        process = quavix.Resampler(converter, channels).process

        def body():
            for block in body_blocks:
                process(block, ratio)
            process(last, ratio, True)

        return stopwatch(body)

    return run


def py_read(blocks, converter, ratio, channels, size):
    def run():
        feed = partial(next, iter(blocks), None)
        read = quavix.CallbackResampler(feed, ratio, converter, channels).read

        def body():
            while len(read(size)):
                pass

        return stopwatch(body)

    return run


def c_runner(ref, mode, signal, converter, ratio, block=0, loops=1, place=-1):
    return lambda: ref.time(mode, signal, converter, ratio, block, loops, place).seconds


def output_place(call, *args, times=3):
    """The page offset at which the Python side's result buffers land, so that the C side can
    put its own there: the last of a few results of `call(*args)`, each dropped before the
    next as in the timed loops."""
    for _ in range(times):
        place = page_offset(call(*args))
    return place
