#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "alvora/portfolio/factor_portfolio.hpp"

using namespace alvora::portfolio;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

TEST(PortfolioFactor, WeightsAreDemeanedAndScaledToUnitGross) {
    const std::vector<double> factor = {1.0, 3.0, kNaN, 2.0, 2.0, 2.0, 0.0, 0.0, 0.0};
    const std::vector<double> w = previous_row_weights({factor, 3, 3}, false);
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(std::isnan(w[i]));
    EXPECT_DOUBLE_EQ(w[3], -0.5);
    EXPECT_DOUBLE_EQ(w[4], 0.5);
    EXPECT_TRUE(std::isnan(w[5]));
    for (int i = 6; i < 9; ++i) EXPECT_TRUE(std::isnan(w[i]));  // flat row: no weights
    const std::vector<double> negated = previous_row_weights({factor, 3, 3}, true);
    EXPECT_DOUBLE_EQ(negated[3], 0.5);
    EXPECT_DOUBLE_EQ(negated[4], -0.5);
}

TEST(PortfolioFactor, UsesExactlyTheRebalanceRowsWeights) {
    // weights: row 1 long instrument 1; row 2 has no weight for it; horizon 2, schedule 1
    // rebalances on rows 1 and 3 (row 3 uses row 3's weights), schedule 2 on row 2
    const std::vector<double> weights = {kNaN, kNaN, -0.5, 0.5, 0.5, kNaN, -0.5, 0.5};
    const std::vector<double> levels = {1.0, 1.0, 1.0, 1.1, 1.0, 1.21, 1.0, 1.331};
    const std::vector<double> r = factor_portfolio_returns({weights, 4, 2}, {levels, 4, 2}, 2);
    EXPECT_TRUE(std::isnan(r[0]));
    // row 1: schedule 1 earns 0.5 * 10 %; schedule 2 idle (0)
    EXPECT_NEAR(r[1], (0.05 + 0.0) / 2, 1e-12);
    // row 2: schedule 1 holds: 1 + 0.5 * 0.21 over 1.05; schedule 2 rebalances on row 2 whose
    // instrument 1 weight is missing: 0
    EXPECT_NEAR(r[2], ((1 + 0.5 * 0.21) / 1.05 - 1 + 0.0) / 2, 1e-12);
    // row 3: schedule 1 rebalances with row 3's weights: 0.5 * 10 %; schedule 2 still holds
    // nothing of instrument 1 (no carry of row 1's weight)
    EXPECT_NEAR(r[3], (0.05 + 0.0) / 2, 1e-12);
}

TEST(PortfolioFactor, IdleSchedulesAddZeros) {
    const std::vector<double> weights = {kNaN, kNaN, -0.5, 0.5};
    const std::vector<double> levels = {1.0, 1.0, 1.0, 1.2};
    const std::vector<double> one = factor_portfolio_returns({weights, 2, 2}, {levels, 2, 2}, 1);
    const std::vector<double> many =
        factor_portfolio_returns({weights, 2, 2}, {levels, 2, 2}, 1000000000);
    EXPECT_NEAR(one[1], 0.1, 1e-12);
    EXPECT_NEAR(many[1], 0.1 / 1e9, 1e-18);
    EXPECT_THROW(factor_portfolio_returns({weights, 2, 2}, {levels, 2, 2}, 0),
                 std::invalid_argument);
    const std::vector<double> none;
    EXPECT_TRUE(factor_portfolio_returns({none, 0, 0}, {none, 0, 0}, 3).empty());
}

TEST(PortfolioFactor, AllPeriodsInOnePassEqualOnePeriodAtATime) {
    std::mt19937 gen(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const std::vector<std::size_t> periods = {1, 5, 3, 20, 5, 1000000000};
    for (double missing : {0.0, 0.3, 0.9}) {
        for (std::size_t rows : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{41}}) {
            const std::size_t cols = 17;
            std::vector<double> factor(rows * cols), levels(rows * cols);
            std::vector<double> level(cols, 1.0);
            for (std::size_t k = 0; k < rows * cols; ++k) {
                level[k % cols] *= 1.0 + 0.04 * (unit(gen) - 0.5);
                levels[k] = unit(gen) < missing ? kNaN : level[k % cols];
                factor[k] = unit(gen) < missing ? kNaN : unit(gen);
            }
            const std::vector<double> w = previous_row_weights({factor, rows, cols}, false);
            const std::vector<std::vector<double>> all =
                factor_portfolio_returns({w, rows, cols}, {levels, rows, cols}, periods);
            ASSERT_EQ(all.size(), periods.size());
            for (std::size_t h = 0; h < periods.size(); ++h) {
                const std::vector<double> one =
                    factor_portfolio_returns({w, rows, cols}, {levels, rows, cols}, periods[h]);
                ASSERT_EQ(all[h].size(), one.size());
                for (std::size_t t = 0; t < one.size(); ++t) {
                    if (std::isnan(one[t])) {
                        EXPECT_TRUE(std::isnan(all[h][t])) << missing << " " << h << " " << t;
                    } else {
                        EXPECT_EQ(all[h][t], one[t]) << missing << " " << h << " " << t;
                    }
                }
            }
        }
    }
}
