"""The streaming Resampler, checked block for block against libsamplerate driven through ctypes.

libsamplerate's linear converter reads the frame before a lone input frame at the start of a
buffer; the module hands such a frame over with its predecessor, which the ctypes reference
cannot do for a caller's block, so reference comparisons keep `linear` blocks above one frame.
One-frame blocks are checked against larger blocks instead.
"""

import math

import numpy as np
import pytest

import quavix
import srcref
from quavix import ConverterType, Resampler, ResamplingError

CONVERTERS = srcref.CONVERTERS
SINC = CONVERTERS[:3]
BAD_RATIO_TEXT = srcref.strerror(srcref.BAD_SRC_RATIO)
BAD_CHANNELS_TEXT = srcref.strerror(srcref.BAD_CHANNEL_COUNT)
CHANNEL_TEXT = "Invalid number of channels in input data."
DIMENSION_TEXT = "Input array should have at most 2 dimensions"


def signal(rng, frames, channels):
    return rng.standard_normal((frames, channels)).astype(np.float32)


def split(rng, frames, converter, largest=300):
    """Random block sizes adding up to `frames`, with an empty block now and then."""
    smallest = 2 if converter == "linear" else 1
    sizes, left = [], frames
    while left:
        n = 0 if rng.random() < 0.05 else min(int(rng.integers(smallest, largest)), left)
        if 0 < left - n < smallest:
            n = left
        sizes.append(n)
        left -= n
    return sizes


def blocks(x, sizes):
    starts = np.cumsum([0] + sizes[:-1])
    return [x[s : s + n] for s, n in zip(starts, sizes, strict=True)]


def push(resampler, pieces, ratios):
    """Every block through `process`, end of input on the last one."""
    last = len(pieces) - 1
    return [
        resampler.process(b, r, i == last)
        for i, (b, r) in enumerate(zip(pieces, ratios, strict=True))
    ]


def as_frames(out, channels):
    return out.reshape(out.shape[0], channels)


def stream_of(rng, converter, channels, frames=2500, one_dim=False):
    x = signal(rng, frames, channels)
    if one_dim:
        x = np.ascontiguousarray(x[:, 0])
    return blocks(x, split(rng, frames, converter))


# --- construction, properties, registration -------------------------------------------------


def test_defaults():
    r = Resampler()
    assert (r.converter_type, r.channels) == (0, 1)
    assert type(r.converter_type) is int and type(r.channels) is int


@pytest.mark.parametrize(
    "args, kwargs",
    [
        (("linear", 2), {}),
        ((), {"converter_type": ConverterType.linear, "channels": 2}),
        ((4,), {"channels": 2}),
    ],
)
def test_converter_forms(args, kwargs):
    r = Resampler(*args, **kwargs)
    assert (r.converter_type, r.channels) == (4, 2)
    assert type(r.converter_type) is int


@pytest.mark.parametrize("name", ["converter_type", "channels"])
def test_properties_are_read_only(name):
    r = Resampler()
    with pytest.raises(AttributeError):
        setattr(r, name, 1)


def test_members_and_docstrings():
    public = [k for k in vars(Resampler) if not k.startswith("_")]
    assert public == ["process", "reset", "set_ratio", "clone", "converter_type", "channels"]
    assert Resampler.__doc__ == (
        "\n    Resampler.\n\n    Parameters\n    ----------\n    converter_type : ConverterType, "
        "str, or int\n        Sample rate converter (default: `sinc_best`).\n    num_channels : "
        "int\n        Number of channels.\n  "
    )
    docs = {
        "reset": "Reset internal state.",
        "set_ratio": "Set a new conversion ratio immediately.",
        "clone": "Creates a copy of the resampler object with the same internal state.",
        "converter_type": "Converter type.",
        "channels": "Number of channels.",
    }
    for name, text in docs.items():
        assert getattr(Resampler, name).__doc__.rstrip().endswith(text), name
    assert Resampler.converter_type.__doc__ == "Converter type."
    assert Resampler.channels.__doc__ == "Number of channels."
    process = Resampler.process.__doc__
    assert process.endswith(
        "\n        Resample the signal in `input_data`.\n\n        Parameters\n        ----------\n"
        "        input_data : ndarray\n            Input data.\n            Input data with one "
        "or more channels is represented as a 2D array of shape\n            (`num_frames`, "
        "`num_channels`).\n            A single channel can be provided as a 1D array of "
        "`num_frames` length.\n            For use with `libsamplerate`, `input_data` is "
        "converted to 32-bit float and\n            C (row-major) memory order.\n        ratio "
        ": float\n            Conversion ratio = output sample rate / input sample rate.\n     "
        "   end_of_input : int\n            Set to `True` if no more data is available, or to "
        "`False` otherwise.\n        verbose : bool\n            If `True`, print additional "
        "information about the conversion.\n\n        Returns\n        -------\n        "
        "output_data : ndarray\n            Resampled input data.\n      \n"
    )
    overloads = Resampler.__init__.__doc__
    assert overloads.index("arg0: quavix.converters.Resampler") < overloads.index(
        "converter_type: object = 'sinc_best'"
    )


