"""Threads: two threads converting at once against the same two conversions one after the other,
for each way of converting; and how soon Ctrl-C stops a long `resample`.

Two threads can only convert side by side while quavix lets go of the GIL during libsamplerate's
work; then they take about the time of one conversion on a machine with two idle cores. A
SIGINT is turned into KeyboardInterrupt only where the interpreter runs, so how soon it stops a
long conversion shows how often the binding looks for it.
"""

import os
import signal
import subprocess
import sys
import threading
import time
from functools import partial

import numpy as np

import quavix

from . import workload
from .reference import Reference
from .report import fmt_time, paired_row, table, verdict
from .timing import alternate, stopwatch

CONVERTER = "sinc_medium"
BLOCK = 4096  # frames per pushed block and per read
SPEEDUP_TARGET = 1.8
INTERRUPT_CONVERTER = "sinc_best"
LATENCY_TARGET = 0.2
SIGINT_DELAY = 0.1  # after the child says it starts converting, so that SIGINT finds it at work
SELFTEST_SECONDS = 20.0  # long enough to outlast SIGINT_DELAY on a fast machine

# The child process of the Ctrl-C measure: one long `resample`, with its start and the moment
# it catches KeyboardInterrupt written to stdout as CLOCK_MONOTONIC readings.
CHILD = """
import signal, sys, time
import numpy as np
import quavix

signal.signal(signal.SIGINT, signal.default_int_handler)  # even where it came in ignored
seconds, converter = float(sys.argv[1]), sys.argv[2]
data = np.random.default_rng(0).uniform(-0.5, 0.5, (int(seconds * 44100), 2))
data = data.astype(np.float32)
try:
    print("started", time.monotonic(), flush=True)
    quavix.resample(data, 48000 / 44100, converter)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
else:
    print("finished", time.monotonic(), flush=True)
"""


def streamed(kind, signal):
    blocks, channels = workload.blocks_of(signal, BLOCK), signal.shape[1]
    return workload.stream_output(kind, blocks, CONVERTER, workload.RATIO, channels, BLOCK)[0]


def libsamplerate_alone(ref, second, signals):
    """convert(signal) for the two signals by src_simple, each in a C reference process of its
    own: what two cores give libsamplerate's own work on this machine in this run, the ceiling
    of the other rows. The pipe's wait lets the GIL go, so two threads drive both at once."""
    owners = {id(signals[0]): ref, id(signals[1]): second}
    for data in signals:
        owners[id(data)].load(data)

    def convert(data):
        return owners[id(data)].time("simple", data, CONVERTER, workload.RATIO)

    return convert


def roads():
    """(call, convert) for each way of converting in this build; convert(signal) -> output."""
    found = [("resample", lambda signal: quavix.resample(signal, workload.RATIO, CONVERTER))]
    if workload.has_streaming():
        found.append(("Resampler.process", partial(streamed, "process")))
    if workload.has_pulling():
        found.append(("CallbackResampler.read", partial(streamed, "read")))
    return found


def in_series(convert, signals):
    return [convert(signal) for signal in signals]


def in_threads(convert, signals):
    """Converts each signal in a thread of its own, all at once; the outputs in order."""
    outputs = [None] * len(signals)
    errors = []

    def work(index):
        try:
            outputs[index] = convert(signals[index])
        except BaseException as error:  # raised again below, in the calling thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(signals))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return outputs


def wall_time(way, convert, signals):
    return lambda: stopwatch(lambda: way(convert, signals), clock=time.perf_counter)


def reading(child, word):
    """The clock reading of the child's next report, which must be `word`."""
    line = child.stdout.readline().split()
    if not line or line[0] != word:
        child.kill()
        error = child.communicate()[1].strip()
        raise RuntimeError(f"Ctrl-C child: expected {word!r}, got {' '.join(line)!r} {error}")
    return float(line[1])


