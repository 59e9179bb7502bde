#include "eval_core/result_grid.hpp"

#include <span>
#include <string>
#include <vector>

#include "eval_core/names.hpp"

namespace alvora::eval_core {

namespace {

using F64Array = py::array_t<double, py::array::c_style>;
using F64Fortran = py::array_t<double, py::array::f_style>;

py::object numpy() { return py::reinterpret_borrow<py::object>(originals.numpy); }

std::string repr_of(py::handle obj) { return py::repr(obj).cast<std::string>(); }

}  // namespace

ValidRows::ValidRows(py::handle mask, py::handle order_book_id, py::ssize_t rows) {
    py::array arr = py::isinstance<py::array>(mask)
                        ? py::reinterpret_borrow<py::array>(mask)
                        : py::array(numpy().attr("asarray")(mask));
    if (arr.ndim() != 1) {
        throw py::value_error("the valid-row mask of " + repr_of(order_book_id) +
                              " must be one-dimensional, got " + std::to_string(arr.ndim()) +
                              " dimensions");
    }
    if (arr.shape(0) != rows) {
        throw py::value_error("the valid-row mask of " + repr_of(order_book_id) + " has " +
                              std::to_string(arr.shape(0)) + " entries but the grid has " +
                              std::to_string(rows) + " rows");
    }
    // Any other dtype counts nonzero entries as valid, like np.nonzero does.
    bool contiguous_bool = arr.dtype().kind() == 'b' && (arr.flags() & py::array::c_style);
    bools_ = contiguous_bool ? arr
                             : py::array(numpy().attr("ascontiguousarray")(arr, "bool"));
    count_ = alvora::engine::count_valid(bytes());
}

alvora::engine::RowMask ValidRows::bytes() const {
    return {static_cast<const std::uint8_t*>(bools_.data()),
            static_cast<std::size_t>(bools_.size())};
}

py::object ValidRows::positions() const {
    std::vector<std::int64_t> pos = alvora::engine::valid_positions(bytes());
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(pos.size()));
    std::copy(pos.begin(), pos.end(), out.mutable_data());
    return out;
}

ResultGrid::ResultGrid(py::object result, py::ssize_t rows, py::ssize_t cols)
    : result_(std::move(result)), rows_(rows), cols_(cols) {
    if (!F64Fortran::check_(result_)) return;
    auto arr = py::reinterpret_borrow<py::array>(result_);
    native_ = arr.ndim() == 2 && arr.shape(0) == rows_ && arr.shape(1) == cols_ &&
              arr.writeable();
}

bool ResultGrid::try_write(py::ssize_t col, const ValidRows& rows, py::handle value,
                           bool is_number) {
    if (!native_ || col < 0 || col >= cols_) return false;
    auto arr = py::reinterpret_borrow<py::array>(result_);
    std::span<double> column(static_cast<double*>(arr.mutable_data()) + col * rows_,
                             static_cast<std::size_t>(rows_));
    if (is_number) {
        double v = PyFloat_AsDouble(value.ptr());
        if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        alvora::engine::fill_valid(rows.bytes(), v, column);
        return true;
    }
    if (!py::isinstance<py::array>(value)) return false;
    auto series = py::reinterpret_borrow<py::array>(value);
    if (series.ndim() != 1) return false;
    const char kind = series.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') return false;
    // An empty series or one longer than the valid rows cannot be placed: the
    // caller's assignment raises the array library's shape error for it.
    const auto length = static_cast<std::size_t>(series.shape(0));
    if (length == 0 || length > rows.count()) return false;
    F64Array values = F64Array::check_(series)
                          ? py::reinterpret_borrow<F64Array>(series)
                          : py::reinterpret_steal<F64Array>(
                                numpy().attr("ascontiguousarray")(series, "float64").release());
    alvora::engine::scatter_right_aligned(rows.bytes(), {values.data(), length}, column);
    return true;
}

void ResultGrid::assign(py::ssize_t col, py::handle indexes, py::handle value, bool is_number) {
    py::object target = py::reinterpret_borrow<py::object>(indexes);
    if (!is_number) {
        Py_ssize_t length = PyObject_Length(value.ptr());
        if (length < 0) throw py::error_already_set();
        py::object start = py::int_(-length);
        PyObject* tail = PySlice_New(start.ptr(), nullptr, nullptr);
        if (tail == nullptr) throw py::error_already_set();
        target = target[py::reinterpret_steal<py::object>(tail)];
    }
    result_[py::make_tuple(target, col)] = value;
}

}  // namespace alvora::eval_core
