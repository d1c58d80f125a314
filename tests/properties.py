"""Hypothesis strategies and a model of the documented outcomes, shared by the property tests.

The model predicts, for any arguments, either the exception a call must raise (type and
message) or that it must succeed; a successful call is then checked against libsamplerate
itself through ctypes.
"""

import math
import os
import warnings

import numpy as np
from hypothesis import event, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import quavix
import srcref

# The default profile keeps the suite quick; QUAVIX_HYPOTHESIS_PROFILE=long runs many more.
settings.register_profile("default", max_examples=150, deadline=None, derandomize=True)
settings.register_profile("long", max_examples=5000, deadline=None)
settings.load_profile(os.environ.get("QUAVIX_HYPOTHESIS_PROFILE", "default"))

INT32_MAX = 2**31 - 1
NAMES = srcref.CONVERTERS


class Outcome(Exception):
    """A predicted failure: the exception type and its exact message (None: any message)."""

    def __init__(self, kind, message=None):
        super().__init__(kind, message)
        self.kind = kind
        self.message = message


def resolve_converter(obj):
    """The converter number a converter_type argument resolves to, or the predicted failure."""
    if isinstance(obj, str):
        if obj in NAMES:
            return NAMES.index(obj)
        raise Outcome(ValueError, "Unsupported converter type")
    if isinstance(obj, quavix.ConverterType):
        obj = int(obj.value)
    if isinstance(obj, int):
        if not -(2**63) <= obj < 2**63:
            raise Outcome(OverflowError)
        low = obj & 0xFFFFFFFF
        return low - 2**32 if low >= 2**31 else low
    raise Outcome(ValueError, "Unsupported converter type")


