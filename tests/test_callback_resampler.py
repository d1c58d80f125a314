"""CallbackResampler: pull-model conversion, checked against libsamplerate's own callback mode."""

import gc
import json
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import threading
import time
import weakref
from pathlib import Path

import numpy as np
import pytest

import quavix
import srcref
from quavix import CallbackResampler, ResamplingError

CONVERTERS = srcref.CONVERTERS
BAD_RATIO = srcref.strerror(srcref.BAD_SRC_RATIO)
BAD_CHANNELS = srcref.strerror(srcref.BAD_CHANNEL_COUNT)
NULL_STATE = srcref.strerror(2)
DIMENSIONS = "Input array should have at most 2 dimensions"
CHANNELS = "Invalid number of channels in input data."


class Feed:
    """A callable that hands out its items one per call, then None for ever.

    An item that is an exception is raised instead of returned. `calls` counts the calls.
    """

    def __init__(self, items):
        self.items = list(items)
        self.calls = 0

    def __call__(self):
        self.calls += 1
        if not self.items:
            return None
        item = self.items.pop(0)
        if isinstance(item, BaseException):
            raise item
        return item


def signal(rng, frames, channels):
    """Float32 noise of shape (frames,) for one channel, (frames, channels) otherwise."""
    data = rng.standard_normal((frames, channels)).astype(np.float32)
    return data[:, 0].copy() if channels == 1 else data


def split(data, sizes):
    """Consecutive blocks of `data` with the given frame counts, each a fresh array."""
    edges = np.cumsum([0, *sizes])
    return [data[a:b].copy() for a, b in zip(edges[:-1], edges[1:], strict=True)]


def churn(frames=4096, channels=2, count=64):
    """Allocates and fills many arrays so that freed memory is likely reused with junk."""
    gc.collect()
    return [np.full((frames, channels), 1e30, dtype=np.float32) for _ in range(count)]


def read_all(resampler, size=512, limit=10_000):
    """Reads until a read gives no frames; returns the reads."""
    reads = []
    for _ in range(limit):
        part = resampler.read(size)
        if len(part) == 0:
            return reads
        reads.append(part)
    raise AssertionError("the stream did not end")


def assert_same_frames(got, expected):
    """Same frame count and the same samples, bit for bit, whatever the result's rank."""
    assert got.dtype == np.float32
    assert got.shape[0] == expected.shape[0]
    np.testing.assert_array_equal(got.reshape(expected.shape), expected)


# --- construction, attributes and the Python surface ---------------------------------------


def test_constructor_defaults_and_attributes():
    r = CallbackResampler(lambda: None, 1.5)
    assert (r.ratio, r.converter_type, r.channels) == (1.5, 0, 1)
    assert type(r.converter_type) is int
    linear = CallbackResampler(lambda: None, 2, converter_type="linear", channels=3)
    assert (linear.ratio, linear.converter_type, linear.channels) == (2.0, 4, 3)
    assert CallbackResampler(None, 1.0, quavix.ConverterType.sinc_fastest).converter_type == 2
    for name in ("converter_type", "channels"):
        with pytest.raises(AttributeError):
            setattr(r, name, 1)
    r.ratio = 0.25
    assert r.ratio == 0.25


CLASS_DOC = (
    "\n"
    "    CallbackResampler.\n"
    "\n"
    "    Parameters\n"
    "    ----------\n"
    "    callback : function\n"
    "        Function that returns new frames on each call, or `None` otherwise.\n"
    "        Input data with one or more channels is represented as a 2D array of shape\n"
    "        (`num_frames`, `num_channels`).\n"
    "        A single channel can be provided as a 1D array of `num_frames` length.\n"
    "        For use with `libsamplerate`, `input_data` is converted to 32-bit float and\n"
    "        C (row-major) memory order.\n"
    "    ratio : float\n"
    "        Conversion ratio = output sample rate / input sample rate.\n"
    "    converter_type : ConverterType, str, or int\n"
    "        Sample rate converter.\n"
    "    channels : int\n"
    "        Number of channels.\n"
    "    "
)
READ_DOC = (
    "\n"
    "            Read a number of frames from the resampler.\n"
    "\n"
    "            Parameters\n"
    "            ----------\n"
    "            num_frames : int\n"
    "                Number of frames to read.\n"
    "\n"
    "            Returns\n"
    "            -------\n"
    "            output_data : ndarray\n"
    "                Resampled frames as a (`num_output_frames`, `num_channels`) or\n"
    "                (`num_output_frames`,) array. Note that this may return fewer frames\n"
    "                than requested, for example when no more input is available.\n"
    "           "
)


def own_doc(function):
    """The docstring of a bound function without the signature line the binding adds."""
    _, _, rest = function.__doc__.partition("\n\n")
    assert rest.endswith("\n")
    return rest[:-1]


def test_docstrings():
    cls = CallbackResampler
    assert cls.__doc__ == CLASS_DOC
    assert own_doc(cls.read) == READ_DOC
    assert own_doc(cls.reset) == "Reset state."
    assert own_doc(cls.set_starting_ratio) == (
        "Set the starting conversion ratio for the next `read` call."
    )
    assert own_doc(cls.clone) == "Create a copy of the resampler object."
    assert cls.ratio.__doc__ == "Conversion ratio = output sample rate / input sample rate."
    assert cls.converter_type.__doc__ == "Converter type."
    assert cls.channels.__doc__ == "Number of channels."
    for undocumented in (cls.__enter__, cls.__exit__):
        assert "\n\n" not in undocumented.__doc__