def test_top_level_name():
    assert quavix.Resampler is quavix.converters.Resampler


# --- failures ---------------------------------------------------------------------------------


def _libsamplerate_refusal(converter, channels):
    with pytest.raises(RuntimeError) as info:
        srcref.State(converter, channels)
    return str(info.value)


@pytest.mark.parametrize(
    "args, error, text",
    [
        (("nonsense",), ValueError, "Unsupported converter type"),
        ((2.0,), ValueError, "Unsupported converter type"),
        ((7,), ResamplingError, _libsamplerate_refusal(7, 1)),
        (("sinc_best", 129), ResamplingError, _libsamplerate_refusal(0, 129)),
        (("sinc_fastest", 2**31 - 1), ResamplingError, _libsamplerate_refusal(2, 129)),
    ],
)
def test_construction_refused(args, error, text):
    with pytest.raises(error) as info:
        Resampler(*args)
    assert str(info.value) == text


@pytest.mark.parametrize("channels", [2.5, 2**31, "2", None])
def test_channel_argument_of_wrong_type(channels):
    with pytest.raises(TypeError):
        Resampler("linear", channels)


def test_keyword_copy_is_no_copy():
    with pytest.raises(ValueError, match="Unsupported converter type"):
        Resampler(converter_type=Resampler())


# Each case: channels of the object, the refused arguments of process, the error and its text.
REFUSED = {
    "three dimensions": (1, (np.zeros((4, 2, 1)), 1.0), ValueError, DIMENSION_TEXT),
    "three dimensions, wrong channels": (2, (np.zeros((4, 3, 1)), 1.0), ValueError, DIMENSION_TEXT),
    "one dimension, two channels": (2, (np.zeros(10), 1.0), ValueError, CHANNEL_TEXT),
    "three columns, two channels": (2, (np.zeros((10, 3)), 1.0), ValueError, CHANNEL_TEXT),
    "no columns, one channel": (1, (np.zeros((10, 0)), 1.0), ValueError, CHANNEL_TEXT),
    "no columns, two channels": (2, (np.zeros((10, 0)), 1.0), ValueError, CHANNEL_TEXT),
    "scalar, one channel": (
        1,
        (np.float32(1.0), 1.0),
        ValueError,
        "Input array should have at least 1 dimension",
    ),
    "None, one channel": (
        1,
        (None, 1.0),
        ValueError,
        "Input array should have at least 1 dimension",
    ),
    "scalar, two channels": (2, (np.float32(1.0), 1.0), ValueError, CHANNEL_TEXT),
    "ratio 0": (1, (np.zeros(10), 0.0), ResamplingError, BAD_RATIO_TEXT),
    "negative ratio": (1, (np.zeros(10), -1.0), ResamplingError, BAD_RATIO_TEXT),
    "ratio below 1/256": (1, (np.zeros(10), 1 / 257), ResamplingError, BAD_RATIO_TEXT),
    "ratio above 256": (2, (np.zeros((10, 2)), 256.5), ResamplingError, BAD_RATIO_TEXT),
    "infinite ratio": (1, (np.zeros(10), math.inf), ResamplingError, BAD_RATIO_TEXT),
    "ratio on empty input": (1, (np.zeros(0), 0.0), ResamplingError, BAD_RATIO_TEXT),
    "text as input": (1, ("abc", 1.0), TypeError, None),
    "text as ratio": (1, (np.zeros(10), "fast"), TypeError, None),
    "text as end of input": (1, (np.zeros(10), 1.0, "yes"), TypeError, None),
}


