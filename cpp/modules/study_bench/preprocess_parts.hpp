// The preprocessing steps of study_bench: Winzorization, Normalization
// (preprocess_scaling.cpp) and Neutralization (preprocess_neutralize*.cpp).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>

#include "study_bench/registry.hpp"

namespace alvora::study_bench::preprocess {

namespace py = pybind11;

void register_scaling(py::module_& m, py::object base);
void register_neutralization(py::module_& m, py::object base);

// A module attribute, looked up at the moment of use.
inline py::object global(const char* name) { return module_globals()[name]; }

inline void warn(const py::str& message) { global("warnings").attr("warn")(message); }

// ValueError unless `df` is a DataFrame (steps may be called outside a pipeline).
void require_frame(const py::object& df);

// The frame's values as a C-contiguous float64 matrix (a copy; missing values NaN).
py::array_t<double> frame_values(const py::object& df);

// The same values for reading only: the frame's own buffer when it already is such a
// matrix, else a copy.
py::array_t<double> frame_values_to_read(const py::object& df);

// A new DataFrame over `values` (rows × columns) with the given axes.
py::object make_frame(py::array_t<double> values, const py::object& index,
                      const py::object& columns);

}  // namespace alvora::study_bench::preprocess
