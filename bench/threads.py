"""Threads: two threads converting at once against the same two conversions one after the other,
for each way of converting, in large blocks and in small ones; and how soon Ctrl-C stops a long
`resample`.

Two threads can only convert side by side while quavix lets go of the GIL during libsamplerate's
work; then they take about the time of one conversion on a machine with two idle cores. Small
blocks keep the GIL (handing it over would cost more than the block's work), so with a GIL they
barely scale; a free-threaded CPython has none, and there they should scale almost as large
blocks do. The small-block table is measured in a child process for this interpreter and for
each one named with --also-python, so that builds with and without a GIL stand side by side.

A SIGINT is turned into KeyboardInterrupt only where the interpreter runs, so how soon it stops a
long conversion shows how often the binding looks for it.

    python -m bench.threads --small-blocks SECONDS REPS   prints this interpreter's small-block
                                                          figures as JSON (run by the section)
"""

import json
import os
import signal
import subprocess
import sys
import sysconfig
import threading
import time
from functools import partial
from pathlib import Path

import numpy as np

import quavix

from . import workload
from .reference import Reference
from .report import fmt_ratio, fmt_time, paired_row, table, verdict
from .timing import alternate, stopwatch

CONVERTER = "sinc_medium"
BLOCK = 4096  # frames per pushed block and per read
SPEEDUP_TARGET = 1.8
INTERRUPT_CONVERTER = "sinc_best"
LATENCY_TARGET = 0.2
SIGINT_DELAY = 0.1  # after the child says it starts converting, so that SIGINT finds it at work
SELFTEST_SECONDS = 20.0  # long enough to outlast SIGINT_DELAY on a fast machine
# The small-block table: the cheapest converter, where what the binding and the interpreter add
# to each call weighs most, in blocks of SMALL_BLOCK frames against LARGE_BLOCK, the ceiling.
SMALL_CONVERTER = "linear"
SMALL_BLOCK = 64
LARGE_BLOCK = 8192
SMALL_TARGET = 0.9  # of the large-block speedup, on a free-threaded build
ROOT = Path(__file__).resolve().parent.parent

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


def in_blocks(call, block):
    """convert(blocks) -> the outputs, for one way of converting a signal cut into `block`-frame
    blocks with SMALL_CONVERTER: `resample` of each block, or one object's `process` of each
    block, or `read`s of `block` frames pulling the blocks from the callable."""
    ratio = workload.RATIO

    def one_shot(blocks):
        resample = quavix.resample
        return [resample(b, ratio, SMALL_CONVERTER) for b in blocks]

    def pushed(blocks):
        process = quavix.Resampler(SMALL_CONVERTER, blocks[0].shape[1]).process
        return [process(b, ratio) for b in blocks]

    def pulled(blocks):
        feed = partial(next, iter(blocks), None)
        resampler = quavix.CallbackResampler(feed, ratio, SMALL_CONVERTER, blocks[0].shape[1])
        read, out = resampler.read, []
        while len(got := read(block)):
            out.append(got)
        return out

    return {"resample": one_shot, "Resampler.process": pushed, "CallbackResampler.read": pulled}[
        call
    ]


def block_calls():
    return [name for name, _ in roads()]


def build_name():
    """The interpreter, with `t` for a free-threaded one and whether its GIL is on."""
    name = "CPython {}.{}".format(*sys.version_info[:2])
    if sysconfig.get_config_var("Py_GIL_DISABLED"):
        name += "t, GIL " + ("on" if sys._is_gil_enabled() else "off")
    return name


def small_blocks(seconds, reps):
    """This interpreter's figures: for each call, the two-thread speedup in SMALL_BLOCK- and in
    LARGE_BLOCK-frame blocks (median and quartiles of the pairs), measured in one run."""
    frames = int(seconds * workload.RATE_IN)
    signals = [workload.test_signal(frames, 2, seed=seed) for seed in (1, 2)]
    figures = {}
    for call in block_calls():
        figures[call] = {}
        for block in (SMALL_BLOCK, LARGE_BLOCK):
            convert = in_blocks(call, block)
            cut = [workload.blocks_of(signal, block) for signal in signals]
            paired = alternate(
                wall_time(in_series, convert, cut), wall_time(in_threads, convert, cut), reps
            )
            figures[call][block] = paired.ratio()
    return {"build": build_name(), "free_threaded": free_threaded(), "figures": figures}


