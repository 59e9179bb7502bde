// The native path of node evaluation: a tree made only of the package's own
// pieces (numbers, leaves and computed nodes served by the package's execution
// context, the array library's elementwise functions, the alignment helper and the
// rolling module's kernels) is compiled into a native program and run over every
// instrument at once. Anything else, or any replaced module attribute the path
// stands for, leaves the evaluation to the per-instrument path.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>

#include "eval_core/names.hpp"

namespace alvora::eval_core {

// Captures, at import, the objects the native path recognises.
void init_native_originals(py::module_& m);

// Cheap checks made before the node's expression is read: the module attributes
// the native path stands for are the originals, the node's class is the
// package's own and the context is the package's execution context.
bool native_candidate(const Names& names, py::handle factor, py::handle ctx);

// Evaluates `factor` (its expr and shift already read) into a new column-major
// float64 array of `rows` x len(order_book_ids), every cell written once, or
// returns None when the tree or the context is not one the native path
// computes exactly as the per-instrument path would.
py::object run_native(const Names& names, py::handle expr, py::handle shift,
                      py::handle order_book_ids, py::handle ctx, std::size_t rows);

// Evaluates several factors (package nodes whose cross-sectional and fixed
// dependencies the context already holds) over `ctx` in one native program: one
// entry per factor, a new column-major float64 array of `rows` x
// len(order_book_ids) as `run_native` gives, or None where the factor is left to
// the per-instrument path.
py::list run_native_many(py::handle factors, py::handle order_book_ids, py::handle ctx,
                         std::size_t rows);

}  // namespace alvora::eval_core