def test_main_constructor_is_registered_before_the_copy_constructor():
    doc = CallbackResampler.__init__.__doc__
    main = doc.index("1. __init__(self: quavix.converters.CallbackResampler, callback:")
    copy = doc.index("2. __init__(self: quavix.converters.CallbackResampler, arg0:")
    assert main < copy


@pytest.mark.parametrize(
    "call",
    [
        lambda r: CallbackResampler(r, 2.0),
        lambda r: CallbackResampler(42, 1.0),
        lambda r: CallbackResampler(lambda: None, "fast"),
        lambda r: CallbackResampler(lambda: None, 1.0, "linear", 2**31),
        lambda r: r.read(2.0),
        lambda r: r.read(-1),
        lambda r: r.set_starting_ratio(ratio=2.0),
        lambda r: r.__exit__(None, None),
    ],
    ids=["copy-extra", "not-callable", "ratio", "channels", "float", "negative", "kw", "exit"],
)
def test_arguments_that_match_no_signature(call):
    r = CallbackResampler(lambda: None, 1.0)
    with pytest.raises(TypeError):
        call(r)


@pytest.mark.parametrize(
    "converter, channels",
    [("sinc_best", 0), ("linear", -1), ("zero_order_hold", -(2**31)), ("sinc_fastest", 200)],
)
def test_refused_channel_counts(converter, channels):
    with pytest.raises(ResamplingError, match=f"^{re.escape(BAD_CHANNELS)}$"):
        CallbackResampler(lambda: None, 1.0, converter, channels)


def test_refused_converters():
    with pytest.raises(ResamplingError, match=re.escape(srcref.strerror(10))):
        CallbackResampler(lambda: None, 1.0, 7)
    with pytest.raises(ValueError, match="^Unsupported converter type$"):
        CallbackResampler(lambda: None, 1.0, "fastest")


# --- agreement with libsamplerate ----------------------------------------------------------

# Frame counts of the blocks the callable returns and of the reads with their ratios. No
# block of a single frame: libsamplerate's linear converter mishandles those.
BLOCK_SIZES = [37, 256, 5, 120, 64, 300, 2, 77, 150, 90, 410, 33]
READS = [(100, 1.37), (3, 1.37), (333, 1.37), (0, 1.37), (64, 0.62), (250, 0.62), (1000, 2.5)]
READS += [(17, 2.5), (600, 0.9), (4000, 0.9)]


def as_kind(block, index):
    """The block in one of the forms a callable may return, cycling through them."""
    kind = index % 4
    if kind == 1:
        return block.astype(np.float64)
    if kind == 2:
        return block.tolist()
    if kind == 3 and block.ndim == 2:
        return np.asfortranarray(block)
    return block


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("converter", CONVERTERS)
def test_reads_agree_with_libsamplerate(rng, converter, channels):
    blocks = split(signal(rng, sum(BLOCK_SIZES), channels), BLOCK_SIZES)
    reference = srcref.CallbackState(CONVERTERS.index(converter), channels, blocks)
    # Converted blocks are new arrays, kept alive only by the resampler itself.
    feed = Feed(as_kind(block, i) for i, block in enumerate(blocks))
    r = CallbackResampler(feed, 1.0, converter, channels)
    for frames, ratio in READS:
        r.ratio = ratio
        got = r.read(frames)
        junk = churn()
        assert got.ndim == (1 if channels == 1 else 2)
        assert_same_frames(got, reference.read(frames, ratio))
        del junk


@pytest.mark.parametrize("converter", ["sinc_fastest", "linear"])
def test_set_starting_ratio_agrees_with_libsamplerate(rng, converter):
    blocks = split(signal(rng, 3000, 2), [700, 800, 1500])
    reference = srcref.CallbackState(CONVERTERS.index(converter), 2, blocks)
    r = CallbackResampler(Feed(blocks), 1.0, converter, 2)
    assert_same_frames(r.read(300), reference.read(300, 1.0))
    r.set_starting_ratio(2)
    assert r.ratio == 2.0
    assert srcref.lib.src_set_ratio(reference.handle, 2.0) == 0
    assert_same_frames(r.read(900), reference.read(900, 2.0))
    # Without a new starting ratio libsamplerate glides from the last ratio to the new one.
    r.ratio = 0.5
    assert_same_frames(r.read(700), reference.read(700, 0.5))