def free_threaded():
    return bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def small_blocks_of(python, seconds, reps):
    """small_blocks() measured by `python` in a child process (quavix as that interpreter has
    it), so that one run can set builds side by side."""
    command = [python, "-m", "bench.threads", "--small-blocks", str(seconds), str(reps)]
    done = subprocess.run(command, cwd=ROOT, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(f"small-block child {python}: {done.stderr.strip()}")
    found = json.loads(done.stdout)
    found["figures"] = {
        call: {int(block): tuple(q) for block, q in by_block.items()}
        for call, by_block in found["figures"].items()
    }
    return found


def small_block_table(settings, report):
    seconds = settings.thread_seconds
    builds = [
        small_blocks_of(python, seconds, settings.reps)
        for python in (sys.executable, *settings.other_pythons)
    ]
    header = ["call"]
    for build in builds:
        header += [
            f"{build['build']}: {SMALL_BLOCK}-frame speedup",
            f"{LARGE_BLOCK}-frame speedup",
            f"{SMALL_BLOCK} / {LARGE_BLOCK}",
        ]
    rows = []
    for call in block_calls():
        row = [call]
        for build in builds:
            small, large = (build["figures"][call][block] for block in (SMALL_BLOCK, LARGE_BLOCK))
            row += [fmt_ratio(small), fmt_ratio(large), f"{small[0] / large[0]:.2f}"]
        rows.append(row)
    report.add(
        f"Threads, small blocks: two streams in two threads against one after the other "
        f"({seconds:g} s stereo each, 44.1 → 48 kHz, `{SMALL_CONVERTER}`, {SMALL_BLOCK}-frame "
        f"against {LARGE_BLOCK}-frame blocks and reads, {settings.reps} alternating "
        "repetitions)",
        table(header, rows),
        f"Target, on a free-threaded build: the {SMALL_BLOCK}-frame speedup at least "
        f"{SMALL_TARGET} of the {LARGE_BLOCK}-frame one, for every call. Each thread converts "
        "a signal of its own, block by block, with objects of its own (`resample` converts "
        "each block on its own); the speedup is the wall time in series over that in two "
        "threads, pair by pair, and the large blocks, which every build converts side by "
        "side, show what the machine gave in the same run. Each build is measured in a child "
        "process of its own (`tools/dev.sh bench --also-python PATH` adds one).",
    )
    return builds


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
    builds = small_block_table(settings, report)
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
    return {"speedup": speedups, "interrupts": interrupts, "small_blocks": builds}


def targets(found):
    threads = found.get("threads")
    if not threads:
        return []
    speedups = {name: q[0] for name, q in threads["speedup"].items()}
    latencies = [latency for _, latency in threads["interrupts"]]
    small = [
        [
            f"{build['build']}: {SMALL_BLOCK}-frame blocks ≥ {SMALL_TARGET} of the "
            f"{LARGE_BLOCK}-frame speedup, every call",
            ", ".join(f"{call} {value:.2f}" for call, value in relative.items()),
            verdict(min(relative.values()) >= SMALL_TARGET),
        ]
        for build in threads["small_blocks"]
        if build["free_threaded"]
        for relative in [
            {
                call: by_block[SMALL_BLOCK][0] / by_block[LARGE_BLOCK][0]
                for call, by_block in build["figures"].items()
            }
        ]
    ]
    return small + [
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


if __name__ == "__main__":
    if sys.argv[1:2] != ["--small-blocks"] or len(sys.argv) != 4:
        sys.exit("usage: python -m bench.threads --small-blocks SECONDS REPS")
    print(json.dumps(small_blocks(float(sys.argv[2]), int(sys.argv[3]))))