@pytest.mark.parametrize("converter", ["sinc_medium", "linear"])
@pytest.mark.parametrize("case", REFUSED)
def test_refused_block_leaves_state_untouched(rng, converter, case):
    channels, args, error, text = REFUSED[case]
    refused, twin = Resampler(converter, channels), Resampler(converter, channels)
    shape = (300,) if channels == 1 else (300, channels)
    warm, after = (signal(rng, 300, channels).reshape(shape) for _ in range(2))
    for r in (refused, twin):
        r.process(warm, 1.3)
    with pytest.raises(error) as info:
        refused.process(*args)
    if text is not None:
        assert str(info.value) == text
    assert np.array_equal(refused.process(after, 0.8), twin.process(after, 0.8))


@pytest.mark.parametrize("ratio", [0.0, -2.0, 300.0, math.inf])
def test_set_ratio_refused_and_object_still_usable(rng, ratio):
    refused, twin = Resampler("sinc_fastest"), Resampler("sinc_fastest")
    x = signal(rng, 400, 1)
    with pytest.raises(ResamplingError) as info:
        refused.set_ratio(ratio)
    assert str(info.value) == BAD_RATIO_TEXT
    assert np.array_equal(refused.process(x, 1.5), twin.process(x, 1.5))


@pytest.mark.parametrize("call", ["ratio=2.0", "arg0=2.0", "", "2.0, 3.0"])
def test_set_ratio_takes_one_positional_argument(call):
    r = Resampler()
    with pytest.raises(TypeError):
        eval(f"r.set_ratio({call})", {"r": r})


# Inputs on which libsamplerate itself would abort; each runs in its own interpreter. A case
# is the constructor's arguments, the call on the object (if any) and the expected refusal.
CRASH_PRONE = {
    "NaN ratio in process": (
        "'sinc_fastest'",
        "r.process(np.zeros(50, np.float32), float('nan'))",
        BAD_RATIO_TEXT,
    ),
    "NaN ratio in set_ratio": ("'sinc_fastest'", "r.set_ratio(float('nan'))", BAD_RATIO_TEXT),
    "no channels": ("'linear', 0", "", BAD_CHANNELS_TEXT),
    "negative channels": ("'sinc_best', -1", "", BAD_CHANNELS_TEXT),
}


