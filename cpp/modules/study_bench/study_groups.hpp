// Turning pandas index levels and label series into integer group codes for the native
// statistics, and long-table rows into a dates x instruments grid.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace alvora::study_bench {

namespace py = pybind11;

// Read access to an integer code array in its own dtype (int8/16/32/64; other dtypes are
// converted once), so per-row codes need no widened copy.
struct CodeView {
    py::array keep;  // owns the buffer
    const void* data = nullptr;
    int bytes = 8;
    std::size_t size = 0;
    std::int64_t operator[](std::size_t k) const {
        switch (bytes) {
            case 1:
                return static_cast<const std::int8_t*>(data)[k];
            case 2:
                return static_cast<const std::int16_t*>(data)[k];
            case 4:
                return static_cast<const std::int32_t*>(data)[k];
            default:
                return static_cast<const std::int64_t*>(data)[k];
        }
    }
    // f(k, code) for every code in order, the dtype decided once for the whole walk; stops
    // early when f returns false. Returns whether the walk went to the end.
    template <typename F>
    bool each(F&& f) const {
        switch (bytes) {
            case 1:
                return walk(static_cast<const std::int8_t*>(data), f);
            case 2:
                return walk(static_cast<const std::int16_t*>(data), f);
            case 4:
                return walk(static_cast<const std::int32_t*>(data), f);
            default:
                return walk(static_cast<const std::int64_t*>(data), f);
        }
    }

  private:
    template <typename T, typename F>
    bool walk(const T* codes, F& f) const {
        for (std::size_t k = 0; k < size; ++k)
            if (!f(k, static_cast<std::int64_t>(codes[k]))) return false;
        return true;
    }
};
CodeView code_view(const py::object& codes);

// One group code per row (-1: missing label, belongs to no group) and the labels of the
// groups in ascending order, as pandas grouping orders them. For a grid (TableGrid) the
// per-row codes are left empty; `rank_of` maps the index's own level codes to groups.
struct RowGroups {
    std::vector<std::int32_t> codes;
    py::object labels;  // pandas Index
    std::vector<std::int32_t> rank_of;
    std::size_t size() const { return static_cast<std::size_t>(py::len(labels)); }
};

// Groups the rows of a table by one level of its index (a MultiIndex level or a plain
// index carrying that name). Raises ValueError when the level does not exist.
RowGroups groups_of_level(const py::object& index, const char* level);

// Groups given by level codes (view) that index into `labels`; codes stay in the view and
// `rank_of` maps them to groups.
RowGroups groups_of_codes(const CodeView& codes, const py::object& labels);

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
// The same, or nothing when a pair occurs twice.
std::optional<TableGrid> try_grid_of_table(const py::object& index);

// For every row of `other` (a two-level index with levels "datetime" and
// "order_book_id"), the row of the table holding the same pair, or -1.
std::vector<std::int64_t> align_rows(const TableGrid& grid, const py::object& other);

// Two MultiIndexes holding the same labels in the same order, compared through their
// levels and codes (other indexes through equals).
bool same_pairs(const py::object& a, const py::object& b);

// Index codes (any integer dtype) copied once into int32.
std::vector<std::int32_t> int32_codes(const py::object& codes);

// A float64 view (or converted copy) of a table column; raises ValueError naming the
// column when its values are not numeric.
py::array_t<double> numeric_column(const py::object& table, const py::object& column);

}  // namespace alvora::study_bench
