import io
import math

import numpy as np
import pytest

import quavix
import srcref

resample = quavix.resample
ResamplingError = quavix.ResamplingError
CONVERTERS = srcref.CONVERTERS
BAD_RATIO_TEXT = srcref.strerror(srcref.BAD_SRC_RATIO)


def capacity(frames, ratio):
    return math.ceil(frames * ratio)


def full_buffer(result):
    """The array libsamplerate wrote into: the result itself or the buffer it is a view of."""
    return result if result.base is None else result.base


def signal(rng, frames, channels=None):
    shape = (frames,) if channels is None else (frames, channels)
    return rng.uniform(-1, 1, size=shape).astype(np.float32)


RATIOS = [160 / 147, 147 / 160, 2.0, 1 / 3, 1 / 256, 256.0]


@pytest.mark.parametrize("converter", CONVERTERS)
@pytest.mark.parametrize("ratio", RATIOS, ids=lambda r: f"{r:.5g}")
@pytest.mark.parametrize("channels", [None, 1, 3])
def test_bit_exact_with_src_simple(rng, converter, ratio, channels):
    frames = 3000 if ratio < 0.01 else 257
    x = signal(rng, frames, channels)
    expected, _, generated = srcref.simple(
        x, ratio, CONVERTERS.index(converter), capacity(frames, ratio)
    )
    result = resample(x, ratio, converter)
    assert result.dtype == np.float32
    assert result.flags.c_contiguous
    assert result.shape == (generated,) + x.shape[1:]
    np.testing.assert_array_equal(result, expected.reshape(result.shape))


# Long conversions run in pieces of about 2e8 instructions of libsamplerate's work, estimated
# from a cost per sample for each converter (in CONVERTERS' order).
COST_PER_SAMPLE = [5600, 1800, 800, 35, 45]


def piece_frames(converter, channels, ratio):
    cost = COST_PER_SAMPLE[CONVERTERS.index(converter)]
    return max(1, int(2e8 / (cost * channels * max(1.0, 1 / ratio))))


