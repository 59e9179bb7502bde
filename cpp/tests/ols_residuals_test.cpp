#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "alvora/ols/residuals.hpp"

namespace {

using alvora::ols::CrossSection;
using alvora::ols::Panel;
using alvora::ols::ResidualSolver;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Reference: residuals of a full-rank design through the normal equations,
// solved by Gaussian elimination in long double.
std::vector<double> normal_equation_residuals(const std::vector<double>& y,
                                              const std::vector<double>& x, std::size_t p) {
    const std::size_t n = y.size();
    std::vector<long double> a(p * (p + 1), 0.0L);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < p; ++j) {
            for (std::size_t k = 0; k < p; ++k) a[j * (p + 1) + k] += x[i * p + j] * x[i * p + k];
            a[j * (p + 1) + p] += x[i * p + j] * y[i];
        }
    for (std::size_t c = 0; c < p; ++c) {
        std::size_t piv = c;
        for (std::size_t r = c + 1; r < p; ++r)
            if (std::fabs(a[r * (p + 1) + c]) > std::fabs(a[piv * (p + 1) + c])) piv = r;
        for (std::size_t k = 0; k <= p; ++k) std::swap(a[c * (p + 1) + k], a[piv * (p + 1) + k]);
        for (std::size_t r = 0; r < p; ++r) {
            if (r == c) continue;
            const long double f = a[r * (p + 1) + c] / a[c * (p + 1) + c];
            for (std::size_t k = 0; k <= p; ++k) a[r * (p + 1) + k] -= f * a[c * (p + 1) + k];
        }
    }
    std::vector<double> res(n);
    for (std::size_t i = 0; i < n; ++i) {
        long double fit = 0.0L;
        for (std::size_t j = 0; j < p; ++j)
            fit += x[i * p + j] * (a[j * (p + 1) + p] / a[j * (p + 1) + j]);
        res[i] = static_cast<double>(y[i] - fit);
    }
    return res;
}

std::vector<double> random_values(std::size_t n, unsigned seed, double scale = 1.0) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> dist(0.0, scale);
    std::vector<double> v(n);
    for (auto& e : v) e = dist(gen);
    return v;
}

std::vector<double> solve(const std::vector<double>& y, const std::vector<double>& x,
                          std::size_t p, const std::vector<std::int64_t>& group = {},
                          std::size_t groups = 0, alvora::ols::FitInfo* info = nullptr) {
    ResidualSolver solver;
    std::vector<double> out(y.size());
    CrossSection cs{y, x, p, group, groups};
    auto fit = solver.residuals(cs, out);
    if (info) *info = fit;
    return out;
}

// The same design with column j removed.
std::vector<double> drop_column(const std::vector<double>& x, std::size_t p, std::size_t j) {
    std::vector<double> out;
    for (std::size_t i = 0; i < x.size() / p; ++i)
        for (std::size_t k = 0; k < p; ++k)
            if (k != j) out.push_back(x[i * p + k]);
    return out;
}

void expect_close(const std::vector<double>& a, const std::vector<double>& b, double tol) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::isnan(b[i])) {
            EXPECT_TRUE(std::isnan(a[i])) << "at " << i;
        } else {
            EXPECT_NEAR(a[i], b[i], tol) << "at " << i;
        }
    }
}

TEST(OlsResiduals, FullRankMatchesNormalEquations) {
    const std::size_t n = 60, p = 4;
    auto y = random_values(n, 1);
    auto x = random_values(n * p, 2);
    alvora::ols::FitInfo info;
    auto r = solve(y, x, p, {}, 0, &info);
    EXPECT_EQ(info.used, n);
    EXPECT_EQ(info.rank, p);
    expect_close(r, normal_equation_residuals(y, x, p), 1e-12);
}

TEST(OlsResiduals, DependentColumnsAddNothing) {
    const std::size_t n = 40, p = 3;
    auto y = random_values(n, 3);
    auto x = random_values(n * p, 4);
    // Column 1 becomes 2 * column 0 - 0.5 * column 2; then append a zero column.
    std::vector<double> wide;
    for (std::size_t i = 0; i < n; ++i) {
        x[i * p + 1] = 2.0 * x[i * p] - 0.5 * x[i * p + 2];
        wide.insert(wide.end(), {x[i * p], x[i * p + 1], x[i * p + 2], 0.0, x[i * p]});
    }
    alvora::ols::FitInfo info;
    auto r = solve(y, wide, 5, {}, 0, &info);
    EXPECT_EQ(info.rank, 2u);
    expect_close(r, normal_equation_residuals(y, drop_column(x, p, 1), 2), 1e-12);
}

