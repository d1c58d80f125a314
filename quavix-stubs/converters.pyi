from collections.abc import Callable
from types import TracebackType
from typing import ClassVar, SupportsFloat, SupportsIndex, TypeAlias, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray
from typing_extensions import Self

# What the converters accept: any float32 array or anything NumPy turns into one (other dtypes,
# other memory orders and nested sequences are converted; float32 C-order is read in place).
_Frames: TypeAlias = ArrayLike
# Every result is a new float32 array in C order, of shape (frames,) or (frames, channels).
_Output: TypeAlias = NDArray[np.float32]
# A converter kind: a member, a member's name, or libsamplerate's converter number.
_Converter: TypeAlias = ConverterType | str | int
# Numbers that the bindings convert to a C double or a C integer.
_Ratio: TypeAlias = SupportsFloat | SupportsIndex
# What a CallbackResampler's callable returns: frames, or None (or an empty array) at the end.
_Input: TypeAlias = Callable[[], ArrayLike | None]

# Classes bound from C++ have the binding library's own metaclass (pybind11_type); it adds
# nothing that a type checker needs to know beyond what `type` offers.
class _BindingType(type): ...

class ConverterType(metaclass=_BindingType):
    sinc_best: ClassVar[ConverterType]
    sinc_medium: ClassVar[ConverterType]
    sinc_fastest: ClassVar[ConverterType]
    zero_order_hold: ClassVar[ConverterType]
    linear: ClassVar[ConverterType]
    __members__: ClassVar[dict[str, ConverterType]]

    def __init__(self, value: SupportsIndex) -> None: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __index__(self) -> int: ...
    def __int__(self) -> int: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: SupportsIndex, /) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...

sinc_best: ConverterType
sinc_medium: ConverterType
sinc_fastest: ConverterType
zero_order_hold: ConverterType
linear: ConverterType

def resample(
    input: _Frames,
    ratio: _Ratio,
    converter_type: _Converter = "sinc_best",
    verbose: bool = False,
) -> _Output: ...

class Resampler(metaclass=_BindingType):
    @overload
    def __init__(self, other: Resampler, /) -> None: ...
    @overload
    def __init__(self, converter_type: _Converter = "sinc_best", channels: SupportsIndex = 1) -> None: ...
    def process(self, input: _Frames, ratio: _Ratio, end_of_input: bool = False) -> _Output: ...
    def reset(self) -> None: ...
    def set_ratio(self, ratio: _Ratio, /) -> None: ...
    def clone(self) -> Resampler: ...
    @property
    def converter_type(self) -> int: ...
    @property
    def channels(self) -> int: ...

class CallbackResampler(metaclass=_BindingType):
    ratio: float

    @overload
    def __init__(
        self,
        callback: _Input | None,
        ratio: _Ratio,
        converter_type: _Converter = "sinc_best",
        channels: SupportsIndex = 1,
    ) -> None: ...
    @overload
    def __init__(self, other: CallbackResampler, /) -> None: ...
    def read(self, num_frames: SupportsIndex) -> _Output: ...
    def reset(self) -> None: ...
    def set_starting_ratio(self, ratio: _Ratio, /) -> None: ...
    def clone(self) -> CallbackResampler: ...
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
        /,
    ) -> None: ...
    @property
    def converter_type(self) -> int: ...
    @property
    def channels(self) -> int: ...
