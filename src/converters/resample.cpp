#include "converters/resample.hpp"

#include <algorithm>

#include <samplerate.h>

#include "converters/linear_lookback.hpp"
#include "converters/src_state.hpp"
#include "converters/without_gil.hpp"
#include "core/converter_type.hpp"
#include "core/error_handler.hpp"

namespace quavix {

namespace {

// What the requests of one conversion did together.
struct Totals {
    std::int64_t used = 0;
    std::size_t generated = 0;
};

void print_report(const Totals& totals) {
    py::print("quavix info:");
    py::print(totals.used, " input frames used");
    py::print(totals.generated, " output frames generated");
}

// Lets a signal that arrived while libsamplerate worked raise its exception (Ctrl-C raises
// KeyboardInterrupt) before the next piece starts.
void check_signals() {
    if (PyErr_CheckSignals() != 0) {
        throw py::error_already_set();
    }
}

// The room of the next request: one piece, or all that is left when that is less than one
// and a half pieces. So the request that ends a conversion always has the room that is left,
// as src_simple's request has, and a converter that stops on its own (linear leaves its last
// frame at an exact ratio) stops at the same frame.
std::size_t next_room(std::size_t piece, std::size_t left) {
    return left - left / 3 <= piece ? left : piece;
}

// Converts the whole input on one fresh state, as src_simple does, but in pieces of output
// room, so that signals are checked between pieces and the GIL is free while libsamplerate
// works. Each request gets all the input not yet used and up to one piece of room. A sinc
// converter gets the end mark only once it has all the input, alone: with data, its zero
// padding after the signal is cut to the room left in its buffer, which below a ratio of about
// 1/192 can stop it short of its tail; alone, the padding always fits. Where it fits with data
// too, both give the same samples and count. The other converters get the end mark with every
// request, as src_simple's request has it. A request that filled its room is followed by
// another, and so is one that made nothing while input is left: with the end mark and data, at
// ratios near 1/256 a sinc converter's request may use part of the input and make nothing.
Totals convert_in_pieces(SRC_STATE* state, const float* input, std::int64_t frames,
                         const float* first_input, float* output, std::size_t capacity,
                         double ratio, std::int32_t converter, std::size_t channels) {
    const std::size_t piece = piece_frames(converter, channels, ratio);
    // Cleared should a request without the end mark get nowhere, so that nothing can hang.
    bool withhold_end_mark = keeps_end_mark(converter);
    Totals totals;
    while (true) {
        const std::size_t room = next_room(piece, capacity - totals.generated);
        const float* rest =
            totals.used == 0 ? first_input : unused_input(input, frames, totals.used, channels);
        const std::int64_t remaining = frames - totals.used;
        const bool end_mark = !withhold_end_mark || remaining == 0;
        Progress step{};
        {
            const GilRelease gil(worth_releasing(converter, remaining, room, channels));
            step = process_request(state, rest, remaining, output + totals.generated * channels,
                                   room, ratio, end_mark);
        }
        totals.used += step.used;
        totals.generated += step.generated;
        const bool filled = step.generated == room && totals.generated < capacity;
        const bool stalled = step.generated == 0 && step.used > 0 && totals.used < frames;
        const bool end_mark_due = !end_mark && totals.generated < capacity;
        if (!filled && !stalled && !end_mark_due) {
            return totals;
        }
        withhold_end_mark = withhold_end_mark && (step.used > 0 || step.generated > 0);
        check_signals();
    }
}

} // namespace

py::array resample(const FrameInput& input, double ratio, const py::object& converter_type,
                   bool verbose) {
    const std::int32_t converter = get_converter_type(converter_type);

    const FrameShape shape = analyse_frames(input);
    if (shape.ndim == 2 && shape.channels == 0) {
        throw std::domain_error("Invalid number of channels (0) in input data.");
    }
    const std::int64_t frames = frame_count(input);
    check_ratio(ratio);
    check_channel_count(shape.channels);

    const std::size_t capacity = output_capacity(frames, ratio);
    FrameArray output = allocate_frames(capacity, shape.channels, shape.ndim == 1);

    const StatePointer state = new_state(converter, shape.channels);
    // A fresh state, so a lone frame is its own predecessor.
    LinearLookback lookback(converter, shape.channels);
    const float* data = input.data();
    const Totals totals = convert_in_pieces(state.get(), data, frames, lookback.guard(data, frames),
                                            output.mutable_data(), capacity, ratio, converter,
                                            static_cast<std::size_t>(shape.channels));

    py::array result = first_frames(output, totals.generated);
    if (verbose) {
        print_report(totals);
    }
    return result;
}

void register_resample(py::module_& converters) {
    converters.def("resample", &resample, py::arg("input"), py::arg("ratio"),
                   py::arg("converter_type") = "sinc_best", py::arg("verbose") = false, R"(
    Resample the signal in `input_data` at once.

    Parameters
    ----------
    input_data : ndarray
        Input data.
        Input data with one or more channels is represented as a 2D array of shape
        (`num_frames`, `num_channels`).
        A single channel can be provided as a 1D array of `num_frames` length.
        For use with `libsamplerate`, `input_data`
        is converted to 32-bit float and C (row-major) memory order.
    ratio : float
        Conversion ratio = output sample rate / input sample rate.
    converter_type : ConverterType, str, or int
        Sample rate converter (default: `sinc_best`).
    verbose : bool
        If `True`, print additional information about the conversion.

    Returns
    -------
    output_data : ndarray
        Resampled input data.

    Note
    ----
    If samples are to be processed in chunks, `Resampler` and
    `CallbackResampler` will provide better results and allow for variable
    conversion ratios.
  )");
}

} // namespace quavix
