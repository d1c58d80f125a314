"""Self-test: the harness measures the right thing. The C reference computes what quavix
computes, sample for sample, and the thread section's runs convert what serial runs do."""

import numpy as np

import quavix

from . import threads
from .reference import CONVERTERS
from .workload import RATIO, blocks_of, has_pulling, has_streaming, stream_output, test_signal


def compare(ref):
    """Compares the C reference's output with quavix's on small signals, sample for sample."""
    failures = []
    checked = 0
    for channels in (1, 2):
        signal = test_signal(1000, channels, seed=channels)
        if channels == 1:
            signal = np.ascontiguousarray(signal[:, 0])
        for converter in CONVERTERS:
            expected = quavix.resample(signal, RATIO, converter)
            got, _ = ref.output("simple", signal, converter, RATIO)
            checked += 1
            if not np.array_equal(expected, got):
                failures.append(f"simple {converter} {channels} ch")
            for kind, mode, available in (
                ("process", "process", has_streaming()),
                ("read", "callback", has_pulling()),
            ):
                if not available:
                    continue
                for size in (1, 64, 333):
                    if converter == "linear" and size == 1:
                        continue  # libsamplerate's own one-frame fault, mended in the binding
                    blocks = blocks_of(signal, size)
                    expected, _ = stream_output(kind, blocks, converter, RATIO, channels, size)
                    got, _ = ref.output(mode, signal, converter, RATIO, size)
                    checked += 1
                    if not np.array_equal(expected.reshape(got.shape), got):
                        failures.append(f"{kind} {converter} {channels} ch, {size}-frame blocks")
    missing = [
        name
        for name, ok in (("Resampler", has_streaming()), ("CallbackResampler", has_pulling()))
        if not ok
    ]
    return checked, failures, missing


def run(ref):
    """Prints what differs and a summary line per check; the exit status."""
    checked, failures, missing = compare(ref)
    for failure in failures:
        print(f"differs: {failure}")
    extra = f"; not in this build: {', '.join(missing)}" if missing else ""
    print(
        f"selftest: {checked - len(failures)} of {checked} conversions identical "
        f"to the C reference ({ref.version}){extra}"
    )
    thread_checks, thread_failures = threads.selftest()
    for failure in thread_failures:
        print(f"fails: {failure}")
    print(
        f"selftest: {thread_checks - len(thread_failures)} of {thread_checks} thread checks "
        "pass (two threads convert what serial runs do; SIGINT reaches a converting child)"
    )
    return 1 if failures or thread_failures else 0
