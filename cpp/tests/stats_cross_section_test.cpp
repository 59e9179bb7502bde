#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "alvora/isa.hpp"
#include "alvora/stats/cross_section.hpp"
#include "alvora/stats/ranks.hpp"
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

// Long rows take digit passes over the keys: every kind of row (spread values,
// values of one magnitude, few distinct values, NaN, infinities, zeros of both
// signs, long tails, ranges too wide or too narrow to split) ranks as the
// comparison sort ranks it, in a column-major panel of
// several rows read and written a block at a time, at every instruction-set
// level (the wider ones count ranks in windows of each bucket).
TEST(CrossSection, LongRowsRankAsTheComparisonSort) {
    const std::size_t rows = 230, cols = 5001;  // two chunks of rows
    std::mt19937_64 gen(7);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> pick(0, 9);
    std::vector<double> panel(rows * cols);
    for (std::size_t r = 0; r < rows; ++r) {
        for (std::size_t c = 0; c < cols; ++c) {
            double x = normal(gen);
            switch (r % 12) {
                case 1:
                    x = 1e6 + x * 1e-9;
                    break;  // one magnitude
                case 2:
                    x = static_cast<double>(pick(gen));
                    break;  // few values
                case 3:
                    x = std::exp(8 * x);
                    break;  // many magnitudes
                case 4: {
                    const int k = pick(gen);
                    x = k == 0   ? kNaN
                        : k == 1 ? kInf
                        : k == 2 ? -kInf
                        : k == 3 ? -0.0
                        : k == 4 ? 0.0
                                 : x;
                    break;
                }
                case 5:
                    x = pick(gen) == 0 ? 1e300 * x : x;
                    break;  // a long tail: most values in one bucket of the range
                case 6:
                    x = x * 1e307;
                    break;  // a range wider than the largest double
                case 7:
                    x = static_cast<double>(pick(gen)) * 5e-324;
                    break;  // subnormals: a range too narrow to divide
                case 8:
                    x = pick(gen) < 5 ? (pick(gen) < 5 ? kInf : -kInf) : 2.5;
                    break;  // one finite value among infinities
                case 9:
                    x = std::exp(3 * x);
                    x = x > 1e3 ? std::round(x / 1e3) * 1e3 : x < 1e-3 ? 0.0 : x;
                    break;  // a long tail whose ends repeat: buckets over the bulk
                case 10: {
                    const int k = 10 * pick(gen) + pick(gen);
                    x = k == 0 ? 1e9 * (2 + x) : k == 1 ? -1e9 : k == 2 ? -kInf : x;
                    break;  // a bulk with far tails, a percent each
                }
                case 11:
                    x = pick(gen) == 0 ? 0.5 : x;
                    break;  // one crowded bucket among spread values
            }
            panel[c * rows + r] = x;
        }
    }
    std::vector<std::vector<double>> wanted;
    std::vector<std::uint32_t> order;
    for (std::size_t r = 0; r < rows; ++r) {
        std::vector<double> usable;
        std::vector<std::size_t> where;
        for (std::size_t c = 0; c < cols; ++c) {
            const double x = panel[c * rows + r];
            if (!std::isnan(x)) {
                usable.push_back(x);
                where.push_back(c);
            }
        }
        std::vector<double> ranks(usable.size());
        alvora::stats::average_ranks(usable, ranks, order);
        std::vector<double>& want = wanted.emplace_back(cols, kNaN);
        for (std::size_t k = 0; k < where.size(); ++k)
            want[where[k]] = ranks[k] / static_cast<double>(usable.size());
    }
    for (alvora::Isa level : alvora::supported_isas()) {
        const alvora::ScopedIsa at(level);
        std::vector<double> out(rows * cols);
        alvora::stats::cross_section(CrossSection::Rank,
                                     PanelView<const double>{panel.data(), rows, cols, 1, rows},
                                     PanelView<double>{out.data(), rows, cols, 1, rows});
        std::vector<double> got(cols);
        for (std::size_t r = 0; r < rows; ++r) {
            for (std::size_t c = 0; c < cols; ++c) got[c] = out[c * rows + r];
            SCOPED_TRACE(std::string("row ") + std::to_string(r) + " at " +
                         alvora::isa_name(level));
            expect_row(got, wanted[r]);
        }
    }
}

