// Row-major result tables of the study steps, in the module's kept grid memory.
#pragma once

#include <pybind11/numpy.h>

#include <cstddef>

#include "common/grid_pool.hpp"

namespace alvora::study_bench {

namespace py = pybind11;

// A new uninitialised row-major rows x cols result in kept grid memory (a dropped
// result's pages are written again without faulting them in): the pool's
// column-major cols x rows grid is this layout.
inline py::array_t<double> fresh_rows(std::size_t rows, std::size_t cols) {
    py::array_t<double> grid = grid_pool::fresh_grid(cols, rows);
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    const auto c = static_cast<py::ssize_t>(cols);
    return py::array_t<double>({static_cast<py::ssize_t>(rows), c}, {item * c, item},
                               grid.mutable_data(), grid);
}

}  // namespace alvora::study_bench
