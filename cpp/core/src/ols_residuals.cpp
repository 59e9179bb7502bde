// Per-date least-squares residuals: group demeaning plus a column-pivoted
// Householder QR of the dense regressors.
#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "alvora/ols/moments.hpp"
#include "alvora/ols/residuals.hpp"

namespace alvora::ols {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Four partial sums: breaks the add latency chain without reordering beyond it.
double dot(const double* a, const double* b, std::size_t n) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        s0 += a[i] * b[i];
        s1 += a[i + 1] * b[i + 1];
        s2 += a[i + 2] * b[i + 2];
        s3 += a[i + 3] * b[i + 3];
    }
    for (; i < n; ++i) s0 += a[i] * b[i];
    return (s0 + s1) + (s2 + s3);
}

// v := v - tau * (h . v) * h over n entries.
void reflect(const double* h, double tau, double* v, std::size_t n) {
    const double f = tau * dot(h, v, n);
    if (f == 0.0) return;
    for (std::size_t i = 0; i < n; ++i) v[i] -= f * h[i];
}

void check_sizes(const CrossSection& cs, std::span<double> out) {
    const std::size_t n = cs.y.size();
    if (cs.x.size() != n * cs.p)
        throw std::invalid_argument("ols: regressor buffer holds " + std::to_string(cs.x.size()) +
                                    " values, expected " + std::to_string(n * cs.p));
    if (!cs.group.empty() && cs.group.size() != n)
        throw std::invalid_argument("ols: group labels do not match the observations");
    if (out.size() != n) throw std::invalid_argument("ols: output size does not match");
}

// One date: from the design's moments when they are fit for it, else by the QR.
// `moments` is made here unless it is already ready.
void fit_date(const CrossSection& cs, DesignMoments& moments, MomentScratch& scratch,
              ResidualSolver& solver, std::span<double> out) {
    if (!moments.ready) design_moments(cs, moments);
    if (!moment_residuals(cs, moments, scratch, out)) solver.residuals(cs, out);
}

}  // namespace

double rank_tolerance(std::size_t rows, std::size_t cols) {
    return 16.0 * static_cast<double>(std::max({rows, cols, std::size_t{1}})) *
           std::numeric_limits<double>::epsilon();
}

FitInfo ResidualSolver::residuals(const CrossSection& cs, std::span<double> out) {
    check_sizes(cs, out);
    const std::size_t n = cs.y.size();
    const std::size_t p = cs.p;
    const bool grouped = !cs.group.empty();
    std::fill(out.begin(), out.end(), kNaN);

    // Rows that take part: every value finite, a label when grouped.
    used_.clear();
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(cs.y[i])) continue;
        if (grouped) {
            const std::int64_t g = cs.group[i];
            if (g < 0) continue;
            if (static_cast<std::uint64_t>(g) >= cs.groups)
                throw std::invalid_argument("ols: group label " + std::to_string(g) +
                                            " outside [0, " + std::to_string(cs.groups) + ")");
        }
        const double* row = cs.x.data() + i * p;
        if (!std::all_of(row, row + p, [](double v) { return std::isfinite(v); })) continue;
        used_.push_back(i);
    }
    const std::size_t m = used_.size();
    if (m == 0) return {};

    r_.resize(m);
    a_.resize(m * p);
    labels_.resize(grouped ? m : 0);
    // Each column's largest magnitude found while copying (a maximum is exact in any order).
    scale_.assign(p, 0.0);
    for (std::size_t k = 0; k < m; ++k) {
        const std::size_t i = used_[k];
        r_[k] = cs.y[i];
        for (std::size_t j = 0; j < p; ++j) {
            const double v = cs.x[i * p + j];
            a_[j * m + k] = v;
            scale_[j] = std::max(scale_[j], std::abs(v));
        }
        if (grouped) labels_[k] = cs.group[i];
    }

    // Measure every column against its own norm, so that the rank decision
    // below is independent of the regressors' units. All-zero columns span
    // nothing and are left out.
    active_.clear();
    for (std::size_t j = 0; j < p; ++j) {
        double* col = a_.data() + j * m;
        const double scale = scale_[j];
        if (scale == 0.0) continue;
        for (std::size_t k = 0; k < m; ++k) col[k] /= scale;
        active_.push_back(j);
    }
    // Each column's squared norm summed in row order, the columns side by side.
    norm2_.assign(active_.size(), 0.0);
    for (std::size_t k = 0; k < m; ++k) {
        for (std::size_t c = 0; c < active_.size(); ++c) {
            const double v = a_[active_[c] * m + k];
            norm2_[c] += v * v;
        }
    }
    for (std::size_t c = 0; c < active_.size(); ++c) {
        double* col = a_.data() + active_[c] * m;
        const double norm = std::sqrt(norm2_[c]);
        for (std::size_t k = 0; k < m; ++k) col[k] /= norm;
    }

    if (grouped) demean_within_groups(labels_, cs.groups);
    const std::size_t rank = factorize_and_project();
    for (std::size_t k = 0; k < m; ++k) out[used_[k]] = r_[k];
    return {m, rank};
}

