#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "alvora/engine/alignment.hpp"

namespace {

using alvora::engine::count_valid;
using alvora::engine::fill_valid;
using alvora::engine::scatter_right_aligned;
using alvora::engine::valid_positions;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<double> nan_column(std::size_t n) { return std::vector<double>(n, kNaN); }

// NaN-aware comparison: both NaN, or equal.
void expect_column(const std::vector<double>& got, const std::vector<double>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(want[i])) {
            EXPECT_TRUE(std::isnan(got[i])) << "row " << i << " = " << got[i];
        } else {
            EXPECT_EQ(got[i], want[i]) << "row " << i;
        }
    }
}

TEST(EngineAlignment, CountsAndPositionsTreatAnyNonzeroByteAsValid) {
    std::vector<std::uint8_t> mask{0, 1, 2, 0, 255, 0};
    EXPECT_EQ(count_valid(mask), 3u);
    EXPECT_EQ(valid_positions(mask), (std::vector<std::int64_t>{1, 2, 4}));
    std::vector<std::uint8_t> none(4, 0);
    EXPECT_EQ(count_valid(none), 0u);
    EXPECT_TRUE(valid_positions(none).empty());
    EXPECT_EQ(count_valid({}), 0u);
}

TEST(EngineAlignment, ScatterSkipsInvalidRowsAndAlignsRight) {
    // Suspension at rows 2-3: consecutive values land on consecutive valid rows.
    std::vector<std::uint8_t> mask{1, 1, 0, 0, 1, 1, 0};
    std::vector<double> values{10, 20, 30};
    auto column = nan_column(mask.size());
    scatter_right_aligned(mask, values, column);
    expect_column(column, {kNaN, 10, kNaN, kNaN, 20, 30, kNaN});
}

TEST(EngineAlignment, ScatterOfAFullSeriesAndOfNothing) {
    std::vector<std::uint8_t> mask{0, 1, 1, 1};
    auto column = nan_column(4);
    scatter_right_aligned(mask, std::vector<double>{1, 2, 3}, column);
    expect_column(column, {kNaN, 1, 2, 3});

    auto untouched = nan_column(4);
    untouched[0] = 7;
    scatter_right_aligned(mask, std::span<const double>{}, untouched);
    expect_column(untouched, {7, kNaN, kNaN, kNaN});
}

TEST(EngineAlignment, ScatterCarriesNaNValuesThrough) {
    std::vector<std::uint8_t> mask{1, 1, 1};
    std::vector<double> column{0, 0, 0};
    scatter_right_aligned(mask, std::vector<double>{kNaN, 5}, column);
    expect_column(column, {0, kNaN, 5});
}

TEST(EngineAlignment, ScatterRefusesWhatCannotBePlaced) {
    std::vector<std::uint8_t> mask{1, 0, 1};
    auto column = nan_column(3);
    EXPECT_THROW(scatter_right_aligned(mask, std::vector<double>{1, 2, 3}, column),
                 std::invalid_argument);
    auto short_column = nan_column(2);
    EXPECT_THROW(scatter_right_aligned(mask, std::vector<double>{1}, short_column),
                 std::invalid_argument);
    // Nothing was written by the refused calls.
    expect_column(column, {kNaN, kNaN, kNaN});
}

TEST(EngineAlignment, FillWritesEveryValidRowOnly) {
    std::vector<std::uint8_t> mask{1, 0, 1, 1, 0};
    auto column = nan_column(5);
    fill_valid(mask, 2.5, column);
    expect_column(column, {2.5, kNaN, 2.5, 2.5, kNaN});
    auto wrong = nan_column(4);
    EXPECT_THROW(fill_valid(mask, 1.0, wrong), std::invalid_argument);
}

}  // namespace
