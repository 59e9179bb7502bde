#include <algorithm>

#include "alvora/stats/strided_rows.hpp"

namespace alvora::stats {

void copy_rows(const StridedRows& in, std::size_t r0, std::size_t r1, double* out) {
    const std::size_t cols = in.cols;
    if (in.column_stride == 1) {
        for (std::size_t r = r0; r < r1; ++r) {
            const double* x = in.data + static_cast<std::ptrdiff_t>(r) * in.row_stride;
            std::copy(x, x + cols, out + r * cols);
        }
        return;
    }
    for (std::size_t c = 0; c < cols; ++c) {
        const double* x = in.data + static_cast<std::ptrdiff_t>(c) * in.column_stride;
        if (in.row_stride == 1 && r1 + kRowTile <= in.rows) {
            // The next tile's cells of this column: a column apart, they are too far
            // apart for the hardware to fetch them ahead.
            __builtin_prefetch(x + r1);
            __builtin_prefetch(x + r1 + kRowTile - 1);
        }
        for (std::size_t r = r0; r < r1; ++r)
            out[r * cols + c] = x[static_cast<std::ptrdiff_t>(r) * in.row_stride];
    }
}

}  // namespace alvora::stats
