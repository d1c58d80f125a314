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

} // namespace quavix