@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("converter", CONVERTERS)
@pytest.mark.parametrize(
    "ratio, sizes",
    # Long signals at the lowest ratios, where a sinc converter's tail is whole only when the
    # end of input comes apart from the data.
    [(1.37, [97] * 10 + [30]), (1 / 256, [4096] * 24 + [1234]), (1 / 220, [4096] * 20 + [3000])],
    ids=["1.37", "1/256", "1/220"],
)
def test_three_roads_agree_at_a_constant_ratio(rng, converter, channels, ratio, sizes):
    data = signal(rng, sum(sizes), channels)
    one_shot = quavix.resample(data, ratio, converter)
    reads = read_all(CallbackResampler(Feed(split(data, sizes)), ratio, converter, channels))
    pulled = np.concatenate(reads)
    # Pulling goes on until libsamplerate has nothing left, which may be a frame more than
    # the one-shot capacity; where both have frames, they are the same.
    assert len(one_shot) <= len(pulled) <= len(one_shot) + 1
    assert_same_frames(pulled[: len(one_shot)], one_shot)
    if not hasattr(quavix, "Resampler"):
        return
    pusher = quavix.Resampler(converter, channels)
    blocks = split(data, sizes)
    pushed = np.concatenate(
        [pusher.process(b, ratio, end_of_input=i == len(blocks) - 1) for i, b in enumerate(blocks)]
    )
    common = min(len(pushed), len(one_shot))
    assert common >= len(one_shot) - 1
    assert_same_frames(pushed[:common], one_shot[:common])


# --- shapes and views ----------------------------------------------------------------------


def test_mono_one_dimensional_input_gives_one_dimensional_views(rng):
    r = CallbackResampler(Feed([signal(rng, 50, 1)]), 1.0, "linear")
    full = r.read(30)
    assert full.shape == (30,) and full.flags.owndata and full.base is None
    short = r.read(100)
    assert short.shape == (20,)
    assert short.base.shape == (100,) and short.base.ndim == 1
    assert short.flags.c_contiguous and short.flags.writeable and not short.flags.owndata
    assert r.read(0).shape == (0,)


def test_column_input_gives_columns_and_short_views(rng):
    r = CallbackResampler(Feed([signal(rng, 40, 2)[:, :1]]), 1.0, "linear")
    assert r.read(25).shape == (25, 1)
    short = r.read(50)
    assert short.shape == (15, 1) and short.base.shape == (50, 1)
    assert r.read(0).shape == (0, 1)


@pytest.mark.parametrize(
    "first, shape",
    [
        (None, (0, 1)),
        (3.0, (0, 1)),
        (np.float32(2.0), (0, 1)),
        (np.array(1.0, dtype=np.float32), (0, 1)),
        (np.zeros(0, dtype=np.float32), (0,)),
        (np.zeros((0, 1), dtype=np.float32), (0, 1)),
    ],
    ids=["none", "float", "numpy-scalar", "zero-dim", "empty", "empty-column"],
)
def test_values_that_end_the_input(first, shape):
    feed = Feed([first])
    r = CallbackResampler(feed, 1.0, "linear")
    assert r.read(10).shape == shape
    assert feed.calls >= 1


APART_PROLOGUE = """
import numpy as np
from quavix import CallbackResampler

path = {path!r}
with np.load(path) as saved:
    given = dict(saved)
"""


def run_apart(isolated, tmp_path, body, **given):
    """Runs `body` in a fresh interpreter and returns the arrays it leaves in `reads`.

    `given` holds the arrays handed over. libsamplerate's sinc converters loop for ever, with
    the interpreter lock held, when handed input after its end; the roads where only the
    module prevents that run apart, so that a fault fails the test instead of hanging it.
    """
    path = tmp_path / "apart.npz"
    np.savez(path, **given)
    code = APART_PROLOGUE.format(path=str(path)) + body + "\nnp.savez(path, *reads)\n"
    result = isolated(code, timeout=60)
    assert result.returncode == 0, result.stderr
    with np.load(path) as got:
        return [got[f"arr_{i}"] for i in range(len(got.files))]


STREAM_BODY = """
channels = int(given["channels"])
items = []
for s in range(int(given["count"])):
    items += [given[f"{s}-{b}"] for b in range(int(given[f"{s}-n"]))]
    items.append(None if s % 2 else np.zeros((0, channels), np.float32))
supply = lambda: items.pop(0) if items else None
r = CallbackResampler(supply, 0.9, str(given["converter"]), channels)
reads = [r.read(int(n)) for n in given["reads"]]
"""

END_READS = [700, 1500, 64, 900, 2000, 2000, 333, 5000, 800, 1200, 1200, 4000, 4000]


@pytest.mark.parametrize("converter", CONVERTERS)
def test_stream_goes_on_after_the_input_ended(rng, isolated, tmp_path, converter):
    """New input after an end: sinc converters drain, then start afresh; the others go on."""
    channels = 2
    sizes = [[600, 900], [1200, 300, 700], [2500]]
    segments = [split(signal(rng, sum(s), channels), s) for s in sizes]
    named = {f"{s}-{b}": block for s, seg in enumerate(segments) for b, block in enumerate(seg)}
    counts = {f"{s}-n": len(seg) for s, seg in enumerate(segments)}
    reads = run_apart(
        isolated,
        tmp_path,
        STREAM_BODY,
        converter=converter,
        channels=channels,
        count=len(segments),
        reads=END_READS,
        **named,
        **counts,
    )
    number = CONVERTERS.index(converter)
    if converter.startswith("sinc"):
        # Each segment is a stream of its own; a short read ends it.
        expected, index = [], 0
        reference = srcref.CallbackState(number, channels, segments[0])
        for n in END_READS:
            expected.append(reference.read(n, 0.9))
            if len(expected[-1]) < n and index + 1 < len(segments):
                index += 1
                reference = srcref.CallbackState(number, channels, segments[index])
    else:
        empty = np.zeros((0, channels), np.float32)
        blocks = [b for seg in segments for b in [*seg, empty]]
        reference = srcref.CallbackState(number, channels, blocks)
        expected = [reference.read(n, 0.9) for n in END_READS]
    assert sum(len(e) < n for e, n in zip(expected, END_READS, strict=True)) >= 2
    for got_read, want in zip(reads, expected, strict=True):
        assert_same_frames(got_read, want)


