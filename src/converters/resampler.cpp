#include "converters/resampler.hpp"

#include <algorithm>
#include <iterator>
#include <utility>
#include <vector>

#include "converters/without_gil.hpp"
#include "core/converter_type.hpp"
#include "core/error_handler.hpp"

namespace quavix {

namespace {

// Spare output room of the first follow-up request of a block. It doubles with every further
// request, so that even the long tail of a sinc converter at a high ratio takes few requests.
constexpr std::size_t first_spare_frames = 256;

constexpr const char* busy = "the same object is in use in another thread";

// Output frames of the follow-up requests of one block, each piece holding only the frames
// libsamplerate generated into it.
using Pieces = std::vector<std::vector<float>>;

// One src_process request of a stream, and what it did to libsamplerate's last ratio.
Progress stream_request(SRC_STATE* state, LastRatio& last_ratio, const float* input,
                        std::int64_t frames, float* output, std::size_t room, double ratio,
                        bool end_mark) {
    const Progress step = process_request(state, input, frames, output, room, ratio, end_mark);
    last_ratio.after_request(ratio, room, step.generated);
    return step;
}

// Whether a block's requests so far leave work for another: input not yet used, or, with the
// end mark, a tail that may go on past the last request's full room.
bool more_to_do(std::int64_t used, std::int64_t frames, bool end_mark, bool filled) {
    return used < frames || (end_mark && filled);
}

// The src_process requests of one block after its first: the state they go to, what they keep
// up to date between blocks, and what every request of the block shares.
struct BlockRequests {
    SRC_STATE* state;
    LastRatio& last_ratio;
    LinearLookback& lookback;
    std::size_t channels;
    double ratio;

