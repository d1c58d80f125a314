// Conventions for the float32 frame arrays that cross the boundary to libsamplerate:
// input analysis, the checks shared by every converter, result allocation and shortening.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace quavix {

namespace py = pybind11;

// Row-major float32; anything else is converted (and copied) by the binding on the way in.
using FrameArray = py::array_t<float, py::array::c_style | py::array::forcecast>;

// A frame array argument of a bound function (see the type_caster below). Default-constructed
// it holds no array, so that a caster's empty value costs no allocation.
class FrameInput : public FrameArray {
public:
    FrameInput() : FrameArray(py::handle(), borrowed_t{}) {}
    explicit FrameInput(FrameArray array) : FrameArray(std::move(array)) {}
};

// `object` itself when it is already a frame array as NumPy's conversion would leave it
// unchanged (exactly an ndarray, of native float32, C-contiguous); otherwise a null handle.
py::handle conforming_frames(py::handle object);

// `object` as a frame array: itself when it conforms, otherwise NumPy's conversion of it,
// whose errors pass through as py::error_already_set.
FrameArray to_frame_array(const py::object& object);

// What the shape of a converted input says about its frames.
struct FrameShape {
    py::ssize_t ndim;
    std::int32_t channels; // second extent for two dimensions, else 1
};

// Reads the number of dimensions and the channel count. Refuses more than two dimensions and
// a second extent that does not fit a signed 32-bit channel count.
FrameShape analyse_frames(const py::array& input);

// The channel rule of the streaming and pull converters: the input must carry exactly the
// object's channel count (a second extent of 0 never matches).
void require_channels(const FrameShape& shape, std::int32_t expected);

// The first extent. A zero-dimensional input has none and is refused.
std::int64_t frame_count(const py::array& input);

// Refuses, with libsamplerate's own bad-ratio error, every ratio that libsamplerate would
// refuse, and NaN, which its range check lets through.
void check_ratio(double ratio);

// Refuses channel counts below 1 with libsamplerate's bad-channel-count error before any
// libsamplerate call sees them.
void check_channel_count(std::int32_t channels);

// ceil(frames * ratio) in double precision, no margin. The ratio must have passed check_ratio.
std::size_t output_capacity(std::int64_t frames, double ratio);

// A new, uninitialised C-order float32 array: (frames, channels), or (frames,) when one_dim.
FrameArray allocate_frames(std::size_t frames, std::int32_t channels, bool one_dim);

// The first `generated` frames of `full`: `full` itself when it holds exactly that many,
// otherwise a view over its memory with `full` as base.
py::array first_frames(const FrameArray& full, std::size_t generated);

} // namespace quavix

namespace pybind11::detail {

// Arguments of type FrameInput: a conforming array is borrowed as it is, anything else goes
// through pybind11's own FrameArray conversion, with the same errors and the same signature.
template <> struct type_caster<quavix::FrameInput> {
    PYBIND11_TYPE_CASTER(quavix::FrameInput, handle_type_name<quavix::FrameArray>::name);

    bool load(handle source, bool convert) {
        if (const handle frames = quavix::conforming_frames(source)) {
            value = quavix::FrameInput(reinterpret_borrow<quavix::FrameArray>(frames));
            return true;
        }
        pyobject_caster<quavix::FrameArray> converted;
        if (!converted.load(source, convert)) {
            return false;
        }
        value = quavix::FrameInput(std::move(static_cast<quavix::FrameArray&>(converted)));
        return true;
    }

    static handle cast(const quavix::FrameInput& source, return_value_policy /*policy*/,
                       handle /*parent*/) {
        return source.inc_ref();
    }
};

} // namespace pybind11::detail
