// Per-date least-squares residuals for cross-sectional neutralization.
//
// Each date is one regression: the factor values of the instruments on the
// dependent side, the instruments' exposures as regressors, no intercept of
// its own. Industry membership is passed as group labels rather than as 0/1
// indicator columns: the indicators of a classification partition the
// instruments, so projecting them out is a demeaning within each group, and
// only the remaining dense columns need a factorization.
//
// Observations with a non-finite value anywhere (factor, dense regressor) or a
// negative group label are left out of the fit and get NaN. Rank-deficient
// designs are fine: the residual is y minus its projection onto the column
// space, found with a column-pivoted Householder QR that stops at the
// numerical rank.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace alvora::ols {

struct DesignMoments;  // alvora/ols/moments.hpp

// One date's regression problem over n observations.
struct CrossSection {
    std::span<const double> y;            // n dependent values
    std::span<const double> x;            // n * p dense regressors, row-major (row = observation)
    std::size_t p = 0;                    // dense regressors per observation
    std::span<const std::int64_t> group;  // n labels in [0, groups), negative = missing; or empty
    std::size_t groups = 0;               // number of distinct labels when `group` is given
};

// What a fit used: observations kept, rank of the dense part after the groups.
struct FitInfo {
    std::size_t used = 0;
    std::size_t rank = 0;
};

// Relative size below which the part of a regressor not explained by the
// groups and the columns already taken counts as zero (columns are measured
// against their own norm, so the decision does not depend on their scale).
double rank_tolerance(std::size_t rows, std::size_t cols);

// Reusable solver: keeps its work buffers between dates.
class ResidualSolver {
  public:
    // Writes one residual per observation into `out` (size n), NaN for the
    // observations left out. Throws std::invalid_argument on inconsistent sizes
    // or a label outside [0, groups).
    FitInfo residuals(const CrossSection& cs, std::span<double> out);

  private:
    void demean_within_groups(std::span<const std::int64_t> labels, std::size_t groups);
    std::size_t factorize_and_project();

    std::vector<std::size_t> used_;       // observation index of each used row
    std::vector<std::int64_t> labels_;    // group label of each used row
    std::vector<double> r_;               // dependent values, then residuals (used rows)
    std::vector<double> a_;               // dense regressors, column-major (used rows)
    std::vector<std::size_t> active_;     // columns with a non-zero norm
    std::vector<double> tau_;             // Householder scalars
    std::vector<std::size_t> reflector_;  // column of a_ holding each reflector
    std::vector<double> norm2_, ref2_;    // unexplained column norms while factorizing
    std::vector<double> sum_, count_;     // per-group accumulators
    std::vector<double*> vectors_;        // what the groups are projected out of
    std::vector<double> scale_;           // largest magnitude of each column
};

// A panel of dates × instruments: y is dates*instruments (row-major), x is
// dates*instruments*p (row = (date, instrument)), group is dates*instruments
// labels or empty.
struct Panel {
    std::span<const double> y;
    std::span<const double> x;
    std::span<const std::int64_t> group;
    std::size_t dates = 0;
    std::size_t instruments = 0;
    std::size_t p = 0;
    std::size_t groups = 0;
    // When given (one entry per date): the dates' design moments, made by the first fit
    // that needs them and reused by later panels over the same regressors. Results are
    // the same with or without.
    std::vector<DesignMoments>* kept_moments = nullptr;
};

// Residuals of every date's regression into `out` (dates*instruments).
// A date with nothing to fit comes back all NaN. Each date is fitted from the moments of
// its design where they are well conditioned (alvora/ols/moments.hpp), else by the QR.
void panel_residuals(const Panel& panel, std::span<double> out);

// The same panel with the dense regressors produced a few dates at a time:
// fill(first, last, x) writes dates [first, last) into x ((last - first) *
// instruments * p, row = (date, instrument)), so no dates*instruments*p table is held.
struct FilledPanel {
    std::span<const double> y;
    std::span<const std::int64_t> group;
    std::size_t dates = 0;
    std::size_t instruments = 0;
    std::size_t p = 0;
    std::size_t groups = 0;
    std::function<void(std::size_t first, std::size_t last, std::span<double> x)> fill;
    std::vector<DesignMoments>* kept_moments = nullptr;  // as in Panel
};
void panel_residuals(const FilledPanel& panel, std::span<double> out);

}  // namespace alvora::ols