def test_read_zero_does_not_call_the_callable():
    feed = Feed([np.ones(10, dtype=np.float32)])
    r = CallbackResampler(feed, 1.0, "linear", 2)
    assert r.read(0).shape == (0, 2)
    assert feed.calls == 0
    assert CallbackResampler(None, 1.0).read(0).shape == (0, 1)


def test_read_only_input_is_accepted(rng):
    data = signal(rng, 64, 1)
    frozen = np.frombuffer(data.tobytes(), dtype=np.float32)
    assert not frozen.flags.writeable
    r = CallbackResampler(Feed([frozen]), 1.0, "zero_order_hold")
    reference = srcref.CallbackState(3, 1, [data])
    assert_same_frames(r.read(64), reference.read(64, 1.0))


# --- failures ------------------------------------------------------------------------------


class Custom(Exception):
    pass


class Unconvertible:
    """A value whose conversion to an array raises a given exception."""

    def __init__(self, error):
        self.error = error

    def __array__(self, dtype=None, copy=None):
        raise self.error


@pytest.mark.parametrize("wrap", [lambda e: e, Unconvertible], ids=["raised", "conversion"])
def test_the_same_exception_object_reaches_the_caller(rng, wrap):
    error = Custom("from the callable")
    good = signal(rng, 600, 1)
    feed = Feed([good[:300], wrap(error), good[300:]])
    r = CallbackResampler(feed, 1.0, "zero_order_hold")
    with pytest.raises(Custom) as info:
        r.read(1000)
    assert info.value is error
    # Once the callable failed, libsamplerate was not allowed to ask it again.
    assert feed.calls == 2
    # The failed read started the converter afresh: the next read continues with new input.
    fresh = srcref.CallbackState(3, 1, [good[300:]])
    assert_same_frames(r.read(400), fresh.read(400, 1.0))


def test_numpy_conversion_error_passes_through():
    r = CallbackResampler(Feed([[[1.0], [1.0, 2.0]]]), 1.0, "linear")
    with pytest.raises(ValueError, match="inhomogeneous|sequence"):
        r.read(5)


@pytest.mark.parametrize(
    "channels, bad, message",
    [
        (1, np.zeros((4, 2, 1), dtype=np.float32), DIMENSIONS),
        (2, np.zeros((4, 2, 1), dtype=np.float32), DIMENSIONS),
        (2, np.zeros(8, dtype=np.float32), CHANNELS),
        (2, np.zeros((8, 3), dtype=np.float32), CHANNELS),
        (2, np.zeros((8, 0), dtype=np.float32), CHANNELS),
        (1, np.zeros((8, 0), dtype=np.float32), CHANNELS),
    ],
)
def test_check_messages(channels, bad, message):
    r = CallbackResampler(Feed([bad]), 1.0, "linear", channels)
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        r.read(5)


def test_first_array_of_three_dimensions_fixes_two_dimensional_results(rng):
    data = signal(rng, 20, 1)
    r = CallbackResampler(Feed([np.zeros((2, 2, 2), dtype=np.float32), data]), 1.0, "linear")
    with pytest.raises(ValueError, match=DIMENSIONS):
        r.read(5)
    got = r.read(40)
    assert got.shape == (20, 1)


REFUSED_BODY = """
blocks = [given["first"], np.zeros(5, np.float32), given["later"]]
r = CallbackResampler(lambda: blocks.pop(0) if blocks else None, 0.8, str(given["converter"]), 2)
r.read(300)
try:
    r.read(5000)
except ValueError as error:
    assert str(error) == "Invalid number of channels in input data.", error
else:
    raise AssertionError("the refused array was accepted")
junk = [np.full((4096, 2), 1e30, np.float32) for _ in range(64)]
reads = [r.read(3000)]
"""


@pytest.mark.parametrize("converter", CONVERTERS)
def test_failed_check_never_lets_released_input_be_read(rng, isolated, tmp_path, converter):
    """A refused array replaces the held one while libsamplerate may still point into it."""
    data = signal(rng, 20_000, 2)
    first, later = data[:2000], data[2000:]
    (got,) = run_apart(
        isolated, tmp_path, REFUSED_BODY, converter=converter, first=first, later=later
    )
    fresh = srcref.CallbackState(CONVERTERS.index(converter), 2, [later])
    assert_same_frames(got, fresh.read(3000, 0.8))


def test_no_callable_is_a_runtime_error_every_time():
    r = CallbackResampler(None, 1.0)
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            r.read(10)
        assert type(info.value) is RuntimeError


