#include "converters/callback_resampler.hpp"

#include <algorithm>
#include <climits>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include <pybind11/stl.h>

#include "converters/collected.hpp"
#include "converters/without_gil.hpp"
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
    explicit ReadScope(CallbackResampler& object) : previous_(reading_object) {
        reading_object = &object;
    }
    ~ReadScope() { reading_object = previous_; }
    ReadScope(const ReadScope&) = delete;
    ReadScope& operator=(const ReadScope&) = delete;

private:
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
    auto value = py::reinterpret_steal<py::object>(PyObject_CallNoArgs(function_.ptr()));
    if (!value) {
        throw py::error_already_set();
    }
    // A value that needs converting keeps NumPy's own error when the conversion fails.
    return to_frame_array(value);
}

CallbackResampler::CallbackResampler(std::optional<py::function> callback, double ratio,
                                     const py::object& converter_type, std::int32_t channels)
    : callable_(std::move(callback)), held_input_(allocate_frames(0, 1, true)), ratio_(ratio),
      converter_type_(get_converter_type(converter_type)),
      channels_(static_cast<std::size_t>(channels)), lookback_(converter_type_, channels) {
    open_state();
}

CallbackResampler::CallbackResampler(const CallbackResampler& other)
    : CallbackResampler(other, other.claim("copying")) {}

// The copy is served by itself alone (see reading_object). It takes a reference to the
// source's held array because libsamplerate's copied record of unused input points into it.
CallbackResampler::CallbackResampler(const CallbackResampler& other, const UseClaim& /*claim*/)
    : callable_(other.callable_), held_input_(other.held_input_), ratio_(other.ratio()),
      converter_type_(other.converter_type_), channels_(other.channels_),
      lookback_(other.lookback_), input_end_(other.input_end_) {
    other.require_not_cleared("copying");
    state_ = clone_state(other.state_.get());
}

CallbackResampler::CallbackResampler(CallbackResampler&& other) noexcept
    : state_(std::move(other.state_)), callable_(std::move(other.callable_)),
      held_input_(std::move(other.held_input_)), input_ndim_(std::exchange(other.input_ndim_, 0)),
      ratio_(other.ratio_.exchange(0.0, std::memory_order_relaxed)),
      converter_type_(std::exchange(other.converter_type_, 0)),
      channels_(std::exchange(other.channels_, 0)), lookback_(std::move(other.lookback_)),
      input_end_(std::exchange(other.input_end_, InputEnd::none)),
      cleared_(std::exchange(other.cleared_, false)) {}

CallbackResampler::~CallbackResampler() {
    // libsamplerate's state goes first; the held array and then the callable follow as members.
    state_.reset();
}

UseClaim CallbackResampler::claim(const char* member) const {
    return UseClaim(in_use_, "CallbackResampler", member,
                    "a read of the same object is in progress (from its callable or from "
                    "another thread)");
}

py::array CallbackResampler::read(std::size_t num_frames) {
    const UseClaim claimed = claim("read()");
    // Only members under the claim change it, so it holds for the whole read.
    const double target = ratio();
    check_ratio(target);
    // libsamplerate counts output frames in a signed long.
    if (num_frames > static_cast<std::size_t>(LONG_MAX) / std::max<std::size_t>(channels_, 1)) {
        throw std::bad_alloc();
    }
    FrameArray output = allocate_frames(num_frames, static_cast<std::int32_t>(channels_), false);
    open_state();
    const long generated = pull_frames(output, num_frames, target);
    return shape_result(std::move(output), static_cast<std::size_t>(generated));
}

void CallbackResampler::reset() {
    const UseClaim claimed = claim("reset()");
    require_not_cleared("reset()");
    error_handler(src_reset(state_.get()));
    forget_input();
}

void CallbackResampler::set_starting_ratio(double new_ratio) {
    const UseClaim claimed = claim("set_starting_ratio()");
    require_not_cleared("set_starting_ratio()");
    // libsamplerate lets NaN through here and fails on it later.
    check_ratio(new_ratio);
    error_handler(src_set_ratio(state_.get(), new_ratio));
    ratio_.store(new_ratio, std::memory_order_relaxed);
}

void CallbackResampler::set_ratio(double ratio) {
    const UseClaim claimed = claim("setting ratio");
    ratio_.store(ratio, std::memory_order_relaxed);
}

CallbackResampler CallbackResampler::clone() const {
    return CallbackResampler(*this, claim("clone()"));
}

void CallbackResampler::exit(const py::object& /*type*/, const py::object& /*value*/,
                             const py::object& /*traceback*/) {
    const UseClaim claimed = claim("__exit__()");
    state_.reset();
}

void CallbackResampler::open_state() {
    if (state_) {
        return;
    }
    require_not_cleared("read()");
    // libsamplerate aborts on a channel count below 1 instead of refusing it.
    check_channel_count(static_cast<std::int32_t>(channels_));
    int error = 0;
    // The callback data is not used by pull_input; it is the object for completeness only.
    state_.reset(src_callback_new(&CallbackResampler::pull_input, converter_type_,
                                  static_cast<int>(channels_), &error, this));
    if (!state_) {
        error_handler(error);
    }
    forget_input();
}

