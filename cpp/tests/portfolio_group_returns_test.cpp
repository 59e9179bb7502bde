#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "alvora/portfolio/group_returns.hpp"
#include "alvora/portfolio/quantile_labels.hpp"
#include "alvora/portfolio/schedule.hpp"

using namespace alvora::portfolio;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::int32_t X = kNoLabel;
}  // namespace

TEST(PortfolioSchedule, RebalanceRowIsLatestOfTheSchedule) {
    EXPECT_EQ(rebalance_row(1, 1, 3), 1u);
    EXPECT_EQ(rebalance_row(3, 1, 3), 1u);
    EXPECT_EQ(rebalance_row(4, 1, 3), 4u);
    EXPECT_EQ(rebalance_row(4, 2, 3), 2u);
    EXPECT_EQ(rebalance_row(5, 2, 3), 5u);
}

TEST(PortfolioGroupReturns, HorizonOneIsTheMembersMeanReturn) {
    // three instruments, two groups; levels from returns 0 / 10 % / 20 % per row
    const std::vector<std::int32_t> labels = {X, X, X, 0, 0, 1, 1, 0, 0};
    const std::vector<double> levels = {1.0, 1.0, 1.0, 1.1, 1.2, 1.0, 1.21, 1.2, 1.5};
    GroupSeries s = quantile_group_series(labels, {levels, 3, 3}, 2, 1);
    EXPECT_TRUE(std::isnan(s.returns[0]));
    EXPECT_NEAR(s.returns[1], 0.15, 1e-12);  // group 0 on row 1: 10 % and 20 %
    EXPECT_NEAR(s.returns[2], 0.25, 1e-12);  // group 0 on row 2: 0 % and 50 %
    EXPECT_NEAR(s.returns[3 + 1], 0.0, 1e-12);
    EXPECT_NEAR(s.returns[3 + 2], 0.1, 1e-12);
    // turnover: group 0 goes {0,1} -> {1,2}: one entrant of two
    EXPECT_TRUE(std::isnan(s.turnover[0]));
    EXPECT_DOUBLE_EQ(s.turnover[1], 0.0);
    EXPECT_DOUBLE_EQ(s.turnover[2], 0.5);
    EXPECT_DOUBLE_EQ(s.turnover[3 + 2], 1.0);
}

TEST(PortfolioGroupReturns, BuyAndHoldBetweenRebalancesAndAverageOverSchedules) {
    // one instrument in one group, horizon 2, returns 10 % then 20 % then 0 %
    const std::vector<std::int32_t> labels = {X, 0, 0, 0};
    const std::vector<double> levels = {1.0, 1.1, 1.32, 1.32};
    GroupSeries s = quantile_group_series(labels, {levels, 4, 1}, 1, 2);
    EXPECT_NEAR(s.returns[1], 0.1, 1e-12);  // schedule 1 only
    EXPECT_NEAR(s.returns[2], 0.2, 1e-12);  // schedule 1 (held) and schedule 2 (rebalanced)
    EXPECT_NEAR(s.returns[3], 0.0, 1e-12);
}

TEST(PortfolioGroupReturns, MissingGrowthPadsForward) {
    // one instrument in one group whose level is unknown on row 2; horizon 3
    const std::vector<std::int32_t> labels = {X, 0, 0, 0};
    const std::vector<double> levels = {1.0, 1.2, kNaN, 1.5};
    GroupSeries s = quantile_group_series(labels, {levels, 4, 1}, 1, 3);
    // schedule 1 (rows 1-3, bought at level 1.0): 0.2, then no value on row 2 (change 0 against
    // the padded 1.2), then 1.5 / 1.2 - 1 on row 3.  Schedule 2 rebalances on row 2 into a NaN
    // growth and has no previous value on row 3; schedule 3 starts from row 2's NaN level.
    EXPECT_NEAR(s.returns[1], 0.2, 1e-12);
    EXPECT_NEAR(s.returns[2], 0.0, 1e-12);
    EXPECT_NEAR(s.returns[3], 0.25, 1e-12);
}

TEST(PortfolioGroupReturns, RejectsInconsistentInputs) {
    const std::vector<std::int32_t> labels = {X, 3};
    const std::vector<double> levels = {1.0, 1.0};
    EXPECT_THROW(quantile_group_series(labels, {levels, 2, 1}, 2, 1), std::invalid_argument);
    EXPECT_THROW(quantile_group_series(labels, {levels, 2, 1}, 4, 0), std::invalid_argument);
    const std::vector<std::int32_t> short_labels = {X};
    EXPECT_THROW(quantile_group_series(short_labels, {levels, 2, 1}, 4, 1), std::invalid_argument);
}

namespace {

// Random levels (a share of them missing) and labels of a random factor, rows x cols.
struct RandomPanel {
    std::vector<double> levels;
    std::vector<std::int32_t> labels;
};

RandomPanel random_panel(std::size_t rows, std::size_t cols, int groups, double missing,
                         unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    RandomPanel p;
    std::vector<double> factor(rows * cols), level(cols, 1.0);
    for (std::size_t t = 0; t < rows; ++t) {
        for (std::size_t i = 0; i < cols; ++i) {
            level[i] *= 1.0 + 0.04 * (unit(gen) - 0.5);
            p.levels.push_back(unit(gen) < missing ? kNaN : level[i]);
            // Few distinct values: many ties.
            factor[t * cols + i] = unit(gen) < missing ? kNaN : std::floor(unit(gen) * 7.0);
        }
    }
    p.labels = previous_row_labels({factor, rows, cols}, groups, false);
    return p;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t k = 0; k < a.size(); ++k) {
        if (std::isnan(a[k]) != std::isnan(b[k])) return false;
        if (!std::isnan(a[k]) && a[k] != b[k]) return false;
    }
    return true;
}

}  // namespace

TEST(PortfolioGroupReturns, AllPeriodsInOnePassEqualOnePeriodAtATime) {
    const std::vector<std::size_t> periods = {1, 5, 3, 20, 5, 1000};
    for (double missing : {0.0, 0.3, 0.9}) {
        for (std::size_t rows : {std::size_t{1}, std::size_t{2}, std::size_t{37}}) {
            const RandomPanel p = random_panel(rows, 23, 4, missing, static_cast<unsigned>(rows));
            const PanelView levels{p.levels, rows, 23};
            const std::vector<GroupSeries> all =
                quantile_group_series(p.labels, levels, 4, periods);
            ASSERT_EQ(all.size(), periods.size());
            for (std::size_t h = 0; h < periods.size(); ++h) {
                const GroupSeries one = quantile_group_series(p.labels, levels, 4, periods[h]);
                EXPECT_TRUE(same_bits(all[h].returns, one.returns)) << missing << " " << h;
                EXPECT_TRUE(same_bits(all[h].turnover, one.turnover)) << missing << " " << h;
            }
        }
    }
    const std::vector<std::size_t> zero = {1, 0};
    const RandomPanel p = random_panel(3, 2, 1, 0.0, 1);
    EXPECT_THROW(quantile_group_series(p.labels, {p.levels, 3, 2}, 1, zero), std::invalid_argument);
}
