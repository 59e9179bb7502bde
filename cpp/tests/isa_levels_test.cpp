// Every instruction-set level the machine runs gives the baseline's results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "alvora/isa.hpp"
#include "alvora/rolling/kernels.hpp"

namespace rl = alvora::rolling;
using alvora::Isa;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Long enough for the eight-blocks-in-lanes scans at every window below;
// NaN, infinities, a constant run and a level shift.
std::vector<double> series(unsigned seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> x(2500);
    for (size_t i = 0; i < x.size(); ++i) {
        x[i] = (i < 1200 ? 1.0 : 400.0) + noise(gen);
        if (u(gen) < 0.01) x[i] = kNaN;
    }
    for (size_t i = 600; i < 640; ++i) x[i] = 2.5;
    x[1700] = kInf;
    x[2100] = -kInf;
    return x;
}

const std::vector<size_t> kWindows = {1, 2, 3, 4, 5, 8, 9, 16, 17, 20, 60, 250};

template <class Out, class F>
std::vector<Out> at_level(Isa level, size_t m, F&& kernel) {
    const alvora::ScopedIsa at(level);
    std::vector<Out> out(m);
    kernel(std::span<Out>(out));
    return out;
}

// Same NaN positions and equal infinities; other values within 1e-12 relative.
void expect_same(const std::vector<double>& got, const std::vector<double>& base,
                 const std::string& what) {
    for (size_t i = 0; i < got.size(); ++i) {
        if (std::isnan(base[i]) || std::isinf(base[i])) {
            EXPECT_TRUE(std::isnan(base[i]) ? std::isnan(got[i]) : got[i] == base[i])
                << what << " i=" << i << " got " << got[i] << " baseline " << base[i];
        } else {
            EXPECT_NEAR(got[i], base[i], 1e-12 * std::max(1.0, std::fabs(base[i])))
                << what << " i=" << i;
        }
    }
}

template <class T>
void expect_same(const std::vector<T>& got, const std::vector<T>& base, const std::string& what) {
    EXPECT_EQ(got, base) << what;
}

// Runs kernel(out) at every level above the baseline and compares.
template <class Out, class F>
void compare_levels(size_t m, const std::string& what, F&& kernel) {
    const auto base = at_level<Out>(Isa::baseline, m, kernel);
    for (const Isa level : alvora::supported_isas()) {
        if (level == Isa::baseline) continue;
        expect_same(at_level<Out>(level, m, kernel), base,
                    what + " at " + alvora::isa_name(level));
    }
}

using FloatKernel = void (*)(std::span<const double>, size_t, std::span<double>);
using PairKernel = void (*)(std::span<const double>, std::span<const double>, size_t,
                            std::span<double>);

}  // namespace

TEST(IsaLevels, FloatKernelsMatchTheBaseline) {
    const std::vector<std::pair<const char*, FloatKernel>> kernels = {
        {"sum", rl::sum},          {"product", rl::product},     {"ma", rl::ma},
        {"ema", rl::ema},          {"wma", rl::wma},             {"slope", rl::slope},
        {"var", rl::var},          {"std", rl::stddev},          {"zscore", rl::zscore},
        {"skew", rl::skew},        {"kurt", rl::kurt},           {"avedev", rl::avedev},
        {"ts_min", rl::ts_min},    {"ts_max", rl::ts_max},       {"ts_argmin", rl::ts_argmin},
        {"ts_argmax", rl::ts_argmax}, {"ts_rank", rl::ts_rank},
    };
    const auto x = series(1);
    for (const auto& [name, fn] : kernels)
        for (size_t n : kWindows)
            compare_levels<double>(x.size() - n + 1, std::string(name) + " n=" + std::to_string(n),
                                   [&, kernel = fn](std::span<double> out) { kernel(x, n, out); });
}

TEST(IsaLevels, PairwiseKernelsMatchTheBaseline) {
    const std::vector<std::pair<const char*, PairKernel>> kernels = {
        {"covariance", rl::covariance},
        {"correlation", rl::correlation},
        {"regression", rl::regression},
    };
    const auto a = series(2), b = series(3);
    for (const auto& [name, fn] : kernels)
        for (size_t n : kWindows)
            compare_levels<double>(a.size() - n + 1, std::string(name) + " n=" + std::to_string(n),
                                   [&, kernel = fn](std::span<double> out) { kernel(a, b, n, out); });
}

TEST(IsaLevels, CountsAndIntegerKernelsMatchTheBaseline) {
    const auto x = series(4);
    std::vector<std::int64_t> xi(x.size());
    std::vector<rl::Bool> xb(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        xi[i] = static_cast<std::int64_t>(i * 7919 % 113) - 50;
        xb[i] = xi[i] > 0;
    }
    for (size_t n : kWindows) {
        const size_t m = x.size() - n + 1;
        const std::string w = " n=" + std::to_string(n);
        compare_levels<std::int64_t>(m, "count f64" + w,
                                     [&](std::span<std::int64_t> o) { rl::count(x, n, o); });
        compare_levels<std::int64_t>(m, "count i64" + w,
                                     [&](std::span<std::int64_t> o) { rl::count(xi, n, o); });
        compare_levels<std::int64_t>(m, "count bool" + w,
                                     [&](std::span<std::int64_t> o) { rl::count(xb, n, o); });
        compare_levels<std::int64_t>(m, "sum i64" + w,
                                     [&](std::span<std::int64_t> o) { rl::sum(xi, n, o); });
        compare_levels<std::int64_t>(m, "ts_max i64" + w,
                                     [&](std::span<std::int64_t> o) { rl::ts_max(xi, n, o); });
        compare_levels<double>(m, "ts_rank i64" + w,
                               [&](std::span<double> o) { rl::ts_rank(xi, n, o); });
        compare_levels<double>(m, "ts_argmin bool" + w,
                               [&](std::span<double> o) { rl::ts_argmin(xb, n, o); });
    }
}

TEST(IsaLevels, NamesParseAndLevelsClampToTheMachine) {
    for (const Isa level : {Isa::baseline, Isa::avx2, Isa::avx512})
        EXPECT_EQ(alvora::parse_isa(alvora::isa_name(level)), level);
    EXPECT_FALSE(alvora::parse_isa("AVX2").has_value());
    EXPECT_FALSE(alvora::parse_isa("").has_value());

    const auto levels = alvora::supported_isas();
    ASSERT_FALSE(levels.empty());
    EXPECT_EQ(levels.front(), Isa::baseline);
    EXPECT_EQ(levels.back(), alvora::best_isa());
    {
        const alvora::ScopedIsa at(Isa::avx512);  // never above what the machine runs
        EXPECT_EQ(alvora::isa(), alvora::best_isa());
    }
    const Isa before = alvora::isa();
    {
        const alvora::ScopedIsa at(Isa::baseline);
        EXPECT_EQ(alvora::isa(), Isa::baseline);
    }
    EXPECT_EQ(alvora::isa(), before);
}
