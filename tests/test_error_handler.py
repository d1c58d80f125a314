import pytest

import quavix
import srcref
from quavix._internals import error_handler

ResamplingError = quavix.ResamplingError


def test_exception_type_shape():
    assert quavix.exceptions.ResamplingError is ResamplingError
    assert ResamplingError.__bases__ == (RuntimeError,)
    assert ResamplingError.__module__ == "quavix.exceptions"
    assert ResamplingError.__name__ == "ResamplingError"


def test_zero_is_success():
    assert error_handler(0) is None


@pytest.mark.parametrize("code", range(1, 24))
def test_known_codes_raise_with_libsamplerate_text(code):
    with pytest.raises(ResamplingError) as info:
        error_handler(code)
    expected = srcref.strerror(code)
    assert expected, f"libsamplerate has no text for {code}"
    assert str(info.value) == expected
    assert isinstance(info.value, RuntimeError)


@pytest.mark.parametrize("code", [24, 25, 1000, -1, -2147483648, 2147483647])
def test_unknown_codes_raise_plain_runtime_error(code):
    with pytest.raises(RuntimeError, match="^libsamplerate raised an unknown error code$") as info:
        error_handler(code)
    assert type(info.value) is RuntimeError


@pytest.mark.parametrize("arg", [2.0, 2147483648, -2147483649, "1", None])
def test_arguments_outside_int32_do_not_match(arg):
    with pytest.raises(TypeError):
        error_handler(arg)


def test_docstrings():
    assert error_handler.__doc__.endswith(
        "A function to translate libsamplerate error codes into exceptions\n"
    )
    assert quavix._internals.get_converter_type.__doc__.endswith(
        "Convert python object to integer of converter tpe or raise an error if illegal\n"
    )
