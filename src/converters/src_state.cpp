#include "converters/src_state.hpp"

#include "core/error_handler.hpp"

namespace quavix {

namespace {

// Handed to libsamplerate when no input is left; it reads nothing from it.
constexpr float no_input = 0.0F;

} // namespace

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
