#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "alvora/stats/cross_section.hpp"
#include "expect_row.hpp"

namespace {

using alvora::stats::CrossSection;
using alvora::stats::PanelView;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// One row of `values` through `op`, read from a column-major 1 x n panel.
std::vector<double> row(CrossSection op, const std::vector<double>& values) {
    std::vector<double> out(values.size());
    const std::size_t n = values.size();
    alvora::stats::cross_section(op, PanelView<const double>{values.data(), 1, n, 1, 1},
                                 PanelView<double>{out.data(), 1, n, 1, 1});
    return out;
}

TEST(CrossSection, RankAveragesTiesKeepsNaNAndRanksInfinities) {
    expect_row(row(CrossSection::Rank, {3.0, kNaN, 1.0, 3.0, -kInf, -0.0, 0.0}),
               {5.5 / 6, kNaN, 4.0 / 6, 5.5 / 6, 1.0 / 6, 2.5 / 6, 2.5 / 6});
    expect_row(row(CrossSection::Rank, {kNaN, kNaN}), {kNaN, kNaN});
}

TEST(CrossSection, MomentsTreatInfinitiesAsMissing) {
    // mean 2, sample std 1 over {1, 2, 3}
    expect_row(row(CrossSection::ZScore, {1.0, kInf, 2.0, 3.0, kNaN}),
               {-1.0, kNaN, 0.0, 1.0, kNaN});
    expect_row(row(CrossSection::Demean, {1.0, -kInf, 5.0}), {-2.0, kNaN, 2.0});
    expect_row(row(CrossSection::Scale, {1.0, -3.0, kInf}), {0.25, -0.75, kNaN});
}

TEST(CrossSection, DegenerateRowsGiveNaN) {
    expect_row(row(CrossSection::ZScore, {4.0, kNaN}), {kNaN, kNaN});  // one value
    expect_row(row(CrossSection::ZScore, {2.0, 2.0}), {kNaN, kNaN});   // no dispersion
    expect_row(row(CrossSection::Scale, {0.0, -0.0}), {kNaN, kNaN});   // zero sum
    expect_row(row(CrossSection::Demean, {kNaN, kInf}), {kNaN, kNaN});
}

TEST(CrossSection, ReadsAnyLayoutAndRefusesMismatchedShapes) {
    // 2 dates x 3 instruments, row-major in, column-major out
    const std::vector<double> in{1.0, 2.0, 3.0, 6.0, 5.0, 4.0};
    std::vector<double> out(6);
    alvora::stats::cross_section(CrossSection::Rank, PanelView<const double>{in.data(), 2, 3, 3, 1},
                                 PanelView<double>{out.data(), 2, 3, 1, 2});
    expect_row(out, {1.0 / 3, 1.0, 2.0 / 3, 2.0 / 3, 1.0, 1.0 / 3});
    EXPECT_THROW(alvora::stats::cross_section(CrossSection::Rank,
                                              PanelView<const double>{in.data(), 2, 3, 3, 1},
                                              PanelView<double>{out.data(), 3, 2, 1, 3}),
                 std::invalid_argument);
}

}  // namespace