@pytest.mark.parametrize("bad", [1e9, 0.0, -1.0, float("nan"), float("inf"), 1 / 512])
def test_read_refuses_bad_ratios_without_calling_the_callable(rng, bad):
    data = signal(rng, 100, 1)
    feed = Feed([data])
    r = CallbackResampler(feed, bad, "zero_order_hold")
    with pytest.raises(ResamplingError, match=f"^{re.escape(BAD_RATIO)}$"):
        r.read(10)
    assert feed.calls == 0
    r.ratio = 1.0
    assert_same_frames(r.read(100), srcref.CallbackState(3, 1, [data]).read(100, 1.0))


@pytest.mark.parametrize("bad", [float("nan"), 300.0, 0.0, float("-inf")])
def test_set_starting_ratio_refuses_bad_ratios(bad):
    r = CallbackResampler(lambda: None, 1.25)
    with pytest.raises(ResamplingError, match=f"^{re.escape(BAD_RATIO)}$"):
        r.set_starting_ratio(bad)
    assert r.ratio == 1.25


# --- context manager and the closed state --------------------------------------------------


def test_exit_closes_and_read_reopens_afresh(rng):
    data = signal(rng, 6000, 1)
    feed = Feed(split(data, [2000, 4000]))
    with CallbackResampler(feed, 1.1, "sinc_fastest") as r:
        assert isinstance(r, CallbackResampler)
        before = r.read(500)
    assert before.ndim == 1
    r.__exit__(None, None, None)
    for closed in (r.reset, lambda: r.set_starting_ratio(2.0), r.clone):
        with pytest.raises(ResamplingError, match=f"^{re.escape(NULL_STATE)}$"):
            closed()
    with pytest.raises(ResamplingError, match=re.escape(NULL_STATE)):
        CallbackResampler(r)
    assert r.ratio == 1.1
    # A new converter with no history and no pending input; the rank marker stays.
    fresh = srcref.CallbackState(2, 1, [data[2000:]])
    got = r.read(3000)
    assert got.ndim == 1
    assert_same_frames(got, fresh.read(3000, 1.1))
    r.reset()


def test_enter_returns_the_object_and_exceptions_propagate():
    r = CallbackResampler(None, 2.0)
    with pytest.raises(Custom):
        with r as same:
            assert same is r
            raise Custom()


# --- copies --------------------------------------------------------------------------------


class Switch:
    """One callable shared by a source and its copy, answering from the queue named `active`."""

    def __init__(self, **queues):
        self.queues = {name: list(items) for name, items in queues.items()}
        self.active = None

    def __call__(self):
        queue = self.queues[self.active]
        return queue.pop(0) if queue else None


# First blocks larger than what each converter takes in on its first read, so that input is
# still pending in libsamplerate when the copy is made.
HEADS = {
    "sinc_best": 120_000,
    "sinc_medium": 40_000,
    "sinc_fastest": 16_000,
    "zero_order_hold": 4000,
    "linear": 4000,
}


@pytest.mark.parametrize(
    "copy", [CallbackResampler.clone, CallbackResampler], ids=["clone", "copy"]
)
@pytest.mark.parametrize("converter", CONVERTERS)
def test_copy_with_pending_input_serves_itself_and_outlives_the_source(rng, converter, copy):
    head = HEADS[converter]
    sizes = [head, 3000, 2500, head]
    data = signal(rng, sum(sizes), 1)
    ratio = 0.9
    first, together, alone = 500, [700, head], [head, 6000]
    twin = CallbackResampler(Feed(split(data, sizes)), ratio, converter)
    expected = [twin.read(n) for n in [first, *together, *alone]]
    switch = Switch(source=split(data, sizes), copy=split(data, sizes)[1:])
    source = CallbackResampler(switch, ratio, converter)
    switch.active = "source"
    assert_same_frames(source.read(first), expected[0])
    other = copy(source)
    assert other is not source and other.ratio == ratio
    # Interleaved: each object is served by itself, from its own queue.
    for n, want in zip(together, expected[1:], strict=False):
        switch.active = "copy"
        assert_same_frames(other.read(n), want)
        switch.active = "source"
        assert_same_frames(source.read(n), want)
    # The copy's own rank marker: it has pulled one-dimensional arrays itself.
    assert other.read(0).shape == (0,)
    # The source goes; its memory is reused; the copy goes on alone.
    del source
    junk = churn(frames=head, channels=1, count=4)
    switch.active = "copy"
    for n, want in zip(alone, expected[1 + len(together) :], strict=True):
        assert_same_frames(other.read(n), want)
    del junk


@pytest.mark.parametrize("converter", ["zero_order_hold", "linear", "sinc_medium"])
def test_copy_read_only_after_the_source_is_gone(rng, converter):
    """The copy's first reads come from the source's pending input alone."""
    sizes = [131_072, 3000]
    data = signal(rng, sum(sizes), 2)
    reads = (400, 40_000, 3000)
    twin = CallbackResampler(Feed(split(data, sizes)), 1.2, converter, 2)
    expected = [twin.read(n) for n in reads]
    source = CallbackResampler(Feed(split(data, sizes)), 1.2, converter, 2)
    source.read(reads[0])
    other = CallbackResampler(source)
    del source
    junk = churn(frames=sizes[0], channels=2, count=4)
    for n, want in zip(reads[1:], expected[1:], strict=True):
        assert_same_frames(other.read(n), want)
    del junk


