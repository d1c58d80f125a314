"""Property tests: any arguments give either a correct result or a documented exception."""

import math
from functools import partial

import numpy as np
import pytest
from hypothesis import example, given
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


def predict_construction(converter_type, channels):
    converter = resolve_converter(converter_type)
    if channels < 1:
        raise Outcome(quavix.ResamplingError, srcref.strerror(srcref.BAD_CHANNEL_COUNT))
    try:
        srcref.State(converter, channels)
    except RuntimeError as error:
        raise Outcome(quavix.ResamplingError, str(error)) from None
    return converter


@given(converter_type=converter_values, channels=st.integers(-3, 200))
def test_resampler_construction(converter_type, channels):
    try:
        converter = predict_construction(converter_type, channels)
    except Outcome as outcome:
        with pytest.raises(outcome.kind) as info:
            quavix.Resampler(converter_type, channels)
        if outcome.message is not None:
            assert str(info.value) == outcome.message
        return
    r = quavix.Resampler(converter_type, channels)
    assert (r.converter_type, r.channels) == (converter, channels)


stream_steps = st.one_of(
    st.tuples(
        st.just("process"),
        st.integers(0, 90),
        ratios,
        st.booleans(),
        st.sampled_from(["match", "1-d", "wrong", "3-d", "0-d"]),
    ),
    st.tuples(
        st.just("process"), st.integers(0, 90), valid_ratios, st.booleans(), st.just("match")
    ),
    st.tuples(st.just("reset")),
    st.tuples(st.just("set_ratio"), ratios),
    st.tuples(st.just("clone")),
)


def block_for(rng, layout, frames, channels):
    x = rng.uniform(-1, 1, size=(frames, channels)).astype(np.float32)
    if layout == "1-d":
        return x[:, 0]
    if layout == "wrong":
        return np.zeros((frames, channels + 1), np.float32)
    if layout == "3-d":
        return x[:, :, None]
    if layout == "0-d":
        return np.float32(0.5)
    return x[:, 0] if channels == 1 and frames % 2 else x


def restart_after_end(reference):
    """A sinc Resampler whose input has ended starts its next stream as if reset."""
    if getattr(reference, "ended", False):
        reference.reset()
        reference.ended = False


def predict_process(reference, block, ratio, end_of_input):
    channels = input_channels(block)
    if channels != reference.channels or channels == 0:
        raise Outcome(ValueError, "Invalid number of channels in input data.")
    if block.ndim == 0:
        raise Outcome(ValueError, "Input array should have at least 1 dimension")
    if not ratio_is_valid(ratio):
        raise bad_ratio()
    restart_after_end(reference)
    out, _, _ = reference.push_stream(block, ratio, end_of_input)
    reference.ended = end_of_input and srcref.CONVERTERS[reference.converter].startswith("sinc")
    return out.reshape((-1,) + block.shape[1:])


# A stream that ends, then a new one whose ending block changes the ratio to the lowest: the
# end mark comes alone after the data, and the glide from the restarted state's last ratio
# (that of its first request, even an empty one) is that of libsamplerate's own requests.
RESTART_THEN_LOWEST = [
    ("process", 0, 1 / 256, True, "match"),
    ("process", 1, 1.0, False, "match"),
    ("process", 2, 1 / 256, True, "match"),
]


