"""Threads: conversions on many threads at once give the single-threaded results, one object
used from several threads refuses all but one, and Ctrl-C stops a long conversion."""

import gc
import json
import signal
import subprocess
import sys
import sysconfig
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import quavix

THREADS = 8
SECONDS = 1.0
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


@pytest.fixture(autouse=True)
def gil_as_built():
    """Threads run side by side only with the GIL off, which a free-threaded CPython keeps
    unless a module it loaded turns it back on."""
    assert getattr(sys, "_is_gil_enabled", lambda: True)() is not FREE_THREADED


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


class Collecting:
    """Keeps its resampler on itself, fed by its own method, which runs the garbage collector
    now and then: collections while the other threads read their own objects."""

    def __init__(self, blocks, converter):
        self.queue = list(blocks)
        self.rs = quavix.CallbackResampler(self.next_block, 160 / 147, converter, 2)

    def next_block(self):
        if len(self.queue) % 8 == 0:
            gc.collect()
        return self.queue.pop(0) if self.queue else None


def pull_collecting(blocks, converter):
    rs = Collecting(blocks, converter).rs
    out = []
    while (got := rs.read(512)).shape[0]:
        out.append(got)
    return np.concatenate(out)


@pytest.mark.parametrize(
    "convert", [one_shot, push_all, pull_all, pull_converting, pull_collecting]
)
@pytest.mark.parametrize("converter", ["sinc_fastest", "linear"])
def test_converters_in_threads_give_single_threaded_results(convert, converter):
    inputs = [stream(seed)[1] for seed in range(THREADS)]
    expected = [convert(blocks, converter) for blocks in inputs]

    def work(index):
        np.testing.assert_array_equal(convert(inputs[index], converter), expected[index])

    run_threads(work)


HAMMER_SCRIPT = """
import json, sys, threading, time
import numpy as np
import quavix

x = np.random.default_rng(3).uniform(-1, 1, (8192, 2)).astype(np.float32)
if KIND == "Resampler":
    # Each block ends its stream, so every process starts a new one: its result does not
    # depend on which calls of the other threads came before it.
    def convert(obj):
        return obj.process(x, 0.9, True)

    r = quavix.Resampler("sinc_fastest", 2)
    CALLS = {
        "process": lambda: convert(r),
        "reset": r.reset,
        "set_ratio": lambda: r.set_ratio(0.9),
        "clone": lambda: convert(r.clone()),
        "copy": lambda: convert(quavix.Resampler(r)),
        "converter_type": lambda: r.converter_type,
        "channels": lambda: r.channels,
    }
else:
    local = threading.local()

    def feed():
        # On each thread x, then the end of the input, in turn: a sinc converter drains and
        # starts afresh after it, so every read converts x whole, whatever came before it.
        local.given = not getattr(local, "given", False)
        return x if local.given else None

    def convert(obj):
        return obj.read(20000)

    r = quavix.CallbackResampler(feed, 0.9, "sinc_fastest", 2)
    CALLS = {
        "read": lambda: convert(r),
        "reset": r.reset,
        "set_starting_ratio": lambda: r.set_starting_ratio(0.9),
        "clone": lambda: convert(r.clone()),
        "copy": lambda: convert(quavix.CallbackResampler(r)),
        "__exit__": lambda: r.__exit__(None, None, None),
        "ratio": lambda: r.ratio,
        "ratio=": lambda: setattr(r, "ratio", 0.9),
        "converter_type": lambda: r.converter_type,
        "channels": lambda: r.channels,
    }
CONVERSIONS = {"process", "read", "clone", "copy"}
expected = convert(type(r)(r))
VALUES = {"ratio": 0.9, "converter_type": 2, "channels": 2}
# After __exit__ and until the next read, libsamplerate refuses the closed object's state.
CLOSED = "SRC_STATE pointer is NULL."
exact, refused, closed, wrong = [], [], [], []
deadline = time.monotonic() + 1.5


def hammer(seed):
    names = list(CALLS)
    rng = np.random.default_rng(seed)
    while time.monotonic() < deadline:
        name = names[rng.integers(len(names))]
        try:
            got = CALLS[name]()
        except quavix.ResamplingError as error:
            (closed if str(error) == CLOSED else wrong).append(name)
            continue
        except RuntimeError as error:
            refused.append((name, str(error)))
            continue
        if name in CONVERSIONS:
            right = np.array_equal(got, expected)
        else:
            right = got == VALUES.get(name)
        (exact if right else wrong).append(name)


threads = [threading.Thread(target=hammer, args=(i,)) for i in range(4)]
for t in threads:
    t.start()
for t in threads:
    t.join()
after = bool(np.array_equal(convert(r), expected))
gil = getattr(sys, "_is_gil_enabled", lambda: True)()
outcome = {"exact": exact, "refused": refused, "closed": closed, "wrong": wrong}
print(json.dumps({**outcome, "after": after, "gil": gil}))
"""

BUSY = {
    "Resampler": "the same object is in use in another thread",
    "CallbackResampler": "a read of the same object is in progress (from its callable or from "
    "another thread)",
}
MEMBER_NAMES = {"copy": "copying", "clone": "clone()", "ratio=": "setting ratio"}


@pytest.mark.parametrize("kind", BUSY)
def test_one_object_hammered_by_threads_serves_one_at_a_time(isolated, kind):
    """Four threads call every member of one object at random: each call gives what it gives
    alone, or is refused as busy, or, on a CallbackResampler closed by __exit__, meets
    libsamplerate's refusal of the closed state. With no GIL on a free-threaded build."""
    result = isolated(f"KIND = {kind!r}\n" + HAMMER_SCRIPT)
    assert result.returncode == 0, result.stderr
    outcome = json.loads(result.stdout)
    assert outcome["wrong"] == [] and outcome["after"]
    assert outcome["exact"] and outcome["refused"]
    assert outcome["gil"] is not FREE_THREADED
    if kind == "Resampler":
        assert outcome["closed"] == []
    assert set(outcome["closed"]) <= {"reset", "set_starting_ratio", "clone", "copy"}
    for name, message in outcome["refused"]:
        member = MEMBER_NAMES.get(name, f"{name}()")
        assert message == f"{kind}: {member} is not allowed while {BUSY[kind]}", name


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
            except RuntimeError as error:  # if reads claim the object
                member = "setting ratio" if write == "ratio" else "set_starting_ratio()"
                assert str(error).startswith(f"CallbackResampler: {member} is not allowed while ")
        stop.set()

    def reader():
        while not stop.is_set():
            try:
                seen.add(r.ratio)
            except RuntimeError as error:  # if reads claim the object
                assert str(error).startswith("CallbackResampler: ")
                assert " is not allowed while " in str(error)

    with ThreadPoolExecutor(2) as pool:
        for done in [pool.submit(reader), pool.submit(writer)]:
            done.result()
    assert seen <= set(ratios)


INTERRUPTED_SCRIPT = """
import signal, sys, time
import numpy as np
import quavix

# A shell that starts jobs in the background has them ignore SIGINT, and Python then leaves it
# ignored: Ctrl-C's own handler is put back so that the signal raises KeyboardInterrupt.
signal.signal(signal.SIGINT, signal.default_int_handler)

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
