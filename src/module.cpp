// The extension module quavix: its initialisation and the module body, which registers every
// function and type in a fixed order and then copies the public names to the top level.
#include <pybind11/pybind11.h>

#include "converters/callback_resampler.hpp"
#include "converters/resample.hpp"
#include "converters/resampler.hpp"
#include "core/converter_type.hpp"
#include "core/error_handler.hpp"

namespace py = pybind11;

namespace {

void copy_to_top_level(py::module_& top, const py::module_& from, const char* name) {
    top.attr(name) = from.attr(name);
}

// On a free-threaded CPython the module declares that it runs without the GIL: every object
// serves one thread at a time under a claim of its own, and what two threads can reach is
// atomic or under that claim. Elsewhere the module definition keeps its slots as they are,
// with no Py_mod_gil slot.
#ifdef Py_GIL_DISABLED
py::mod_gil_not_used gil_option() {
    return py::mod_gil_not_used();
}
#else
py::mod_gil_not_used gil_option() {
    return py::mod_gil_used();
}
#endif

} // namespace

PYBIND11_MODULE(quavix, m, gil_option()) {
    m.doc() = "A simple python wrapper library around libsamplerate";
    m.attr("__version__") = "nightly";
    m.attr("__libsamplerate_version__") = "";

    py::module_ exceptions =
        m.def_submodule("exceptions", "Sub-module containing sampling exceptions");
    py::module_ converters =
        m.def_submodule("converters", "Sub-module containing the quavix converters");
    py::module_ internals = m.def_submodule("_internals", "Internal helper functions");

    quavix::register_get_converter_type(internals);
    quavix::register_error_handler(internals);
    quavix::register_resampling_error(exceptions);
    quavix::register_resample(converters);
    quavix::register_resampler(converters);
    quavix::register_callback_resampler(converters);
    quavix::register_converter_type(converters);

    copy_to_top_level(m, exceptions, "ResamplingError");
    copy_to_top_level(m, converters, "resample");
    copy_to_top_level(m, converters, "CallbackResampler");
    copy_to_top_level(m, converters, "Resampler");
    copy_to_top_level(m, converters, "ConverterType");
}
