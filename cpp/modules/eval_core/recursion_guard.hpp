// Keeps deep factor trees from exhausting the C stack: past the interpreter's
// recursion limit, evaluation raises RecursionError like Python code would.
#pragma once

#include <pybind11/pybind11.h>

namespace alvora::eval_core {

class RecursionGuard {
public:
    RecursionGuard() {
        if (Py_EnterRecursiveCall(" while evaluating a factor expression") != 0)
            throw pybind11::error_already_set();
    }
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace alvora::eval_core
