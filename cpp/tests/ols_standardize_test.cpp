#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "alvora/ols/standardize.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> run(const std::vector<double>& in, std::size_t rows, std::size_t cols) {
    std::vector<double> out(in.size());
    alvora::ols::standardize_rows(in, rows, cols, out);
    return out;
}

TEST(StandardizeRows, SkipsNaNAndUsesSampleDeviation) {
    // Row 0: 1, NaN, 3, 5 -> mean 3, sd 2.
    auto out = run({1.0, kNaN, 3.0, 5.0, 2.0, 4.0, 6.0, 8.0}, 2, 4);
    EXPECT_DOUBLE_EQ(out[0], -1.0);
    EXPECT_TRUE(std::isnan(out[1]));
    EXPECT_DOUBLE_EQ(out[2], 0.0);
    EXPECT_DOUBLE_EQ(out[3], 1.0);
    const double sd = std::sqrt(20.0 / 3.0);
    EXPECT_DOUBLE_EQ(out[4], -3.0 / sd);
    EXPECT_DOUBLE_EQ(out[7], 3.0 / sd);
}

TEST(StandardizeRows, DegenerateRows) {
    auto out = run({kNaN, 7.0, kNaN, 2.0, 2.0, 2.0, kNaN, kNaN, kNaN}, 3, 3);
    for (double v : out) EXPECT_TRUE(std::isnan(v));  // one value; all equal; all NaN
}

TEST(StandardizeRows, InfiniteResultsBecomeZeroInfiniteInputsPoisonTheRow) {
    // A subnormal spread: the squared deviations underflow to a zero deviation,
    // and the non-zero differences divide to +-infinity, which become 0.
    auto out = run({1e-320, 0.0, 0.0}, 1, 3);
    for (double v : out) EXPECT_EQ(v, 0.0);
    auto poisoned = run({1.0, kInf, 3.0}, 1, 3);
    for (double v : poisoned) EXPECT_TRUE(std::isnan(v));
}

TEST(StandardizeRows, InPlaceAndSizeChecks) {
    std::vector<double> buf{1.0, 2.0, 3.0};
    alvora::ols::standardize_rows(buf, 1, 3, buf);
    EXPECT_DOUBLE_EQ(buf[0], -1.0);
    EXPECT_DOUBLE_EQ(buf[2], 1.0);
    std::vector<double> out(2);
    EXPECT_THROW(alvora::ols::standardize_rows(buf, 1, 3, out), std::invalid_argument);
}

}  // namespace