def convert_input(obj):
    """What the binding hands the module for an input argument, or TypeError if it cannot."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            return np.array(obj, dtype=np.float32, order="C")
    except Exception as error:  # every refusal by NumPy makes the argument not match
        raise Outcome(TypeError) from error


def ratio_is_valid(ratio):
    return 1 / 256 <= ratio <= 256


def bad_ratio():
    return Outcome(quavix.ResamplingError, srcref.strerror(srcref.BAD_SRC_RATIO))


def input_channels(array):
    """The channel count of a converted input, or the predicted shape failure."""
    if array.ndim > 2:
        raise Outcome(ValueError, "Input array should have at most 2 dimensions")
    if array.ndim < 2:
        return 1
    if array.shape[1] > INT32_MAX:
        raise Outcome(ValueError, "Invalid number of channels in input data: more than 2147483647.")
    return array.shape[1]


def capacity(frames, ratio):
    return math.ceil(frames * ratio)


def check_outcome(call, predict):
    """Runs `call`; `predict` returns the expected result or raises the predicted Outcome."""
    try:
        expected = predict()
    except Outcome as outcome:
        event(f"refused: {outcome.kind.__name__}")
        try:
            call()
        except outcome.kind as error:
            assert type(error) is outcome.kind or outcome.kind is TypeError
            if outcome.message is not None:
                assert str(error) == outcome.message
            return None
        raise AssertionError(f"expected {outcome.kind.__name__}: {outcome.message}") from None
    event("converted")
    result = call()
    assert isinstance(result, np.ndarray)
    assert result.dtype == np.float32 and result.flags.c_contiguous
    assert result.shape == expected.shape
    np.testing.assert_array_equal(result, expected)
    return result


# --- strategies -------------------------------------------------------------------------

EDGE_RATIOS = [
    1 / 256,
    np.nextafter(1 / 256, 0),
    np.nextafter(1 / 256, 1),
    256.0,
    np.nextafter(256.0, 0),
    np.nextafter(256.0, 300),
    0.0,
    -0.0,
    -1.0,
    math.nan,
    math.inf,
    -math.inf,
    5e-324,
    1.0,
    160 / 147,
    147 / 160,
]

ratios = st.one_of(
    st.sampled_from([float(r) for r in EDGE_RATIOS]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.floats(min_value=1 / 256, max_value=8.0),
)

converter_values = st.one_of(
    st.sampled_from(NAMES),
    st.sampled_from(list(quavix.ConverterType.__members__.values())),
    st.integers(min_value=-2, max_value=8),
    st.integers(),
    st.booleans(),
    st.text(max_size=16),
    st.sampled_from(["Linear", " linear", "sinc_best ", "", "sinc"]),
    st.none(),
    st.floats(),
    st.binary(max_size=8),
)

NUMERIC_DTYPES = [
    np.bool_,
    np.int8,
    np.int16,
    np.int32,
    np.int64,
    np.uint8,
    np.uint16,
    np.uint32,
    np.uint64,
    np.float16,
    np.float32,
    np.float64,
    np.longdouble,
    np.complex64,
    np.complex128,
    ">f4",
    ">f8",
    "<i2",
]


@st.composite
def shapes(draw, max_frames=120):
    ndim = draw(st.integers(min_value=0, max_value=3))
    if ndim == 0:
        return ()
    frames = draw(st.integers(min_value=0, max_value=max_frames))
    if ndim == 1:
        return (frames,)
    channels = draw(st.one_of(st.integers(0, 4), st.integers(0, 200)))
    if ndim == 2:
        return (frames, channels)
    return (frames, channels, draw(st.integers(0, 3)))


@st.composite
def huge_empty_arrays(draw):
    """Zero frames with a second extent far beyond any channel count."""
    extent = draw(st.sampled_from([129, 2**31 - 1, 2**31, 2**32 + 1, 2**40]))
    return np.lib.stride_tricks.as_strided(np.zeros(1, np.float32), (0, extent), (4, 4))


@st.composite
def arrays(draw, max_frames=120):
    shape = draw(shapes(max_frames))
    kind = draw(st.sampled_from(["numeric", "numeric", "numeric", "object", "string"]))
    if kind == "numeric":
        dtype = np.dtype(draw(st.sampled_from(NUMERIC_DTYPES)))
        base = draw(
            hnp.arrays(
                dtype,
                shape,
                elements=hnp.from_dtype(dtype, allow_nan=False, allow_infinity=False)
                if dtype.kind in "fc"
                else None,
            )
        )
    elif kind == "object":
        values = st.one_of(st.floats(-2, 2), st.integers(-5, 5), st.text(max_size=2), st.none())
        base = draw(hnp.arrays(object, shape, elements=values))
    else:
        # NumPy's fixed-width strings drop trailing NULs, so a '\x00' could not be stored.
        letters = st.characters(exclude_characters="\x00")
        values = st.one_of(st.sampled_from(["0.5", "-1", "2e-3"]), st.text(letters, max_size=3))
        base = draw(hnp.arrays("U4", shape, elements=values))
    layout = draw(st.sampled_from(["C", "F", "strided"]))
    if layout == "F":
        return np.asfortranarray(base)
    if layout == "strided" and base.ndim >= 1:
        return np.repeat(base, 2, axis=0)[::2]
    return base


inputs = st.one_of(
    arrays(),
    huge_empty_arrays(),
    st.lists(st.floats(-1, 1, width=32), max_size=40),
    st.sampled_from([None, 1.5, 3, "text"]),
)


@st.composite
def signals(draw, max_frames=300, channels=None):
    """Well-formed float inputs of one or two dimensions, in any layout and float dtype."""
    frames = draw(st.integers(min_value=0, max_value=max_frames))
    if channels is None:
        channels = draw(st.integers(1, 4))
        shape = (
            draw(st.sampled_from([(frames,), (frames, channels)]))
            if channels == 1
            else (frames, channels)
        )
    else:
        shape = (frames,) if channels == 1 and draw(st.booleans()) else (frames, channels)
    dtype = draw(st.sampled_from([np.float32, np.float64, np.int16]))
    elements = st.floats(-1, 1, width=32) if dtype != np.int16 else st.integers(-99, 99)
    data = draw(hnp.arrays(dtype, shape, elements=elements))
    return np.asfortranarray(data) if draw(st.booleans()) else data


valid_ratios = st.one_of(
    st.floats(min_value=1 / 256, max_value=256.0),
    st.floats(min_value=0.25, max_value=4.0),
    st.sampled_from([1 / 256, 256.0, 1.0, 160 / 147, 147 / 160, 2.0, 0.5]),
)
