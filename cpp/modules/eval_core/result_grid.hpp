// The result array of one node and the rows each instrument may fill.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>

#include "alvora/engine/alignment.hpp"

namespace alvora::eval_core {

namespace py = pybind11;

// One instrument's row mask as served by the execution context, checked
// against the grid and held as contiguous bytes for the native loops.
class ValidRows {
public:
    // Raises ValueError when the mask is not one-dimensional with `rows` entries.
    ValidRows(py::handle mask, py::handle order_book_id, py::ssize_t rows);

    std::size_t count() const { return count_; }
    alvora::engine::RowMask bytes() const;
    // The grid positions of the valid rows, as np.nonzero gives them.
    py::object positions() const;

private:
    py::array bools_;
    std::size_t count_ = 0;
};

// The column-major result array that every instrument's values are written to.
class ResultGrid {
public:
    ResultGrid(py::object result, py::ssize_t rows, py::ssize_t cols);

    const py::object& array() const { return result_; }
    // True when the array is a writable float64 Fortran-ordered ndarray of the
    // expected shape, so columns can be written natively.
    bool native() const { return native_; }

    // Writes a number into every valid row, or a value series onto the last
    // valid rows, of column `col`. Returns false, having written nothing, when
    // the value is not a plain one-dimensional numeric array that fits; the
    // caller then assigns through the array's own indexing, which converts or
    // rejects it exactly as the array library does.
    bool try_write(py::ssize_t col, const ValidRows& rows, py::handle value, bool is_number);

    // result[indexes, col] = value for a number, result[indexes[-len(value):], col] = value
    // otherwise.
    void assign(py::ssize_t col, py::handle indexes, py::handle value, bool is_number);

private:
    py::object result_;
    py::ssize_t rows_;
    py::ssize_t cols_;
    bool native_ = false;
};

}  // namespace alvora::eval_core
