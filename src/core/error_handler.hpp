// The one gate for libsamplerate error codes, and the exception types it produces.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include <pybind11/pybind11.h>

namespace quavix {

namespace py = pybind11;

// A failure that libsamplerate reported; the message is libsamplerate's text for the code.
class ResamplingException : public std::exception {
public:
    explicit ResamplingException(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// libsamplerate's codes that the module itself passes to error_handler when it refuses an
// argument before libsamplerate could see it (libsamplerate's own numbering).
inline constexpr std::int32_t src_err_bad_src_ratio = 6;
inline constexpr std::int32_t src_err_bad_channel_count = 11;

// Returns for 0, throws ResamplingException for 1 to 23 and std::runtime_error otherwise.
void error_handler(std::int32_t code);

void register_error_handler(py::module_& internals);
void register_resampling_error(py::module_& exceptions);

} // namespace quavix
