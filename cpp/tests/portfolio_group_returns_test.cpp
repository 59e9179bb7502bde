#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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
