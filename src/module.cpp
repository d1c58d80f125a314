// The extension module quavix: its initialisation and the module body, which registers every
// function and type in a fixed order and then copies the public names to the top level.
#include <pybind11/pybind11.h>

#include "converters/resample.hpp"
#include "converters/resampler.hpp"
#include "core/converter_type.hpp"
#include "core/error_handler.hpp"

namespace py = pybind11;

namespace {

void copy_to_top_level(py::module_& top, const py::module_& from, const char* name) {
    top.attr(name) = from.attr(name);
}

} // namespace

PYBIND11_MODULE(quavix, m) {
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
    quavix::register_converter_type(converters);

    copy_to_top_level(m, exceptions, "ResamplingError");
    copy_to_top_level(m, converters, "resample");
    copy_to_top_level(m, converters, "Resampler");
    copy_to_top_level(m, converters, "ConverterType");
}
