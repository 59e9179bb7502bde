#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

#include "alvora/stats/correlation.hpp"
#include "alvora/stats/ic.hpp"
#include "alvora/stats/ic_panel.hpp"
#include "alvora/stats/ranks.hpp"

using namespace alvora::stats;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Panel {
    std::size_t dates, instruments;
    std::vector<double> factor, r1, r2;
};

// Random panel with missing values and many ties (values rounded to one decimal).
Panel random_panel(std::size_t dates, std::size_t instruments, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform;
    Panel p{dates, instruments, {}, {}, {}};
    for (std::size_t k = 0; k < dates * instruments; ++k) {
        p.factor.push_back(uniform(rng) < 0.15 ? kNaN : std::round(normal(rng) * 10) / 10);
        p.r1.push_back(uniform(rng) < 0.15 ? kNaN : normal(rng));
        p.r2.push_back(uniform(rng) < 0.1 ? kNaN : std::round(normal(rng) * 4) / 4);
    }
    return p;
}

}  // namespace

TEST(SortedOrder, MatchesComparisonSortWithTiesAndSigns) {
    std::mt19937 rng(3);
    std::normal_distribution<double> normal;
    std::vector<double> values;
    for (int k = 0; k < 500; ++k) values.push_back(std::round(normal(rng) * 3) / 3);
    values[7] = 0.0;
    values[8] = -0.0;  // equal to +0.0: must follow index 7
    values[9] = kNaN;
    values[10] = std::numeric_limits<double>::infinity();
    values[11] = -std::numeric_limits<double>::infinity();
    std::vector<std::uint32_t> order;
    std::vector<std::uint64_t> keys;
    sorted_order(values, order, keys);
    ASSERT_EQ(order.size(), values.size() - 1);
    for (std::size_t k = 1; k < order.size(); ++k) {
        ASSERT_LE(values[order[k - 1]], values[order[k]]);
        if (values[order[k - 1]] == values[order[k]]) {
            ASSERT_LT(order[k - 1], order[k]);  // stable
        }
    }
    // Masked ranks over every entry equal the plain average ranks.
    std::vector<double> clean;
    for (std::uint32_t id : order) clean.push_back(values[id]);
    std::vector<std::uint8_t> usable(values.size(), 1);
    usable[9] = 0;
    std::vector<double> ranks(values.size()), plain(clean.size());
    std::vector<std::uint32_t> tie, scratch;
    masked_average_ranks(order, values, usable, ranks, tie);
    average_ranks(clean, plain, scratch);
    for (std::size_t k = 0; k < order.size(); ++k) EXPECT_EQ(ranks[order[k]], plain[k]);
}

TEST(PanelIC, AgreesWithPerGroupComputation) {
    const Panel p = random_panel(30, 200, 11);
    std::vector<std::span<const double>> returns{p.r1, p.r2};
    const RowGrid grid{p.dates, p.instruments, {}};
    std::vector<std::int32_t> codes;
    for (std::size_t r = 0; r < p.dates * p.instruments; ++r)
        codes.push_back(static_cast<std::int32_t>(r / p.instruments));
    const GroupedRows groups = group_rows(codes, p.dates);
    for (auto method : {CorrelationMethod::spearman, CorrelationMethod::pearson}) {
        const GroupedIC panel = panel_ic(method, p.factor, returns, grid);
        const GroupedIC grouped = grouped_ic(method, p.factor, returns, groups);
        ASSERT_EQ(panel.coefficient.size(), grouped.coefficient.size());
        for (std::size_t k = 0; k < panel.coefficient.size(); ++k) {
            EXPECT_NEAR(panel.coefficient[k], grouped.coefficient[k], 1e-13);
            EXPECT_NEAR(panel.p_value[k], grouped.p_value[k], 1e-12 * (1 + grouped.p_value[k]));
        }
    }
}

