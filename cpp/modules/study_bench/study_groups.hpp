// Turning pandas index levels and label series into integer group codes for the native
// statistics, and long-table rows into a dates x instruments grid.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

namespace alvora::study_bench {

namespace py = pybind11;

// One group code per row (-1: missing label, belongs to no group) and the labels of the
// groups in ascending order, as pandas grouping orders them.
struct RowGroups {
    std::vector<std::int32_t> codes;
    py::object labels;  // pandas Index
    std::size_t size() const { return static_cast<std::size_t>(py::len(labels)); }
};

// Groups the rows of a table by one level of its index (a MultiIndex level or a plain
// index carrying that name). Raises ValueError when the level does not exist.
RowGroups groups_of_level(const py::object& index, const char* level);

// Groups rows by the values of an array-like (Series values, categorical included).
RowGroups groups_of_values(const py::object& values);

// The long table's rows as a dates x instruments grid (dates in ascending order).
// `rows` is empty when the table is the full product in date-major order.
struct TableGrid {
    RowGroups dates;
    RowGroups instruments;
    std::vector<std::int64_t> rows;  // n_dates * n_instruments entries, -1 = no row
};

// Raises ValueError when a (date, instrument) pair occurs twice.
TableGrid grid_of_table(const py::object& index);

// For every row of `other` (a two-level index with levels "datetime" and
// "order_book_id"), the row of the table holding the same pair, or -1.
std::vector<std::int64_t> align_rows(const TableGrid& grid, const py::object& other);

// A float64 view (or converted copy) of a table column; raises ValueError naming the
// column when its values are not numeric.
py::array_t<double> numeric_column(const py::object& table, const py::object& column);

}  // namespace alvora::study_bench