TEST(OlsResiduals, MoreColumnsThanRowsFitsExactly) {
    const std::size_t n = 5, p = 8;
    auto y = random_values(n, 5);
    auto x = random_values(n * p, 6);
    alvora::ols::FitInfo info;
    auto r = solve(y, x, p, {}, 0, &info);
    EXPECT_EQ(info.rank, n);
    for (double v : r) EXPECT_NEAR(v, 0.0, 1e-12);
}

TEST(OlsResiduals, GroupsEqualIndicatorColumns) {
    const std::size_t n = 50, p = 2, groups = 4;
    auto y = random_values(n, 7);
    auto x = random_values(n * p, 8);
    std::vector<std::int64_t> g(n);
    std::vector<double> with_dummies;
    for (std::size_t i = 0; i < n; ++i) {
        g[i] = static_cast<std::int64_t>((i * 7) % groups);
        with_dummies.insert(with_dummies.end(), {x[i * p], x[i * p + 1]});
        for (std::size_t k = 0; k < groups; ++k)
            with_dummies.push_back(static_cast<std::size_t>(g[i]) == k ? 1.0 : 0.0);
    }
    auto expected = normal_equation_residuals(y, with_dummies, p + groups);
    expect_close(solve(y, x, p, g, groups), expected, 1e-12);
    // Explicit indicator columns through the QR give the same residuals.
    expect_close(solve(y, with_dummies, p + groups), expected, 1e-12);
    // Residuals sum to zero within every group.
    auto r = solve(y, x, p, g, groups);
    std::vector<double> sums(groups, 0.0);
    for (std::size_t i = 0; i < n; ++i) sums[g[i]] += r[i];
    for (double s : sums) EXPECT_NEAR(s, 0.0, 1e-12);
}

TEST(OlsResiduals, ColumnConstantWithinGroupsIsDependent) {
    const std::size_t n = 30, groups = 3;
    auto y = random_values(n, 9);
    std::vector<std::int64_t> g(n);
    std::vector<double> x(n * 2);
    auto noise = random_values(n, 10);
    for (std::size_t i = 0; i < n; ++i) {
        g[i] = static_cast<std::int64_t>(i % groups);
        x[i * 2] = 1000.0 + 3.7 * static_cast<double>(g[i]);  // an industry-level constant
        x[i * 2 + 1] = noise[i];
    }
    alvora::ols::FitInfo info;
    auto r = solve(y, x, 2, g, groups, &info);
    EXPECT_EQ(info.rank, 1u);
    expect_close(r, solve(y, drop_column(x, 2, 0), 1, g, groups), 1e-12);
}

TEST(OlsResiduals, SmallScaleColumnIsKept) {
    const std::size_t n = 30, p = 2;
    auto y = random_values(n, 11);
    auto x = random_values(n * p, 12);
    auto scaled = x;
    for (std::size_t i = 0; i < n; ++i) scaled[i * p + 1] *= 1e-9;
    alvora::ols::FitInfo info;
    auto r = solve(y, scaled, p, {}, 0, &info);
    EXPECT_EQ(info.rank, 2u);
    expect_close(r, normal_equation_residuals(y, x, p), 1e-11);
}

TEST(OlsResiduals, NearlyDependentColumnIsKept) {
    // span{u, u + 1e-6 v} = span{u, v}: the second column is nearly, not exactly,
    // dependent on the first and must stay in the fit.
    const std::size_t n = 40;
    auto y = random_values(n, 17);
    auto uv = random_values(n * 2, 18);
    std::vector<double> close(n * 2);
    for (std::size_t i = 0; i < n; ++i) {
        close[i * 2] = uv[i * 2];
        close[i * 2 + 1] = uv[i * 2] + 1e-6 * uv[i * 2 + 1];
    }
    alvora::ols::FitInfo info;
    auto r = solve(y, close, 2, {}, 0, &info);
    EXPECT_EQ(info.rank, 2u);
    expect_close(r, normal_equation_residuals(y, uv, 2), 1e-8);
}

