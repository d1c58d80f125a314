"""Instructions: callgrind counts of the binding against the C reference, for the same
conversions (callgrind.py runs both sides under valgrind)."""

import shutil

from . import callgrind
from .report import table
from .settings import FULL
from .workload import RATE_IN, blocks_of, has_pulling, has_streaming, test_signal


def run(ref, settings, report):
    if not settings.count_seconds:
        settings = FULL  # asked for by name in a quick run: counts do not need a long run
    if shutil.which("valgrind") is None:
        report.add("Instructions", "Not measured: valgrind is not installed.")
        return {}
    frames = int(settings.count_seconds * RATE_IN)
    signal = test_signal(frames, 2)
    py, c, requests = callgrind.count(
        ref.program, ref.compiler, ref.workdir, signal, has_streaming(), has_pulling()
    )
    baseline = py.pop("baseline", 0)
    rows = []
    results = {}
    for label, c_count in c.items():
        mode, converter, block = label.split("-")
        block = int(block)
        py_count = py[label] - baseline
        if mode == "simple":
            calls, name = 1, "resample"
        elif mode == "process":
            calls, name = len(blocks_of(signal, block)), "Resampler.process"
        else:
            calls, name = requests[label], "CallbackResampler.read"
        excess = (py_count - c_count) / calls
        results[label] = (py_count / c_count, excess)
        rows.append(
            [
                name,
                converter,
                block or frames,
                calls,
                f"{c_count / calls:,.0f}",
                f"{excess:+,.0f}",
                f"{py_count / c_count:.5f}",
            ]
        )
    report.add(
        f"Instructions: callgrind counts of the binding against the C reference "
        f"({settings.count_seconds:g} s stereo, 44.1 → 48 kHz)",
        table(
            [
                "call",
                "converter",
                "frames per call",
                "calls",
                "C instructions per call",
                "binding − C per call",
                "ratio",
            ],
            rows,
        ),
        "Deterministic: unlike times, these counts do not move with the machine's load. The "
        "binding's count includes the interpreter's work for the call and for dropping its "
        "result, less that of an empty region.",
    )
    return results


def targets(found):
    """The counts decide the one-shot and per-call targets, judged in those sections."""
    return []