// Leading rows NaN in every column (a look-back's) are filled, not worked: the
// rows after them, and a column NaN throughout, come out as row by row.
TEST(CrossSection, LeadingNaNRowsSkippedAsRowByRow) {
    const std::size_t rows = 6, cols = 4;
    std::vector<double> panel(rows * cols, kNaN);  // column-major; column 2 NaN throughout
    for (std::size_t r = 3; r < rows; ++r) panel[r] = 2.0 - static_cast<double>(r);
    panel[rows + 4] = panel[rows + 5] = 3.0;
    for (std::size_t r = 2; r < rows; ++r) panel[3 * rows + r] = r == 3 ? kInf : 4.0 / r;
    for (auto op :
         {CrossSection::Rank, CrossSection::ZScore, CrossSection::Demean, CrossSection::Scale}) {
        std::vector<double> out(rows * cols, 7.0);
        alvora::stats::cross_section(op, PanelView<const double>{panel.data(), rows, cols, 1, rows},
                                     PanelView<double>{out.data(), rows, cols, 1, rows});
        for (std::size_t r = 0; r < rows; ++r) {
            std::vector<double> one(cols), got(cols);
            for (std::size_t c = 0; c < cols; ++c) {
                one[c] = panel[c * rows + r];
                got[c] = out[c * rows + r];
            }
            SCOPED_TRACE("op " + std::to_string(static_cast<int>(op)) + " row " +
                         std::to_string(r));
            expect_row(got, row(op, one));
        }
    }
}

// Ranks over the cells kept past a look-back, from the ranks over all cells,
// equal the ranks of the values over the cells kept (ties and infinities too).
TEST(CrossSection, KeptRanksEqualRanksOfTheValuesKept) {
    const std::size_t rows = 40, cols = 300, first = 5, consumed = 3;
    std::mt19937_64 gen(3);
    std::uniform_int_distribution<int> pick(0, 19);
    std::vector<double> values(rows * cols), kept(rows * cols, kNaN);
    std::vector<std::uint8_t> valid(rows * cols);
    std::vector<std::size_t> count(cols, 0);
    for (std::size_t c = 0; c < cols; ++c) {
        for (std::size_t r = 0; r < rows; ++r) {
            const int k = pick(gen);
            const std::size_t at = c * rows + r;
            valid[at] = c % 7 != 0 || r > 12 + c % 5;  // some start late: their first rows lost
            values[at] = !valid[at] ? kNaN : k == 0 ? kInf : k < 4 ? 1.5 : k - 9.0;
            count[c] += r >= first && valid[at];
            if (r >= first && count[c] > consumed) kept[at] = values[at];
        }
    }
    std::vector<double> ranks(rows * cols), want(rows * cols), got(rows * cols);
    const auto panel = [&](const std::vector<double>& v) {
        return PanelView<const double>{v.data(), rows, cols, 1, rows};
    };
    alvora::stats::cross_section(CrossSection::Rank, panel(values),
                                 {ranks.data(), rows, cols, 1, rows});
    alvora::stats::cross_section(CrossSection::Rank, panel(kept),
                                 {want.data(), rows, cols, 1, rows});
    const std::size_t reranked =
        alvora::stats::rank_kept(panel(ranks), {valid.data(), rows, cols, 1, rows}, first, consumed,
                                 {got.data(), rows, cols, 1, rows});
    EXPECT_GT(reranked, 0u);
    EXPECT_LT(reranked, rows - first);
    expect_row(got, want);
    // row-major inputs take the row-by-row path: the same ranks
    std::vector<double> ranks_by_rows(rows * cols), again(rows * cols);
    std::vector<std::uint8_t> valid_by_rows(rows * cols);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) {
            ranks_by_rows[r * cols + c] = ranks[c * rows + r];
            valid_by_rows[r * cols + c] = valid[c * rows + r];
        }
    EXPECT_EQ(alvora::stats::rank_kept({ranks_by_rows.data(), rows, cols, cols, 1},
                                       {valid_by_rows.data(), rows, cols, cols, 1}, first, consumed,
                                       {again.data(), rows, cols, 1, rows}),
              reranked);
    expect_row(again, want);
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
