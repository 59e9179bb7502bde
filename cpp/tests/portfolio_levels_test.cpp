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

TEST(PortfolioLevels, ColumnMajorTableReadInPlaceGivesTheSameLevels) {
    // 37 rows: whole tiles of rows and a partial one.
    const std::size_t rows = 37, cols = 5;
    std::vector<double> row_major(rows * cols), column_major(rows * cols);
    for (std::size_t t = 0; t < rows; ++t)
        for (std::size_t i = 0; i < cols; ++i) {
            const double r = (t * 7 + i * 3) % 11 == 0 ? kNaN : 0.01 * std::sin(t * 1.3 + i);
            row_major[t * cols + i] = column_major[i * rows + t] = r;
        }
    std::vector<double> expected(rows * cols), got(rows * cols);
    cumulative_levels(row_major, cols, expected);
    const alvora::stats::StridedRows table{column_major.data(), rows, cols, 1,
                                           static_cast<std::ptrdiff_t>(rows)};
    cumulative_levels(table, got);
    for (std::size_t k = 0; k < got.size(); ++k)
        ASSERT_TRUE(got[k] == expected[k] || (std::isnan(got[k]) && std::isnan(expected[k]))) << k;
    EXPECT_DOUBLE_EQ(expected[cols * (rows - 1)], [&] {
        double level = 1.0;  // the first instrument compounded by hand
        for (std::size_t t = 0; t < rows; ++t)
            if (!std::isnan(row_major[t * cols])) level *= 1.0 + row_major[t * cols];
        return level;
    }());
}
