// Conversions between Python objects and contiguous numeric buffers.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <span>

namespace alvora::arrays {

namespace py = pybind11;

using F64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using I64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// A C-contiguous float64 view or copy of any array-like (pandas objects included).
inline F64Array as_f64(const py::handle& obj) {
    py::object arr = py::module_::import("numpy").attr("asarray")(obj, "float64");
    return F64Array::ensure(arr);
}

inline std::span<const double> span_of(const F64Array& a) {
    return {a.data(), static_cast<std::size_t>(a.size())};
}

inline std::span<double> mutable_span_of(F64Array& a) {
    return {a.mutable_data(), static_cast<std::size_t>(a.size())};
}

}  // namespace alvora::arrays
