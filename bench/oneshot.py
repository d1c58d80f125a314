"""One-shot: `resample` against `src_simple`, every converter, timed against C; and one row at
the lowest ratio, with the tail there."""

import quavix

from .reference import CONVERTERS
from .report import paired_row, table, verdict
from .timing import alternate, c_runner, output_place, py_resample
from .workload import RATE_IN, RATIO, test_signal

# The row at the lowest ratio, where a sinc converter's tail is whole only with the end mark
# handed over alone.
LOWEST_RATIO = 1 / 256
LOWEST_CONVERTER = "sinc_best"


def run(ref, settings, report):
    signal = test_signal(int(settings.oneshot_seconds * RATE_IN), 2)
    rows = []
    results = {}
    for converter in CONVERTERS:
        place = output_place(quavix.resample, signal, RATIO, converter)
        paired = alternate(
            py_resample(signal, converter, RATIO, 1),
            c_runner(ref, "simple", signal, converter, RATIO, place=place),
            settings.reps,
        )
        results[converter] = paired.ratio()
        rows.append(paired_row(converter, paired))
    tail = lowest_ratio_row(ref, settings, signal, rows)
    report.add(
        f"One-shot: `resample` against `src_simple` ({settings.oneshot_seconds:g} s stereo, "
        f"44.1 → 48 kHz, {settings.reps} alternating repetitions)",
        table(["converter", "quavix", "C", "ratio (IQR)", "ratio of fastest runs"], rows),
        "Target: ratio 1.01 or less for every converter. Times are medians; the ratio is the "
        f"median of the pairs' ratios with its interquartile range. {tail}",
    )
    return results


def lowest_ratio_row(ref, settings, signal, rows):
    """Appends the row at the lowest ratio to `rows`; returns the note on its tail.

    There src_simple, and any request that brings the end mark with the last data, can stop a
    sinc converter short of its tail, so the C side of this row is src_callback_read on the
    whole signal, which hands the end mark over alone and gives the whole tail, as resample
    does. The row is not one of the target's: the target is at the usual ratio.
    """
    converter, ratio, frames = LOWEST_CONVERTER, LOWEST_RATIO, len(signal)
    place = output_place(quavix.resample, signal, ratio, converter)
    paired = alternate(
        py_resample(signal, converter, ratio, 1),
        c_runner(ref, "callback", signal, converter, ratio, block=frames, place=place),
        settings.reps,
    )
    rows.append(paired_row(f"{converter} at 1/256 (C: src_callback_read)", paired))
    whole = ref.time("callback", signal, converter, ratio, frames).frames
    simple = ref.time("simple", signal, converter, ratio).frames
    with_data = ref.time("process", signal, converter, ratio, frames).frames
    ours = len(quavix.resample(signal, ratio, converter))
    return (
        f"At 1/256 the whole tail of this signal with {converter} is {whole} frames. src_simple "
        f"gives {simple} of them; src_process with the end mark in the request that brings the "
        f"last data, as quavix did before it handed the end mark over alone, gives {with_data} "
        f"({whole - with_data} short); quavix gives {ours} ({whole - ours} short)."
    )


def targets(found):
    """The one-shot ratio, decided by the instruction counts when they were taken."""
    oneshot, counts = found.get("oneshot"), found.get("instructions", {})
    if not oneshot:
        return []
    timed = [q[0] for q in oneshot.values()]
    counted = [v[0] for k, v in counts.items() if k.startswith("simple-")]
    figure = f"timed: {min(timed):.3f} to {max(timed):.3f}"
    if counted:
        figure += f"; instructions: at most {max(counted):.5f} (1 s signal)"
    if counted:
        outcome = verdict(max(counted) <= 1.01)
    elif all(q[1] <= 1.01 for q in oneshot.values()):
        outcome = "met (timed)"
    else:
        outcome = "not resolved by timing alone"
    return [["one-shot ratio ≤ 1.01, every converter", figure, outcome]]
