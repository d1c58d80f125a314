// Ownership of a libsamplerate converter state.
#pragma once

#include <memory>

#include <samplerate.h>

namespace quavix {

// Releases a libsamplerate state; unique_ptr never passes it an empty one.
struct StateDeleter {
    void operator()(SRC_STATE* state) const noexcept { src_delete(state); }
};

using StatePointer = std::unique_ptr<SRC_STATE, StateDeleter>;

// Whether the converter keeps the end mark of an ended input: libsamplerate's sinc converters
// never take input after it, while zero_order_hold and linear simply go on.
inline bool keeps_end_mark(int converter) {
    return converter >= SRC_SINC_BEST_QUALITY && converter <= SRC_SINC_FASTEST;
}

} // namespace quavix
