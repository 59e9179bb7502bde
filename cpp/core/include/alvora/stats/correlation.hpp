// Pearson and Spearman correlation coefficients with their two-sided p-values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace alvora::stats {

enum class CorrelationMethod : std::uint8_t { pearson, spearman };

// Conditions under which the coefficient is undefined or unreliable; the caller decides
// how to report them.
enum class CorrelationNote : std::uint8_t { none, constant_input, near_constant_input };

struct Correlation {
    double coefficient;
    double p_value;
    CorrelationNote note;
};

// Scratch buffers reused across calls to avoid an allocation per cross-section.
struct CorrelationWorkspace {
    std::vector<double> x;
    std::vector<double> y;
    std::vector<double> x_ranks;
    std::vector<double> y_ranks;
    std::vector<std::uint32_t> order;
};

// Both inputs hold the same number (>= 2) of non-NaN values.
//
// Pearson: r of the centred vectors, clipped to [-1, 1]; p from the t test with n - 2
// degrees of freedom; for n == 2, r is +-1 and p is 1. A constant input gives NaN, NaN.
Correlation pearson(std::span<const double> x, std::span<const double> y);

// Spearman: Pearson's r of the average ranks; p from the t test with n - 2 degrees of
// freedom (NaN for n == 2). A constant input gives NaN, NaN.
Correlation spearman(std::span<const double> x, std::span<const double> y,
                     CorrelationWorkspace& ws);

// Spearman's coefficient and p-value from the centred sums of the ranks of n >= 3 (or 2)
// pairs: sxy = sum (rx - m)(ry - m), sxx, syy likewise, m = (n + 1) / 2.
Correlation rank_correlation(double sxy, double sxx, double syy, std::size_t n);

// The coefficient of rank_correlation alone, bit for bit (no p-value: far cheaper).
double rank_coefficient(double sxy, double sxx, double syy, std::size_t n);

Correlation correlate(CorrelationMethod method, std::span<const double> x,
                      std::span<const double> y, CorrelationWorkspace& ws);

}  // namespace alvora::stats
