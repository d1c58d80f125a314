#include "core/error_handler.hpp"

#include <stdexcept>

#include <samplerate.h>

namespace quavix {

namespace {

// Highest code that libsamplerate assigns a meaning to.
constexpr std::uint32_t last_known_error = 23;

std::string libsamplerate_text(std::int32_t code) {
    const char* text = src_strerror(code);
    if (text == nullptr) {
        return "libsamplerate error " + std::to_string(code);
    }
    return text;
}

} // namespace

void error_handler(std::int32_t code) {
    // One unsigned comparison covers 1..23; 0 and negative codes wrap out of range.
    if (static_cast<std::uint32_t>(code) - 1U < last_known_error) {
        throw ResamplingException(libsamplerate_text(code));
    }
    if (code == 0) {
        return;
    }
    throw std::runtime_error("libsamplerate raised an unknown error code");
}

void register_error_handler(py::module_& internals) {
    internals.def("error_handler", &error_handler,
                  "A function to translate libsamplerate error codes into exceptions");
}

void register_resampling_error(py::module_& exceptions) {
    py::register_exception<ResamplingException>(exceptions, "ResamplingError", PyExc_RuntimeError);
}

} // namespace quavix