def interrupt_latency(seconds):
    """(seconds converting before SIGINT, seconds from SIGINT to KeyboardInterrupt) of a child
    process converting `seconds` of stereo in one `resample`. This process sends the SIGINT;
    both read CLOCK_MONOTONIC, which every process on Linux shares."""
    command = [sys.executable, "-c", CHILD, str(seconds), INTERRUPT_CONVERTER]
    pipes = dict(stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    with subprocess.Popen(command, **pipes) as child:
        started = reading(child, "started")
        time.sleep(SIGINT_DELAY)
        sent = time.monotonic()
        os.kill(child.pid, signal.SIGINT)
        stopped = reading(child, "interrupted")
        child.communicate()
    return sent - started, stopped - sent


def run(ref, settings, report):
    frames = int(settings.thread_seconds * workload.RATE_IN)
    signals = [workload.test_signal(frames, 2, seed=seed) for seed in (1, 2)]
    rows = []
    speedups = {}
    for name, convert in roads():
        # The serial run is the first side: the pairs' ratios are the speedups.
        paired = alternate(
            wall_time(in_series, convert, signals),
            wall_time(in_threads, convert, signals),
            settings.reps,
        )
        speedups[name] = paired.ratio()
        rows.append(paired_row(name, paired))
    with Reference() as second:
        ceiling = libsamplerate_alone(ref, second, signals)
        paired = alternate(
            wall_time(in_series, ceiling, signals),
            wall_time(in_threads, ceiling, signals),
            settings.reps,
        )
    rows.append(paired_row("libsamplerate alone (src_simple, two C processes)", paired))
    report.add(
        f"Threads: two conversions in two threads against one after the other "
        f"({settings.thread_seconds:g} s stereo each, 44.1 → 48 kHz, `{CONVERTER}`, "
        f"{BLOCK}-frame blocks and reads, {settings.reps} alternating repetitions)",
        table(
            ["call", "in series", "in two threads", "speedup (IQR)", "speedup of fastest runs"],
            rows,
        ),
        f"Target: speedup {SPEEDUP_TARGET} or more for every call. Each thread converts a "
        "signal of its own with an object of its own; the speedup is the wall time of the two "
        "conversions in series over that of the two threads, pair by pair. It cannot pass the "
        "number of idle cores, which other work on a shared machine lowers: the last row, "
        "libsamplerate's own src_simple in two C processes timed the same way, shows what "
        "this machine gave in this run.",
    )

    seconds = settings.interrupt_seconds
    interrupts = [interrupt_latency(seconds) for _ in range(settings.interrupt_runs)]
    rows = [
        [run + 1, fmt_time(converting), fmt_time(latency)]
        for run, (converting, latency) in enumerate(interrupts)
    ]
    report.add(
        f"Ctrl-C: SIGINT to KeyboardInterrupt during one `resample` of "
        f"{seconds:g} s stereo (`{INTERRUPT_CONVERTER}`, 44.1 → 48 kHz)",
        table(["run", "SIGINT after the start", "KeyboardInterrupt after SIGINT"], rows),
        f"Target: {LATENCY_TARGET} s or less. The conversion runs in a child process, which "
        "reports through a pipe when it starts and when it catches KeyboardInterrupt; this "
        f"process sends SIGINT {SIGINT_DELAY:g} s after the start. Both read CLOCK_MONOTONIC.",
    )
    return {"speedup": speedups, "interrupts": interrupts}


def targets(found):
    threads = found.get("threads")
    if not threads:
        return []
    speedups = {name: q[0] for name, q in threads["speedup"].items()}
    latencies = [latency for _, latency in threads["interrupts"]]
    return [
        [
            f"two threads ≥ {SPEEDUP_TARGET} × as fast as in series, every call",
            ", ".join(f"{name} {value:.2f}" for name, value in speedups.items()),
            verdict(min(speedups.values()) >= SPEEDUP_TARGET),
        ],
        [
            f"Ctrl-C stops a long `resample` within {LATENCY_TARGET} s",
            f"{max(latencies):.3f} s (slowest of {len(latencies)})",
            verdict(max(latencies) <= LATENCY_TARGET),
        ],
    ]


def selftest():
    """(checks, failures): every way of converting gives in two threads what it gives in
    series, and a SIGINT sent to a converting child comes back from it as KeyboardInterrupt."""
    signals = [workload.test_signal(10000, 2, seed=seed) for seed in (1, 2)]
    failures = []
    for name, convert in roads():
        pairs = zip(in_threads(convert, signals), in_series(convert, signals), strict=True)
        if not all(np.array_equal(together, alone) for together, alone in pairs):
            failures.append(f"{name} in two threads")
    try:
        interrupt_latency(SELFTEST_SECONDS)
    except RuntimeError as error:
        failures.append(str(error))
    return len(roads()) + 1, failures
