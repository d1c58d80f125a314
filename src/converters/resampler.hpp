// Streaming conversion: a libsamplerate state that successive blocks are pushed through.
#pragma once

#include <cstdint>
#include <memory>

#include <pybind11/pybind11.h>
#include <samplerate.h>

#include "converters/exclusive_use.hpp"
#include "converters/frame_array.hpp"
#include "converters/linear_lookback.hpp"
#include "converters/src_state.hpp"

namespace quavix {

// Owns one libsamplerate converter state. Copies clone the state, moves take it over.
class Resampler {
public:
    Resampler(const py::object& converter_type, std::int32_t channels);
    Resampler(const Resampler& other);
    Resampler(Resampler&& other) noexcept;
    Resampler& operator=(const Resampler&) = delete;
    Resampler& operator=(Resampler&&) = delete;
    ~Resampler() = default;

    // Converts one block. Every input frame is handed to libsamplerate, and with end_of_input
    // the converter's delayed tail comes out as well. libsamplerate works without the GIL.
    py::array process(const FrameInput& input, double ratio, bool end_of_input);
    void reset();
    void set_ratio(double ratio);
    Resampler clone() const;

    std::int32_t converter_type() const { return converter_type_; }
    std::int32_t channels() const { return channels_; }

private:
    // The copy, made while `claim` holds the source.
    Resampler(const Resampler& other, const UseClaim& claim);
    // Claims the object for the calling member, or refuses the call.
    UseClaim claim(const char* member) const;
    void reset_state();
    // libsamplerate's sinc converters keep the end mark of an ended stream and never take
    // input after it, so a sinc converter whose input has ended starts its next stream afresh.
    void restart_after_end();

    UseFlag in_use_;
    StatePointer state_;
    std::int32_t converter_type_;
    std::int32_t channels_;
    LinearLookback lookback_;
    LastRatio last_ratio_;
    bool input_ended_ = false; // a block with end_of_input went through a sinc converter
};

void register_resampler(py::module_& converters);

} // namespace quavix