TEST(PanelIC, DecayAgreesWithSingleLagComputation) {
    const Panel p = random_panel(25, 150, 5);
    std::vector<std::span<const double>> returns{p.r1, p.r2};
    const RowGrid grid{p.dates, p.instruments, {}};
    for (auto method : {CorrelationMethod::spearman, CorrelationMethod::pearson}) {
        const std::vector<DecayLag> lags = panel_ic_decay(method, p.factor, returns, grid, 6);
        ASSERT_EQ(lags.size(), 5u);
        for (std::size_t d = 1; d <= 5; ++d) {
            const DecayLag one = ic_decay_lag(method, p.factor, returns, grid, d);
            EXPECT_EQ(lags[d - 1].dates, one.dates);
            ASSERT_EQ(lags[d - 1].coefficient.size(), one.coefficient.size());
            for (std::size_t k = 0; k < one.coefficient.size(); ++k)
                EXPECT_NEAR(lags[d - 1].coefficient[k], one.coefficient[k], 1e-13);
        }
    }
    EXPECT_TRUE(panel_ic_decay(CorrelationMethod::spearman, p.factor, returns, grid, 1).empty());
}

// Long and short inputs (both digit widths) holding clusters of values that agree on
// their leading bits and differ in the last ones, repeated values and both zeros.
TEST(SortedOrder, OrdersCloseValuesByFullValueThenIndex) {
    for (const std::size_t n : {300u, 6000u}) {
        std::mt19937 rng(static_cast<unsigned>(n));
        std::uniform_int_distribution<int> pick(0, 5);
        std::vector<double> values;
        for (std::size_t k = 0; k < n; ++k) {
            const int kind = pick(rng);
            const double low = std::ldexp(static_cast<double>(rng() % 64), -50);
            values.push_back(kind == 0   ? 1.0 + low
                             : kind == 1 ? -2.0 - low
                             : kind == 2 ? 0.25
                             : kind == 3 ? (k % 2 ? 0.0 : -0.0)
                                         : std::ldexp(static_cast<double>(rng()), -20));
        }
        std::vector<std::uint32_t> order;
        std::vector<std::uint64_t> keys;
        sorted_order(values, order, keys);
        std::vector<std::uint32_t> expected(n);
        for (std::size_t k = 0; k < n; ++k) expected[k] = static_cast<std::uint32_t>(k);
        std::stable_sort(expected.begin(), expected.end(),
                         [&](std::uint32_t a, std::uint32_t b) { return values[a] < values[b]; });
        EXPECT_EQ(order, expected) << n;
    }
}

// The rank IC's integer sums give the exact sums of ranking the selected pairs and summing
// centred products in doubles: the same bits, on the date grid and per group. A date
// wider than the integer sums allow sums in doubles instead, to within rounding.
TEST(PanelIC, RankICEqualsRankingTheSelectedPairs) {
    for (const auto& [dates, instruments, tolerance] :
         {std::tuple{20u, 300u, 0.0}, std::tuple{2u, 140000u, 1e-12}}) {
        const Panel p = random_panel(dates, instruments, 17);
        std::vector<std::span<const double>> returns{p.r1, p.r2};
        const RowGrid grid{p.dates, p.instruments, {}};
        std::vector<std::int32_t> codes;
        for (std::size_t r = 0; r < p.dates * p.instruments; ++r)
            codes.push_back(static_cast<std::int32_t>(r / p.instruments));
        const GroupedIC panel = panel_ic(CorrelationMethod::spearman, p.factor, returns, grid);
        const GroupedIC grouped =
            grouped_ic(CorrelationMethod::spearman, p.factor, returns, group_rows(codes, p.dates));
        CorrelationWorkspace ws;
        for (std::size_t t = 0; t < p.dates; ++t) {
            for (std::size_t k = 0; k < returns.size(); ++k) {
                std::vector<double> x, y;
                for (std::size_t i = 0; i < p.instruments; ++i) {
                    const std::size_t row = t * p.instruments + i;
                    if (std::isnan(returns[k][row]) || std::isnan(p.factor[row])) continue;
                    x.push_back(returns[k][row]);
                    y.push_back(p.factor[row]);
                }
                const Correlation want = spearman(x, y, ws);
                const std::size_t at = t * returns.size() + k;
                EXPECT_NEAR(panel.coefficient[at], want.coefficient, tolerance) << instruments;
                EXPECT_NEAR(grouped.coefficient[at], want.coefficient, tolerance) << instruments;
                if (tolerance == 0.0) {
                    EXPECT_EQ(panel.p_value[at], want.p_value);
                }
            }
        }
    }
}
