#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "alvora/ols/moments.hpp"
#include "alvora/ols/residuals.hpp"

namespace {

using alvora::ols::CrossSection;
using alvora::ols::DesignMoments;
using alvora::ols::MomentScratch;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Design {
    std::vector<double> y, x;
    std::vector<std::int64_t> group;
    std::size_t p = 0, groups = 0;
};

// n rows, p columns mixed so that neighbours correlate, `groups` labels (0: none), every
// `gap`-th factor value missing, one incomplete regressor row.
Design random_design(std::size_t n, std::size_t p, std::size_t groups, std::size_t gap,
                     unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<double> normal;
    Design d;
    d.p = p;
    d.groups = groups;
    for (std::size_t i = 0; i < n; ++i) {
        d.y.push_back(gap && i % gap == 0 ? kNaN : 3.0 + normal(gen));
        double previous = 0.0;
        for (std::size_t j = 0; j < p; ++j) {
            previous = 0.8 * previous + normal(gen);
            d.x.push_back(previous + (j == 0 ? 2.0 : 0.0));
        }
        if (groups) d.group.push_back(i % 17 == 5 ? -1 : static_cast<std::int64_t>(i % groups));
    }
    d.x[7 * p] = kNaN;
    return d;
}

// Whether the moments fit the date, and then their largest difference from the QR.
std::pair<bool, double> compare_with_qr(const Design& d) {
    const CrossSection cs{d.y, d.x, d.p, d.group, d.groups};
    DesignMoments moments;
    alvora::ols::design_moments(cs, moments);
    MomentScratch scratch;
    std::vector<double> fast(d.y.size()), qr(d.y.size());
    const bool used = alvora::ols::moment_residuals(cs, moments, scratch, fast);
    alvora::ols::ResidualSolver().residuals(cs, qr);
    double worst = 0.0;
    for (std::size_t i = 0; used && i < qr.size(); ++i) {
        EXPECT_EQ(std::isnan(fast[i]), std::isnan(qr[i])) << i;
        if (!std::isnan(qr[i])) worst = std::max(worst, std::abs(fast[i] - qr[i]));
    }
    return {used, worst};
}

TEST(OlsMoments, WellConditionedDatesMatchTheQr) {
    for (std::size_t groups : {0, 1, 4, 30}) {
        for (std::size_t gap : {0, 3, 20}) {
            const auto [used, worst] = compare_with_qr(random_design(400, 10, groups, gap, 7));
            EXPECT_TRUE(used) << groups << " groups, gap " << gap;
            EXPECT_LT(worst, 1e-12) << groups << " groups, gap " << gap;
        }
    }
}

TEST(OlsMoments, DoubtfulDatesAreLeftToTheQr) {
    struct Case {
        const char* name;
        void (*edit)(Design&);
    };
    const Case cases[] = {
        {"dependent column",
         [](Design& d) {
             for (std::size_t i = 0; i < d.y.size(); ++i) d.x[i * d.p + 2] = 2.0 * d.x[i * d.p];
         }},
        {"zero column",
         [](Design& d) {
             for (std::size_t i = 0; i < d.y.size(); ++i) d.x[i * d.p + 1] = 0.0;
         }},
        {"column constant within groups",
         [](Design& d) {
             for (std::size_t i = 0; i < d.y.size(); ++i)
                 d.x[i * d.p + 1] = static_cast<double>(d.group[i] * d.group[i]);
         }},
        {"most factor values missing",
         [](Design& d) {
             for (std::size_t i = 0; i < d.y.size(); i += 3) d.y[i] = d.y[i + 1] = kNaN;
         }},
    };
    for (const Case& c : cases) {
        Design d = random_design(90, 4, 3, 0, 11);
        c.edit(d);
        EXPECT_FALSE(compare_with_qr(d).first) << c.name;
    }
}

TEST(OlsMoments, KeptMomentsGiveTheSameResidualsForEveryFactor) {
    // Dates of one design, two factors with different missing values; one date's design is
    // dependent (QR). Kept moments (made by the first factor) change no bit of the second.
    const std::size_t dates = 5, n = 120, p = 3, groups = 6;
    Design base = random_design(dates * n, p, groups, 0, 3);
    for (std::size_t i = 0; i < n; ++i) base.x[(2 * n + i) * p + 1] = base.x[(2 * n + i) * p];
    std::vector<DesignMoments> kept(dates);
    for (unsigned factor = 0; factor < 2; ++factor) {
        Design d = random_design(dates * n, p, groups, 4 + factor, 20 + factor);
        std::vector<double> fresh(d.y.size()), reused(d.y.size()), qr(d.y.size());
        alvora::ols::panel_residuals({d.y, base.x, base.group, dates, n, p, groups}, fresh);
        alvora::ols::panel_residuals({d.y, base.x, base.group, dates, n, p, groups, &kept}, reused);
        alvora::ols::ResidualSolver solver;
        for (std::size_t t = 0; t < dates; ++t) {
            const CrossSection cs{std::span<const double>(d.y).subspan(t * n, n),
                                  std::span<const double>(base.x).subspan(t * n * p, n * p), p,
                                  std::span<const std::int64_t>(base.group).subspan(t * n, n),
                                  groups};
            solver.residuals(cs, std::span<double>(qr).subspan(t * n, n));
        }
        for (std::size_t i = 0; i < fresh.size(); ++i) {
            ASSERT_EQ(std::isnan(fresh[i]), std::isnan(qr[i])) << i;
            if (std::isnan(qr[i])) continue;
            EXPECT_EQ(fresh[i], reused[i]) << i;
            EXPECT_NEAR(fresh[i], qr[i], 1e-12) << i;
            if (i / n == 2) EXPECT_EQ(fresh[i], qr[i]) << i;  // the dependent date
        }
    }
}

}  // namespace
