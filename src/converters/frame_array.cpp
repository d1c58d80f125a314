#include "converters/frame_array.hpp"

#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>

#include <pybind11/gil_safe_call_once.h>

#include "core/error_handler.hpp"

// NumPy's own C API, for the per-call work that pybind11's array helpers make costly: they
// build shape and stride vectors on the heap for every array. Only this file uses it.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

namespace quavix {

namespace {

// libsamplerate's accepted range of ratios, bounds included.
constexpr double min_ratio = 1.0 / 256.0;
constexpr double max_ratio = 256.0;

// Whether NumPy's C API table is in place. Set once the table is loaded, and read with
// acquire order, so that the table's pointer, written by NumPy's plain store, is seen whole on
// every thread that finds the flag set.
std::atomic<bool> numpy_api_loaded{false};

// Loads the table once, however many threads ask at once: on a free-threaded CPython two first
// calls may run side by side. The GIL, where there is one, is let go while a thread waits for
// another's load.
[[gnu::noinline]] void load_numpy_api_once() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<bool> loaded;
    loaded.call_once_and_store_result([] {
        if (PyArray_ImportNumPyAPI() < 0) {
            throw py::error_already_set();
        }
        return true;
    });
    numpy_api_loaded.store(true, std::memory_order_release);
}

// NumPy's C API is loaded when the first array needs it, as pybind11 loads its own.
void load_numpy_api() {
    if (!numpy_api_loaded.load(std::memory_order_acquire)) {
        load_numpy_api_once();
    }
}

PyArrayObject* as_numpy(const py::handle& array) {
    return reinterpret_cast<PyArrayObject*>(array.ptr());
}

} // namespace

py::handle conforming_frames(py::handle object) {
    load_numpy_api();
    if (!PyArray_CheckExact(object.ptr())) {
        return {};
    }
    PyArrayObject* array = as_numpy(object);
    const PyArray_Descr* type = PyArray_DESCR(array);
    const bool conforms = type->type_num == NPY_FLOAT && PyArray_ISNBO(type->byteorder) &&
                          PyArray_IS_C_CONTIGUOUS(array);
    return conforms ? object : py::handle();
}

FrameArray to_frame_array(const py::object& object) {
    if (const py::handle frames = conforming_frames(object)) {
        return py::reinterpret_borrow<FrameArray>(frames);
    }
    return FrameArray(object);
}

FrameShape analyse_frames(const py::array& input) {
    const py::ssize_t ndim = input.ndim();
    if (ndim > 2) {
        throw std::domain_error("Input array should have at most 2 dimensions");
    }
    if (ndim < 2) {
        return {ndim, 1};
    }
    const py::ssize_t extent = input.shape(1);
    if (extent > std::numeric_limits<std::int32_t>::max()) {
        throw std::domain_error("Invalid number of channels in input data: more than 2147483647.");
    }
    return {ndim, static_cast<std::int32_t>(extent)};
}

void require_channels(const FrameShape& shape, std::int32_t expected) {
    if (shape.channels != expected || shape.channels == 0) {
        throw std::domain_error("Invalid number of channels in input data.");
    }
}

std::int64_t frame_count(const py::array& input) {
    if (input.ndim() == 0) {
        throw std::domain_error("Input array should have at least 1 dimension");
    }
    return static_cast<std::int64_t>(input.shape(0));
}

void check_ratio(double ratio) {
    // Written so that NaN fails both comparisons and is refused.
    if (!(ratio >= min_ratio && ratio <= max_ratio)) {
        error_handler(src_err_bad_src_ratio);
    }
}

void check_channel_count(std::int32_t channels) {
    if (channels < 1) {
        error_handler(src_err_bad_channel_count);
    }
}

std::size_t output_capacity(std::int64_t frames, double ratio) {
    const double capacity = std::ceil(static_cast<double>(frames) * ratio);
    // libsamplerate counts frames in a signed long; no real allocation gets near this.
    if (capacity >= static_cast<double>(std::numeric_limits<long>::max())) {
        throw std::bad_alloc();
    }
    return static_cast<std::size_t>(capacity);
}

FrameArray allocate_frames(std::size_t frames, std::int32_t channels, bool one_dim) {
    load_numpy_api();
    npy_intp shape[2] = {static_cast<npy_intp>(frames), static_cast<npy_intp>(channels)};
    PyObject* array = PyArray_SimpleNew(one_dim ? 1 : 2, shape, NPY_FLOAT);
    if (array == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<FrameArray>(array);
}

py::array first_frames(const FrameArray& full, std::size_t generated) {
    PyArrayObject* source = as_numpy(full);
    const auto rows = static_cast<npy_intp>(generated);
    if (rows == PyArray_DIM(source, 0)) {
        return full;
    }
    npy_intp shape[2] = {rows, PyArray_NDIM(source) == 2 ? PyArray_DIM(source, 1) : 0};
    PyArray_Descr* type = PyArray_DESCR(source);
    Py_INCREF(type); // taken by the new view
    auto view = py::reinterpret_steal<py::array>(PyArray_NewFromDescr(
        &PyArray_Type, type, PyArray_NDIM(source), shape, PyArray_STRIDES(source),
        PyArray_DATA(source), PyArray_FLAGS(source) & ~NPY_ARRAY_OWNDATA, nullptr));
    if (!view) {
        throw py::error_already_set();
    }
    // The view keeps the full array alive; SetBaseObject takes the reference even on failure.
    if (PyArray_SetBaseObject(as_numpy(view), full.inc_ref().ptr()) < 0) {
        throw py::error_already_set();
    }
    return view;
}

} // namespace quavix
