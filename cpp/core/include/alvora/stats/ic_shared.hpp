// The sorted orders of the forward-return columns, which do not depend on the factor:
// computed once, they serve every factor studied against the same returns over the same
// rows. Each is exactly the order the per-factor computation would sort, so results
// with and without them are identical.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "alvora/stats/ic.hpp"

namespace alvora::stats {

// Entries of one column in ascending order of value (NaN left out), and where equal
// values sit: ties[2g] .. ties[2g + 1] (end excluded) are the positions of the g-th run
// of two or more equal values.
struct SortedRun {
    std::vector<std::uint32_t> order;
    std::vector<std::uint32_t> ties;
};

// Scratch space of the sorts below.
struct RunScratch {
    std::vector<std::uint64_t> keys;
    std::vector<double> values, sorted, kept;
};

// Sorts `values` into `run` (NaN left out); scratch.sorted then holds the values in order.
void sort_run(std::span<const double> values, SortedRun& run, RunScratch& scratch);

// The runs of equal neighbours of an ascending sequence.
void find_ties(std::span<const double> sorted, std::vector<std::uint32_t>& ties);

// One date of a grid: which return columns hold a value per instrument, and each column's
// present values sorted, over all its instruments (`full`) and over the instruments
// where every column is present (`complete_only`).
struct DateOrders {
    std::vector<std::uint8_t> valid;     // column k, instrument i at k * n_instruments + i
    std::vector<std::uint8_t> complete;  // every column present
    std::vector<SortedRun> full;
    std::vector<SortedRun> complete_only;
};

// Fills `out` for date t of the grid (absent rows count as NaN).
void fill_date_orders(std::span<const std::span<const double>> returns, const RowGrid& grid,
                      std::size_t t, DateOrders& out, RunScratch& scratch);

// Every date of the grid, and the bytes that takes (known before building it).
std::vector<DateOrders> date_return_orders(std::span<const std::span<const double>> returns,
                                           const RowGrid& grid);
std::size_t date_return_orders_bytes(std::size_t n_columns, const RowGrid& grid);

// Per group g of rows and return column k: the column's order over the positions of the
// group's rows (j indexes groups.rows[offsets[g] + j]) and its runs of equal values.
struct ReturnOrders {
    std::size_t n_columns = 0;
    std::vector<std::size_t> start;  // n_groups * n_columns + 1 offsets into order
    std::vector<std::uint32_t> order;
    std::vector<std::size_t> ties_start;  // likewise into ties
    std::vector<std::uint32_t> ties;
    // valid[k * n_rows + p]: column k holds a value at grouped position p.
    std::vector<std::uint8_t> valid;

    std::span<const std::uint32_t> order_of(std::size_t group, std::size_t column) const {
        const std::size_t c = group * n_columns + column;
        return {order.data() + start[c], start[c + 1] - start[c]};
    }
    std::span<const std::uint32_t> ties_of(std::size_t group, std::size_t column) const {
        const std::size_t c = group * n_columns + column;
        return {ties.data() + ties_start[c], ties_start[c + 1] - ties_start[c]};
    }
};

ReturnOrders group_return_orders(std::span<const std::span<const double>> returns,
                                 const GroupedRows& groups);
// The bytes group_return_orders takes at most.
std::size_t group_return_orders_bytes(std::size_t n_columns, const GroupedRows& groups);

}  // namespace alvora::stats
