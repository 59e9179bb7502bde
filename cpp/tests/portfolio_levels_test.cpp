#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "alvora/portfolio/levels.hpp"

using namespace alvora::portfolio;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

TEST(PortfolioLevels, MissingReturnsKeepTheLevelAndLeadingNaNStays) {
    // two instruments; the second starts on row 1; the first misses row 2
    const std::vector<double> r = {0.1, kNaN, 0.1, 0.5, kNaN, 0.0, -0.5, 1.0};
    std::vector<double> out(r.size());
    cumulative_levels(r, 2, out);
    EXPECT_DOUBLE_EQ(out[0], 1.1);
    EXPECT_TRUE(std::isnan(out[1]));
    EXPECT_DOUBLE_EQ(out[2], 1.1 * 1.1);
    EXPECT_DOUBLE_EQ(out[3], 1.5);
    EXPECT_DOUBLE_EQ(out[4], 1.1 * 1.1);  // flat across the missing day
    EXPECT_DOUBLE_EQ(out[5], 1.5);
    EXPECT_DOUBLE_EQ(out[6], 1.1 * 1.1 * 0.5);
    EXPECT_DOUBLE_EQ(out[7], 3.0);
}

TEST(PortfolioLevels, ShapeChecksAndEmptyPanels) {
    std::vector<double> r(5), out(5), short_out(4);
    EXPECT_THROW(cumulative_levels(r, 2, out), std::invalid_argument);
    EXPECT_THROW(cumulative_levels(r, 5, short_out), std::invalid_argument);
    std::vector<double> none;
    EXPECT_NO_THROW(cumulative_levels(none, 0, none));
    EXPECT_NO_THROW(cumulative_levels(none, 3, none));
}

TEST(PortfolioLevels, CompoundInPlace) {
    std::vector<double> x = {0.0, 0.1, -0.5};
    compound_in_place(x);
    EXPECT_DOUBLE_EQ(x[0], 0.0);
    EXPECT_NEAR(x[1], 0.1, 1e-15);
    EXPECT_NEAR(x[2], 1.1 * 0.5 - 1.0, 1e-15);
}
