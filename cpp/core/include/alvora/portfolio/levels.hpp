// Cumulative growth levels of daily simple returns.
#pragma once

#include <cstddef>
#include <span>

#include "alvora/stats/strided_rows.hpp"

namespace alvora::portfolio {

// Per column, the running product of (1 + r) down the rows.  A missing return keeps the level
// of the previous row (it counts as a zero return); before a column's first return the level is
// NaN.  `out` has the size of `returns`; both are stored row by row, `cols` values per row.
void cumulative_levels(std::span<const double> returns, std::size_t cols, std::span<double> out);

// The same from a table read in place (a column-major frame's block needs no transposed
// copy first); `out` is row-major, returns.rows * returns.cols values.
void cumulative_levels(const stats::StridedRows& returns, std::span<double> out);

// Running product of (1 + x) minus 1: the compounded value of a series of simple returns.
void compound_in_place(std::span<double> daily);

}  // namespace alvora::portfolio
