// Placing one instrument's values onto the evaluation grid.
//
// An instrument is valid on some rows of the grid (its row mask). A value
// series holds one value per valid row, oldest first, possibly shorter than the
// number of valid rows because windows consume rows before the first value:
// it is right-aligned, so its last element lands on the last valid row and
// consecutive elements land on consecutive valid rows, whatever invalid rows
// (suspensions) lie between them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace alvora::engine {

// A row mask: one byte per grid row, nonzero where the instrument is valid.
using RowMask = std::span<const std::uint8_t>;

// Number of valid rows.
std::size_t count_valid(RowMask mask);

// Grid positions of the valid rows, ascending.
std::vector<std::int64_t> valid_positions(RowMask mask);

// Writes `value` into every valid row of `column`.
// Throws std::invalid_argument when the column and mask sizes differ.
void fill_valid(RowMask mask, double value, std::span<double> column);

// Writes `values` onto the last values.size() valid rows of `column`; every
// other row is left untouched. Throws std::invalid_argument when the column and
// mask sizes differ or when there are more values than valid rows.
void scatter_right_aligned(RowMask mask, std::span<const double> values,
                           std::span<double> column);

}  // namespace alvora::engine
