#include "converters/resample.hpp"

#include <samplerate.h>

#include "converters/linear_lookback.hpp"
#include "core/converter_type.hpp"
#include "core/error_handler.hpp"

namespace quavix {

namespace {

void print_report(const SRC_DATA& request) {
    py::print("quavix info:");
    py::print(request.input_frames_used, " input frames used");
    py::print(request.output_frames_gen, " output frames generated");
}

} // namespace

py::array resample(const FrameArray& input, double ratio, const py::object& converter_type,
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

    // src_simple starts a fresh state, so a lone frame is its own predecessor.
    LinearLookback lookback(converter, shape.channels);
    SRC_DATA request{};
    request.data_in = lookback.guard(input.data(), static_cast<long>(frames));
    request.data_out = output.mutable_data();
    request.input_frames = static_cast<long>(frames);
    request.output_frames = static_cast<long>(capacity);
    request.src_ratio = ratio;
    error_handler(src_simple(&request, converter, shape.channels));

    py::array result = first_frames(output, static_cast<std::size_t>(request.output_frames_gen));
    if (verbose) {
        print_report(request);
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
