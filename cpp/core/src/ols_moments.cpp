// Per-date residuals from the design's moments: within-group normal equations solved by
// Cholesky, the factor's missing rows subtracted from sums kept across factors.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "alvora/ols/moments.hpp"

namespace alvora::ols {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Share of a column's sum of squares that must remain after each subtraction (missing
// rows, group means, the columns before it): below it the subtraction would have
// cancelled too many digits, and the date goes to the QR.
constexpr double kKeptShare = 1e-2;

void check_sizes(const CrossSection& cs) {
    if (cs.x.size() != cs.y.size() * cs.p)
        throw std::invalid_argument("ols: regressor buffer holds " + std::to_string(cs.x.size()) +
                                    " values, expected " + std::to_string(cs.y.size() * cs.p));
    if (!cs.group.empty() && cs.group.size() != cs.y.size())
        throw std::invalid_argument("ols: group labels do not match the observations");
}

// Adds sign * x x' (upper triangle) to gram.
void add_outer(const double* x, std::size_t p, double sign, double* gram) {
    for (std::size_t j = 0; j < p; ++j) {
        const double a = sign * x[j];
        double* row = gram + j * p;
        for (std::size_t k = j; k < p; ++k) row[k] += a * x[k];
    }
}

// y minus its group means over the used rows, twice: the second pass removes the
// rounding of the first (as the QR path demeans).
void demean(std::vector<double>& r, const std::vector<std::size_t>& used,
            std::span<const std::int64_t> group, const std::vector<double>& count,
            std::vector<double>& mean) {
    const std::size_t groups = count.size();
    for (int pass = 0; pass < 2; ++pass) {
        mean.assign(groups, 0.0);
        for (std::size_t k = 0; k < used.size(); ++k)
            mean[static_cast<std::size_t>(group[used[k]])] += r[k];
        for (std::size_t g = 0; g < groups; ++g)
            if (count[g] > 0.0) mean[g] /= count[g];
        for (std::size_t k = 0; k < used.size(); ++k)
            r[k] -= mean[static_cast<std::size_t>(group[used[k]])];
    }
}

// sum[j] += x_i[j] * w_k over the used rows i = used[k]. The sums live apart from the rows
// (restrict): they stay in registers instead of being stored back after every row.
void add_weighted_rows(const double* __restrict x, const std::size_t* used, const double* w,
                       std::size_t count, std::size_t p, double* __restrict sum) {
    for (std::size_t k = 0; k < count; ++k) {
        const double* row = x + used[k] * p;
        const double v = w[k];
        for (std::size_t j = 0; j < p; ++j) sum[j] += row[j] * v;
    }
}

}  // namespace

void design_moments(const CrossSection& cs, DesignMoments& out) {
    check_sizes(cs);
    const std::size_t n = cs.y.size();
    const std::size_t p = cs.p;
    const bool grouped = !cs.group.empty();
    out.ready = false;
    out.rows = 0;
    out.complete.assign(n, 0);
    out.gram.assign(p * p, 0.0);
    out.group_sum.assign(grouped ? cs.groups * p : 0, 0.0);
    out.group_count.assign(grouped ? cs.groups : 0, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t g = 0;
        if (grouped) {
            const std::int64_t label = cs.group[i];
            if (label < 0) continue;
            if (static_cast<std::uint64_t>(label) >= cs.groups)
                throw std::invalid_argument("ols: group label " + std::to_string(label) +
                                            " outside [0, " + std::to_string(cs.groups) + ")");
            g = static_cast<std::size_t>(label);
        }
        const double* row = cs.x.data() + i * p;
        if (!std::all_of(row, row + p, [](double v) { return std::isfinite(v); })) continue;
        out.complete[i] = 1;
        ++out.rows;
        add_outer(row, p, 1.0, out.gram.data());
        if (grouped) {
            double* sum = out.group_sum.data() + g * p;
            for (std::size_t j = 0; j < p; ++j) sum[j] += row[j];
            out.group_count[g] += 1.0;
        }
    }
    out.ready = true;
}

