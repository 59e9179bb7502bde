// Cross-sectional standardization of a dates × instruments table.
#pragma once

#include <cstddef>
#include <span>

namespace alvora::ols {

// For every row: m = mean over the non-NaN cells, s = sample standard
// deviation over them (divisor count - 1), each cell becomes (x - m) / s, and
// a result of +-infinity becomes 0. NaN cells stay NaN; a row with fewer than
// two values, or whose values are all equal, becomes NaN. Infinite inputs
// take part in m and s as IEEE arithmetic dictates (they turn the row NaN).
// `in` and `out` are rows*cols, row-major; they may be the same buffer.
void standardize_rows(std::span<const double> in, std::size_t rows, std::size_t cols,
                      std::span<double> out);

}  // namespace alvora::ols
