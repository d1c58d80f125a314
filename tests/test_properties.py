"""Property tests: any arguments give either a correct result or a documented exception."""

import numpy as np
from hypothesis import given
from hypothesis import strategies as st
from properties import (
    Outcome,
    bad_ratio,
    capacity,
    check_outcome,
    convert_input,
    converter_values,
    input_channels,
    inputs,
    ratio_is_valid,
    ratios,
    resolve_converter,
    signals,
    valid_ratios,
)

import quavix
import srcref


def predict_resample(obj, ratio, converter_type):
    data = convert_input(obj)
    converter = resolve_converter(converter_type)
    channels = input_channels(data)
    if data.ndim == 2 and channels == 0:
        raise Outcome(ValueError, "Invalid number of channels (0) in input data.")
    if data.ndim == 0:
        raise Outcome(ValueError, "Input array should have at least 1 dimension")
    if not ratio_is_valid(ratio):
        raise bad_ratio()
    try:
        out, _, _ = srcref.simple(data, ratio, converter, capacity(data.shape[0], ratio))
    except RuntimeError as error:
        raise Outcome(quavix.ResamplingError, str(error)) from None
    return out


@given(obj=inputs, ratio=ratios, converter_type=converter_values)
def test_resample_gives_the_reference_result_or_a_documented_error(obj, ratio, converter_type):
    snapshot = np.array(obj, copy=True) if isinstance(obj, np.ndarray) else None
    check_outcome(
        lambda: quavix.resample(obj, ratio, converter_type),
        lambda: predict_resample(obj, ratio, converter_type),
    )
    if snapshot is not None and snapshot.dtype != object:
        np.testing.assert_array_equal(obj, snapshot)


@given(obj=signals(), ratio=valid_ratios, converter_type=st.sampled_from(srcref.CONVERTERS))
def test_resample_of_well_formed_signals_is_bit_exact(obj, ratio, converter_type):
    if obj.shape[0] * ratio > 200_000:
        ratio = 1.0
    check_outcome(
        lambda: quavix.resample(obj, ratio, converter_type),
        lambda: predict_resample(obj, ratio, converter_type),
    )
