// Rolling-window kernels over one value series.
//
// Every kernel takes a series x of length L and a window n with 1 <= n <= L and
// writes one value per complete window into `out` (L - n + 1 entries): out[i]
// belongs to the window x[i .. i + n - 1], oldest first. Callers validate the
// window; the kernels assume it and never read outside x.
//
// The results are those of reducing the window matrix row by row (see
// rowwise.hpp), computed in O(L) or with vectorised O(L * n) loops. A NaN in a
// window gives NaN except where a kernel says otherwise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace alvora::rolling {

using std::size_t;
using Bool = std::uint8_t;  // numpy bool: one byte holding 0 or 1

// ---- sums and averages ------------------------------------------------------
void sum(std::span<const double> x, size_t n, std::span<double> out);
void sum(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out);  // wraps
void product(std::span<const double> x, size_t n, std::span<double> out);
void product(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out);  // wraps
void ma(std::span<const double> x, size_t n, std::span<double> out);
// Weights alpha * (1 - alpha)^(n - 1 - j), alpha = 2 / (n + 1), not renormalised.
void ema(std::span<const double> x, size_t n, std::span<double> out);
// Weights 2 (j + 1) / (n (n + 1)), newest heaviest.
void wma(std::span<const double> x, size_t n, std::span<double> out);
// Least-squares slope of the values against their positions 0 .. n - 1.
void slope(std::span<const double> y, size_t n, std::span<double> out);

// ---- moments (population, divisor n) ----------------------------------------
void var(std::span<const double> x, size_t n, std::span<double> out);
void stddev(std::span<const double> x, size_t n, std::span<double> out);
void zscore(std::span<const double> x, size_t n, std::span<double> out);
// Raw-moment form (u3 - 3 u s^2 - u^3) / s^3, times sqrt(n (n - 1)) / (n - 2) for n > 2.
void skew(std::span<const double> x, size_t n, std::span<double> out);
// Unbiased excess kurtosis; constants -3, -2, -1.5 for n = 1, 2, 3.
void kurt(std::span<const double> x, size_t n, std::span<double> out);
void avedev(std::span<const double> x, size_t n, std::span<double> out);

// ---- order and logic ----------------------------------------------------------
void ts_min(std::span<const double> x, size_t n, std::span<double> out);
void ts_min(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out);
void ts_min(std::span<const Bool> x, size_t n, std::span<Bool> out);
void ts_max(std::span<const double> x, size_t n, std::span<double> out);
void ts_max(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out);
void ts_max(std::span<const Bool> x, size_t n, std::span<Bool> out);
// Position of the first (oldest) extreme, or of the first NaN when the window holds one.
void ts_argmin(std::span<const double> x, size_t n, std::span<double> out);
void ts_argmin(std::span<const std::int64_t> x, size_t n, std::span<double> out);
void ts_argmin(std::span<const Bool> x, size_t n, std::span<double> out);
void ts_argmax(std::span<const double> x, size_t n, std::span<double> out);
void ts_argmax(std::span<const std::int64_t> x, size_t n, std::span<double> out);
void ts_argmax(std::span<const Bool> x, size_t n, std::span<double> out);
// Number of older window values sorting before or equal to the newest one,
// divided by n; NaN sorts after every number (a NaN newest value gets n - 1).
void ts_rank(std::span<const double> x, size_t n, std::span<double> out);
void ts_rank(std::span<const std::int64_t> x, size_t n, std::span<double> out);
// Number of true values: non-zero or NaN.
void count(std::span<const double> x, size_t n, std::span<std::int64_t> out);
void count(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out);
void count(std::span<const Bool> x, size_t n, std::span<std::int64_t> out);

// ---- pairwise (a and b of equal length) ---------------------------------------
void covariance(std::span<const double> a, std::span<const double> b, size_t n,
                std::span<double> out);
void correlation(std::span<const double> a, std::span<const double> b, size_t n,
                 std::span<double> out);
// Slope of y regressed on x, with intercept.
void regression(std::span<const double> x, std::span<const double> y, size_t n,
                std::span<double> out);

}  // namespace alvora::rolling