@pytest.mark.parametrize("converter", CONVERTERS)
@pytest.mark.parametrize("ratio", [160 / 147, 1 / 3], ids=["up", "down"])
@pytest.mark.parametrize("past", [-1, 0, 1, "half"])
def test_signals_of_several_pieces_are_bit_exact_with_src_simple(rng, converter, ratio, past):
    piece = piece_frames(converter, 2, ratio)
    frames = round((2 * piece + (piece // 2 if past == "half" else past)) / ratio)
    x = signal(rng, frames, 2)
    expected, used, generated = srcref.simple(
        x, ratio, CONVERTERS.index(converter), capacity(frames, ratio)
    )
    assert used == frames or converter == "linear"
    result = resample(x, ratio, converter)
    assert result.shape == (generated, 2)
    np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize("converter", CONVERTERS[:3])
@pytest.mark.parametrize("channels", [1, 2])
@pytest.mark.parametrize("ratio", [1 / 256, 1 / 240, 1 / 220], ids=["1/256", "1/240", "1/220"])
def test_at_the_lowest_ratios_the_whole_tail_comes_out(rng, converter, channels, ratio):
    """Here src_simple may stop short of the tail, or use part of the input and make nothing."""
    frames = 100_000
    x = signal(rng, frames, channels)
    number = CONVERTERS.index(converter)
    expected, used, _ = srcref.whole_tail(x, ratio, number, capacity(frames, ratio))
    assert used == frames
    result = resample(x, ratio, converter)
    assert result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize(
    "frames, ratio, expected",
    [
        (441, 160 / 147, 481),
        (27, 7 / 3, 64),
        (10, 1 / 3, 4),
        (10, 1.5, 15),
        (10, 1.01, 11),
        (5, 0.5, 3),
        (3, 2.0, 6),
    ],
)
def test_capacity_is_the_double_precision_ceiling(frames, ratio, expected):
    result = resample(np.ones(frames, dtype=np.float32), ratio, "linear")
    assert full_buffer(result).shape == (expected,)


@pytest.mark.parametrize("converter", CONVERTERS)
def test_result_is_the_full_buffer_or_a_view_of_it(rng, converter):
    x = signal(rng, 441, 2)
    result = resample(x, 160 / 147, converter)
    full = full_buffer(result)
    assert full.shape == (481, 2)
    assert result.flags.owndata == (result.shape[0] == 481)


def test_short_result_is_a_view_of_the_full_buffer(rng):
    # linear makes 480 frames of 441 at 160/147, one short of the capacity.
    result = resample(signal(rng, 441, 2), 160 / 147, "linear")
    assert result.shape == (480, 2)
    full = result.base
    assert full.shape == (481, 2) and full.flags.owndata and not result.flags.owndata
    assert result.flags.writeable and result.flags.c_contiguous
    assert result.__array_interface__["data"][0] == full.__array_interface__["data"][0]


def test_full_result_owns_its_data():
    # linear at ratio 1 generates exactly one output frame per input frame.
    x = np.arange(64, dtype=np.float32)
    result = resample(x, 1.0, "linear")
    assert result.shape == (64,) and result.flags.owndata and result.base is None


@pytest.mark.parametrize(
    "make",
    [
        lambda x: x.astype(np.float64),
        lambda x: (x * 1000).astype(np.int64),
        lambda x: x.astype(np.float64).tolist(),
        lambda x: np.asfortranarray(x),
        lambda x: np.repeat(x, 2, axis=0)[::2],
        lambda x: x.astype(">f4"),
    ],
    ids=["float64", "int64", "list", "fortran", "strided", "big-endian"],
)
def test_other_inputs_are_converted_to_float32_c_order(rng, make):
    x = rng.uniform(-1, 1, size=(200, 2))
    original = make(x)
    snapshot = np.array(original, copy=True)
    as_float32 = np.ascontiguousarray(original, dtype=np.float32)
    np.testing.assert_array_equal(
        resample(original, 1.25, "sinc_fastest"), resample(as_float32, 1.25, "sinc_fastest")
    )
    np.testing.assert_array_equal(np.asarray(original), snapshot)


def test_float32_input_is_not_modified(rng):
    x = signal(rng, 300, 2)
    before = x.copy()
    resample(x, 0.7, "sinc_medium")
    np.testing.assert_array_equal(x, before)


@pytest.mark.parametrize("shape, out_shape", [((0,), (0,)), ((0, 2), (0, 2)), ((0, 1), (0, 1))])
def test_empty_input_gives_empty_result(shape, out_shape):
    assert resample(np.zeros(shape, dtype=np.float32), 2.0).shape == out_shape


def test_one_column_stays_two_dimensional(rng):
    x = signal(rng, 50, 1)
    assert resample(x, 2.0, "sinc_fastest").ndim == 2
    assert resample(x[:, 0], 2.0, "sinc_fastest").ndim == 1


def test_converter_spellings_agree_and_default_is_sinc_best(rng):
    x = signal(rng, 200)
    results = [resample(x, 1.1, c) for c in ("sinc_best", 0, quavix.ConverterType.sinc_best)]
    results.append(resample(x, 1.1))
    results.append(resample(input=x, ratio=1.1, converter_type="sinc_best", verbose=False))
    for other in results[1:]:
        np.testing.assert_array_equal(results[0], other)


def test_verbose_report(rng, capsys):
    x = signal(rng, 441, 2)
    _, used, generated = srcref.simple(x, 160 / 147, 2, 481)
    resample(x, 160 / 147, "sinc_fastest", verbose=True)
    assert capsys.readouterr().out == (
        f"quavix info:\n{used}  input frames used\n{generated}  output frames generated\n"
    )
    resample(x, 160 / 147, "sinc_fastest")
    assert capsys.readouterr().out == ""


def test_verbose_report_goes_to_current_stdout(monkeypatch):
    sink = io.StringIO()
    monkeypatch.setattr("sys.stdout", sink)
    resample(np.ones(10, dtype=np.float32), 1.0, "linear", True)
    assert sink.getvalue().splitlines()[0] == "quavix info:"


def test_failing_print_propagates(monkeypatch):
    monkeypatch.setattr("sys.stdout", object())
    with pytest.raises(AttributeError):
        resample(np.ones(10, dtype=np.float32), 1.0, "linear", verbose=True)


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((np.zeros((4, 2, 1)), 1.0, "nope"), ValueError, "Unsupported converter type"),
        ((np.zeros((4, 0)), 1.0, 2.0), ValueError, "Unsupported converter type"),
        ((np.zeros((10, 0)), 1.0), ValueError, "Invalid number of channels (0) in input data."),
        ((np.zeros((4, 2, 1)), 1.0), ValueError, "Input array should have at most 2 dimensions"),
        ((np.zeros((4, 0, 3)), 1.0), ValueError, "Input array should have at most 2 dimensions"),
        (
            (np.zeros((4, 2, 1)), float("nan")),
            ValueError,
            "Input array should have at most 2 dimensions",
        ),
        ((np.zeros((10, 0)), 0.0), ValueError, "Invalid number of channels (0) in input data."),
        ((np.zeros(10), 1.0, 7), ResamplingError, srcref.strerror(10)),
        ((np.zeros(10), 1.0, -1), ResamplingError, srcref.strerror(10)),
        (
            (np.zeros((10, 200)), 1.0, "sinc_best"),
            ResamplingError,
            srcref.strerror(srcref.BAD_CHANNEL_COUNT),
        ),
    ],
)
def test_errors_and_their_order(args, error, message):
    with pytest.raises(error) as info:
        resample(*args)
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call",
    [
        lambda: resample(input_data=np.zeros(4), ratio=1.0),
        lambda: resample(np.zeros(4)),
        lambda: resample(np.zeros(4), "fast"),
        lambda: resample([1.0, "x"], 1.0),
        lambda: resample(np.zeros(4), 1.0, "linear", False, 0),
    ],
)
def test_arguments_that_match_no_signature(call):
    with pytest.raises(TypeError):
        call()


