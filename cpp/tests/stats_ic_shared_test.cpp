// The rank IC with the return columns' orders made once (shared across factors) equals
// the rank IC each factor computes alone, and both agree with a per-selection Spearman.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "alvora/stats/ic.hpp"
#include "alvora/stats/ic_panel.hpp"
#include "alvora/stats/ic_shared.hpp"

using namespace alvora::stats;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

struct Shape {
    const char* name;
    double nan_rate;          // of every value
    int levels;               // > 0: values drawn from this many levels (ties everywhere)
    double absent_rate;       // of the grid's (date, instrument) cells without a table row
    bool nan_returns = true;  // false: only the factor misses values (lags share masks)
};

struct Panel {
    std::vector<double> factor, r1, r2;
    std::vector<std::int64_t> rows;  // empty: the full product
    RowGrid grid;
};

Panel make_panel(const Shape& shape, std::size_t dates, std::size_t instruments, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> uniform;
    auto draw = [&](bool may_miss) {
        if (uniform(rng) < shape.nan_rate && may_miss) return kNaN;
        const double v = normal(rng);
        return shape.levels > 0 ? std::floor(v * shape.levels / 2) : v;
    };
    Panel p;
    for (std::size_t cell = 0; cell < dates * instruments; ++cell) {
        if (shape.absent_rate > 0 && uniform(rng) < shape.absent_rate) {
            p.rows.push_back(-1);
            continue;
        }
        if (shape.absent_rate > 0) p.rows.push_back(static_cast<std::int64_t>(p.factor.size()));
        p.factor.push_back(draw(true));
        p.r1.push_back(draw(shape.nan_returns));
        p.r2.push_back(draw(shape.nan_returns));
    }
    // One constant date for the second column, one date without any factor value.
    for (std::size_t i = 0; i < instruments && shape.absent_rate == 0; ++i) {
        p.r2[2 * instruments + i] = 0.5;
        p.factor[4 * instruments + i] = kNaN;
    }
    p.grid = {dates, instruments, p.rows};
    return p;
}

// Same values and the same NaN positions.
void expect_identical(const std::vector<double>& a, const std::vector<double>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (std::isnan(b[k]))
            EXPECT_TRUE(std::isnan(a[k])) << k;
        else
            EXPECT_EQ(a[k], b[k]) << k;
    }
}

class SharedOrders : public ::testing::TestWithParam<Shape> {};

TEST_P(SharedOrders, PanelAndDecayEqualPerFactorAndPerSelectionResults) {
    const Panel p = make_panel(GetParam(), 24, 90, 7);
    const std::vector<std::span<const double>> returns{p.r1, p.r2};
    const std::vector<DateOrders> shared = date_return_orders(returns, p.grid);
    const PanelICWithDecay alone = rank_panel_ic(p.factor, returns, p.grid, 5, true);
    const PanelICWithDecay reused = rank_panel_ic(p.factor, returns, p.grid, 5, true, shared);
    expect_identical(reused.ic.coefficient, alone.ic.coefficient);
    expect_identical(reused.ic.p_value, alone.ic.p_value);
    EXPECT_EQ(reused.ic.notes.constant_inputs, alone.ic.notes.constant_inputs);
    ASSERT_EQ(alone.lags.size(), 4u);
    for (std::size_t d = 1; d <= 4; ++d) {
        EXPECT_EQ(reused.lags[d - 1].dates, alone.lags[d - 1].dates);
        expect_identical(reused.lags[d - 1].coefficient, alone.lags[d - 1].coefficient);
        // An independent Spearman per selection (average ranks of the chosen pairs).
        const DecayLag one =
            ic_decay_lag(CorrelationMethod::spearman, p.factor, returns, p.grid, d);
        EXPECT_EQ(alone.lags[d - 1].dates, one.dates);
        ASSERT_EQ(alone.lags[d - 1].coefficient.size(), one.coefficient.size());
        for (std::size_t k = 0; k < one.coefficient.size(); ++k) {
            if (std::isnan(one.coefficient[k]))
                EXPECT_TRUE(std::isnan(alone.lags[d - 1].coefficient[k]));
            else
                EXPECT_NEAR(alone.lags[d - 1].coefficient[k], one.coefficient[k], 1e-13);
        }
    }
}

TEST_P(SharedOrders, GroupedICEqualsPerFactorResult) {
    const Panel p = make_panel(GetParam(), 24, 90, 9);
    const std::vector<std::span<const double>> returns{p.r1, p.r2};
    std::vector<std::int32_t> codes;  // five groups, and rows in none
    for (std::size_t r = 0; r < p.factor.size(); ++r)
        codes.push_back(r % 11 == 0 ? -1 : static_cast<std::int32_t>((r * 7) % 5));
    const GroupedRows groups = group_rows(codes, 5);
    const ReturnOrders shared = group_return_orders(returns, groups);
    const GroupedIC alone = grouped_ic(CorrelationMethod::spearman, p.factor, returns, groups);
    const GroupedIC reused =
        grouped_ic(CorrelationMethod::spearman, p.factor, returns, groups, &shared);
    expect_identical(reused.coefficient, alone.coefficient);
    expect_identical(reused.p_value, alone.p_value);
    // Without the rows' group codes the factor is gathered group by group instead.
    GroupedRows gathered = groups;
    gathered.codes.clear();
    const GroupedIC by_rows = grouped_ic(CorrelationMethod::spearman, p.factor, returns, gathered);
    expect_identical(by_rows.coefficient, alone.coefficient);
    expect_identical(by_rows.p_value, alone.p_value);
}

INSTANTIATE_TEST_SUITE_P(Shapes, SharedOrders,
                         ::testing::Values(Shape{"plain", 0.05, 0, 0.0},
                                           Shape{"nan_heavy", 0.7, 0, 0.0},
                                           Shape{"tie_heavy", 0.1, 4, 0.0},
                                           Shape{"absent_rows", 0.1, 6, 0.2},
                                           Shape{"complete_returns", 0.1, 0, 0.0, false}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
