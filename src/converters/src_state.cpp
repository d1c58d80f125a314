#include "converters/src_state.hpp"

#include <cmath>

#include "core/error_handler.hpp"

namespace quavix {

namespace {

// Handed to libsamplerate when no input is left; it reads nothing from it.
constexpr float no_input = 0.0F;

// A sinc converter's buffer holds 3 (256 c + 1) frames, c being its filter's half length in
// input frames at ratios of 1 and above (coefficients per half filter over coefficients per
// frame: 340239 / 2381 = 142.9 for sinc_best, 22438 / 491 = 45.7 for sinc_medium, 2464 / 128 =
// 19.25 for sinc_fastest): three half filters at the lowest ratio, 1/256. A request works with
// a half filter of h = c / r + 1 frames, r being the lower of its ratio and its last ratio.
// When the end mark comes with data, the converter may still hold up to 2h frames less a
// sample that it has not passed; it moves them behind h frames of history and pads them with
// h frames and five samples of zeros, as far as the buffer has room. With one channel, the
// tightest case, that is room for sure while 4h + 3 <= 3 (256 c + 1), c / r and 256 c + 1
// rounded to whole frames: while r >= 1/191.97 for sinc_fastest, 1/191.99 for the others.
// 1/191 keeps a margin of half a percent.
constexpr double lowest_ratio_with_padding_room = 1.0 / 191;

// libsamplerate stops gliding once the last ratio is this close to the request's.
constexpr double glide_done = 1e-10;

} // namespace

bool end_padding_fits(double lowest_ratio) {
    return lowest_ratio >= lowest_ratio_with_padding_room;
}

void LastRatio::glide(double ratio, std::size_t room, std::size_t generated) {
    if (last_ == none) {
        last_ = ratio;
    }
    // Frame k of a request (from 0) takes the ratio last + k (ratio - last) / room, and the
    // converter keeps that of the last frame it made.
    if (generated > 1 && std::fabs(last_ - ratio) > glide_done) {
        last_ += static_cast<double>(generated - 1) * (ratio - last_) / static_cast<double>(room);
    }
}

StatePointer new_state(std::int32_t converter_type, std::int32_t channels) {
    int error = 0;
    StatePointer state(src_new(converter_type, channels, &error));
    error_handler(error);
    return state;
}

StatePointer clone_state(SRC_STATE* source) {
    int error = 0;
    StatePointer state(src_clone(source, &error));
    error_handler(error);
    return state;
}

Progress process_request(SRC_STATE* state, const float* input, std::int64_t frames, float* output,
                         std::size_t room, double ratio, bool end_of_input) {
    SRC_DATA request{};
    request.data_in = input;
    request.data_out = output;
    request.input_frames = static_cast<long>(frames);
    request.output_frames = static_cast<long>(room);
    request.end_of_input = end_of_input ? 1 : 0;
    request.src_ratio = ratio;
    error_handler(src_process(state, &request));
    return {request.input_frames_used, static_cast<std::size_t>(request.output_frames_gen)};
}

const float* unused_input(const float* input, std::int64_t frames, std::int64_t used,
                          std::size_t channels) {
    if (used >= frames) {
        return &no_input;
    }
    return input + static_cast<std::size_t>(used) * channels;
}

} // namespace quavix
