"""Everyday uses of quavix, written the way a typed code base would; tests/test_stubs.py checks
that `mypy --strict` accepts this file as it stands and that it also runs.

assert_type pins what the stubs promise: results are float32 arrays, properties are ints.
"""

import numpy as np
from numpy.typing import NDArray
from typing_extensions import assert_type

import quavix
from quavix.converters import ConverterType, linear
from quavix.exceptions import ResamplingError

mono = np.sin(np.arange(2000) * 0.01).astype(np.float32)
stereo = np.stack([mono, -mono], axis=1)

# One shot, with each way of naming a converter; any array-like input.
assert_type(quavix.resample(mono, 1.5), NDArray[np.float32])
assert_type(quavix.resample(stereo, 2, ConverterType.sinc_fastest), NDArray[np.float32])
assert_type(quavix.resample([0.0, 0.5, 1.0], 0.5, "linear", verbose=False), NDArray[np.float32])
assert_type(quavix.resample(mono.astype(np.float64), np.float64(0.75), 4), NDArray[np.float32])

# Streaming, both constructors.
resampler = quavix.Resampler("sinc_medium", channels=2)
copy = quavix.Resampler(resampler)
assert_type(resampler.process(stereo[:1000], 1.25), NDArray[np.float32])
assert_type(copy.process(stereo[1000:], 1.25, end_of_input=True), NDArray[np.float32])
resampler.set_ratio(1.25)
resampler.reset()
assert_type(resampler.clone(), quavix.Resampler)
assert_type(resampler.channels, int)
assert_type(resampler.converter_type, int)

# Pulling from a callable, as a context manager.
blocks = iter([mono[:700], mono[700:]])


def next_block() -> NDArray[np.float32] | None:
    return next(blocks, None)


with quavix.CallbackResampler(next_block, 2.0, linear) as pull:
    assert_type(pull, quavix.CallbackResampler)
    assert_type(pull.read(512), NDArray[np.float32])
    pull.ratio = 1.5
    assert_type(pull.ratio, float)
    pull.set_starting_ratio(2.0)
    assert_type(quavix.CallbackResampler(pull), quavix.CallbackResampler)
assert_type(quavix.CallbackResampler(None, 1.0).clone(), quavix.CallbackResampler)

# The enumeration and the internals.
kind = ConverterType(2)
assert_type(kind.name, str)
assert_type(kind.value, int)
assert_type(int(kind), int)
assert_type(ConverterType.__members__["linear"], ConverterType)
assert_type(quavix._internals.get_converter_type("zero_order_hold"), int)
quavix._internals.error_handler(0)

try:
    quavix.resample(mono, 1000.0)
except ResamplingError as error:
    assert_type(error, quavix.ResamplingError)
    assert isinstance(error, RuntimeError)
else:
    raise AssertionError("a ratio of 1000 must be refused")
