#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "alvora/stats/correlation.hpp"
#include "alvora/stats/incomplete_beta.hpp"
#include "alvora/stats/ranks.hpp"

using namespace alvora::stats;

TEST(IncompleteBeta, ClosedForms) {
    EXPECT_NEAR(regularized_incomplete_beta(1.0, 1.0, 0.37), 0.37, 1e-15);
    // I_x(2, 3) = sum_{j=2..4} C(4, j) x^j (1 - x)^(4 - j)
    EXPECT_NEAR(regularized_incomplete_beta(2.0, 3.0, 0.3), 0.3483, 1e-14);
    EXPECT_EQ(regularized_incomplete_beta(2.0, 3.0, 0.0), 0.0);
    EXPECT_EQ(regularized_incomplete_beta(2.0, 3.0, 1.0), 1.0);
    EXPECT_TRUE(std::isnan(regularized_incomplete_beta(-1.0, 3.0, 0.5)));
    EXPECT_TRUE(std::isnan(regularized_incomplete_beta(2.0, 3.0, 1.5)));
}

TEST(IncompleteBeta, SymmetryAcrossTheSwitchPoint) {
    for (double a : {0.5, 3.0, 40.0, 2500.0}) {
        for (double x : {1e-6, 0.2, 0.5, 0.9, 0.99, 0.9995}) {
            const double lhs = regularized_incomplete_beta(a, 0.5, x);
            const double rhs = 1.0 - regularized_incomplete_beta(0.5, a, 1.0 - x);
            EXPECT_NEAR(lhs, rhs, 1e-12 * std::max(1.0, std::fabs(lhs))) << a << " " << x;
        }
    }
}

TEST(CorrelationPValue, StudentTClosedForms) {
    // One degree of freedom (Cauchy): p = 1 - 2 atan(|t|) / pi; r = 0.5 gives 2/3.
    EXPECT_NEAR(correlation_p_value(0.5, 1.0), 2.0 / 3.0, 1e-14);
    // Two degrees of freedom: p = 1 - |r|.
    for (double r : {-0.9, -0.2, 0.0, 0.35, 0.999})
        EXPECT_NEAR(correlation_p_value(r, 2.0), 1.0 - std::fabs(r), 1e-14) << r;
    EXPECT_EQ(correlation_p_value(1.0, 10.0), 0.0);
    EXPECT_EQ(correlation_p_value(-1.0, 10.0), 0.0);
    EXPECT_TRUE(std::isnan(correlation_p_value(0.5, 0.0)));
    EXPECT_TRUE(std::isnan(correlation_p_value(std::nan(""), 5.0)));
    // Large samples: tiny but positive p-values, monotone in |r|.
    const double p1 = correlation_p_value(0.1, 4998.0);
    const double p2 = correlation_p_value(0.2, 4998.0);
    EXPECT_GT(p1, 0.0);
    EXPECT_LT(p2, p1);
    EXPECT_LT(p1, 1e-10);
}

TEST(Ranks, AverageTiesAndInfinities) {
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> values{3.0, 1.0, 2.0, 2.0, inf, -inf};
    std::vector<double> ranks(values.size());
    std::vector<std::uint32_t> order;
    average_ranks(values, ranks, order);
    EXPECT_EQ(ranks, (std::vector<double>{5.0, 2.0, 3.5, 3.5, 6.0, 1.0}));
    std::vector<double> same{7.0, 7.0, 7.0};
    std::vector<double> same_ranks(3);
    average_ranks(same, same_ranks, order);
    EXPECT_EQ(same_ranks, (std::vector<double>{2.0, 2.0, 2.0}));
}

TEST(Correlation, PearsonKnownValuesAndSpecialCases) {
    std::vector<double> x{1, 2, 3, 4};
    std::vector<double> y{1, 3, 2, 4};
    Correlation c = pearson(x, y);
    EXPECT_NEAR(c.coefficient, 0.8, 1e-14);
    EXPECT_NEAR(c.p_value, 0.2, 1e-13);
    EXPECT_EQ(c.note, CorrelationNote::none);

    Correlation two = pearson(std::vector<double>{1, 2}, std::vector<double>{5, 3});
    EXPECT_EQ(two.coefficient, -1.0);
    EXPECT_EQ(two.p_value, 1.0);

    Correlation constant = pearson(std::vector<double>{2, 2, 2}, std::vector<double>{1, 2, 3});
    EXPECT_TRUE(std::isnan(constant.coefficient));
    EXPECT_TRUE(std::isnan(constant.p_value));
    EXPECT_EQ(constant.note, CorrelationNote::constant_input);

    Correlation near =
        pearson(std::vector<double>{1e9, 1e9 + 1e-4, 1e9 + 2e-4}, std::vector<double>{1, 2, 4});
    EXPECT_EQ(near.note, CorrelationNote::near_constant_input);

    const double inf = std::numeric_limits<double>::infinity();
    Correlation infinite = pearson(std::vector<double>{1, 2, inf}, std::vector<double>{1, 2, 3});
    EXPECT_TRUE(std::isnan(infinite.coefficient));
}

TEST(Correlation, SpearmanKnownValuesAndSpecialCases) {
    CorrelationWorkspace ws;
    std::vector<double> x{1, 2, 3, 4, 5, 6, 7};
    std::vector<double> y{2, 1, 4, 3, 6, 5, 7};
    Correlation c = spearman(x, y, ws);
    EXPECT_NEAR(c.coefficient, 0.8928571428571429, 1e-15);
    EXPECT_NEAR(c.p_value, 0.006807187408935393, 1e-9 * 0.0068);

    // Ties: Pearson of the average ranks.
    std::vector<double> tx{1, 1, 2, 3};
    std::vector<double> ty{4, 3, 2, 2};
    Correlation tied = spearman(tx, ty, ws);
    Correlation on_ranks =
        pearson(std::vector<double>{1.5, 1.5, 3, 4}, std::vector<double>{4, 3, 1.5, 1.5});
    EXPECT_NEAR(tied.coefficient, on_ranks.coefficient, 1e-15);

    Correlation two = spearman(std::vector<double>{1, 2}, std::vector<double>{3, 4}, ws);
    EXPECT_NEAR(two.coefficient, 1.0, 1e-15);
    EXPECT_TRUE(std::isnan(two.p_value));

    Correlation constant = spearman(std::vector<double>{1, 2, 3}, std::vector<double>{5, 5, 5}, ws);
    EXPECT_TRUE(std::isnan(constant.coefficient));
    EXPECT_EQ(constant.note, CorrelationNote::constant_input);

    EXPECT_EQ(correlate(CorrelationMethod::pearson, x, y, ws).coefficient,
              pearson(x, y).coefficient);
}
