// One-shot conversion of a whole signal, with the result src_simple gives.
#pragma once

#include <pybind11/pybind11.h>

#include "converters/frame_array.hpp"

namespace quavix {

py::array resample(const FrameInput& input, double ratio, const py::object& converter_type,
                   bool verbose);

void register_resample(py::module_& converters);

} // namespace quavix
