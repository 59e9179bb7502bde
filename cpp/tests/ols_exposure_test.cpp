#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "alvora/ols/exposure.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(PairPositions, MapsCodesThroughTheGrid) {
    // Level labels: dates {d0, dX, d1} -> grid {0, off, 1}; instruments {a, b} -> {1, 0}.
    std::vector<std::int64_t> date_codes{0, 2, 1, -1, 2}, inst_codes{0, 1, 0, 0, 0};
    std::vector<std::int64_t> date_map{0, -1, 1}, inst_map{1, 0};
    std::vector<std::int64_t> out(5);
    alvora::ols::pair_positions(date_codes, inst_codes, date_map, inst_map, 2, 2, out);
    EXPECT_EQ(out, (std::vector<std::int64_t>{1, 2, -1, -1, 3}));
    std::vector<std::int64_t> bad_codes{0, 3, 0, 0, 0};
    EXPECT_THROW(
        alvora::ols::pair_positions(bad_codes, inst_codes, date_map, inst_map, 2, 2, out),
        std::out_of_range);
}

TEST(ScatterRows, FillsColumnBlockAndReportsDuplicates) {
    std::vector<double> table(3 * 3, kNaN);
    std::vector<std::int64_t> pos{2, -1, 0};
    std::vector<double> values{1.0, 2.0, 3.0, 4.0, 5.0, 6.0};
    EXPECT_FALSE(alvora::ols::scatter_rows(pos, values, 2, table, 3, 1).has_value());
    EXPECT_TRUE(std::isnan(table[0]));
    EXPECT_EQ(table[1], 5.0);
    EXPECT_EQ(table[2], 6.0);
    EXPECT_TRUE(std::isnan(table[4]));  // row 1 untouched
    EXPECT_EQ(table[7], 1.0);
    EXPECT_EQ(table[8], 2.0);

    std::vector<std::int64_t> dup{1, 0, 1};
    auto first = alvora::ols::scatter_rows(dup, values, 2, table, 3, 0);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, 2u);
    std::vector<std::int64_t> outside{9};
    std::vector<double> one{1.0, 2.0};
    EXPECT_THROW(alvora::ols::scatter_rows(outside, one, 2, table, 3, 0), std::out_of_range);
    EXPECT_THROW(alvora::ols::scatter_rows(pos, values, 2, table, 3, 2), std::invalid_argument);
}

TEST(ScatterLabels, WritesAndDetectsDuplicates) {
    std::vector<std::int64_t> table(4, -1), pos{3, 0, -1}, labels{7, 8, 9};
    EXPECT_FALSE(alvora::ols::scatter_labels(pos, labels, table).has_value());
    EXPECT_EQ(table, (std::vector<std::int64_t>{8, -1, -1, 7}));
    std::vector<std::int64_t> dup{2, 2, 1};
    EXPECT_EQ(alvora::ols::scatter_labels(dup, labels, table).value(), 1u);
}

TEST(CopyDayBlocks, ExpandsDaysOntoTimestamps) {
    // Two days, two instruments, one column; three timestamps: day 1, day 0, none.
    std::vector<double> days{1.0, 2.0, 3.0, 4.0};
    std::vector<std::int64_t> day_of{1, 0, -1};
    std::vector<double> table(3 * 2 * 2, kNaN);
    alvora::ols::copy_day_blocks(days, 1, day_of, 2, table, 2, 1);
    EXPECT_EQ(table[1], 3.0);
    EXPECT_EQ(table[3], 4.0);
    EXPECT_EQ(table[5], 1.0);
    EXPECT_EQ(table[7], 2.0);
    EXPECT_TRUE(std::isnan(table[9]));
    EXPECT_TRUE(std::isnan(table[0]));
    std::vector<std::int64_t> far{2, 0, 0};
    EXPECT_THROW(alvora::ols::copy_day_blocks(days, 1, far, 2, table, 2, 1), std::out_of_range);
}

TEST(PlacedColumns, FillEqualsScatteringTheTable) {
    // A column-major long table of 3 dates x 4 instruments, one pair off the grid, one cell
    // without a pair; filled over date blocks [0, 2) and [2, 3) against one scatter.
    const std::size_t dates = 3, inst = 4, q = 2, width = 3, offset = 1;
    std::vector<std::int64_t> positions{5, 0, 11, -1, 3, 7, 1, 2, 4, 6, 8, 9};
    const std::size_t rows = positions.size();
    std::vector<double> values(rows * q);
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = 0.5 * static_cast<double>(k);
    std::vector<double> table(dates * inst * width, kNaN);
    ASSERT_FALSE(alvora::ols::scatter_rows_strided(
        positions, values.data(), q, 1, static_cast<std::ptrdiff_t>(rows), table, width, offset));
    std::vector<std::int64_t> cell_rows(dates * inst);
    ASSERT_FALSE(alvora::ols::rows_of_cells(positions, cell_rows));
    const alvora::ols::PlacedColumns placed{
        cell_rows, values.data(), 1, static_cast<std::ptrdiff_t>(rows), q, offset, {}};
    std::vector<double> filled(dates * inst * width);
    alvora::ols::fill_dense_rows({&placed, 1}, inst, width, 0, 2,
                                 std::span<double>(filled).first(2 * inst * width));
    alvora::ols::fill_dense_rows({&placed, 1}, inst, width, 2, 3,
                                 std::span<double>(filled).subspan(2 * inst * width));
    for (std::size_t k = 0; k < table.size(); ++k)
        EXPECT_TRUE(table[k] == filled[k] || (std::isnan(table[k]) && std::isnan(filled[k]))) << k;

    // Day blocks: grid dates 0 and 2 take day 1, date 1 none.
    alvora::ols::PlacedColumns by_day = placed;
    std::vector<std::int64_t> day_of{1, -1, 1};
    by_day.day_of = day_of;
    std::vector<double> days(dates * inst * width);
    alvora::ols::fill_dense_rows({&by_day, 1}, inst, width, 0, 3, days);
    for (std::size_t k = 0; k < inst * width; ++k) {
        const double expected = table[inst * width + k];
        for (std::size_t d : {0, 2}) {
            const double got = days[d * inst * width + k];
            EXPECT_TRUE(got == expected || (std::isnan(got) && std::isnan(expected))) << k;
        }
        EXPECT_TRUE(std::isnan(days[inst * width + k]));
    }

    std::vector<std::int64_t> twice{1, 4, 1};
    EXPECT_EQ(alvora::ols::rows_of_cells(twice, cell_rows), std::optional<std::size_t>(2));
}

}  // namespace
