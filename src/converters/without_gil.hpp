// Letting other Python threads run while libsamplerate works: how much work a request is,
// whether that is worth releasing the GIL for, and the scope that releases it.
#pragma once

#include <cstddef>
#include <cstdint>

#include <pybind11/pybind11.h>

namespace quavix {

namespace py = pybind11;

// Whether a request should run without the GIL, judged by libsamplerate's work for it in
// instructions, roughly: a cost per sample for the converter, times the channels, times the
// longer of input and output (a sinc converter's filter grows with the downsampling factor,
// so its cost follows the input then).
bool worth_releasing(std::int32_t converter, std::int64_t input_frames, std::size_t output_frames,
                     std::size_t channels);

// The most output frames that one piece of a long one-shot conversion may ask for, so that a
// piece takes a few tens of milliseconds whatever the converter, channels and ratio.
std::size_t piece_frames(std::int32_t converter, std::size_t channels, double ratio);

// Releases the GIL for its lifetime when asked to (see worth_releasing), and otherwise does
// nothing.
class GilRelease {
public:
    explicit GilRelease(bool release) : saved_(release ? PyEval_SaveThread() : nullptr) {}
    ~GilRelease() {
        if (saved_ != nullptr) {
            PyEval_RestoreThread(saved_);
        }
    }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

    // The thread state that holds the GIL again when it is taken back; null when kept.
    PyThreadState* released() const { return saved_; }

private:
    PyThreadState* saved_;
};

// Takes the GIL back for one call into Python from inside a GilRelease scope of this thread,
// and lets it go again afterwards. It does what py::gil_scoped_acquire does, without looking
// the thread state up again, because it runs once for every input block a read asks for.
class GilRetake {
public:
    explicit GilRetake(PyThreadState* saved) { PyEval_RestoreThread(saved); }
    ~GilRetake() { PyEval_SaveThread(); }
    GilRetake(const GilRetake&) = delete;
    GilRetake& operator=(const GilRetake&) = delete;
};

} // namespace quavix
