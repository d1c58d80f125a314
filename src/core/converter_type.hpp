// Converter kinds: the enumeration offered to callers and the one resolver that turns any
// Python object into the converter number handed to libsamplerate.
#pragma once

#include <cstdint>

#include <pybind11/pybind11.h>

namespace quavix {

namespace py = pybind11;

// Values are libsamplerate's converter identifiers (SRC_SINC_BEST_QUALITY ... SRC_LINEAR).
enum class ConverterType : std::int32_t {
    sinc_best = 0,
    sinc_medium = 1,
    sinc_fastest = 2,
    zero_order_hold = 3,
    linear = 4,
};

// Resolves a member, a member name or an int to a converter number. Raises
// std::domain_error("Unsupported converter type") for anything else.
std::int32_t get_converter_type(const py::object& obj);

void register_get_converter_type(py::module_& internals);
void register_converter_type(py::module_& converters);

} // namespace quavix
