#include "converters/callback_resampler.hpp"

#include <algorithm>
#include <climits>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include <pybind11/stl.h>

#include "core/converter_type.hpp"
#include "core/error_handler.hpp"

namespace quavix {

namespace {

// The object whose read is running on this thread. libsamplerate's callback data cannot tell
// it: src_clone copies the source's address into the copy, and a move leaves it pointing at
// the moved-from object.
thread_local CallbackResampler* reading_object = nullptr;

constexpr const char* class_doc =
    "\n    CallbackResampler.\n\n    Parameters\n    ----------\n    callback : function\n        "
    "Function that returns new frames on each call, or `None` otherwise.\n        Input data with "
    "one or more channels is represented as a 2D array of shape\n        (`num_frames`, "
    "`num_channels`).\n        A single channel can be provided as a 1D array of `num_frames` "
    "length.\n        For use with `libsamplerate`, `input_data` is converted to 32-bit float "
    "and\n        C (row-major) memory order.\n    ratio : float\n        Conversion ratio = "
    "output sample rate / input sample rate.\n    converter_type : ConverterType, str, or int\n    "
    "    Sample rate converter.\n    channels : int\n        Number of channels.\n    ";

constexpr const char* read_doc =
    "\n            Read a number of frames from the resampler.\n\n            Parameters\n         "
    "   ----------\n            num_frames : int\n                Number of frames to read.\n\n    "
    "        Returns\n            -------\n            output_data : ndarray\n                "
    "Resampled frames as a (`num_output_frames`, `num_channels`) or\n                "
    "(`num_output_frames`,) array. Note that this may return fewer frames\n                than "
    "requested, for example when no more input is available.\n           ";

} // namespace

// Marks an object as reading for the duration of src_callback_read, and restores the previous
// mark afterwards, so that a callable may itself read from another CallbackResampler.
class CallbackResampler::ReadScope {
public:
    explicit ReadScope(CallbackResampler& object) : object_(object), previous_(reading_object) {
        reading_object = &object;
        object.reading_ = true;
    }
    ~ReadScope() {
        object_.reading_ = false;
        reading_object = previous_;
    }
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

private:
    CallbackResampler& object_;
    CallbackResampler* previous_;
};

InputCallable::InputCallable(std::optional<py::function> function) {
    if (function) {
        function_ = std::move(*function);
    }
}

FrameArray InputCallable::operator()() const {
    if (!function_) {
        throw std::bad_function_call();
    }
    // Converting through the array_t constructor keeps NumPy's own error when it fails.
    return FrameArray(function_());
}

CallbackResampler::CallbackResampler(std::optional<py::function> callback, double ratio_,
                                     const py::object& converter_type_, std::int32_t channels_)
    : callable(std::move(callback)), held_input(allocate_frames(0, 1, true)), ratio(ratio_),
      converter_type(get_converter_type(converter_type_)),
      channels(static_cast<std::size_t>(channels_)), lookback_(converter_type, channels_) {
    open_state();
}

// The copy is served by itself alone (see reading_object). It takes a reference to the
// source's held array because libsamplerate's copied record of unused input points into it.
CallbackResampler::CallbackResampler(const CallbackResampler& other)
    : callable(other.callable), held_input(other.held_input), ratio(other.ratio),
      converter_type(other.converter_type), channels(other.channels), lookback_(other.lookback_),
      input_end_(other.input_end_) {
    other.refuse_while_reading("copying");
    int error = 0;
    state.reset(src_clone(other.state.get(), &error));
    if (!state) {
        error_handler(error);
    }
}

CallbackResampler::CallbackResampler(CallbackResampler&& other) noexcept
    : state(std::move(other.state)), callable(std::move(other.callable)),
      held_input(std::move(other.held_input)), input_ndim(std::exchange(other.input_ndim, 0)),
      ratio(std::exchange(other.ratio, 0.0)),
      converter_type(std::exchange(other.converter_type, 0)),
      channels(std::exchange(other.channels, 0)), lookback_(std::move(other.lookback_)),
      input_end_(std::exchange(other.input_end_, InputEnd::none)) {}

CallbackResampler::~CallbackResampler() {
    // libsamplerate's state goes first; the held array and then the callable follow as members.
    state.reset();
}

py::array CallbackResampler::read(std::size_t num_frames) {
    refuse_while_reading("read()");
    check_ratio(ratio);
    // libsamplerate counts output frames in a signed long.
    if (num_frames > static_cast<std::size_t>(LONG_MAX) / std::max<std::size_t>(channels, 1)) {
        throw std::bad_alloc();
    }
    FrameArray output = allocate_frames(num_frames, static_cast<std::int32_t>(channels), false);
    open_state();
    const long generated = pull_frames(output, num_frames);
    return shape_result(std::move(output), static_cast<std::size_t>(generated));
}

void CallbackResampler::reset() {
    refuse_while_reading("reset()");
    error_handler(src_reset(state.get()));
    input_end_ = InputEnd::none;
    lookback_.forget();
}

void CallbackResampler::set_starting_ratio(double new_ratio) {
    refuse_while_reading("set_starting_ratio()");
    // libsamplerate lets NaN through here and fails on it later.
    check_ratio(new_ratio);
    error_handler(src_set_ratio(state.get(), new_ratio));
    ratio = new_ratio;
}

CallbackResampler CallbackResampler::clone() const {
    refuse_while_reading("clone()");
    return CallbackResampler(*this);
}

void CallbackResampler::exit(const py::object& /*type*/, const py::object& /*value*/,
                             const py::object& /*traceback*/) {
    refuse_while_reading("__exit__()");
    state.reset();
}

void CallbackResampler::refuse_while_reading(const char* member) const {
    if (reading_) {
        throw std::runtime_error(std::string("CallbackResampler: ") + member +
                                 " is not allowed while a read of the same object is in "
                                 "progress (from its callable or from another thread)");
    }
}

void CallbackResampler::open_state() {
    if (state) {
        return;
    }
    // libsamplerate aborts on a channel count below 1 instead of refusing it.
    check_channel_count(static_cast<std::int32_t>(channels));
    int error = 0;
    // The callback data is not used by pull_input; it is the object for completeness only.
    state.reset(src_callback_new(&CallbackResampler::pull_input, converter_type,
                                 static_cast<int>(channels), &error, this));
    if (!state) {
        error_handler(error);
    }
    input_end_ = InputEnd::none;
    lookback_.forget();
}

long CallbackResampler::pull_frames(FrameArray& output, std::size_t num_frames) {
    long generated = 0;
    {
        ReadScope scope(*this);
        generated = src_callback_read(state.get(), ratio, static_cast<long>(num_frames),
                                      output.mutable_data());
    }
    if (failure_) {
        // libsamplerate's position is stale and its record of unused input may point into an
        // array that has been released: start afresh before handing the failure on.
        const std::exception_ptr failure = std::exchange(failure_, nullptr);
        error_handler(src_reset(state.get()));
        input_end_ = InputEnd::none;
        lookback_.forget();
        std::rethrow_exception(failure);
    }
    // A short read means that libsamplerate has given out everything it held.
    if (input_end_ == InputEnd::draining && static_cast<std::size_t>(generated) < num_frames) {
        restart_after_drain();
    }
    if (generated == 0) {
        error_handler(src_error(state.get()));
    }
    return generated;
}

py::array CallbackResampler::shape_result(FrameArray output, std::size_t generated) const {
    if (channels == 1 && input_ndim == 1) {
        const auto requested = static_cast<std::size_t>(output.shape(0));
        FrameArray mono = allocate_frames(requested, 1, true);
        std::copy_n(output.data(), generated, mono.mutable_data());
        output = std::move(mono);
    }
    return first_frames(output, generated);
}

long CallbackResampler::pull_input(void* /*callback_data*/, float** slot) noexcept {
    CallbackResampler* const object = reading_object;
    // After a failure, or the end of a sinc converter's input, libsamplerate only drains what
    // it holds; the callable is not asked again during the drain.
    if (object == nullptr || object->failure_ || object->input_end_ != InputEnd::none) {
        return 0;
    }
    try {
        const long frames = object->next_input(slot);
        if (frames == 0) {
            object->note_end_of_input();
        }
        return frames;
    } catch (...) {
        // Nothing may unwind through libsamplerate; read rethrows this once it has returned.
        object->failure_ = std::current_exception();
        return 0;
    }
}

void CallbackResampler::note_end_of_input() {
    if (keeps_end_mark(converter_type)) {
        input_end_ = InputEnd::draining;
    }
}

void CallbackResampler::restart_after_drain() {
    error_handler(src_reset(state.get()));
    input_end_ = InputEnd::none;
}

long CallbackResampler::next_input(float** slot) {
    FrameArray input = callable();
    if (input_ndim == 0) {
        input_ndim = static_cast<std::size_t>(input.ndim());
    }
    if (!input.is(held_input)) {
        held_input = std::move(input);
    }
    if (held_input.ndim() == 0) {
        return 0;
    }
    require_channels(analyse_frames(held_input), static_cast<std::int32_t>(channels));
    const std::int64_t frames = held_input.shape(0);
    if (frames == 0) {
        return 0;
    }
    const float* data = held_input.data();
    // libsamplerate only reads input; the array may well be read-only.
    *slot = const_cast<float*>(lookback_.guard(data, frames));
    lookback_.remember(data + static_cast<std::size_t>(frames - 1) * channels);
    return static_cast<long>(frames);
}

void register_callback_resampler(py::module_& converters) {
    py::class_<CallbackResampler>(converters, "CallbackResampler", class_doc)
        .def(py::init<std::optional<py::function>, double, const py::object&, std::int32_t>(),
             py::arg("callback"), py::arg("ratio"), py::arg("converter_type") = "sinc_best",
             py::arg("channels") = 1)
        .def(py::init<const CallbackResampler&>())
        .def("read", &CallbackResampler::read, py::arg("num_frames"), read_doc)
        .def("reset", &CallbackResampler::reset, "Reset state.")
        .def("set_starting_ratio", &CallbackResampler::set_starting_ratio,
             "Set the starting conversion ratio for the next `read` call.")
        .def("clone", &CallbackResampler::clone, "Create a copy of the resampler object.")
        .def("__enter__", &CallbackResampler::enter, py::return_value_policy::reference_internal)
        .def("__exit__", &CallbackResampler::exit)
        .def_readwrite("ratio", &CallbackResampler::ratio,
                       "Conversion ratio = output sample rate / input sample rate.")
        .def_readonly("converter_type", &CallbackResampler::converter_type, "Converter type.")
        .def_readonly("channels", &CallbackResampler::channels, "Number of channels.");
}

} // namespace quavix