int CallbackResampler::traverse(visitproc visit, void* arg) const {
    Py_VISIT(callable_.ptr());
    Py_VISIT(held_input_.ptr());
    return 0;
}

void CallbackResampler::clear() noexcept {
    // The collector clears only what nothing reaches, and a read in progress is reached from
    // its caller; should it come to one all the same, the read keeps what it uses.
    if (!in_use_.try_claim()) {
        return;
    }
    // libsamplerate's record of unused input points into the held array, so the state goes
    // with it. The references are dropped after the claim, and after the fields are empty:
    // whatever runs when they go (a __del__) finds a cleared object, not a busy or half one.
    InputCallable callable = std::move(callable_);
    FrameArray input = std::move(held_input_);
    state_.reset();
    cleared_ = true;
    in_use_.release();
}

void CallbackResampler::require_not_cleared(const char* member) const {
    if (cleared_) {
        throw std::runtime_error(std::string("CallbackResampler: ") + member +
                                 " is not allowed: the garbage collector has cleared this "
                                 "object, which holds no callable any more");
    }
}

// The converter starts afresh: no end to drain, no frame before the next input.
void CallbackResampler::forget_input() {
    input_end_ = InputEnd::none;
    lookback_.forget();
}

long CallbackResampler::pull_frames(FrameArray& output, std::size_t num_frames, double ratio) {
    long generated = 0;
    float* out = output.mutable_data();
    {
        const ReadScope scope(*this);
        const auto input = static_cast<std::int64_t>(static_cast<double>(num_frames) / ratio);
        const GilRelease gil(worth_releasing(converter_type_, input, num_frames, channels_));
        released_ = gil.released();
        generated = src_callback_read(state_.get(), ratio, static_cast<long>(num_frames), out);
    }
    released_ = nullptr;
    if (failure_) {
        // libsamplerate's position is stale and its record of unused input may point into an
        // array that has been released: start afresh before handing the failure on.
        const std::exception_ptr failure = std::exchange(failure_, nullptr);
        error_handler(src_reset(state_.get()));
        forget_input();
        std::rethrow_exception(failure);
    }
    // A short read means that libsamplerate has given out everything it held.
    if (input_end_ == InputEnd::draining && static_cast<std::size_t>(generated) < num_frames) {
        restart_after_drain();
    }
    if (generated == 0) {
        error_handler(src_error(state_.get()));
    }
    return generated;
}

py::array CallbackResampler::shape_result(FrameArray output, std::size_t generated) const {
    if (channels_ == 1 && input_ndim_ == 1) {
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
    if (object->released_ == nullptr) {
        return object->serve_input(slot);
    }
    // The GIL for the callable and the checks of its array alone; libsamplerate goes on
    // without it.
    const GilRetake gil(object->released_);
    return object->serve_input(slot);
}

long CallbackResampler::serve_input(float** slot) noexcept {
    try {
        const long frames = next_input(slot);
        if (frames == 0) {
            note_end_of_input();
        }
        return frames;
    } catch (...) {
        // Nothing may unwind through libsamplerate; read rethrows this once it has returned.
        failure_ = std::current_exception();
        return 0;
    }
}

void CallbackResampler::note_end_of_input() {
    if (keeps_end_mark(converter_type_)) {
        input_end_ = InputEnd::draining;
    }
}

void CallbackResampler::restart_after_drain() {
    error_handler(src_reset(state_.get()));
    input_end_ = InputEnd::none;
}

long CallbackResampler::next_input(float** slot) {
    FrameArray input = callable_();
    if (input_ndim_ == 0) {
        input_ndim_ = static_cast<std::size_t>(input.ndim());
    }
    if (!input.is(held_input_)) {
        held_input_ = std::move(input);
    }
    if (held_input_.ndim() == 0) {
        return 0;
    }
    require_channels(analyse_frames(held_input_), static_cast<std::int32_t>(channels_));
    const std::int64_t frames = held_input_.shape(0);
    if (frames == 0) {
        return 0;
    }
    const float* data = held_input_.data();
    // libsamplerate only reads input; the array may well be read-only.
    *slot = const_cast<float*>(lookback_.guard(data, frames));
    lookback_.remember(data + static_cast<std::size_t>(frames - 1) * channels_);
    return static_cast<long>(frames);
}

void register_callback_resampler(py::module_& converters) {
    py::class_<CallbackResampler>(converters, "CallbackResampler", class_doc,
                                  collected_by_gc<CallbackResampler>())
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
        .def_property("ratio", &CallbackResampler::ratio, &CallbackResampler::set_ratio,
                      "Conversion ratio = output sample rate / input sample rate.")
        .def_property_readonly("converter_type", &CallbackResampler::converter_type,
                               "Converter type.")
        .def_property_readonly("channels", &CallbackResampler::channels, "Number of channels.");
}

} // namespace quavix
