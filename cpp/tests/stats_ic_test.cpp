#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "alvora/stats/forward_returns.hpp"
#include "alvora/stats/ic.hpp"

using namespace alvora::stats;

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();
}

TEST(ForwardReturns, GrowthSkipsGapsAndStartsAtFirstReturn) {
    // Column-major 4 x 2: column A = [NaN, 0.1, NaN, 0.2], column B = [0.0, 0.5, -0.5, 0.0].
    std::vector<double> data{kNaN, 0.1, kNaN, 0.2, 0.0, 0.5, -0.5, 0.0};
    StridedMatrix m{data.data(), 4, 2, 1, 4};
    std::vector<std::int64_t> rows{0, 1, 3};
    std::vector<std::int64_t> horizons{1, 2};
    std::vector<double> p1(6), p2(6);
    std::vector<double*> out{p1.data(), p2.data()};
    forward_returns(m, rows, horizons, out);
    EXPECT_TRUE(std::isnan(p1[0]));                        // A before its first return
    EXPECT_DOUBLE_EQ(p1[1], 0.5);                          // B row 0 -> 1
    EXPECT_DOUBLE_EQ(p1[2], 0.0);                          // A row 1 -> 2: the gap is flat
    EXPECT_DOUBLE_EQ(p2[2], 1.1 * 1.2 / 1.1 - 1.0);        // A row 1 -> 3
    EXPECT_DOUBLE_EQ(p2[3], 1.5 * 0.5 * 1.0 / 1.5 - 1.0);  // B row 1 -> 3
    EXPECT_TRUE(std::isnan(p1[4]) && std::isnan(p1[5]));   // last row: nothing ahead
    EXPECT_TRUE(std::isnan(p2[4]));
}

TEST(ForwardReturns, NegativeHorizonLooksBackAndWideTablesUseBlocks) {
    const std::size_t rows = 3, cols = 130;       // more than one block of instruments
    std::vector<double> data(rows * cols, 0.01);  // row-major
    StridedMatrix m{data.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
    std::vector<std::int64_t> selected{0, 2};
    std::vector<std::int64_t> horizons{-1, 2};
    std::vector<double> back(2 * cols), ahead(2 * cols);
    std::vector<double*> out{back.data(), ahead.data()};
    forward_returns(m, selected, horizons, out);
    EXPECT_TRUE(std::isnan(back[0]));
    EXPECT_NEAR(back[cols + 129], 1.0 / 1.01 - 1.0, 1e-15);
    EXPECT_NEAR(ahead[129], 1.01 * 1.01 - 1.0, 1e-15);
    EXPECT_TRUE(std::isnan(ahead[cols]));
}

TEST(ForwardReturns, GatherMarksAbsentLabels) {
    std::vector<double> data{1, 2, 3, 4};  // row-major 2 x 2
    StridedMatrix m{data.data(), 2, 2, 2, 1};
    std::vector<std::int64_t> rows{1, -1};
    std::vector<std::int64_t> columns{1, -1, 0};
    std::vector<double> out(6);
    gather(m, rows, columns, out);
    EXPECT_EQ(out[0], 4);
    EXPECT_TRUE(std::isnan(out[1]));
    EXPECT_EQ(out[2], 3);
    EXPECT_TRUE(std::isnan(out[3]) && std::isnan(out[4]) && std::isnan(out[5]));
}

TEST(GroupedIC, GroupsMaskEachColumnAndNeedTwoPairs) {
    // Rows: group 0 = rows 0..3, group 1 = rows 4, 5 (one usable), code -1 = row 6.
    std::vector<std::int32_t> codes{0, 0, 0, 0, 1, 1, -1};
    GroupedRows groups = group_rows(codes, 2);
    EXPECT_EQ(groups.offsets, (std::vector<std::int64_t>{0, 4, 6}));
    std::vector<double> factor{1, 2, 3, 4, 1, kNaN, 9};
    std::vector<double> r1{1, 3, 2, 4, 5, 6, 7};
    std::vector<double> r2{4, 3, kNaN, 1, 5, 6, 7};
    std::vector<std::span<const double>> returns{r1, r2};
    GroupedIC ic = grouped_ic(CorrelationMethod::pearson, factor, returns, groups);
    EXPECT_NEAR(ic.coefficient[0], 0.8, 1e-14);
    EXPECT_NEAR(ic.p_value[0], 0.2, 1e-13);
    // Column 2 drops row 2 only.
    EXPECT_NEAR(ic.coefficient[1],
                pearson(std::vector<double>{4, 3, 1}, std::vector<double>{1, 2, 4}).coefficient,
                1e-15);
    EXPECT_EQ(ic.coefficient[2], 0.0);
    EXPECT_EQ(ic.p_value[3], 0.0);
}

TEST(GroupedIC, DecayUsesCommonRowsAndMatchesExplicitGrid) {
    // 3 dates x 3 instruments, full product, date-major.
    std::vector<double> factor{1, 2, 3, 3, 1, 2, 2, 3, 1};
    std::vector<double> r1{0.1, 0.2, 0.3, 0.3, 0.1, kNaN, 0.5, 0.6, 0.7};
    std::vector<double> r2{0.1, 0.2, 0.3, 0.2, 0.3, 0.1, kNaN, kNaN, kNaN};
    std::vector<std::span<const double>> returns{r1, r2};
    RowGrid implicit{3, 3, {}};
    DecayLag lag = ic_decay_lag(CorrelationMethod::spearman, factor, returns, implicit, 1);
    // Date 0 pairs with date 1 returns; instrument 2 lacks r1 there, so both columns use 0, 1.
    ASSERT_EQ(lag.dates, (std::vector<std::int64_t>{0}));  // date 1 -> date 2 has no r2
    CorrelationWorkspace ws;
    EXPECT_NEAR(lag.coefficient[0],
                spearman(std::vector<double>{0.3, 0.1}, std::vector<double>{1, 2}, ws).coefficient,
                1e-15);
    EXPECT_NEAR(lag.coefficient[1],
                spearman(std::vector<double>{0.2, 0.3}, std::vector<double>{1, 2}, ws).coefficient,
                1e-15);

    std::vector<std::int64_t> cells{0, 1, 2, 3, 4, 5, 6, 7, 8};
    RowGrid explicit_grid{3, 3, cells};
    DecayLag same = ic_decay_lag(CorrelationMethod::spearman, factor, returns, explicit_grid, 1);
    EXPECT_EQ(same.dates, lag.dates);
    EXPECT_EQ(same.coefficient, lag.coefficient);
    EXPECT_TRUE(
        ic_decay_lag(CorrelationMethod::pearson, factor, returns, implicit, 3).dates.empty());
}
