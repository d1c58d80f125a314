"""One-shot: `resample` against `src_simple`, every converter, timed against C."""

import quavix

from .reference import CONVERTERS
from .report import paired_row, table, verdict
from .timing import alternate, c_runner, output_place, py_resample
from .workload import RATE_IN, RATIO, test_signal


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
    report.add(
        f"One-shot: `resample` against `src_simple` ({settings.oneshot_seconds:g} s stereo, "
        f"44.1 → 48 kHz, {settings.reps} alternating repetitions)",
        table(["converter", "quavix", "C", "ratio (IQR)", "ratio of fastest runs"], rows),
        "Target: ratio 1.01 or less for every converter. Times are medians; the ratio is the "
        "median of the pairs' ratios with its interquartile range.",
    )
    return results


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