CLONE_BODY = """
sequence = [None if len(item) == 0 else item for item in given_items]
queues = {"source": list(sequence)}
def serve(who):
    return lambda: queues[who].pop(0) if queues[who] else None
active = ["source"]
source = CallbackResampler(lambda: serve(active[0])(), ratio, converter)
twin = CallbackResampler(serve("twin"), ratio, converter)
queues["twin"] = list(sequence)
head = [source.read(n) for n in head_reads]
queues["copy"] = list(queues["source"])
copy = source.clone()
# The source reads on first, so that anything the copy still shares with it is overwritten.
on = [source.read(n) for n in on_reads]
active[0] = "copy"
reads = [twin.read(n) for n in head_reads] + [twin.read(n) for n in copy_reads]
reads += head + [copy.read(n) for n in copy_reads]
"""

CLONE_CASES = {
    # A sinc converter draining after its callable gave None, with a second signal queued.
    "drain": ("sinc_fastest", 0.9, [2000, None, 3000], [1000, 790], [400], [5000, 800]),
    # The linear converter holding a one-frame array that it has not used up.
    "one-frame": ("linear", 4.0, [1] * 12, [5], [20], [3, 8]),
}


@pytest.mark.parametrize("case", CLONE_CASES)
def test_clone_gives_what_an_uncloned_twin_gives(rng, isolated, tmp_path, case):
    converter, ratio, sizes, head_reads, on_reads, copy_reads = CLONE_CASES[case]
    items = [np.zeros(0, np.float32) if n is None else signal(rng, n, 1) for n in sizes]
    if case == "one-frame":
        items = [np.array([k + 1.0], np.float32) for k in range(len(sizes))]
    body = f"converter, ratio = {converter!r}, {ratio}\n" + (
        f"head_reads, on_reads, copy_reads = {head_reads}, {on_reads}, {copy_reads}\n"
        f"given_items = [given[f'i{{k}}'] for k in range({len(items)})]\n" + CLONE_BODY
    )
    reads = run_apart(isolated, tmp_path, body, **{f"i{k}": item for k, item in enumerate(items)})
    count = len(head_reads) + len(copy_reads)
    for got, want in zip(reads[count:], reads[:count], strict=True):
        assert_same_frames(got, want)


def test_chain_of_two(rng):
    data = signal(rng, 5000, 1)
    blocks = split(data, [400] * 12 + [200])
    inner = CallbackResampler(Feed(blocks), 0.8, "sinc_fastest")
    outer = CallbackResampler(lambda: inner.read(300), 1.25, "sinc_medium")
    # The reference: the inner stream's reads, then the outer conversion of them.
    inner_ref = srcref.CallbackState(2, 1, blocks)
    middle = []
    while len(part := inner_ref.read(300, 0.8)) > 0:
        middle.append(part)
    outer_ref = srcref.CallbackState(1, 1, middle)
    for n in (1000, 1500, 3000, 3000):
        assert_same_frames(outer.read(n), outer_ref.read(n, 1.25))


