// Ownership of a libsamplerate converter state, and the requests made on one.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include <samplerate.h>

namespace quavix {

// Releases a libsamplerate state; unique_ptr never passes it an empty one.
struct StateDeleter {
    void operator()(SRC_STATE* state) const noexcept { src_delete(state); }
};

using StatePointer = std::unique_ptr<SRC_STATE, StateDeleter>;

// A new state for src_process requests, or a copy of one; failures go through error_handler.
StatePointer new_state(std::int32_t converter_type, std::int32_t channels);
StatePointer clone_state(SRC_STATE* source);

// Whether the converter keeps the end mark of an ended input: libsamplerate's sinc converters
// never take input after it, while zero_order_hold and linear simply go on.
inline bool keeps_end_mark(int converter) {
    return converter >= SRC_SINC_BEST_QUALITY && converter <= SRC_SINC_FASTEST;
}

// Whether a sinc converter's zero padding after the signal surely fits into its buffer when the
// end mark comes in a request that still carries data, for requests whose ratio and last ratio
// (see LastRatio) are both at least `lowest_ratio`. Below that the padding may be cut short,
// and the converter stops before the end of its tail; the end mark alone never cuts it.
bool end_padding_fits(double lowest_ratio);

// libsamplerate's last ratio, which its next request glides from: the ratio of the last output
// frame made, or the one src_set_ratio set. Within a request the ratio glides linearly from
// the last ratio to the request's own over the request's room. A fresh or reset state has
// none, and its first request takes that request's ratio.
class LastRatio {
public:
    void forget() { last_ = none; }
    void set(double ratio) { last_ = ratio; }
    // Called after every request, so the usual case, a request at the last ratio, costs a
    // comparison and nothing more.
    void after_request(double ratio, std::size_t room, std::size_t generated) {
        if (last_ != ratio) {
            glide(ratio, room, generated);
        }
    }
    // The lower of `ratio` and the ratio a request at `ratio` glides from.
    double lowest_with(double ratio) const {
        return last_ == none ? ratio : std::min(last_, ratio);
    }

private:
    void glide(double ratio, std::size_t room, std::size_t generated);

    static constexpr double none = 0.0;
    double last_ = none;
};

// What one src_process request did.
struct Progress {
    std::int64_t used;
    std::size_t generated;
};

// One src_process request; its code goes through error_handler. Needs no Python object, so it
// may run without the GIL.
Progress process_request(SRC_STATE* state, const float* input, std::int64_t frames, float* output,
                         std::size_t room, double ratio, bool end_of_input);

// Where the input of a request after the first one of a conversion starts: `used` frames into
// `input`, or, when nothing is left, a frame of our own. A null pointer would not do: the sinc
// converters then skip their end-of-input handling and the tail never comes out.
const float* unused_input(const float* input, std::int64_t frames, std::int64_t used,
                          std::size_t channels);

} // namespace quavix