// Projects the group indicators out of r_ and the active columns: subtracts
// each group's mean, twice, so that the rounding of the first pass is removed
// by the second.
void ResidualSolver::demean_within_groups(std::span<const std::int64_t> labels,
                                          std::size_t groups) {
    const std::size_t m = labels.size();
    count_.assign(groups, 0.0);
    for (std::size_t k = 0; k < m; ++k) count_[labels[k]] += 1.0;
    // The dependent values and every active column, demeaned side by side: each group's sum
    // of each vector still adds the rows in order, and a row's label is read once for all.
    vectors_.assign(1, r_.data());
    for (std::size_t j : active_) vectors_.push_back(a_.data() + j * m);
    const std::size_t width = vectors_.size();
    double* const* v = vectors_.data();
    for (int pass = 0; pass < 2; ++pass) {
        sum_.assign(groups * width, 0.0);
        for (std::size_t k = 0; k < m; ++k) {
            double* s = sum_.data() + static_cast<std::size_t>(labels[k]) * width;
            for (std::size_t q = 0; q < width; ++q) s[q] += v[q][k];
        }
        for (std::size_t g = 0; g < groups; ++g) {
            if (!(count_[g] > 0.0)) continue;
            double* s = sum_.data() + g * width;
            for (std::size_t q = 0; q < width; ++q) s[q] /= count_[g];
        }
        for (std::size_t q = 0; q < width; ++q) {
            double* x = v[q];
            for (std::size_t k = 0; k < m; ++k)
                x[k] -= sum_[static_cast<std::size_t>(labels[k]) * width + q];
        }
    }
}

// Column-pivoted Householder QR of the active columns, stopped once no column
// has a part left above the tolerance; r_ becomes its residual on the columns
// taken. Returns the numerical rank.
std::size_t ResidualSolver::factorize_and_project() {
    const std::size_t m = r_.size();
    const std::size_t cols = active_.size();
    const double tol = rank_tolerance(m, cols);
    tau_.clear();
    reflector_.clear();

    // Squared norms of the columns' unexplained parts, downdated after each
    // step and recomputed once cancellation has eaten most of their digits.
    norm2_.resize(cols);
    ref2_.resize(cols);
    for (std::size_t c = 0; c < cols; ++c) {
        const double* col = a_.data() + active_[c] * m;
        norm2_[c] = ref2_[c] = dot(col, col, m);
    }

    std::size_t k = 0;
    for (; k < std::min(m, cols); ++k) {
        // Pivot: the column with the largest part not yet explained.
        std::size_t best = k;
        for (std::size_t c = k + 1; c < cols; ++c)
            if (norm2_[c] > norm2_[best]) best = c;
        if (!(std::sqrt(norm2_[best]) > tol)) break;
        std::swap(active_[k], active_[best]);
        std::swap(norm2_[k], norm2_[best]);
        std::swap(ref2_[k], ref2_[best]);

        // Reflector h with (I - tau h h^T) x = alpha e1, stored in place of x.
        double* h = a_.data() + active_[k] * m + k;
        const double norm = std::sqrt(dot(h, h, m - k));
        const double alpha = h[0] >= 0.0 ? -norm : norm;
        h[0] -= alpha;
        const double tau = 2.0 / dot(h, h, m - k);
        for (std::size_t c = k + 1; c < cols; ++c) {
            double* col = a_.data() + active_[c] * m;
            reflect(h, tau, col + k, m - k);
            norm2_[c] -= col[k] * col[k];
            if (norm2_[c] <= 1e-8 * ref2_[c]) {
                norm2_[c] = ref2_[c] = dot(col + k + 1, col + k + 1, m - k - 1);
            }
        }
        tau_.push_back(tau);
        reflector_.push_back(active_[k]);
    }

    // r := (I - Q Q^T) r with Q the first k columns of H_1 ... H_k.
    for (std::size_t t = 0; t < k; ++t)
        reflect(a_.data() + reflector_[t] * m + t, tau_[t], r_.data() + t, m - t);
    std::fill(r_.begin(), r_.begin() + static_cast<std::ptrdiff_t>(k), 0.0);
    for (std::size_t t = k; t-- > 0;)
        reflect(a_.data() + reflector_[t] * m + t, tau_[t], r_.data() + t, m - t);
    return k;
}

