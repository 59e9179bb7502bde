// A dates x instruments table read in place, and its rows copied out row-major.
#pragma once

#include <cstddef>

namespace alvora::stats {

// A read-only rows x cols table with element strides (pandas frames are usually
// stored column by column; reading them in place saves a transposed copy).
struct StridedRows {
    const double* data;
    std::size_t rows;
    std::size_t cols;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t column_stride;
};

// Rows a row-wise pass over a table copies in at a time: from a column-major table
// that reads two whole cache lines per instrument, and at 5000 instruments the
// tile's rows (640 KB) are still in the core's cache while they are worked on.
inline constexpr std::size_t kRowTile = 16;

// Rows r0..r1 of `in` into their places in the row-major rows x cols `out`.
void copy_rows(const StridedRows& in, std::size_t r0, std::size_t r1, double* out);

}  // namespace alvora::stats