bool moment_residuals(const CrossSection& cs, const DesignMoments& m, MomentScratch& s,
                      std::span<double> out) {
    const std::size_t n = cs.y.size();
    const std::size_t p = cs.p;
    const bool grouped = !cs.group.empty();
    if (p == 0 || !m.ready || m.rows == 0 || m.complete.size() != n || out.size() != n)
        return false;

    // The factor's rows: the complete ones holding a value; the others are taken out of
    // the sums.
    s.gram = m.gram;
    s.group_sum = m.group_sum;
    s.group_count = m.group_count;
    s.used.clear();
    std::size_t missing = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!m.complete[i]) continue;
        if (std::isfinite(cs.y[i])) {
            s.used.push_back(i);
            continue;
        }
        if (2 * ++missing > m.rows) return false;
        const double* row = cs.x.data() + i * p;
        add_outer(row, p, -1.0, s.gram.data());
        if (grouped) {
            const auto g = static_cast<std::size_t>(cs.group[i]);
            double* sum = s.group_sum.data() + g * p;
            for (std::size_t j = 0; j < p; ++j) sum[j] -= row[j];
            s.group_count[g] -= 1.0;
        }
    }
    std::vector<double>& diag = s.coef;  // each column's sum of squares before centering
    diag.resize(p);
    for (std::size_t j = 0; j < p; ++j) {
        diag[j] = s.gram[j * p + j];
        if (!(diag[j] > kKeptShare * m.gram[j * p + j])) return false;
    }

    const std::size_t used = s.used.size();
    s.r.resize(used);
    for (std::size_t k = 0; k < used; ++k) s.r[k] = cs.y[s.used[k]];
    if (grouped) {
        demean(s.r, s.used, cs.group, s.group_count, s.shift);
        // Within-group sums of squares: x x' less each group's n mean mean'.
        for (std::size_t g = 0; g < s.group_count.size(); ++g) {
            if (!(s.group_count[g] > 0.0)) continue;
            double* sum = s.group_sum.data() + g * p;
            for (std::size_t j = 0; j < p; ++j) sum[j] /= s.group_count[g];  // now the mean
            for (std::size_t j = 0; j < p; ++j) {
                const double a = sum[j] * s.group_count[g];
                double* row = s.gram.data() + j * p;
                for (std::size_t k = j; k < p; ++k) row[k] -= a * sum[k];
            }
        }
    }

    // Right-hand side x' r over the used rows (r is centered within groups, so the
    // group means of x drop out).
    s.rhs.assign(p, 0.0);
    add_weighted_rows(cs.x.data(), s.used.data(), s.r.data(), used, p, s.rhs.data());

    // Cholesky W = U'U in place (upper triangle), each pivot checked against what the
    // column held before the groups and the earlier columns were taken out.
    double* u = s.gram.data();
    for (std::size_t j = 0; j < p; ++j) {
        double d = u[j * p + j];
        for (std::size_t i = 0; i < j; ++i) d -= u[i * p + j] * u[i * p + j];
        if (!(d > kKeptShare * diag[j])) return false;
        const double root = std::sqrt(d);
        u[j * p + j] = root;
        for (std::size_t k = j + 1; k < p; ++k) {
            double v = u[j * p + k];
            for (std::size_t i = 0; i < j; ++i) v -= u[i * p + j] * u[i * p + k];
            u[j * p + k] = v / root;
        }
    }
    std::vector<double>& beta = s.rhs;  // solved in place: U' z = rhs, then U beta = z
    for (std::size_t j = 0; j < p; ++j) {
        double v = beta[j];
        for (std::size_t i = 0; i < j; ++i) v -= u[i * p + j] * beta[i];
        beta[j] = v / u[j * p + j];
    }
    for (std::size_t j = p; j-- > 0;) {
        double v = beta[j];
        for (std::size_t k = j + 1; k < p; ++k) v -= u[j * p + k] * beta[k];
        beta[j] = v / u[j * p + j];
    }

    // Each group's mean fit, added back: the residual is r - (x - mean)' beta.
    if (grouped) {
        s.shift.assign(s.group_count.size(), 0.0);
        for (std::size_t g = 0; g < s.group_count.size(); ++g) {
            if (!(s.group_count[g] > 0.0)) continue;
            const double* mean = s.group_sum.data() + g * p;
            double v = 0.0;
            for (std::size_t j = 0; j < p; ++j) v += mean[j] * beta[j];
            s.shift[g] = v;
        }
    }
    std::fill(out.begin(), out.end(), kNaN);
    for (std::size_t k = 0; k < used; ++k) {
        const std::size_t i = s.used[k];
        const double* row = cs.x.data() + i * p;
        double fit = grouped ? -s.shift[static_cast<std::size_t>(cs.group[i])] : 0.0;
        for (std::size_t j = 0; j < p; ++j) fit += row[j] * beta[j];
        out[i] = s.r[k] - fit;
    }
    return true;
}

}  // namespace alvora::ols