@pytest.mark.parametrize("case", CRASH_PRONE)
def test_crash_prone_inputs_are_refused(isolated, case):
    arguments, call, text = CRASH_PRONE[case]
    result = isolated(
        f"""
        import numpy as np
        from quavix import Resampler, ResamplingError
        r = None
        try:
            r = Resampler({arguments})
            {call}
        except ResamplingError as e:
            print("refused:", e)
        if r is not None:
            print("then:", r.process(np.ones(200, np.float32), 1.0).shape)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == f"refused: {text}"
    if call:
        assert len(lines) == 2 and lines[1].startswith("then: (")


# --- agreement with libsamplerate --------------------------------------------------------------


def _ratios(rng, count, mode):
    if mode == "random per block":
        return list(rng.uniform(0.3, 3.0, count))
    return [mode] * count


@pytest.mark.parametrize("converter", CONVERTERS)
@pytest.mark.parametrize("channels, one_dim", [(1, True), (1, False), (3, False)])
@pytest.mark.parametrize("mode", [160 / 147, 0.37, "random per block"])
def test_blocks_agree_with_libsamplerate(rng, converter, channels, one_dim, mode):
    pieces = stream_of(rng, converter, channels, one_dim=one_dim)
    ratios = _ratios(rng, len(pieces), mode)
    number = CONVERTERS.index(converter)
    ours = push(Resampler(converter, channels), pieces, ratios)
    ref = srcref.State(number, channels)
    for i, (block, ratio, out) in enumerate(zip(pieces, ratios, ours, strict=True)):
        expected, used, _ = ref.push(block, ratio, i == len(pieces) - 1)
        assert used == block.shape[0], f"block {i}: libsamplerate left input unused"
        assert out.dtype == np.float32 and out.flags.c_contiguous
        assert out.ndim == block.ndim
        assert np.array_equal(as_frames(out, channels), expected), f"block {i}"


@pytest.mark.parametrize("converter", ["sinc_fastest", "zero_order_hold", "linear"])
@pytest.mark.parametrize("ratio", [0.8, 160 / 147])
def test_plain_request_result_when_nothing_is_left_over(rng, converter, ratio):
    """A block that the plain request takes whole gives exactly that request's result."""
    pieces = stream_of(rng, converter, 2)
    ratios = [ratio] * len(pieces)
    r = Resampler(converter, 2)
    plain = srcref.State(CONVERTERS.index(converter), 2)
    compared = 0
    for block, ratio in zip(pieces, ratios, strict=True):
        capacity = math.ceil(block.shape[0] * ratio)
        expected, used, generated = plain.process(block, capacity, ratio)
        out = r.process(block, ratio)
        if used < block.shape[0]:
            break  # the plain request lost input; the streams part from here on
        compared += 1
        assert np.array_equal(out, expected)
        if generated < capacity:
            assert out.base is not None and out.base.shape == (capacity, 2)
    assert compared >= 3


def _blocks_then_empty_end(x, sizes):
    """Blocks without end of input, then an empty block that marks it."""
    return blocks(x, sizes) + [x[:0]]


@pytest.mark.parametrize("converter", CONVERTERS)
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("ratio", [0.5, 160 / 147, 1.5, 3.0])
@pytest.mark.parametrize("ending", ["last block", "empty block"])
def test_pushed_equals_one_shot(rng, converter, channels, ratio, ending):
    x = signal(rng, 2000, channels)
    sizes = split(rng, 2000, converter)
    pieces = blocks(x, sizes) if ending == "last block" else _blocks_then_empty_end(x, sizes)
    pushed = np.concatenate(push(Resampler(converter, channels), pieces, [ratio] * len(pieces)))
    whole = quavix.resample(x, ratio, converter)
    # The one-shot result has room for ceil(frames * ratio) frames only; the stream can
    # carry the one final frame that did not fit there.
    assert pushed.shape[0] - whole.shape[0] in (0, 1)
    assert np.array_equal(pushed[: whole.shape[0]], whole)
    if converter in SINC:
        number = CONVERTERS.index(converter)
        ample, _, _ = srcref.simple(x, ratio, number, math.ceil(2000 * ratio) + 1000)
        assert np.array_equal(pushed, ample)


@pytest.mark.parametrize(
    "converter, block, ratio",
    [("linear", 7, 1.5), ("sinc_fastest", 40, 256.0), ("sinc_best", 300, 1 / 256)],
)
def test_pushed_equals_one_shot_for_fixed_blocks(rng, converter, block, ratio):
    x = signal(rng, block * 30, 1)[:, 0]
    pieces = [x[i : i + block] for i in range(0, x.shape[0], block)]
    pushed = np.concatenate(push(Resampler(converter), pieces, [ratio] * len(pieces)))
    whole = quavix.resample(x, ratio, converter)
    assert pushed.shape[0] - whole.shape[0] in (0, 1)
    assert np.array_equal(pushed[: whole.shape[0]], whole)


@pytest.mark.parametrize("converter", SINC)
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("ratio", [1 / 256, 1 / 240, 1 / 220], ids=["1/256", "1/240", "1/220"])
@pytest.mark.parametrize("block", [4096, 100_000])
def test_at_the_lowest_ratios_the_whole_tail_comes_out(rng, converter, channels, ratio, block):
    """Here the end mark with the last data may stop a sinc converter short of its tail."""
    x = signal(rng, 100_000, channels)
    pieces = [x[i : i + block] for i in range(0, x.shape[0], block)]
    ours = push(Resampler(converter, channels), pieces, [ratio] * len(pieces))
    ref = srcref.State(CONVERTERS.index(converter), channels)
    for i, (piece, out) in enumerate(zip(pieces, ours, strict=True)):
        if i < len(pieces) - 1:
            expected, used, _ = ref.push(piece, ratio)
        else:
            expected, used, _ = ref.push_then_end(piece, ratio)
        assert used == piece.shape[0]
        assert np.array_equal(out, expected), f"block {i}"


PADDING_FITS_FROM = srcref.PADDING_FITS_FROM
# About one buffer load of input at that ratio: over such a range of signal lengths, the data
# a converter holds when the end mark comes takes every amount up to two half filters.
LOAD_FRAMES = {"sinc_medium": 17_600, "sinc_fastest": 7_400}


# sinc_best's bound is the loosest of the three (1/191.99 against 1/191.97 for sinc_fastest),
# and its filter makes a sweep slow; the other two are checked.
@pytest.mark.parametrize("converter", list(LOAD_FRAMES))
def test_end_padding_fits_from_the_bound_on(rng, converter):
    """With one channel, the tightest case: at the bound the end mark with the last data gives
    the whole tail, at any signal length; a little below, some lengths lose frames."""
    number, load = CONVERTERS.index(converter), LOAD_FRAMES[converter]
    lengths = np.linspace(2 * load, 3 * load, 50).astype(int)
    x = signal(rng, lengths[-1], 1)[:, 0]
    short = 0
    for frames in lengths:
        for ratio in (PADDING_FITS_FROM, 1 / 230):
            whole, _, _ = srcref.State(number, 1).push_then_end(x[:frames], ratio)
            marked, _, _ = srcref.State(number, 1).push(x[:frames], ratio, True)
            if ratio == PADDING_FITS_FROM:
                assert np.array_equal(marked, whole), frames
                got = Resampler(converter).process(x[:frames], ratio, True)
                assert np.array_equal(got, whole[:, 0]), frames
            else:
                short += marked.shape[0] < whole.shape[0]
    assert short > 0


def _glide_setup(r, ref, steps):
    """Takes a Resampler and its reference through `steps` and returns both. A step is
    ("set", ratio), a block (frames, ratio) or (frames, ratio, "end"), "reset", "copy" or
    "clone"."""
    x = signal(np.random.default_rng(9), 40_000, 1)
    for step in steps:
        if step == "reset":
            r.reset()
            ref.reset()
        elif step in ("copy", "clone"):
            r, ref = (Resampler(r) if step == "copy" else r.clone()), ref.clone()
        elif step[0] == "set":
            r.set_ratio(step[1])
            assert ref.set_ratio(step[1]) == 0
        else:
            frames, ratio, *end = step
            got = r.process(x[:frames], ratio, bool(end))
            assert np.array_equal(got, ref.push_stream(x[:frames], ratio, bool(end))[0])
            if end:
                ref.reset()  # a sinc converter starts its next stream afresh
    return r, ref


@pytest.mark.parametrize("converter", SINC)
@pytest.mark.parametrize(
    "steps, end_alone",
    [
        ([("set", PADDING_FITS_FROM)], False),
        ([("set", 1 / 192)], True),
        ([(30_000, 1 / 200)], True),
        ([(30_000, 1 / 200), (30_000, 1 / 150)], False),
        # Too little output to glide away from 1/200: libsamplerate's last ratio stays there.
        ([(30_000, 1 / 200), (100, 1 / 150)], True),
        # A fresh state takes its first request's ratio: no glide, however little of its room
        # the converter's delay lets it fill.
        ([(30_000, 1 / 180)], False),
        # Five frames made in a room of six: the last one's ratio, 1/191.14, stays below.
        ([(30_000, 1 / 200), (1000, 1 / 187)], True),
        # A new stream, whose first block makes nothing, glides from that block's ratio.
        ([(30_000, 1 / 200), "reset", (1000, 1 / 100)], False),
        ([(30_000, 1 / 200, "end"), (1000, 1 / 100)], False),
        # Copies hold the last ratio of their source.
        ([(30_000, 1 / 200), "copy"], True),
        ([(30_000, 1 / 200), "clone"], True),
    ],
    ids=[
        "set to the bound",
        "set below",
        "below",
        "glided up",
        "barely moved",
        "first block partly filled",
        "glided to just short of the bound",
        "below, then reset",
        "below, then ended",
        "copied below",
        "cloned below",
    ],
)
def test_last_block_glides_in_one_request_where_the_padding_fits(rng, converter, steps, end_alone):
    """A ratio change in the last block glides over the room of the request that brings it; the
    end mark comes with the data, as in one request of libsamplerate's own, wherever the
    block's ratio and libsamplerate's last ratio are both at the bound or above."""
    r, ref = _glide_setup(Resampler(converter), srcref.State(CONVERTERS.index(converter), 1), steps)
    assert (min(ref.last_ratio(), 0.5) < PADDING_FITS_FROM) == end_alone
    # Gliding up, the request runs out of data before its room is full, and the end mark with
    # the data gives the tail in the same request, at ratios of that glide.
    last = signal(rng, 40_000, 1)[:, 0]
    marked, _, _ = ref.clone().push(last, 0.5, True)
    alone, _, _ = ref.clone().push_then_end(last, 0.5)
    assert not np.array_equal(marked, alone)
    got = r.process(last, 0.5, True)
    assert np.array_equal(got, (alone if end_alone else marked)[:, 0])


# --- copies, reset, set_ratio -------------------------------------------------------------------


def _warm(rng, r, channels):
    x = signal(rng, 900, channels)
    r.process(x[:400], 1.7)
    r.set_ratio(0.6)
    r.process(x[400:], 0.9)


@pytest.mark.parametrize("converter", ["sinc_medium", "zero_order_hold", "linear"])
@pytest.mark.parametrize("make_copy", [Resampler, Resampler.clone], ids=["copy", "clone"])
def test_copies_continue_where_the_source_stands(rng, converter, make_copy):
    source = Resampler(converter, 2)
    _warm(rng, source, 2)
    copy, twin = make_copy(source), make_copy(source)
    assert type(copy) is Resampler and copy is not source
    assert (copy.converter_type, copy.channels) == (source.converter_type, 2)
    pieces = stream_of(rng, converter, 2, frames=1200)
    ratios = _ratios(rng, len(pieces), "random per block")
    last = len(pieces) - 1
    from_copy = []
    # Interleaved, so that shared memory between the two would show.
    for i, (block, ratio) in enumerate(zip(pieces, ratios, strict=True)):
        from_copy.append(copy.process(block, ratio, i == last))
        assert np.array_equal(source.process(block, ratio, i == last), from_copy[-1]), i
    # The twin, copied at the same moment, was moved by neither of them.
    for got, want in zip(push(twin, pieces, ratios), from_copy, strict=True):
        assert np.array_equal(got, want)


def test_subclass_with_copy_overload(rng):
    class Tagged(Resampler):
        def tag(self):
            return f"{self.converter_type}/{self.channels}"

    made = Tagged("linear", 2)
    assert made.tag() == "4/2" and isinstance(made, Resampler)
    _warm(rng, made, 2)
    from_sub, into_sub = Resampler(made), Tagged(made)
    assert type(from_sub) is Resampler and type(into_sub) is Tagged
    x = signal(rng, 300, 2)
    expected = made.process(x, 1.25)
    assert np.array_equal(from_sub.process(x, 1.25), expected)
    assert np.array_equal(into_sub.process(x, 1.25), expected)


@pytest.mark.parametrize("converter", ["sinc_best", "linear"])
def test_reset_returns_to_the_fresh_state(rng, converter):
    used, fresh = Resampler(converter, 2), Resampler(converter, 2)
    _warm(rng, used, 2)
    used.process(signal(rng, 50, 2), 1.0, True)  # ended stream, tail flushed
    used.reset()
    assert (used.converter_type, used.channels) == (fresh.converter_type, 2)
    pieces = stream_of(rng, converter, 2, frames=1000)
    ratios = _ratios(rng, len(pieces), "random per block")
    for got, want in zip(push(used, pieces, ratios), push(fresh, pieces, ratios), strict=True):
        assert np.array_equal(got, want)


@pytest.mark.parametrize("converter", CONVERTERS)
@pytest.mark.parametrize("after_end", ["process", "clone", "set_ratio"])
def test_a_signal_pushed_after_the_end_comes_out_in_full(rng, converter, after_end):
    """Sinc converters start a new stream after an ended one; the others go on with theirs."""
    first, second = signal(rng, 1500, 2), stream_of(rng, converter, 2, frames=1200)
    ended = Resampler(converter, 2)
    ended.process(first, 0.5, True)
    if after_end == "clone":
        ended = ended.clone()
    if converter in SINC:
        twin = Resampler(converter, 2)
    else:
        twin = srcref.State(CONVERTERS.index(converter), 2)
        twin.push(first, 0.5, True)
    if after_end == "set_ratio":
        ended.set_ratio(1.5)
        twin.set_ratio(1.5)
    for i, block in enumerate(second):
        got = ended.process(block, 0.5, i == len(second) - 1)
        if converter in SINC:
            want = twin.process(block, 0.5, i == len(second) - 1)
        else:
            want = twin.push(block, 0.5, i == len(second) - 1)[0]
        assert np.array_equal(as_frames(got, 2), want), i


@pytest.mark.parametrize("converter", ["sinc_fastest", "linear"])
def test_set_ratio_agrees_with_libsamplerate(rng, converter):
    r = Resampler(converter, 1)
    ref = srcref.State(CONVERTERS.index(converter), 1)
    x = signal(rng, 1200, 1)[:, 0]
    for step, (start, ratio) in enumerate([(0, 1.0), (400, 2.0), (800, 0.5)]):
        if step:
            r.set_ratio(ratio * 0.75)
            assert ref.set_ratio(ratio * 0.75) == 0
        block = x[start : start + 400]
        expected, _, _ = ref.push(block, ratio, step == 2)
        assert np.array_equal(r.process(block, ratio, step == 2), expected[:, 0])


# --- shapes of results --------------------------------------------------------------------------


@pytest.mark.parametrize("shape", [(0,), (0, 2)])
def test_empty_block(shape):
    r = Resampler("sinc_fastest", 1 if len(shape) == 1 else 2)
    out = r.process(np.zeros(shape, np.float32), 1.5)
    assert out.shape == shape and out.dtype == np.float32


def test_short_result_is_a_view_of_the_plain_capacity(rng):
    out = Resampler().process(signal(rng, 1000, 1)[:, 0], 1.5)
    assert 0 < out.shape[0] < 1500
    assert out.base is not None and out.base.shape == (1500,)
    assert not out.flags.owndata and out.flags.c_contiguous and out.flags.writeable


def test_one_column_stays_two_dimensional(rng):
    out = Resampler("linear").process(signal(rng, 100, 1), 2.0)
    assert out.ndim == 2 and out.shape[1] == 1


def test_tail_at_end_of_input_comes_out_in_one_array(rng):
    r = Resampler("sinc_best", 2)
    first = r.process(signal(rng, 1000, 2), 1.0)
    last = r.process(signal(rng, 100, 2), 1.0, True)
    assert first.shape[0] + last.shape[0] == 1100
    assert last.shape[0] > 100 and last.flags.owndata and last.flags.c_contiguous


def test_converted_inputs_give_the_same_result(rng):
    x = signal(rng, 200, 2)
    reference = Resampler("sinc_fastest", 2).process(x, 1.2)
    for other in (x.astype(np.float64), np.asfortranarray(x), x.tolist()):
        assert np.array_equal(Resampler("sinc_fastest", 2).process(other, 1.2), reference)


@pytest.mark.parametrize("ratio", [0.5, 1.0, 1.7, 3.0])
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("kind", ["constant", "ramp", "noise"])
def test_linear_one_frame_blocks_match_larger_blocks(rng, ratio, channels, kind):
    x = {
        "constant": np.full((60, channels), 0.75, dtype=np.float32),
        "ramp": np.repeat(np.linspace(-1, 1, 60, dtype=np.float32)[:, None], channels, 1),
        "noise": signal(rng, 60, channels),
    }[kind]
    backing = np.full((2, channels), 1e6, dtype=np.float32)  # foreign memory before each block
    one_by_one = Resampler("linear", channels)
    out = []
    for i, frame in enumerate(x):
        backing[1] = frame
        out.append(one_by_one.process(backing[1:], ratio, i == len(x) - 1))
    by_one = np.concatenate(out)
    by_seven = np.concatenate(
        push(Resampler("linear", channels), blocks(x, [7] * 8 + [4]), [ratio] * 9)
    )
    np.testing.assert_array_equal(by_one, by_seven)


def test_linear_lookback_follows_copies_and_reset(rng):
    x = signal(rng, 30, 1)
    r = Resampler("linear")
    r.process(x[:10], 1.5)
    twin = r.clone()
    tail = [r.process(x[i : i + 1], 1.5) for i in range(10, 30)]
    np.testing.assert_array_equal(
        np.concatenate(tail), np.concatenate([twin.process(x[10:30], 1.5)])
    )
    r.reset()
    fresh = Resampler("linear")
    np.testing.assert_array_equal(r.process(x[:1], 2.0), fresh.process(x[:1], 2.0))
