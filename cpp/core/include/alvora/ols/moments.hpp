// Residuals of one date's regression from the moments of its design.
//
// The regressors of a date (dense columns and group labels) are the same for every
// factor neutralized against them; only which rows hold a factor value differs. The
// sums that do not depend on the factor (x x' and each group's sum and count over the
// rows whose regressors are complete) are made once per date and kept across factors;
// a factor's fit subtracts its few missing rows and solves the small within-group
// normal equations. Dates whose design is close to dependent, or where the factor
// misses many rows, are left to the column-pivoted QR of ResidualSolver, which makes
// the rank decisions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "alvora/ols/residuals.hpp"

namespace alvora::ols {

// One date's design over its complete rows (every dense value finite, a label when
// grouped), whatever the factor.
struct DesignMoments {
    bool ready = false;
    std::size_t rows = 0;                // complete rows
    std::vector<std::uint8_t> complete;  // per observation
    std::vector<double> gram;            // p * p, upper triangle filled: sum of x_j x_k
    std::vector<double> group_sum;       // groups * p
    std::vector<double> group_count;     // groups
};

// Fills `out` from the date's regressors (cs.y is not read). Throws
// std::invalid_argument on a label outside [0, groups) or inconsistent sizes.
void design_moments(const CrossSection& cs, DesignMoments& out);

// Work buffers of moment_residuals, reused between dates.
struct MomentScratch {
    std::vector<double> gram, group_sum, group_count, rhs, coef, shift, r;
    std::vector<std::size_t> used;
};

// Residuals of cs.y on the design `m` describes into `out` (NaN for rows left out).
// Returns false, with `out` untouched, when the date is left to the QR: no dense
// column, a column (nearly) explained by the groups or the other columns, or more than
// half of the complete rows without a factor value.
bool moment_residuals(const CrossSection& cs, const DesignMoments& m, MomentScratch& s,
                      std::span<double> out);

}  // namespace alvora::ols
