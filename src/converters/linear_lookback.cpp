#include "converters/linear_lookback.hpp"

#include <algorithm>

#include <samplerate.h>

namespace quavix {

LinearLookback::LinearLookback(std::int32_t converter, std::int32_t channels)
    : active_(converter == SRC_LINEAR && channels > 0),
      channels_(channels > 0 ? static_cast<std::size_t>(channels) : 0) {}

LinearLookback::LinearLookback(const LinearLookback& other)
    : active_(other.active_), has_previous_(other.has_previous_), channels_(other.channels_),
      previous_(other.previous_), scratch_(other.scratch_), scratch_shared_(true) {
    other.scratch_shared_ = true;
}

const float* LinearLookback::guard(const float* input, std::int64_t frames) {
    if (!active_ || frames != 1) {
        return input;
    }
    if (!scratch_ || scratch_shared_) {
        scratch_ = std::make_shared<std::vector<float>>(2 * channels_);
        scratch_shared_ = false;
    }
    float* previous = scratch_->data();
    float* current = previous + channels_;
    std::copy_n(has_previous_ ? previous_.data() : input, channels_, previous);
    std::copy_n(input, channels_, current);
    return current;
}

void LinearLookback::remember(const float* frame) {
    if (!active_) {
        return;
    }
    previous_.assign(frame, frame + channels_);
    has_previous_ = true;
}

} // namespace quavix
