import numpy as np
import pytest

import quavix
from quavix._internals import get_converter_type

ConverterType = quavix.ConverterType
NAMES = ["sinc_best", "sinc_medium", "sinc_fastest", "zero_order_hold", "linear"]


def test_members_carry_libsamplerate_identifiers():
    assert [(m, int(ConverterType.__members__[m].value)) for m in ConverterType.__members__] == [
        (name, value) for value, name in enumerate(NAMES)
    ]


def test_enum_docstring_and_home():
    assert ConverterType.__module__ == "quavix.converters"
    assert ConverterType.__doc__.startswith(
        "\n      Enum of quavix converter types.\n\n      Pass any of the members, or their string"
        " or value representation, as\n      ``converter_type`` in the resamplers.\n    "
    )


class StrName(str):
    def __str__(self):
        return "linear"


class IntKind(int):
    pass


@pytest.mark.parametrize(
    "obj, expected",
    [(name, value) for value, name in enumerate(NAMES)]
    + [(getattr(ConverterType, name), value) for value, name in enumerate(NAMES)]
    + [
        (quavix.converters.linear, 4),
        (True, 1),
        (False, 0),
        (7, 7),
        (-1, -1),
        (2**32 + 2, 2),
        (-(2**63), 0),
        (2**63 - 1, -1),
        (StrName("sinc_fastest"), 2),
        (IntKind(3), 3),
    ],
)
def test_resolves_to_a_plain_int(obj, expected):
    result = get_converter_type(obj)
    assert type(result) is int
    assert result == expected


@pytest.mark.parametrize(
    "obj",
    [
        "Sinc_best",
        "LINEAR",
        " linear",
        "linear ",
        "",
        "sinc",
        2.0,
        None,
        b"linear",
        np.int64(2),
        [0],
        object(),
    ],
)
def test_refuses_everything_else(obj):
    with pytest.raises(ValueError, match="^Unsupported converter type$"):
        get_converter_type(obj)


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, 10**30])
def test_int_beyond_64_bits_overflows(value):
    with pytest.raises(OverflowError):
        get_converter_type(value)


def test_lone_surrogate_propagates_the_encoding_error():
    with pytest.raises(UnicodeEncodeError):
        get_converter_type("linear\udc80")


def test_keyword_is_refused():
    with pytest.raises(TypeError):
        get_converter_type(obj="linear")