@pytest.mark.parametrize("value", [None, 3.0, np.float32(1.0), np.array(2.0)])
def test_zero_dimensional_input_is_refused(value):
    with pytest.raises(ValueError, match="^Input array should have at least 1 dimension$"):
        resample(value, 1.0, "linear")


BAD_RATIOS = [
    float("nan"),
    -float("nan"),
    0.0,
    -0.0,
    -1.0,
    float("inf"),
    -float("inf"),
    1e9,
    5e-324,
    np.nextafter(1 / 256, 0),
    np.nextafter(256.0, np.inf),
]


@pytest.mark.parametrize("converter", CONVERTERS)
def test_refused_ratios_never_reach_libsamplerate(isolated, converter):
    # A NaN ratio aborts the process inside libsamplerate, so this runs in its own interpreter.
    result = isolated(f"""
        import numpy as np, quavix
        for ratio in map(float.fromhex, {[float(r).hex() for r in BAD_RATIOS]!r}):
            try:
                quavix.resample(np.ones(100000, dtype=np.float32), ratio, {converter!r})
            except quavix.ResamplingError as e:
                print(e)
            else:
                print("accepted", ratio)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [BAD_RATIO_TEXT] * len(BAD_RATIOS)


@pytest.mark.parametrize("ratio", [1 / 256, 256.0])
def test_ratio_bounds_are_accepted(ratio):
    frames = 1024 if ratio < 1 else 4
    result = resample(np.ones(frames, dtype=np.float32), ratio, "zero_order_hold")
    assert full_buffer(result).shape == (capacity(frames, ratio),)


@pytest.mark.parametrize("extent", [2**31, 2**32 + 1, 2**40])
def test_channel_extent_beyond_32_bits_is_refused(extent):
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, dtype=np.float32), (0, extent), (4, 4))
    with pytest.raises(ValueError, match="^Invalid number of channels in input data: more than"):
        resample(huge, 1.0, "linear")


def test_largest_32_bit_channel_extent_reaches_libsamplerate():
    huge = np.lib.stride_tricks.as_strided(np.zeros(1, dtype=np.float32), (0, 2**31 - 1), (4, 4))
    with pytest.raises(ResamplingError):
        resample(huge, 1.0, "sinc_fastest")


def test_tone_quality_with_sinc_best():
    rate_in, rate_out, freq = 44100, 48000, 997.0
    n = np.arange(rate_in // 2)
    tone = (0.5 * np.sin(2 * np.pi * freq * n / rate_in)).astype(np.float32)
    out = resample(tone, rate_out / rate_in, "sinc_best").astype(np.float64)
    exact = 0.5 * np.sin(2 * np.pi * freq * np.arange(out.shape[0]) / rate_out)
    middle = slice(2000, out.shape[0] - 2000)
    error = out[middle] - exact[middle]
    snr = 10 * np.log10(np.sum(exact[middle] ** 2) / np.sum(error**2))
    assert snr > 90


@pytest.mark.parametrize("ratio", [0.5, 1.0, 2.0, 3.7, 256.0])
@pytest.mark.parametrize("shape", [(1,), (1, 1), (1, 3)])
def test_linear_one_frame_signal_reads_nothing_outside_the_input(ratio, shape):
    # Memory just before the input holds something else; the output must not see it.
    backing = np.full(64, 1e6, dtype=np.float32)
    width = int(np.prod(shape))
    x = backing[64 - width :].reshape(shape)
    x[...] = np.arange(1, width + 1, dtype=np.float32).reshape(shape) / 4
    result = resample(x, ratio, "linear")
    assert result.shape[0] == capacity(1, ratio)
    np.testing.assert_array_equal(result, np.broadcast_to(x, result.shape))