def test_reads_on_two_threads_are_served_apart(rng):
    """Callables that let other threads run while two objects read at the same time."""
    converters = ("sinc_fastest", "linear")
    streams = [split(signal(rng, 8000, 2), [500] * 16) for _ in converters]
    results = {}

    def work(index):
        queue = list(streams[index])

        def slow():
            time.sleep(0.001)
            return queue.pop(0) if queue else None

        r = CallbackResampler(slow, 1.1, converters[index], 2)
        results[index] = [r.read(1000) for _ in range(8)]

    workers = [threading.Thread(target=work, args=(i,)) for i in range(2)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    for index, converter in enumerate(converters):
        reference = srcref.CallbackState(CONVERTERS.index(converter), 2, streams[index])
        for got in results[index]:
            assert_same_frames(got, reference.read(1000, 1.1))


MISUSE_SCRIPT = """
import json, threading
import numpy as np
import quavix

MEMBERS = {
    "read": lambda r: r.read(4),
    "reset": lambda r: r.reset(),
    "set_starting_ratio": lambda r: r.set_starting_ratio(2.0),
    "clone": lambda r: r.clone(),
    "copy": lambda r: quavix.CallbackResampler(r),
    "__exit__": lambda r: r.__exit__(None, None, None),
    "ratio": lambda r: setattr(r, "ratio", 2.0),
}
data = np.arange(3000, dtype=np.float32) / 3000


def blocks():
    return [data[i:i + 500].copy() for i in range(0, 3000, 500)]


def run(member, how):
    queue = blocks()
    caught = []

    def misuse():
        try:
            MEMBERS[member](r)
        except RuntimeError as error:
            caught.append((type(error).__name__, str(error)))

    def callable_():
        if how == "inside":
            misuse()
        elif how == "thread":
            worker = threading.Thread(target=misuse)
            worker.start()
            worker.join()
        block = queue.pop(0) if queue else None
        if how == "uncaught" and len(queue) == 3:
            MEMBERS[member](r)
        return block

    r = quavix.CallbackResampler(callable_, 1.1, "sinc_fastest")
    twin_queue = blocks()
    twin = quavix.CallbackResampler(lambda: twin_queue.pop(0) if twin_queue else None,
                                    1.1, "sinc_fastest")
    try:
        got = r.read(2000)
        same = bool(np.array_equal(got, twin.read(2000)))
    except RuntimeError as error:
        caught.append((type(error).__name__, str(error)))
        same = None
    # Whatever happened, the object works afterwards.
    after = len(r.read(500))
    return {"caught": caught, "same": same, "after": after}


results = {f"{m}/{h}": run(m, h) for m in MEMBERS for h in ("inside", "thread", "uncaught")}
print(json.dumps(results))
"""


def test_use_during_own_read_is_refused(isolated):
    result = isolated(MISUSE_SCRIPT)
    assert result.returncode == 0, result.stderr
    results = json.loads(result.stdout)
    for key, outcome in results.items():
        member, how = key.split("/")
        assert outcome["caught"], key
        for kind, message in outcome["caught"]:
            assert kind == "RuntimeError", key
            assert "while a read of the same object is in progress" in message, key
        assert outcome["after"] > 0, key
        if how == "uncaught":
            assert outcome["same"] is None, key
            assert len(outcome["caught"]) == 1, key
        else:
            # Refused calls changed nothing: the read gives what an undisturbed twin gives.
            assert outcome["same"] is True, key


# --- memory --------------------------------------------------------------------------------


# --- the garbage collector ------------------------------------------------------------------


class Holder:
    """Keeps its resamplers on itself; each is fed by the holder's own method or a closure."""

    def __init__(self, blocks):
        self.blocks = list(blocks)
        self.resamplers = []

    def next_block(self):
        return self.blocks.pop(0) if self.blocks else None


def bound_method_cycle(holder, converter):
    holder.resamplers.append(CallbackResampler(holder.next_block, 1.1, converter, 2))


def closure_cycle(holder, converter):
    def feed():
        return holder.next_block() if holder.resamplers else None

    holder.resamplers.append(CallbackResampler(feed, 1.1, converter, 2))


def clone_beside_its_source(holder, converter):
    bound_method_cycle(holder, converter)
    holder.resamplers.append(holder.resamplers[0].clone())


def clone_without_its_source(holder, converter):
    """The clone alone holds the shared callable once its source is gone."""
    source = CallbackResampler(holder.next_block, 1.1, converter, 2)
    source.read(300)
    holder.resamplers.append(CallbackResampler(source))


CYCLES = [bound_method_cycle, closure_cycle, clone_beside_its_source, clone_without_its_source]


@pytest.mark.parametrize("read", [False, True], ids=["unread", "read"])
@pytest.mark.parametrize("converter", ["sinc_fastest", "linear"])
@pytest.mark.parametrize("cycle", CYCLES)
def test_a_cycle_through_a_resampler_is_freed(rng, cycle, converter, read):
    blocks = split(signal(rng, 6000, 2), [2000] * 3)
    first = weakref.ref(blocks[0])
    holder = Holder(blocks)
    del blocks
    cycle(holder, converter)
    if read:
        # A comprehension, so that no name outside the cycle is left holding a resampler.
        [r.read(700) for r in holder.resamplers]
    gone = [weakref.ref(holder), first, *map(weakref.ref, holder.resamplers)]
    del holder
    # gc.collect() returns at once while another thread's collection runs (pytest-run-parallel).
    for _ in range(100):
        gc.collect()
        if all(ref() is None for ref in gone):
            break
        time.sleep(0.01)
    assert [ref() for ref in gone] == [None] * len(gone)


CLEAR_BODY = """
import ctypes, gc
# The type's tp_clear, called as the collector calls it on a cycle it frees.
get_slot = ctypes.pythonapi.PyType_GetSlot
get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(CallbackResampler, 51))
blocks = [given["data"][k : k + 1000] for k in range(0, len(given["data"]), 1000)]
inside = str(given["inside"])
def feed():
    if inside == "collect":
        gc.collect()
    else:
        assert clear(r) == 0
    return blocks.pop(0) if blocks else None
r = CallbackResampler(feed, 0.9, str(given["converter"]), 2)
reads = [r.read(n) for n in (500, 2500, 4000)]
assert len(blocks) == 0
# An object cleared while idle, as the collector may leave one that a finalizer still reaches.
r.read(100)
assert clear(r) == 0
refused = []
for use in (lambda: r.read(10), r.reset, lambda: r.set_starting_ratio(1.0), r.clone,
            lambda: CallbackResampler(r)):
    try:
        use()
    except RuntimeError as error:
        refused.append(type(error) is RuntimeError and "cleared" in str(error))
assert refused == [True] * 5, refused
assert r.ratio == 0.9 and r.channels == 2
del r
gc.collect()
"""


@pytest.mark.parametrize("inside", ["collect", "clear"])
@pytest.mark.parametrize("converter", CONVERTERS)
def test_a_read_survives_collections_from_its_callable(rng, isolated, tmp_path, converter, inside):
    """A reachable resampler is never cleared, not even by a clear forced during its read;
    cleared while idle, it refuses every use with a RuntimeError."""
    data = signal(rng, 6000, 2)
    reads = run_apart(isolated, tmp_path, CLEAR_BODY, data=data, converter=converter, inside=inside)
    fresh = srcref.CallbackState(CONVERTERS.index(converter), 2, split(data, [1000] * 6))
    for got, n in zip(reads, (500, 2500, 4000), strict=True):
        assert_same_frames(got, fresh.read(n, 0.9))


class Flaky:
    """Returns its block on even calls and raises on odd ones."""

    def __init__(self, block):
        self.block = block
        self.calls = 0

    def __call__(self):
        self.calls += 1
        if self.calls % 2:
            raise Custom()
        return self.block


def test_references_return_to_where_they_started(rng):
    block = signal(rng, 300, 1)
    supply = Flaky(block)
    callable_before, block_before = sys.getrefcount(supply), sys.getrefcount(block)
    alive = []
    for _ in range(40):
        r = CallbackResampler(supply, 1.1, "linear")
        try:
            r.read(100)
        except Custom:
            pass
        r.read(100)
        c = r.clone()
        d = CallbackResampler(c)
        with d:
            pass
        alive += [r, c, d]
    del r, c, d
    assert sys.getrefcount(supply) == callable_before + len(alive)
    del alive
    gc.collect()
    assert sys.getrefcount(supply) == callable_before
    assert sys.getrefcount(block) == block_before


VALGRIND_SCRIPT = Path(__file__).with_name("valgrind_scenarios.py")
# What memcheck reports of the interpreter and the dynamic loader alone, on any program.
VALGRIND_SUPPRESSIONS = Path(__file__).with_name("valgrind.supp")


def valgrind_figures(log):
    """Error count, and definitely lost bytes in total and in records through our code."""
    errors = int(re.search(r"ERROR SUMMARY: ([\d,]+) errors", log).group(1).replace(",", ""))
    lost_total = 0
    lost_ours = 0
    lost = re.compile(
        r"== ([\d,]+)(?: \([\d,]+ direct, [\d,]+ indirect\))? bytes in [\d,]+ blocks"
        r" are definitely lost"
    )
    for record in re.split(r"\n==\d+== \n", log):
        found = lost.search(record)
        if not found:
            continue
        size = int(found.group(1).replace(",", ""))
        lost_total += size
        ours = "quavix.cpython" in record or "libsamplerate" in record
        # Names the interpreter interns while the module body runs live until the process ends.
        if ours and "PyModule_ExecDef" not in record:
            lost_ours += size
    return errors, lost_total, lost_ours


# The system allocator, so that memcheck sees every Python object. A free-threaded CPython runs
# on mimalloc alone; memcheck then still sees NumPy's array data and every native allocation.
PYTHON_ALLOCATOR = "mimalloc" if sysconfig.get_config_var("Py_GIL_DISABLED") else "malloc"


@pytest.mark.slow
@pytest.mark.timeout(600)  # the whole workout under memcheck, itself limited to 300 s
@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@pytest.mark.skipif(
    bool(os.environ.get("QUAVIX_SANITIZED")), reason="valgrind cannot run a sanitizer build"
)
def test_valgrind_memcheck():
    result = subprocess.run(
        [
            "valgrind",
            "--tool=memcheck",
            "--error-exitcode=99",
            "--errors-for-leak-kinds=none",
            "--leak-check=full",
            "--show-leak-kinds=definite",
            "--num-callers=40",
            f"--suppressions={VALGRIND_SUPPRESSIONS}",
            sys.executable,
            str(VALGRIND_SCRIPT),
        ],
        capture_output=True,
        text=True,
        timeout=300,
        env={**os.environ, "PYTHONMALLOC": PYTHON_ALLOCATOR},
    )
    log = result.stderr
    if "failed to start tool 'memcheck' for platform" in log:
        # This valgrind has no tool for the interpreter's architecture: an aarch64 one run
        # under qemu-user finds the machine's own valgrind.
        pytest.skip(log.strip())
    assert "all scenarios passed" in result.stdout, log[-5000:]
    errors, lost_total, lost_ours = valgrind_figures(log)
    print(
        f"valgrind: {errors} errors, {lost_total} bytes definitely lost, {lost_ours} through quavix"
    )
    assert errors == 0 and result.returncode == 0, log[-20000:]
    assert "Invalid read" not in log and "Invalid write" not in log
    assert lost_ours == 0, log[-20000:]

    assert errors == 0 and result.returncode == 0, log[-20000:]
    assert "Invalid read" not in log and "Invalid write" not in log
    assert lost_ours == 0, log[-20000:]


@pytest.mark.parametrize("ratio", [0.5, 1.0, 1.7, 3.0])
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("kind", ["constant", "ramp", "noise"])
def test_linear_one_frame_arrays_match_larger_arrays(ratio, channels, kind):
    rng = np.random.default_rng(3)
    x = {
        "constant": np.full((60, channels), 0.75, dtype=np.float32),
        "ramp": np.repeat(np.linspace(-1, 1, 60, dtype=np.float32)[:, None], channels, 1),
        "noise": rng.uniform(-1, 1, (60, channels)).astype(np.float32),
    }[kind]

    def supply(size):
        starts = iter(range(0, 60, size))

        def next_block():
            start = next(starts, None)
            if start is None:
                return None
            backing = np.full((size + 1, channels), 1e6, dtype=np.float32)
            backing[1:] = x[start : start + size]
            return backing[1:]  # foreign memory just before the block

        return next_block

    by_one = quavix.CallbackResampler(supply(1), ratio, "linear", channels).read(400)
    by_six = quavix.CallbackResampler(supply(6), ratio, "linear", channels).read(400)
    np.testing.assert_array_equal(by_one, by_six)
