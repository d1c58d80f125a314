"""Memory: the peak traced memory of one `resample`, and resident memory over many calls."""

import gc
import itertools
import os
import tracemalloc

import numpy as np

import quavix

from .report import table, verdict
from .workload import RATIO, has_pulling, has_streaming, test_signal


def rss_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def traced_peak(call, *args):
    """Peak traced memory of `call(*args)` above what was traced before it, and its result."""
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        tracemalloc.reset_peak()
        result = call(*args)
        peak = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    return peak, result


def buffer_bytes(array):
    """Bytes of the buffer behind a result (the full allocation when it is a view)."""
    return (array.base if array.base is not None else array).nbytes


def rss_growth(step, calls, checkpoints=10):
    """Resident memory after each tenth of `calls` calls of `step`, relative to the first."""
    every = calls // checkpoints
    samples = []
    for _ in range(checkpoints):
        for _ in range(every):
            step()
        samples.append(rss_bytes())
    return samples


def run(ref, settings, report):
    rows = []
    frames = 60 * 48000
    ratio = 44100 / 48000
    signal = test_signal(frames, 2)
    peak, out = traced_peak(quavix.resample, signal, ratio, "sinc_fastest")
    expected = buffer_bytes(out)
    rows.append(
        [
            "float32, C-contiguous",
            f"{peak / 2**20:.2f}",
            f"{expected / 2**20:.2f} (output)",
            f"{peak / expected:.4f}",
        ]
    )
    results = {"float32": peak / expected}
    del out
    wide = signal.astype(np.float64)
    peak, out = traced_peak(quavix.resample, wide, ratio, "sinc_fastest")
    bound = buffer_bytes(out) + signal.nbytes
    rows.append(
        [
            "float64",
            f"{peak / 2**20:.2f}",
            f"{bound / 2**20:.2f} (output + float32 copy of the input)",
            f"{peak / bound:.4f}",
        ]
    )
    results["float64"] = peak / bound
    del out, wide, signal
    report.add(
        "Memory: peak traced memory (tracemalloc) of one `resample` of 60 s stereo at 48 kHz "
        "to 44.1 kHz",
        table(["input", "peak (MiB)", "bound (MiB)", "peak / bound"], rows),
        "Target: the float32 peak equals the output buffer within 1 %; float64 input adds at "
        "most one float32 copy. libsamplerate's own converter state is allocated by C "
        "malloc, which tracemalloc does not see.",
    )

    rows = []
    block = test_signal(64, 2)
    loops = [("resample", lambda: quavix.resample(block, RATIO, "linear"))]
    if has_streaming():
        resampler = quavix.Resampler("linear", 2)
        loops.append(("Resampler.process", lambda: resampler.process(block, RATIO)))
    if has_pulling():
        puller = quavix.CallbackResampler(itertools.repeat(block).__next__, RATIO, "linear", 2)
        loops.append(("CallbackResampler.read", lambda: puller.read(64)))
    results["rss"] = {}
    for label, step in loops:
        for _ in range(1000):
            step()
        samples = rss_growth(step, settings.rss_calls)
        growth = samples[-1] - samples[0]
        results["rss"][label] = growth
        rows.append(
            [
                label,
                f"{settings.rss_calls:.0e}",
                f"{samples[0] / 2**20:.1f}",
                f"{samples[-1] / 2**20:.1f}",
                f"{growth / 1024:+.0f}",
            ]
        )
    report.add(
        "Memory: resident set over many calls (64-frame stereo blocks, `linear`)",
        table(
            ["call", "calls", "RSS after first tenth (MiB)", "RSS at end (MiB)", "growth (KiB)"],
            rows,
        ),
        "Target: flat.",
    )
    return results


def targets(found):
    memory = found.get("memory")
    if not memory:
        return []
    growth = max(memory["rss"].values())
    return [
        [
            "float32 peak = output within 1 %",
            f"{memory['float32']:.4f}",
            verdict(abs(memory["float32"] - 1) <= 0.01),
        ],
        [
            "float64 peak ≤ output + one float32 copy",
            f"{memory['float64']:.4f}",
            verdict(memory["float64"] <= 1.01),
        ],
        [
            "resident memory flat over 10^5 calls",
            f"largest growth {growth / 1024:+.0f} KiB",
            verdict(growth <= 1 << 20),
        ],
    ]
