// Assembling the exposure panel: placing the rows of long (date, instrument)
// tables onto a dense dates × instruments grid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace alvora::ols {

// Grid row of each pair of a two-level table. For pair k, the level codes
// date_codes[k] and inst_codes[k] (negative = missing label) are mapped through
// date_map and inst_map (grid position of each level label, negative = not on
// the grid) to date * instruments + instrument, or -1 when either is off-grid.
// Throws std::out_of_range on a code or a map entry out of range.
void pair_positions(std::span<const std::int64_t> date_codes,
                    std::span<const std::int64_t> inst_codes,
                    std::span<const std::int64_t> date_map, std::span<const std::int64_t> inst_map,
                    std::size_t dates, std::size_t instruments, std::span<std::int64_t> out);

// Copies row k of `values` (rows × q, row-major) into row positions[k] of
// `table` (width columns per row), columns [offset, offset + q). Negative
// positions are skipped. Returns the index k of the first row whose position
// was already written, if any (the table is then only partly filled).
std::optional<std::size_t> scatter_rows(std::span<const std::int64_t> positions,
                                        std::span<const double> values, std::size_t q,
                                        std::span<double> table, std::size_t width,
                                        std::size_t offset);

// The same for a table read in place with element strides: value (k, j) is
// values[k * row_stride + j * column_stride] for k < positions.size(), j < q
// (the caller guarantees that all of these lie inside its buffer).
std::optional<std::size_t> scatter_rows_strided(std::span<const std::int64_t> positions,
                                                const double* values, std::size_t q,
                                                std::ptrdiff_t row_stride,
                                                std::ptrdiff_t column_stride,
                                                std::span<double> table, std::size_t width,
                                                std::size_t offset);

// Same for one integer label per row.
std::optional<std::size_t> scatter_labels(std::span<const std::int64_t> positions,
                                          std::span<const std::int64_t> labels,
                                          std::span<std::int64_t> table);

// The inverse of `positions`: cell_rows[positions[k]] = k for every pair on the grid, -1 for
// the cells no pair reaches. Returns the index k of the first pair whose cell was already
// taken, if any (cell_rows is then only partly filled).
std::optional<std::size_t> rows_of_cells(std::span<const std::int64_t> positions,
                                         std::span<std::int64_t> cell_rows);

// A long table read in place and placed on the grid through the table row of each cell:
// value (row, j) is values[row * row_stride + j * column_stride], for j < q, and lands in
// columns [offset, offset + q) of the dense rows. With `day_of`, cell_rows covers day
// blocks of `instruments` cells and grid date d takes block day_of[d] (negative = none).
struct PlacedColumns {
    std::span<const std::int64_t> cell_rows;
    const double* values = nullptr;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t column_stride = 0;
    std::size_t q = 0;
    std::size_t offset = 0;
    std::span<const std::int64_t> day_of;
};

// The dense rows (instrument-major within each date, `width` values each) of grid dates
// [first, last) into x, NaN wherever no table places a value.
void fill_dense_rows(std::span<const PlacedColumns> tables, std::size_t instruments,
                     std::size_t width, std::size_t first, std::size_t last, std::span<double> x);

// Expands a table of day blocks onto the grid: grid date d receives the block
// of day day_of[d] (negative = none, the grid rows stay as they are). A block
// is `instruments` rows; columns [0, q) of `days` (q per row) go to columns
// [offset, offset + q) of `table` (width per row).
void copy_day_blocks(std::span<const double> days, std::size_t q,
                     std::span<const std::int64_t> day_of, std::size_t instruments,
                     std::span<double> table, std::size_t width, std::size_t offset);

}  // namespace alvora::ols
