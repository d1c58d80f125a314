#include "core/converter_type.hpp"

#include <array>
#include <stdexcept>
#include <string_view>

namespace quavix {

namespace {

struct ConverterName {
    std::string_view name;
    ConverterType kind;
};

// The names that strings are matched against, in the enumeration's order.
constexpr std::array<ConverterName, 5> converter_names{{
    {"sinc_best", ConverterType::sinc_best},
    {"sinc_medium", ConverterType::sinc_medium},
    {"sinc_fastest", ConverterType::sinc_fastest},
    {"zero_order_hold", ConverterType::zero_order_hold},
    {"linear", ConverterType::linear},
}};

[[noreturn]] void unsupported_converter() {
    throw std::domain_error("Unsupported converter type");
}

std::int32_t converter_from_name(PyObject* text) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        throw py::error_already_set();
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    for (const auto& entry : converter_names) {
        if (entry.name == name) {
            return static_cast<std::int32_t>(entry.kind);
        }
    }
    unsupported_converter();
}

// Keeps the low 32 bits of a value read as a signed 64-bit integer, like a C cast would.
std::int32_t converter_from_int(PyObject* number) {
    const long long value = PyLong_AsLongLong(number);
    if (value == -1 && PyErr_Occurred() != nullptr) {
        throw py::error_already_set();
    }
    return static_cast<std::int32_t>(
        static_cast<std::uint32_t>(static_cast<unsigned long long>(value)));
}

// The Python class registered for ConverterType.
py::handle converter_type_class() {
    return py::detail::get_type_handle(typeid(ConverterType), /*throw_if_missing=*/true);
}

} // namespace

std::int32_t get_converter_type(const py::object& obj) {
    PyObject* raw = obj.ptr();
    if (PyUnicode_Check(raw)) {
        return converter_from_name(raw);
    }
    if (PyLong_Check(raw)) {
        return converter_from_int(raw);
    }
    const int is_member = PyObject_IsInstance(raw, converter_type_class().ptr());
    if (is_member < 0) {
        throw py::error_already_set();
    }
    if (is_member == 1) {
        // A member's number is its `value`; int() it in case that is not an int already.
        const py::object value = obj.attr("value");
        if (PyLong_Check(value.ptr())) {
            return converter_from_int(value.ptr());
        }
        const auto as_int = py::reinterpret_steal<py::object>(PyNumber_Long(value.ptr()));
        if (!as_int) {
            throw py::error_already_set();
        }
        return converter_from_int(as_int.ptr());
    }
    unsupported_converter();
}

void register_get_converter_type(py::module_& internals) {
    internals.def("get_converter_type", &get_converter_type,
                  "Convert python object to integer of converter tpe or raise an error if illegal");
}

void register_converter_type(py::module_& converters) {
    py::enum_<ConverterType> converter_type(converters, "ConverterType", R"(
      Enum of quavix converter types.

      Pass any of the members, or their string or value representation, as
      ``converter_type`` in the resamplers.
    )");
    for (const auto& entry : converter_names) {
        converter_type.value(entry.name.data(), entry.kind);
    }
    converter_type.export_values();
}

} // namespace quavix
