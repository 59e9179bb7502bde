// Forward returns over several horizons from a table of daily simple returns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace alvora::stats {

// A read-only dates x instruments view with element strides (pandas frames are usually
// stored column by column, so this avoids copying them).
struct StridedMatrix {
    const double* data;
    std::size_t rows;
    std::size_t cols;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;
    double at(std::size_t r, std::size_t c) const {
        return data[static_cast<std::ptrdiff_t>(r) * row_stride +
                    static_cast<std::ptrdiff_t>(c) * col_stride];
    }
};

// For every horizon n (negative looks back) and every selected row t (rows[j], a row of
// `returns`), out[k][j * cols + i] = G[t + n][i] / G[t][i] - 1, where G is the running
// product of (1 + return) down each column that skips missing returns and carries the
// last value forward (NaN before a column's first return). Rows without n later rows
// (or earlier rows) give NaN, as do negative entries of `rows`. Each out[k] holds rows.size() *
// returns.cols values.
void forward_returns(const StridedMatrix& returns, std::span<const std::int64_t> rows,
                     std::span<const std::int64_t> horizons, std::span<double* const> out);

// Copies returns-like values: out[j * cols + i] = source(rows[j], columns[i]), or NaN where
// rows[j] or columns[i] is negative (a label absent from the source).
void gather(const StridedMatrix& source, std::span<const std::int64_t> rows,
            std::span<const std::int64_t> columns, std::span<double> out);

}  // namespace alvora::stats
