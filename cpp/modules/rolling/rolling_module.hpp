// Shared pieces of the alvora.rolling extension module.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/pyclass.hpp"

namespace alvora::rolling_module {

namespace py = pybind11;

// Outside names bound at import, looked up on the module when used.
extern pyclass::ModuleGlobals G;

void register_kernels(py::module_& m);
void register_nodes(py::module_& m);
void register_operators(py::module_& m);

// ---- value series and windows (inputs.cpp) ----------------------------------

enum class Kind { F64, I64, Bool };

// How a kernel wants its input: everything as float64, or integers (and
// booleans) kept as such when the result type depends on them.
enum class Want { Float, IntOrFloat, IntBoolOrFloat };

struct Series {
    py::array arr;  // one-dimensional, C-contiguous, of the kind below
    Kind kind;
    std::size_t size;

    template <class T>
    std::span<const T> span() const {
        return {static_cast<const T*>(arr.data()), size};
    }
};

// Raises TypeError for non-numeric input, ValueError unless one-dimensional.
Series to_series(py::handle x, Want want);
// The series as float64 (a view when it already is).
Series as_float(const Series& s);
// Raises TypeError unless an integer (bool refused), ValueError unless 1 <= n <= len.
std::size_t to_window(py::handle n, std::size_t len);

// Caches numpy helpers and the original rolling_window; called at import.
void init_inputs();
// True while the module attribute rolling_window is the function bound at import.
bool native_windows();
// rolling_window(series, n) as looked up on the module, checked to be a
// two-dimensional array of `cols` columns, converted to C-contiguous `dtype`.
py::array call_rolling_window(const py::array& series, py::handle n, std::size_t cols,
                              py::dtype dtype);

template <class T>
py::array_t<T> new_array(std::size_t n) {
    // Straight to numpy's constructor: the array_t constructor builds shape
    // and stride vectors on the heap first, a cost paid on every kernel call.
    auto& api = py::detail::npy_api::get();
    Py_intptr_t dims[1] = {static_cast<Py_intptr_t>(n)};
    PyObject* descr = py::dtype::of<T>().release().ptr();  // the constructor takes it over
    PyObject* a =
        api.PyArray_NewFromDescr_(api.PyArray_Type_, descr, 1, dims, nullptr, nullptr, 0, nullptr);
    if (a == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::array_t<T>>(a);
}

}  // namespace alvora::rolling_module
