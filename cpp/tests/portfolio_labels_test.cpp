#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include "alvora/portfolio/quantile_labels.hpp"

using namespace alvora::portfolio;

namespace {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
}

TEST(PortfolioLabels, EdgesInterpolateBetweenRanks) {
    const std::vector<double> edges = quantile_bin_edges(10, 5);
    const std::vector<double> expected = {0.0, 2.8, 4.6, 6.4, 8.2, 10.0};
    ASSERT_EQ(edges.size(), expected.size());
    for (std::size_t j = 0; j < edges.size(); ++j) EXPECT_NEAR(edges[j], expected[j], 1e-12);
    EXPECT_EQ(group_of_rank(10, 5), (std::vector<std::int32_t>{0, 0, 1, 1, 2, 2, 3, 3, 4, 4}));
}

TEST(PortfolioLabels, FewerRanksThanGroupsSkipGroups) {
    EXPECT_EQ(group_of_rank(3, 5), (std::vector<std::int32_t>{0, 2, 4}));
    EXPECT_EQ(group_of_rank(1, 4), (std::vector<std::int32_t>{0}));
    EXPECT_EQ(group_of_rank(4, 1), (std::vector<std::int32_t>{0, 0, 0, 0}));
    // uneven split: 7 ranks in 3 groups, edges 0, 3, 5, 7
    EXPECT_EQ(group_of_rank(7, 3), (std::vector<std::int32_t>{0, 0, 0, 1, 1, 2, 2}));
}

TEST(PortfolioLabels, TiesRankByPositionInBothDirections) {
    const std::vector<double> row = {2.0, 1.0, 2.0, kNaN, 1.0, 3.0};
    std::vector<std::int32_t> out(row.size());
    label_row(row, 5, true, out);
    // ascending ranks: 3, 1, 4, -, 2, 5 over five instruments -> one per group
    EXPECT_EQ(out, (std::vector<std::int32_t>{2, 0, 3, kNoLabel, 1, 4}));
    label_row(row, 5, false, out);
    // descending ranks: 2, 4, 3, -, 5, 1
    EXPECT_EQ(out, (std::vector<std::int32_t>{1, 3, 2, kNoLabel, 4, 0}));
}

TEST(PortfolioLabels, PreviousRowDrivesLabels) {
    const std::vector<double> factor = {1.0, 2.0, kNaN, kNaN, 5.0, 4.0};
    const std::vector<std::int32_t> labels = previous_row_labels({factor, 3, 2}, 2, true);
    EXPECT_EQ(labels, (std::vector<std::int32_t>{kNoLabel, kNoLabel, 0, 1, kNoLabel, kNoLabel}));
}

TEST(PortfolioLabels, RejectsBadGroupCounts) {
    std::vector<double> row = {1.0};
    std::vector<std::int32_t> out(1);
    EXPECT_THROW(label_row(row, 0, true, out), std::invalid_argument);
    EXPECT_THROW(quantile_bin_edges(0, 3), std::invalid_argument);
    EXPECT_THROW(PanelView(row, 2, 1), std::invalid_argument);
}

TEST(PortfolioLabels, SelectionMatchesAFullStableSort) {
    // Value kinds: ties, continuous, continuous with one far outlier (most values share a
    // bucket), infinities, signed zeros; sizes on both sides of the bucketed path's minimum.
    std::mt19937 gen(7);
    std::uniform_int_distribution<int> coarse(0, 6);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const double inf = std::numeric_limits<double>::infinity();
    for (int kind = 0; kind < 5; ++kind) {
        for (std::size_t size : {1u, 2u, 5u, 17u, 64u, 301u, 1000u}) {
            for (int groups : {1, 2, 3, 7, 10, 40}) {
                std::vector<double> row(size);
                for (double& v : row) {
                    const double u = unit(gen);
                    v = kind == 0 ? coarse(gen) : kind == 4 ? (u < 0.5 ? 0.0 : -0.0) : u;
                    if (unit(gen) < 0.1) v = kNaN;
                }
                if (kind == 2) row[size / 2] = 1e12;
                if (kind == 3) row[size / 3] = unit(gen) < 0.5 ? inf : -inf;
                for (bool ascending : {true, false}) {
                    std::vector<std::size_t> order;
                    for (std::size_t i = 0; i < size; ++i)
                        if (!std::isnan(row[i])) order.push_back(i);
                    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                        return ascending ? row[a] < row[b] : row[a] > row[b];
                    });
                    const std::vector<std::int32_t> by_rank = group_of_rank(order.size(), groups);
                    std::vector<std::int32_t> expected(size, kNoLabel), got(size);
                    for (std::size_t j = 0; j < order.size(); ++j) expected[order[j]] = by_rank[j];
                    label_row(row, groups, ascending, got);
                    EXPECT_EQ(got, expected)
                        << "kind " << kind << " size " << size << " groups " << groups;
                }
            }
        }
    }
}