    Progress send(const float* input, std::int64_t frames, float* output, std::size_t room,
                  bool end_mark) const {
        return stream_request(state, last_ratio, input, frames, output, room, ratio, end_mark);
    }
};

// The requests after the first one of a block. libsamplerate leaves input unused when a
// request's room fills up (the ratio ramp towards a new ratio can need more room than
// ceil(frames * ratio)), and after the end mark its delayed tail needs room of its own. So
// ask again, at the same ratio and flag, while input is left or while with the end mark the
// last request filled its room. A request that uses nothing and makes nothing ends it.
Pieces follow_up(BlockRequests block, const float* input, std::int64_t frames, bool end_mark,
                 Progress first, std::size_t first_room) {
    Pieces pieces;
    std::int64_t used = first.used;
    bool filled = first.generated == first_room;
    std::size_t spare = first_spare_frames;
    while (more_to_do(used, frames, end_mark, filled)) {
        const std::int64_t remaining = frames - used;
        const std::size_t room = output_capacity(remaining, block.ratio) + spare;
        const float* rest = used == 0 ? block.lookback.guard(input, frames)
                                      : unused_input(input, frames, used, block.channels);
        std::vector<float> piece(room * block.channels);
        const Progress step = block.send(rest, remaining, piece.data(), room, end_mark);
        if (step.used == 0 && step.generated == 0) {
            break;
        }
        used += step.used;
        filled = step.generated == room;
        // Shrinking keeps the memory: no frame moves.
        piece.resize(step.generated * block.channels);
        if (!piece.empty()) {
            pieces.push_back(std::move(piece));
        }
        spare *= 2;
    }
    return pieces;
}

// The end mark alone, after all of a block's data: requests with no input, asked again while
// they fill their room. `nothing` is what libsamplerate is pointed at for the input: not null,
// or the sinc converters skip their end handling, and not inside the output.
Pieces end_mark_alone(BlockRequests block, const float* nothing) {
    // As if after a request that filled an empty room.
    const Progress none{0, 0};
    return follow_up(block, nothing, 0, true, none, 0);
}

// One new array holding the first request's frames followed by every piece, each frame
// copied once.
FrameArray assemble(const FrameArray& first, std::size_t first_generated, const Pieces& pieces,
                    std::int32_t channels, bool one_dim) {
    const auto width = static_cast<std::size_t>(channels);
    std::size_t frames = first_generated;
    for (const auto& piece : pieces) {
        frames += piece.size() / width;
    }
    FrameArray result = allocate_frames(frames, channels, one_dim);
    float* next = std::copy_n(first.data(), first_generated * width, result.mutable_data());
    for (const auto& piece : pieces) {
        next = std::copy(piece.begin(), piece.end(), next);
    }
    return result;
}

} // namespace

Resampler::Resampler(const py::object& converter_type, std::int32_t channels)
    : converter_type_(get_converter_type(converter_type)), channels_(channels),
      lookback_(converter_type_, channels_) {
    // libsamplerate aborts on a channel count below 1 instead of reporting it.
    check_channel_count(channels_);
    state_ = new_state(converter_type_, channels_);
}

Resampler::Resampler(const Resampler& other) : Resampler(other, other.claim("copying")) {}

Resampler::Resampler(const Resampler& other, const UseClaim& /*claim*/)
    : state_(clone_state(other.state_.get())), converter_type_(other.converter_type_),
      channels_(other.channels_), lookback_(other.lookback_), last_ratio_(other.last_ratio_),
      input_ended_(other.input_ended_) {}

Resampler::Resampler(Resampler&& other) noexcept
    : state_(std::move(other.state_)), converter_type_(std::exchange(other.converter_type_, 0)),
      channels_(std::exchange(other.channels_, 0)), lookback_(std::move(other.lookback_)),
      last_ratio_(other.last_ratio_), input_ended_(std::exchange(other.input_ended_, false)) {}

UseClaim Resampler::claim(const char* member) const {
    return UseClaim(in_use_, "Resampler", member, busy);
}

py::array Resampler::process(const FrameInput& input, double ratio, bool end_of_input) {
    const UseClaim claimed = claim("process()");
    const FrameShape shape = analyse_frames(input);
    require_channels(shape, channels_);
    const std::int64_t frames = frame_count(input);
    check_ratio(ratio);
    restart_after_end();

    const std::size_t capacity = output_capacity(frames, ratio);
    const bool one_dim = shape.ndim == 1;
    FrameArray output = allocate_frames(capacity, channels_, one_dim);
    const auto width = static_cast<std::size_t>(channels_);
    const float* data = input.data();
    float* out = output.mutable_data();
    // Where a sinc converter's zero padding after the signal might not fit beside the last
    // data, the end mark comes alone after it. Elsewhere it comes with the data, as one request
    // of the caller's would bring it: splitting that request would move the glide of a ratio
    // change over a different room.
    const bool end_alone = end_of_input && keeps_end_mark(converter_type_) &&
                           !end_padding_fits(last_ratio_.lowest_with(ratio));
    const bool end_with_data = end_of_input && !end_alone;
    Progress first{};
    Pieces pieces;
    {
        const GilRelease gil(worth_releasing(converter_type_, frames, capacity, width));
        first = stream_request(state_.get(), last_ratio_, lookback_.guard(data, frames), frames,
                               out, capacity, ratio, end_with_data);
        // Made only for the rare follow-up requests: nothing of it is kept across the first.
        const auto requests = [&] {
            return BlockRequests{state_.get(), last_ratio_, lookback_, width, ratio};
        };
        // Most blocks are done in one request; asking first spares them the call.
        if (more_to_do(first.used, frames, end_with_data, first.generated == capacity)) {
            pieces = follow_up(requests(), data, frames, end_with_data, first, capacity);
        }
        if (end_alone) {
            Pieces tail = end_mark_alone(requests(), unused_input(data, frames, frames, width));
            std::move(tail.begin(), tail.end(), std::back_inserter(pieces));
        }
        if (frames > 0) {
            // Every frame has been handed over by now; the last one precedes the next block.
            lookback_.remember(data + static_cast<std::size_t>(frames - 1) * width);
        }
    }
    input_ended_ = end_of_input && keeps_end_mark(converter_type_);
    if (pieces.empty()) {
        return first_frames(output, first.generated);
    }
    return assemble(output, first.generated, pieces, channels_, one_dim);
}

void Resampler::reset() {
    const UseClaim claimed = claim("reset()");
    reset_state();
}

void Resampler::reset_state() {
    error_handler(src_reset(state_.get()));
    last_ratio_.forget();
    lookback_.forget();
    input_ended_ = false;
}

void Resampler::restart_after_end() {
    if (input_ended_) {
        reset_state();
    }
}

void Resampler::set_ratio(double ratio) {
    const UseClaim claimed = claim("set_ratio()");
    // libsamplerate takes NaN here and aborts in the next conversion.
    check_ratio(ratio);
    // The new ratio belongs to the next stream; a restart after it would wipe it out.
    restart_after_end();
    error_handler(src_set_ratio(state_.get(), ratio));
    last_ratio_.set(ratio);
}

Resampler Resampler::clone() const {
    return Resampler(*this, claim("clone()"));
}

void register_resampler(py::module_& converters) {
    py::class_<Resampler>(converters, "Resampler", R"(
    Resampler.

    Parameters
    ----------
    converter_type : ConverterType, str, or int
        Sample rate converter (default: `sinc_best`).
    num_channels : int
        Number of channels.
  )")
        .def(py::init<const Resampler&>())
        .def(py::init<const py::object&, std::int32_t>(), py::arg("converter_type") = "sinc_best",
             py::arg("channels") = 1)
        .def("process", &Resampler::process, py::arg("input"), py::arg("ratio"),
             py::arg("end_of_input") = false, R"(
        Resample the signal in `input_data`.

        Parameters
        ----------
        input_data : ndarray
            Input data.
            Input data with one or more channels is represented as a 2D array of shape
            (`num_frames`, `num_channels`).
            A single channel can be provided as a 1D array of `num_frames` length.
            For use with `libsamplerate`, `input_data` is converted to 32-bit float and
            C (row-major) memory order.
        ratio : float
            Conversion ratio = output sample rate / input sample rate.
        end_of_input : int
            Set to `True` if no more data is available, or to `False` otherwise.
        verbose : bool
            If `True`, print additional information about the conversion.

        Returns
        -------
        output_data : ndarray
            Resampled input data.
      )")
        .def("reset", &Resampler::reset, "Reset internal state.")
        .def("set_ratio", &Resampler::set_ratio, "Set a new conversion ratio immediately.")
        .def("clone", &Resampler::clone,
             "Creates a copy of the resampler object with the same internal state.")
        .def_property_readonly("converter_type", &Resampler::converter_type, "Converter type.")
        .def_property_readonly("channels", &Resampler::channels, "Number of channels.");
}

} // namespace quavix