@given(
    converter=st.sampled_from(srcref.CONVERTERS),
    channels=st.sampled_from([1, 1, 2, 3]),
    steps=st.lists(stream_steps, max_size=12),
    seed=st.integers(0, 2**32 - 1),
)
@example(converter="sinc_best", channels=1, steps=RESTART_THEN_LOWEST, seed=0)
@example(
    converter="sinc_best",
    channels=1,
    steps=[RESTART_THEN_LOWEST[0], ("process", 0, 1.0, False, "match"), RESTART_THEN_LOWEST[2]],
    seed=0,
)
def test_resampler_call_sequences_follow_libsamplerate(converter, channels, steps, seed):
    rng = np.random.default_rng(seed)
    number = srcref.CONVERTERS.index(converter)
    pairs = [(quavix.Resampler(converter, channels), srcref.State(number, channels))]
    for i, step in enumerate(steps):
        module, reference = pairs[i % len(pairs)]
        if step[0] == "process":
            _, frames, ratio, end, layout = step
            block = block_for(rng, layout, frames, channels)
            check_outcome(
                partial(module.process, block, ratio, end),
                partial(predict_process, reference, block, ratio, end),
            )
        elif step[0] == "reset":
            module.reset()
            reference.reset()
            reference.ended = False
        elif step[0] == "set_ratio":
            if ratio_is_valid(step[1]):
                module.set_ratio(step[1])
                restart_after_end(reference)
                assert reference.set_ratio(step[1]) == 0
            else:
                with pytest.raises(quavix.ResamplingError, match=r"^SRC ratio outside"):
                    module.set_ratio(step[1])
        else:
            pairs.append((module.clone(), reference.clone()))


pull_steps = st.one_of(
    st.tuples(st.just("read"), st.integers(0, 400)),
    st.tuples(st.just("ratio"), ratios),
    st.tuples(st.just("ratio"), valid_ratios),
    st.tuples(st.just("reset")),
    st.tuples(st.just("exit")),
    st.tuples(st.just("clone")),
)


@given(
    converter=st.sampled_from(srcref.CONVERTERS),
    channels=st.sampled_from([1, 2]),
    sizes=st.lists(st.integers(2, 300), min_size=1, max_size=8),
    steps=st.lists(pull_steps, max_size=12),
    seed=st.integers(0, 2**32 - 1),
)
def test_callback_resampler_call_sequences_follow_libsamplerate(
    converter, channels, sizes, steps, seed
):
    rng = np.random.default_rng(seed)
    blocks = [rng.uniform(-1, 1, (n, channels)).astype(np.float32) for n in sizes]
    if channels == 1 and seed % 2:
        blocks = [b[:, 0].copy() for b in blocks]
    number = srcref.CONVERTERS.index(converter)
    queue = list(blocks)
    pulls = []

    def supply():
        pulls.append(bool(queue))  # whether this call returned a block
        return queue.pop(0) if queue else None

    closed_text = srcref.strerror(2)  # libsamplerate's answer to a state that is gone
    closed = False

    module = quavix.CallbackResampler(supply, 1.0, converter, channels)
    reference = srcref.CallbackState(number, channels, blocks)
    for step in steps:
        if step[0] == "read":
            before = len(pulls)
            if not ratio_is_valid(module.ratio):
                with pytest.raises(quavix.ResamplingError, match=r"^SRC ratio outside"):
                    module.read(step[1])
                assert len(pulls) == before
                continue
            got = module.read(step[1])
            closed = False
            expected = reference.read(step[1], module.ratio)
            assert got.dtype == np.float32 and got.flags.c_contiguous
            one_dim = channels == 1 and blocks[0].ndim == 1 and any(pulls)
            assert got.ndim == (1 if one_dim else 2)
            np.testing.assert_array_equal(got.reshape(expected.shape), expected)
        elif step[0] == "ratio":
            module.ratio = step[1]
        elif closed and step[0] in ("reset", "clone"):
            with pytest.raises(quavix.ResamplingError) as info:
                module.reset() if step[0] == "reset" else module.clone()
            assert str(info.value) == closed_text
        elif step[0] == "reset":
            module.reset()
            srcref.lib.src_reset(reference.handle)
        elif step[0] == "exit":
            module.__exit__(None, None, None)
            reference = srcref.CallbackState(number, channels, queue)
            closed = True
        else:
            twin = module.clone()
            assert (twin.converter_type, twin.channels) == (number, channels)
            assert twin.ratio == module.ratio or math.isnan(module.ratio)