TEST(OlsResiduals, IncompleteRowsAreLeftOut) {
    const std::size_t n = 20, p = 2;
    auto y = random_values(n, 13);
    auto x = random_values(n * p, 14);
    std::vector<std::int64_t> g(n, 0);
    y[3] = kNaN;
    x[5 * p + 1] = kNaN;
    x[6 * p] = std::numeric_limits<double>::infinity();
    y[7] = -std::numeric_limits<double>::infinity();
    g[8] = -1;
    std::vector<double> ys, xs;
    std::vector<std::int64_t> gs;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 3 || i == 5 || i == 6 || i == 7 || i == 8) continue;
        ys.push_back(y[i]);
        xs.insert(xs.end(), {x[i * p], x[i * p + 1]});
        gs.push_back(0);
    }
    alvora::ols::FitInfo info;
    auto r = solve(y, x, p, g, 1, &info);
    EXPECT_EQ(info.used, n - 5);
    auto sub = solve(ys, xs, p, gs, 1);
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (i == 3 || i == 5 || i == 6 || i == 7 || i == 8) {
            EXPECT_TRUE(std::isnan(r[i])) << i;
        } else {
            EXPECT_NEAR(r[i], sub[k++], 1e-14) << i;
        }
    }
}

TEST(OlsResiduals, SingletonGroupAndNoRegressors) {
    std::vector<double> y{1.0, 2.0, 4.0, 10.0};
    std::vector<std::int64_t> g{0, 0, 0, 1};
    auto r = solve(y, {}, 0, g, 2);
    expect_close(r, {-4.0 / 3, -1.0 / 3, 5.0 / 3, 0.0}, 1e-14);
    // No regressors and no groups: nothing is explained, y comes back.
    expect_close(solve(y, {}, 0), y, 0.0);
}

TEST(OlsResiduals, RejectsBadInput) {
    ResidualSolver solver;
    std::vector<double> y{1.0, 2.0}, x{1.0, 2.0, 3.0}, out(2);
    EXPECT_THROW(solver.residuals(CrossSection{y, x, 2, {}, 0}, out), std::invalid_argument);
    std::vector<std::int64_t> g{0, 5};
    std::vector<double> x2{1.0, 2.0};
    EXPECT_THROW(solver.residuals(CrossSection{y, x2, 1, g, 2}, out), std::invalid_argument);
    std::vector<double> short_out(1);
    EXPECT_THROW(solver.residuals(CrossSection{y, x2, 1, {}, 0}, short_out), std::invalid_argument);
}

TEST(OlsPanel, EachDateIsItsOwnFit) {
    const std::size_t dates = 3, n = 12, p = 2;
    auto y = random_values(dates * n, 15);
    auto x = random_values(dates * n * p, 16);
    std::fill(y.begin() + n, y.begin() + 2 * n, kNaN);  // date 1: nothing to fit
    std::vector<double> out(dates * n);
    alvora::ols::panel_residuals(Panel{y, x, {}, dates, n, p}, out);
    for (std::size_t d = 0; d < dates; ++d) {
        std::vector<double> yd(y.begin() + d * n, y.begin() + (d + 1) * n);
        std::vector<double> xd(x.begin() + d * n * p, x.begin() + (d + 1) * n * p);
        std::vector<double> got(out.begin() + d * n, out.begin() + (d + 1) * n);
        if (d == 1) {
            for (double v : got) EXPECT_TRUE(std::isnan(v));
        } else {
            expect_close(got, normal_equation_residuals(yd, xd, p), 1e-12);
        }
    }
    std::vector<double> wrong(dates * n - 1);
    EXPECT_THROW(alvora::ols::panel_residuals(Panel{y, x, {}, dates, n, p}, wrong),
                 std::invalid_argument);
}

TEST(OlsPanel, FilledInBlocksEqualsTheWholeTable) {
    // More dates than one fill block, so blocks and their edges are both crossed.
    const std::size_t dates = 19, n = 15, p = 3;
    auto y = random_values(dates * n, 21);
    auto x = random_values(dates * n * p, 22);
    x[5 * n * p + 4] = kNaN;
    std::vector<std::int64_t> group(dates * n);
    for (std::size_t k = 0; k < group.size(); ++k) group[k] = static_cast<std::int64_t>(k % 4) - 1;
    std::vector<double> whole(dates * n), filled(dates * n);
    alvora::ols::panel_residuals(Panel{y, x, group, dates, n, p, 3}, whole);
    alvora::ols::FilledPanel lazy{
        y, group, dates, n, p, 3, [&](std::size_t first, std::size_t last, std::span<double> out) {
            std::copy(x.begin() + first * n * p, x.begin() + last * n * p, out.begin());
        }};
    alvora::ols::panel_residuals(lazy, filled);
    for (std::size_t k = 0; k < whole.size(); ++k) {
        if (std::isnan(whole[k])) {
            EXPECT_TRUE(std::isnan(filled[k])) << k;
        } else {
            EXPECT_EQ(whole[k], filled[k]) << k;
        }
    }
}

}  // namespace
