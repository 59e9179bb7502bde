// Per-row clipping of outliers in a dates x instruments table.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "alvora/stats/strided_rows.hpp"

namespace alvora::stats {

enum class ClipRule : unsigned char { mad, std, percentile };

// The bounds of a row, computed from its finite values x (n of them):
//   mad:        median(x) -/+ n_deviations * mad_scale * median(|x - median(x)|)
//   std:        mean(x) -/+ n_deviations * sample std(x) (0 spread for one value)
//   percentile: the low and high percentiles of x with linear interpolation
// A median of an even count is the mean of the two middle values.
struct ClipSettings {
    ClipRule rule = ClipRule::mad;
    double mad_scale = 1.4826;
    double n_deviations = 3.0;
    double low_percent = 2.5;
    double high_percent = 97.5;
};

// Every cell becomes min(max(x, low), high) with the bounds of its row; NaN cells
// stay NaN (as does every cell of a row whose bounds are NaN); infinities are
// clipped like any outlier. A row without finite values is copied unchanged.
// `out` is rows * cols, row-major, and must not overlap `in`. `scratch` is reused.
void winsorize_rows(const StridedRows& in, const ClipSettings& settings, std::span<double> out,
                    std::vector<double>& scratch);

}  // namespace alvora::stats