void panel_residuals(const Panel& panel, std::span<double> out) {
    const std::size_t cells = panel.dates * panel.instruments;
    if (panel.y.size() != cells || out.size() != cells)
        throw std::invalid_argument("ols: panel values do not match dates * instruments");
    if (panel.x.size() != cells * panel.p)
        throw std::invalid_argument("ols: panel regressors do not match dates * instruments * p");
    if (!panel.group.empty() && panel.group.size() != cells)
        throw std::invalid_argument("ols: panel group labels do not match dates * instruments");

    if (panel.kept_moments && panel.kept_moments->size() != panel.dates)
        throw std::invalid_argument("ols: kept design moments do not match the dates");

    ResidualSolver solver;
    DesignMoments own;
    MomentScratch scratch;
    const std::size_t n = panel.instruments;
    for (std::size_t d = 0; d < panel.dates; ++d) {
        CrossSection cs;
        cs.y = panel.y.subspan(d * n, n);
        cs.x = panel.x.subspan(d * n * panel.p, n * panel.p);
        cs.p = panel.p;
        if (!panel.group.empty()) cs.group = panel.group.subspan(d * n, n);
        cs.groups = panel.groups;
        own.ready = false;
        DesignMoments& moments = panel.kept_moments ? (*panel.kept_moments)[d] : own;
        fit_date(cs, moments, scratch, solver, out.subspan(d * n, n));
    }
}

void panel_residuals(const FilledPanel& panel, std::span<double> out) {
    const std::size_t n = panel.instruments;
    const std::size_t cells = panel.dates * n;
    if (panel.y.size() != cells || out.size() != cells)
        throw std::invalid_argument("ols: panel values do not match dates * instruments");
    if (!panel.group.empty() && panel.group.size() != cells)
        throw std::invalid_argument("ols: panel group labels do not match dates * instruments");
    if (!panel.fill) throw std::invalid_argument("ols: panel has no regressor source");
    if (panel.kept_moments && panel.kept_moments->size() != panel.dates)
        throw std::invalid_argument("ols: kept design moments do not match the dates");

    // A few dates per fill: neighbouring dates of a long table share cache lines.
    constexpr std::size_t kBlock = 8;
    std::vector<double> x(std::min(kBlock, panel.dates) * n * panel.p);
    ResidualSolver solver;
    DesignMoments own;
    MomentScratch scratch;
    for (std::size_t first = 0; first < panel.dates; first += kBlock) {
        const std::size_t last = std::min(panel.dates, first + kBlock);
        const std::span<double> block(x.data(), (last - first) * n * panel.p);
        panel.fill(first, last, block);
        for (std::size_t d = first; d < last; ++d) {
            CrossSection cs;
            cs.y = panel.y.subspan(d * n, n);
            cs.x = block.subspan((d - first) * n * panel.p, n * panel.p);
            cs.p = panel.p;
            if (!panel.group.empty()) cs.group = panel.group.subspan(d * n, n);
            cs.groups = panel.groups;
            own.ready = false;
            DesignMoments& moments = panel.kept_moments ? (*panel.kept_moments)[d] : own;
            fit_date(cs, moments, scratch, solver, out.subspan(d * n, n));
        }
    }
}

}  // namespace alvora::ols
