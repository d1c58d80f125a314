// Pull-model conversion: the caller reads output frames, and libsamplerate asks a Python
// callable for input whenever it has used up what it holds.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>

#include <pybind11/pybind11.h>
#include <samplerate.h>

#include "converters/exclusive_use.hpp"
#include "converters/frame_array.hpp"
#include "converters/linear_lookback.hpp"
#include "converters/src_state.hpp"

namespace quavix {

// The Python callable that supplies input. Holds a strong reference; empty when the object
// was built with `callback` None.
class InputCallable {
public:
    InputCallable() = default;
    explicit InputCallable(std::optional<py::function> function);

    // Calls the callable and converts its value to a row-major float32 array. Throws
    // std::bad_function_call when empty; Python errors (the callable's own, or NumPy's when
    // the value cannot be converted) as py::error_already_set.
    FrameArray operator()() const;

    // The callable itself, for the garbage collector; null when empty.
    PyObject* ptr() const { return function_.ptr(); }

private:
    py::object function_;
};

class CallbackResampler {
public:
    CallbackResampler(std::optional<py::function> callback, double ratio,
                      const py::object& converter_type, std::int32_t channels);
    CallbackResampler(const CallbackResampler& other);
    CallbackResampler(CallbackResampler&& other) noexcept;
    CallbackResampler& operator=(const CallbackResampler&) = delete;
    CallbackResampler& operator=(CallbackResampler&&) = delete;
    ~CallbackResampler();

    // Reads up to num_frames output frames. libsamplerate works without the GIL and takes it
    // back only to call the callable.
    py::array read(std::size_t num_frames);
    void reset();
    void set_starting_ratio(double new_ratio);
    CallbackResampler clone() const;
    CallbackResampler& enter() { return *this; }
    void exit(const py::object& type, const py::object& value, const py::object& traceback);

    // Read without the claim: a value another thread's set_starting_ratio or assignment is
    // storing at that moment comes out whole, old or new.
    double ratio() const { return ratio_.load(std::memory_order_relaxed); }
    // Takes any value: libsamplerate judges it at the next read.
    void set_ratio(double ratio);
    std::int32_t converter_type() const { return converter_type_; }
    std::size_t channels() const { return channels_; }

    // What the garbage collector sees: every Python object that this object keeps alive (the
    // callable, whose bound method or closure may lead back here, and the held array), and
    // their release. A cleared object refuses every later read, copy, reset and ratio change.
    int traverse(visitproc visit, void* arg) const;
    void clear() noexcept;

private:
    class ReadScope;

    // The copy, made while `claim` holds the source.
    CallbackResampler(const CallbackResampler& other, const UseClaim& claim);
    // Claims the object for the calling member, or refuses the call.
    UseClaim claim(const char* member) const;

    // The input callback handed to libsamplerate. Never lets an exception out.
    static long pull_input(void* callback_data, float** slot) noexcept;
    long serve_input(float** slot) noexcept;
    long next_input(float** slot);

    void open_state();
    void forget_input();
    // Refuses `member` on an object that the garbage collector has cleared.
    void require_not_cleared(const char* member) const;
    long pull_frames(FrameArray& output, std::size_t num_frames, double ratio);
    py::array shape_result(FrameArray output, std::size_t generated) const;

    // Whether a sinc converter is draining after the callable signalled the end of its input.
    // libsamplerate's sinc converters keep an end mark in their filter and never take input
    // after it: src_callback_read would loop for ever on new input. So they drain without
    // asking the callable, and are reset once drained, so that later input starts afresh.
    enum class InputEnd { none, draining };
    void note_end_of_input();
    void restart_after_drain();

    UseFlag in_use_;
    StatePointer state_; // null after __exit__ until the next read
    InputCallable callable_;
    FrameArray held_input_;      // the callable's last array, which libsamplerate may still read
    std::size_t input_ndim_ = 0; // rank of the first array of rank >= 1 the callable returned
    // Written under the claim, read by the ratio property without it.
    std::atomic<double> ratio_;
    // Set at construction and never changed while the object can be reached from Python: the
    // properties read them without the claim.
    std::int32_t converter_type_;
    std::size_t channels_;

    // What serving input raised during the current read, rethrown once libsamplerate is done.
    std::exception_ptr failure_;
    // Predecessor of a one-frame input array for the linear converter.
    LinearLookback lookback_;
    InputEnd input_end_ = InputEnd::none;
    // While a read runs without the GIL, the thread state that serving input takes it back on.
    PyThreadState* released_ = nullptr;
    // Set under the claim by clear(): the callable, the held array and the state are gone.
    bool cleared_ = false;
};

void register_callback_resampler(py::module_& converters);

} // namespace quavix
