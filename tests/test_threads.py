"""Threads: conversions on many threads at once give the single-threaded results, one object
used from several threads refuses all but one, and Ctrl-C stops a long conversion."""

import json
import signal
import subprocess
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import quavix

THREADS = 8
SECONDS = 1.0


def stream(seed):
    rng = np.random.default_rng(seed)
    x = rng.uniform(-1, 1, size=(4000, 2)).astype(np.float32)
    sizes = rng.integers(1, 300, size=40)
    return x, np.split(x, np.cumsum(sizes)[np.cumsum(sizes) < len(x)])


def push_all(blocks, converter):
    r = quavix.Resampler(converter, 2)
    out = [r.process(b, 160 / 147) for b in blocks]
    out.append(r.process(blocks[0][:0], 160 / 147, True))
    return np.concatenate(out)


def run_threads(work):
    """Runs work(index) repeatedly in eight threads for a few seconds; collects failures."""
    failures, deadline = [], time.monotonic() + SECONDS
    barrier = threading.Barrier(THREADS)

    def loop(index):
        barrier.wait()
        try:
            while time.monotonic() < deadline:
                work(index)
        except BaseException as error:  # reported below, in the main thread
            failures.append(error)

    threads = [threading.Thread(target=loop, args=(i,)) for i in range(THREADS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures, failures


def pull_all(blocks, converter):
    queue = list(blocks)
    r = quavix.CallbackResampler(lambda: queue.pop(0) if queue else None, 160 / 147, converter, 2)
    out = []
    while (got := r.read(512)).shape[0]:
        out.append(got)
    return np.concatenate(out)


def one_shot(blocks, converter):
    return quavix.resample(np.concatenate(blocks), 160 / 147, converter)


POOL = ThreadPoolExecutor(2)


def pull_converting(blocks, converter):
    """A callable that converts too, on its own thread and on another, while it serves input."""
    queue = list(blocks)

    def supply():
        if not queue:
            return None
        block = queue.pop(0)
        side = POOL.submit(quavix.resample, block, 2.0, "sinc_fastest")
        quavix.Resampler("linear", 2).process(block, 0.5, True)
        np.testing.assert_array_equal(side.result(), quavix.resample(block, 2.0, "sinc_fastest"))
        return block

    r = quavix.CallbackResampler(supply, 160 / 147, converter, 2)
    out = []
    while (got := r.read(512)).shape[0]:
        out.append(got)
    return np.concatenate(out)


@pytest.mark.parametrize("convert", [one_shot, push_all, pull_all, pull_converting])
@pytest.mark.parametrize("converter", ["sinc_fastest", "linear"])
def test_converters_in_threads_give_single_threaded_results(convert, converter):
    inputs = [stream(seed)[1] for seed in range(THREADS)]
    expected = [convert(blocks, converter) for blocks in inputs]

    def work(index):
        np.testing.assert_array_equal(convert(inputs[index], converter), expected[index])

    run_threads(work)


HAMMER_SCRIPT = """
import json, threading, time
import numpy as np
import quavix

x = np.random.default_rng(3).uniform(-1, 1, (8192, 2)).astype(np.float32)
# Each block ends its stream, so every process starts a new one: its result does not depend
# on which calls of the other threads came before it.
expected = quavix.Resampler("sinc_fastest", 2).process(x, 0.9, True)
r = quavix.Resampler("sinc_fastest", 2)
CALLS = {
    "process": lambda: r.process(x, 0.9, True),
    "reset": r.reset,
    "set_ratio": lambda: r.set_ratio(0.9),
    "clone": lambda: r.clone().process(x, 0.9, True),
    "copy": lambda: quavix.Resampler(r).process(x, 0.9, True),
}
done, refused, wrong = [], [], []
deadline = time.monotonic() + 1.5


def hammer(seed):
    names = list(CALLS)
    rng = np.random.default_rng(seed)
    while time.monotonic() < deadline:
        name = names[rng.integers(len(names))]
        try:
            got = CALLS[name]()
        except RuntimeError as error:
            refused.append((name, str(error)))
            continue
        if got is not None and not np.array_equal(got, expected):
            wrong.append(name)
        done.append(name)


threads = [threading.Thread(target=hammer, args=(i,)) for i in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
r.reset()
after = bool(np.array_equal(r.process(x, 0.9, True), expected))
print(json.dumps({"done": done, "refused": refused, "wrong": wrong, "after": after}))
"""


def test_one_resampler_hammered_by_threads_serves_one_at_a_time(isolated):
    result = isolated(HAMMER_SCRIPT)
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    assert outcome["wrong"] == [] and outcome["after"]
    assert outcome["done"] and outcome["refused"]
    for name, message in outcome["refused"]:
        member = {"copy": "copying", "clone": "clone()"}.get(name, f"{name}()")
        assert message == (
            f"Resampler: {member} is not allowed while the same object is in use in another thread"
        ), name


BUSY = "CallbackResampler: {} is not allowed while the same object is in use in another thread"


@pytest.mark.parametrize("write", ["set_starting_ratio", "ratio"])
def test_ratio_read_while_another_thread_writes_it(write):
    """A reader sees a ratio that was set, whole, or the busy error; never a torn value. With no
    interpreter lock this is where an unguarded field would race (ThreadSanitizer sees it)."""
    r = quavix.CallbackResampler(lambda: None, 1.0, "linear", 1)
    ratios = (0.5, 2.0, 1.0)
    seen, stop = set(), threading.Event()

    def writer():
        for i in range(20000):
            try:
                if write == "ratio":
                    r.ratio = ratios[i % 3]
                else:
                    r.set_starting_ratio(ratios[i % 3])
            except RuntimeError as error:
                member = "setting ratio" if write == "ratio" else "set_starting_ratio()"
                assert str(error) == BUSY.format(member)
        stop.set()

    def reader():
        while not stop.is_set():
            try:
                seen.add(r.ratio)
            except RuntimeError as error:  # if reads claim the object too
                assert str(error).startswith("CallbackResampler: ")
                assert str(error).endswith(BUSY.format("")[len("CallbackResampler: ") :])

    with ThreadPoolExecutor(2) as pool:
        for done in [pool.submit(reader), pool.submit(writer)]:
            done.result()
    assert seen <= set(ratios)


INTERRUPTED_SCRIPT = """
import sys, time
import numpy as np
import quavix

x = np.random.default_rng(5).uniform(-1, 1, (44100 * 60, 2)).astype(np.float32)
print("converting", flush=True)
try:
    quavix.resample(x, 48000 / 44100, "sinc_best")
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", time.monotonic(), flush=True)
"""


def test_sigint_stops_a_long_resample():
    """The signal comes from this process: a timer thread in the child would wait for the GIL."""
    with subprocess.Popen(
        [sys.executable, "-c", INTERRUPTED_SCRIPT], stdout=subprocess.PIPE, text=True
    ) as child:
        try:
            assert child.stdout.readline().strip() == "converting"
            time.sleep(0.5)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            answer = child.stdout.readline().split()
            assert child.wait(timeout=60) == 0
        finally:
            child.kill()
    assert answer[0] == "interrupted"
    # 0.2 s on a quiet machine; the margin is for a loaded one and the sanitizer build.
    assert float(answer[1]) - sent < 1.0
