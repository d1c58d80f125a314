"""Streaming and pulling: the cost per call of `Resampler.process` and
`CallbackResampler.read` above `src_process` and `src_callback_read` in C."""

import itertools
from functools import partial

import numpy as np

import quavix

from .report import fmt_delta, fmt_ratio, fmt_time, table, verdict
from .timing import alternate, c_runner, output_place, py_process, py_read
from .workload import (
    FAST_CONVERTERS,
    RATE_IN,
    RATIO,
    blocks_of,
    has_pulling,
    has_streaming,
    stream_output,
    test_signal,
)

BLOCKS = (64, 256, 1024, 4096)
KINDS = (
    ("process", "Resampler.process", "process"),
    ("read", "CallbackResampler.read", "callback"),
)


def run(ref, settings, report):
    present = (has_streaming(), has_pulling())
    kinds = [kind for kind, there in zip(KINDS, present, strict=True) if there]
    if not kinds:
        report.add("Streaming and pulling", "Not measured: this build has neither class.")
        return {}
    signal = test_signal(int(settings.stream_seconds * RATE_IN), 2)
    rows = []
    results = {}
    for kind, label, mode in kinds:
        for converter in FAST_CONVERTERS:
            for size in BLOCKS:
                blocks = blocks_of(signal, size)
                if kind == "process":
                    py_run = py_process(blocks, converter, RATIO, 2)
                    process = quavix.Resampler(converter, 2).process
                    place = output_place(process, blocks[1], RATIO, times=5)
                else:
                    py_run = py_read(blocks, converter, RATIO, 2, size)
                    feed = partial(next, itertools.cycle(blocks))
                    read = quavix.CallbackResampler(feed, RATIO, converter, 2).read
                    place = output_place(read, size, times=5)
                calls = stream_output(kind, blocks, converter, RATIO, 2, size)[1]
                c_run = c_runner(ref, mode, signal, converter, RATIO, size, place=place)
                paired = alternate(py_run, c_run, settings.reps)
                excess = paired.excess_per_call(calls)
                best = paired.best_excess_per_call(calls)
                results[(kind, converter, size)] = (excess, paired.ratio(), best)
                rows.append(
                    [
                        label,
                        converter,
                        size,
                        calls,
                        fmt_time(float(np.median(paired.c)) / calls),
                        fmt_delta(excess),
                        f"{best:+.3f}",
                        fmt_ratio(paired.ratio()),
                    ]
                )
    report.add(
        f"Streaming and pulling: per-call cost against `src_process` / `src_callback_read` "
        f"({settings.stream_seconds:g} s stereo, 44.1 → 48 kHz, "
        f"{settings.reps} alternating repetitions)",
        table(
            [
                "call",
                "converter",
                "frames per call",
                "calls",
                "C per call",
                "binding − C per call (µs, IQR)",
                "same, fastest runs (µs)",
                "ratio (IQR)",
            ],
            rows,
        ),
        "Target: at most 1 µs above C per call at 64-frame blocks. `read` pulls its input "
        "through a Python callable (`functools.partial(next, blocks, None)`), whose call is "
        "part of the figure; the C callback only advances a pointer.",
    )
    return results


def targets(found):
    """The cost per call at 64 frames, for each class measured."""
    streaming, counts = found.get("streaming", {}), found.get("instructions", {})
    rows = []
    for kind, name, mode in KINDS:
        picked = {c: v for (k, c, size), v in streaming.items() if k == kind and size == 64}
        if not picked:
            continue
        timed = {c: v[0][0] for c, v in picked.items()}
        fastest = {c: v[2] for c, v in picked.items()}
        figure = "medians " + ", ".join(f"{c} {t:+.2f} µs" for c, t in timed.items())
        figure += "; fastest runs " + ", ".join(f"{c} {t:+.2f} µs" for c, t in fastest.items())
        counted = {c: counts[f"{mode}-{c}-64"][1] for c in timed if f"{mode}-{c}-64" in counts}
        if counted:
            figure += (
                " (instructions: " + ", ".join(f"{c} {n:+,.0f}" for c, n in counted.items()) + ")"
            )
        # The cost per call does not depend on the converter; `linear`'s short C time shows it
        # with the least noise, and its fastest runs are the least disturbed: they decide.
        decisive = fastest.get("linear", max(fastest.values()))
        rows.append([f"`{name}` at 64 frames ≤ 1 µs above C", figure, verdict(decisive <= 1)])
    return rows
