// Raising Python exceptions of any built-in type with a formatted message.
#pragma once

#include <pybind11/pybind11.h>

namespace alvora::study_bench {

namespace py = pybind11;

[[noreturn]] inline void raise_py(PyObject* type, const py::str& message) {
    PyErr_SetObject(type, message.ptr());
    throw py::error_already_set();
}

}  // namespace alvora::study_bench
