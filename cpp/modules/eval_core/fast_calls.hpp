// Calls on the per-instrument path, made through the interpreter's vectorcall
// protocol with interned names: a node is evaluated for thousands of
// instruments, and building argument tuples and name strings for every call
// would cost more than the bookkeeping around it.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

namespace alvora::eval_core {

namespace py = pybind11;

// Interned attribute names, created once at import.
struct HotNames {
    PyObject* exec_expr = nullptr;
    PyObject* get_factor_value = nullptr;
    PyObject* get_mask_for = nullptr;
};
extern HotNames hot_names;
void intern_hot_names();

// self.name(a)
py::object call_method(py::handle self, PyObject* name, py::handle a);
// self.name(a, b)
py::object call_method(py::handle self, PyObject* name, py::handle a, py::handle b);
// func(*args)
py::object call_with(py::handle func, const std::vector<py::object>& args);
// func(a, b, c)
py::object call3(py::handle func, py::handle a, py::handle b, py::handle c);

}  // namespace alvora::eval_core
