#include "converters/frame_array.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include "core/error_handler.hpp"

namespace quavix {

namespace {

// libsamplerate's accepted range of ratios, bounds included.
constexpr double min_ratio = 1.0 / 256.0;
constexpr double max_ratio = 256.0;

} // namespace

FrameShape analyse_frames(const py::array& input) {
    const py::ssize_t ndim = input.ndim();
    if (ndim > 2) {
        throw std::domain_error("Input array should have at most 2 dimensions");
    }
    if (ndim < 2) {
        return {ndim, 1};
    }
    const py::ssize_t extent = input.shape(1);
    if (extent > std::numeric_limits<std::int32_t>::max()) {
        throw std::domain_error("Invalid number of channels in input data: more than 2147483647.");
    }
    return {ndim, static_cast<std::int32_t>(extent)};
}

void require_channels(const FrameShape& shape, std::int32_t expected) {
    if (shape.channels != expected || shape.channels == 0) {
        throw std::domain_error("Invalid number of channels in input data.");
    }
}

std::int64_t frame_count(const py::array& input) {
    if (input.ndim() == 0) {
        throw std::domain_error("Input array should have at least 1 dimension");
    }
    return static_cast<std::int64_t>(input.shape(0));
}

void check_ratio(double ratio) {
    // Written so that NaN fails both comparisons and is refused.
    if (!(ratio >= min_ratio && ratio <= max_ratio)) {
        error_handler(src_err_bad_src_ratio);
    }
}

void check_channel_count(std::int32_t channels) {
    if (channels < 1) {
        error_handler(src_err_bad_channel_count);
    }
}

std::size_t output_capacity(std::int64_t frames, double ratio) {
    const double capacity = std::ceil(static_cast<double>(frames) * ratio);
    // libsamplerate counts frames in a signed long; no real allocation gets near this.
    if (capacity >= static_cast<double>(std::numeric_limits<long>::max())) {
        throw std::bad_alloc();
    }
    return static_cast<std::size_t>(capacity);
}

FrameArray allocate_frames(std::size_t frames, std::int32_t channels, bool one_dim) {
    const auto rows = static_cast<py::ssize_t>(frames);
    if (one_dim) {
        return FrameArray({rows});
    }
    return FrameArray({rows, static_cast<py::ssize_t>(channels)});
}

py::array first_frames(const FrameArray& full, std::size_t generated) {
    const auto rows = static_cast<py::ssize_t>(generated);
    if (rows == full.shape(0)) {
        return full;
    }
    std::vector<py::ssize_t> shape(full.shape(), full.shape() + full.ndim());
    std::vector<py::ssize_t> strides(full.strides(), full.strides() + full.ndim());
    shape[0] = rows;
    return py::array(py::dtype::of<float>(), std::move(shape), std::move(strides), full.data(),
                     full);
}

} // namespace quavix
