// The native path of node evaluation: a tree made only of the package's own
// pieces (numbers, leaves and computed nodes served by the package's execution
// context, the array library's elementwise functions, the alignment helper and the
// rolling module's kernels) is compiled into a native program and run over every
// instrument at once. Anything else, or any replaced module attribute the path
// stands for, leaves the evaluation to the per-instrument path.
#pragma once

#include <pybind11/pybind11.h>

#include "eval_core/names.hpp"
#include "eval_core/result_grid.hpp"

namespace alvora::eval_core {

// Captures, at import, the objects the native path recognises.
void init_native_originals(py::module_& m);

// Fills `grid` for `factor` (its expr and shift already read) and returns true, or
// returns false having written nothing when the tree or the context is not one the
// native path computes exactly as the per-instrument path would.
bool run_native(const Names& names, py::handle factor, py::handle expr, py::handle shift,
                py::handle order_book_ids, py::handle ctx, ResultGrid& grid);

}  // namespace alvora::eval_core
