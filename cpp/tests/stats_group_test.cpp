#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "alvora/stats/group.hpp"
#include "expect_row.hpp"

namespace {

using alvora::stats::GroupStatistic;
using alvora::stats::PanelView;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

std::vector<double> row(GroupStatistic op, const std::vector<double>& values,
                        const std::vector<std::int64_t>& codes) {
    const std::size_t n = values.size();
    std::vector<double> out(n);
    alvora::stats::group_cross_section(op, PanelView<const double>{values.data(), 1, n, n, 1},
                                       PanelView<const std::int64_t>{codes.data(), 1, n, n, 1},
                                       PanelView<double>{out.data(), 1, n, n, 1});
    return out;
}

// Group 0: {3, 1, 3, -0.0 (ties 0.0)}, group 1: {2, 0.0}; NaN, infinities and
// code -1 take no part.
const std::vector<double> kValues{3.0, 2.0, 1.0, kNaN, 3.0, kInf, 5.0, -0.0, 0.0};
const std::vector<std::int64_t> kCodes{0, 1, 0, 0, 0, 1, -1, 0, 1};

TEST(GroupStatistics, RankAveragesTiesWithinEachGroup) {
    expect_row(row(GroupStatistic::Rank, kValues, kCodes),
               {3.5 / 4, 2.0 / 2, 2.0 / 4, kNaN, 3.5 / 4, kNaN, kNaN, 1.0 / 4, 1.0 / 2});
}

TEST(GroupStatistics, DemeanUsesEachGroupsFiniteMembers) {
    expect_row(row(GroupStatistic::Demean, kValues, kCodes),
               {1.25, 1.0, -0.75, kNaN, 1.25, kNaN, kNaN, -1.75, -1.0});
    expect_row(row(GroupStatistic::Demean, {1.0, 2.0}, {-1, -1}), {kNaN, kNaN});
}

// A column-major panel longer than one chunk of rows, its first rows NaN (a
// look-back's): each entry is its value less the plain mean of its group's
// finite members on its row.
TEST(GroupStatistics, DemeansEveryRowOfALongPanel) {
    const std::size_t rows = 230, cols = 5001, groups = 7;
    std::vector<double> values(rows * cols), out(rows * cols);
    std::vector<std::int64_t> codes(rows * cols);
    for (std::size_t k = 0; k < values.size(); ++k) {
        values[k] = k % 13 == 0 || k % rows < 40 ? kNaN : std::sin(0.37 * static_cast<double>(k));
        codes[k] = static_cast<std::int64_t>(k * 7919 % (groups + 1)) - 1;
    }
    alvora::stats::group_cross_section(
        GroupStatistic::Demean, PanelView<const double>{values.data(), rows, cols, 1, rows},
        PanelView<const std::int64_t>{codes.data(), rows, cols, 1, rows},
        PanelView<double>{out.data(), rows, cols, 1, rows});
    for (std::size_t r = 0; r < rows; ++r) {
        std::vector<double> sum(groups, 0.0), count(groups, 0.0), want(cols, kNaN), got(cols);
        for (std::size_t c = 0; c < cols; ++c) {
            const double x = values[c * rows + r];
            const std::int64_t g = codes[c * rows + r];
            if (g >= 0 && std::isfinite(x)) {
                sum[g] += x;
                count[g] += 1.0;
            }
        }
        for (std::size_t c = 0; c < cols; ++c) {
            const double x = values[c * rows + r];
            const std::int64_t g = codes[c * rows + r];
            if (g >= 0 && std::isfinite(x)) want[c] = x - sum[g] / count[g];
            got[c] = out[c * rows + r];
        }
        SCOPED_TRACE("row " + std::to_string(r));
        expect_row(got, want);
        for (std::size_t c = 0; c < cols; ++c)  // the same additions in the same order
            if (!std::isnan(want[c])) {
                ASSERT_EQ(got[c], want[c]) << "column " << c;
            }
    }
    // the codes row-major and of two bytes (as the industry grids come) give the same panel
    std::vector<std::int64_t> by_rows(rows * cols);
    std::vector<std::int16_t> narrow(rows * cols);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c)
            narrow[r * cols + c] =
                static_cast<std::int16_t>(by_rows[r * cols + c] = codes[c * rows + r]);
    std::vector<double> wide_out(rows * cols), narrow_out(rows * cols);
    alvora::stats::group_cross_section(
        GroupStatistic::Demean, PanelView<const double>{values.data(), rows, cols, 1, rows},
        PanelView<const std::int64_t>{by_rows.data(), rows, cols, cols, 1},
        PanelView<double>{wide_out.data(), rows, cols, 1, rows});
    alvora::stats::group_cross_section(
        GroupStatistic::Demean, PanelView<const double>{values.data(), rows, cols, 1, rows},
        PanelView<const std::int16_t>{narrow.data(), rows, cols, cols, 1},
        PanelView<double>{narrow_out.data(), rows, cols, 1, rows});
    for (const auto* again : {&wide_out, &narrow_out})
        for (std::size_t k = 0; k < out.size(); ++k)
            ASSERT_TRUE((*again)[k] == out[k] || (std::isnan((*again)[k]) && std::isnan(out[k])))
                << k;
}

TEST(GroupStatistics, RefusesMismatchedShapesAndHugeCodes) {
    std::vector<double> values(4, 1.0), out(4);
    std::vector<std::int64_t> codes(4, 0);
    const PanelView<const double> in{values.data(), 2, 2, 2, 1};
    EXPECT_THROW(
        alvora::stats::group_cross_section(GroupStatistic::Rank, in,
                                           PanelView<const std::int64_t>{codes.data(), 1, 4, 4, 1},
                                           PanelView<double>{out.data(), 2, 2, 2, 1}),
        std::invalid_argument);
    codes[3] = alvora::stats::kMaxGroupCode + 1;
    EXPECT_THROW(
        alvora::stats::group_cross_section(GroupStatistic::Demean, in,
                                           PanelView<const std::int64_t>{codes.data(), 2, 2, 2, 1},
                                           PanelView<double>{out.data(), 2, 2, 2, 1}),
        std::invalid_argument);
}

}  // namespace
