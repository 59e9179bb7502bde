// Sliding kernels against the window-by-window definitions, plus worked values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <vector>

#include "alvora/isa.hpp"
#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/rowwise.hpp"

namespace rl = alvora::rolling;
namespace rw = alvora::rolling::rowwise;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Kernel = void (*)(std::span<const double>, size_t, std::span<double>);
using Row = std::function<double(const double*, size_t)>;

std::vector<double> run(Kernel k, const std::vector<double>& x, size_t n) {
    std::vector<double> out(x.size() - n + 1, -12345.0);
    k(x, n, out);
    return out;
}

// Equal as NaN positions, exactly equal infinities, else close relative to scale.
void expect_close(double got, double want, double rel, const std::string& what) {
    if (std::isnan(want)) {
        EXPECT_TRUE(std::isnan(got)) << what << " got " << got;
    } else if (std::isinf(want)) {
        EXPECT_EQ(got, want) << what;
    } else {
        EXPECT_NEAR(got, want, rel * std::max(1.0, std::fabs(want))) << what;
    }
}

void compare_to_rows(Kernel k, const Row& row, const std::vector<double>& x, size_t n, double rel,
                     const char* name) {
    const auto got = run(k, x, n);
    for (size_t i = 0; i < got.size(); ++i)
        expect_close(got[i], row(x.data() + i, n), rel,
                     std::string(name) + " n=" + std::to_string(n) + " i=" + std::to_string(i));
}

// Noise with NaNs, an infinity, runs of equal values and a level shift.
std::vector<double> messy_series(size_t L, unsigned seed, double high_level = 250.0) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> x(L);
    for (size_t i = 0; i < L; ++i) {
        x[i] = (i < L / 2 ? 10.0 : high_level) + noise(gen);
        if (u(gen) < 0.03) x[i] = kNaN;
    }
    for (size_t i = L / 4; i < L / 4 + 12 && i < L; ++i) x[i] = 3.25;  // constant run
    if (L > 40) x[L - 30] = kInf;
    return x;
}

// Centred moments in extended precision: an oracle that is itself well
// conditioned where the double definitions cancel digits.
struct Exact {
    long double mean = 0, m2 = 0, m4 = 0;
    Exact(const double* r, size_t n) {
        for (size_t j = 0; j < n; ++j) mean += r[j];
        mean /= n;
        for (size_t j = 0; j < n; ++j) {
            const long double d2 = (r[j] - mean) * (r[j] - mean);
            m2 += d2 / n;
            m4 += d2 * d2 / n;
        }
    }
    double kurt(size_t n) const {
        const long double nd = n;
        return static_cast<double>(1.0L / ((nd - 2) * (nd - 3)) *
                                   ((nd * nd - 1) * m4 / (m2 * m2) - 3 * (nd - 1) * (nd - 1)));
    }
};

long double exact_cov(const double* a, const double* b, size_t n) {
    long double ma = 0, mb = 0, c = 0;
    for (size_t j = 0; j < n; ++j) ma += a[j], mb += b[j];
    ma /= n, mb /= n;
    for (size_t j = 0; j < n; ++j) c += (a[j] - ma) * (b[j] - mb);
    return c / n;
}

struct Case {
    const char* name;
    Kernel kernel;
    Row row;
    double rel;
};

std::vector<Case> single_series_cases() {
    auto k = [](Kernel f) { return f; };
    return {
        {"sum", k(rl::sum), [](const double* r, size_t n) { return rw::sum(r, n); }, 1e-12},
        {"ma", k(rl::ma), rw::mean, 1e-12},
        {"ema", k(rl::ema), rw::ema, 1e-12},
        {"wma", k(rl::wma), rw::wma, 1e-12},
        {"var", k(rl::var), rw::var, 1e-10},
        {"std", k(rl::stddev), rw::stddev, 1e-10},
        {"kurt", k(rl::kurt), rw::kurt, 1e-8},
        {"avedev", k(rl::avedev), rw::avedev, 1e-12},
        {"slope", k(rl::slope), rw::slope, 1e-10},
        {"product", k(rl::product), [](const double* r, size_t n) { return rw::product(r, n); },
         1e-12},
        {"ts_min", k(rl::ts_min), [](const double* r, size_t n) { return rw::min(r, n); }, 0.0},
        {"ts_max", k(rl::ts_max), [](const double* r, size_t n) { return rw::max(r, n); }, 0.0},
        {"ts_argmin", k(rl::ts_argmin), [](const double* r, size_t n) { return rw::argmin(r, n); },
         0.0},
        {"ts_argmax", k(rl::ts_argmax), [](const double* r, size_t n) { return rw::argmax(r, n); },
         0.0},
        {"ts_rank", k(rl::ts_rank), [](const double* r, size_t n) { return rw::rank(r, n); }, 0.0},
    };
}

}  // namespace

TEST(RollingKernels, MatchWindowDefinitionsOnMessyData) {
    const auto x = messy_series(300, 7);
    for (const auto& c : single_series_cases())
        for (size_t n : {1, 2, 3, 4, 5, 7, 8, 9, 12, 15, 16, 17, 20, 64, 299, 300})
            compare_to_rows(c.kernel, c.row, x, n, c.rel, c.name);
}

// Every instruction-set level the machine runs, not only the best one.
TEST(RollingKernels, EveryLevelMatchesWindowDefinitions) {
    const auto x = messy_series(300, 7);
    for (const alvora::Isa level : alvora::supported_isas()) {
        const alvora::ScopedIsa at(level);
        for (const auto& c : single_series_cases())
            for (size_t n : {3, 4, 5, 8, 9, 20, 64, 300})
                compare_to_rows(c.kernel, c.row, x, n, c.rel,
                                (std::string(c.name) + " " + alvora::isa_name(level)).c_str());
    }
}

// The raw-moment definitions (skew, pairwise) lose digits at a high level
// relative to the spread; compare them where they are well conditioned.
TEST(RollingKernels, ZscoreAndSkewMatchDefinitions) {
    const auto x = messy_series(200, 11, -3.0);
    std::vector<double> x3(x.size());
    for (size_t i = 0; i < x.size(); ++i) x3[i] = x[i] * x[i] * x[i];
    for (const alvora::Isa level : alvora::supported_isas()) {
        const alvora::ScopedIsa at(level);
        for (size_t n : {1, 2, 3, 6, 20, 30, 200}) {
            const auto z = run(rl::zscore, x, n);
            const auto s = run(rl::skew, x, n);
            for (size_t i = 0; i < z.size(); ++i) {
                expect_close(z[i], rw::zscore(x.data() + i, n, x[i + n - 1]), 1e-9, "zscore");
                // n = 2 has a zero third moment; only its rounding remains
                if (n != 2)
                    expect_close(s[i], rw::skew(x.data() + i, x3.data() + i, n), 1e-6, "skew");
            }
        }
    }
}

TEST(RollingKernels, PairwiseMatchDefinitions) {
    auto a = messy_series(250, 3, 2.0);
    auto b = messy_series(250, 5, -4.0);
    b[100] = -kInf;  // an infinity only in b
    for (const alvora::Isa level : alvora::supported_isas())
        for (size_t n : {1, 2, 5, 20, 33, 250}) {
            const alvora::ScopedIsa at(level);
            std::vector<double> cov(a.size() - n + 1), cor(cov.size()), reg(cov.size());
            rl::covariance(a, b, n, cov);
            rl::correlation(a, b, n, cor);
            rl::regression(a, b, n, reg);
            for (size_t i = 0; i < cov.size(); ++i) {
                std::vector<double> ab(n), aa(n);
                for (size_t j = 0; j < n; ++j) {
                    ab[j] = a[i + j] * b[i + j];
                    aa[j] = a[i + j] * a[i + j];
                }
                const double* pa = a.data() + i;
                const double* pb = b.data() + i;
                const double def_cov = rw::covariance(pa, pb, ab.data(), n);
                if (!std::isfinite(def_cov) || n == 1) {
                    // NaN, infinities and window 1 as the definitions give them
                    // (constant windows: exact zeros here, rounding there)
                    if (n == 1) {
                        expect_close(cov[i],
                                     std::isfinite(pa[0]) && std::isfinite(pb[0]) ? 0.0 : kNaN, 0,
                                     "cov1");
                        EXPECT_TRUE(std::isnan(cor[i]));
                        EXPECT_TRUE(std::isnan(reg[i]));
                    } else {
                        expect_close(cov[i], def_cov, 0, "cov");
                        expect_close(cor[i], rw::correlation(pa, pb, ab.data(), n), 0, "corr");
                        expect_close(reg[i], rw::regression(pa, pb, ab.data(), aa.data(), n), 0,
                                     "reg");
                    }
                    continue;
                }
                const long double c = exact_cov(pa, pb, n), va = exact_cov(pa, pa, n),
                                  vb = exact_cov(pb, pb, n);
                expect_close(cov[i], static_cast<double>(c), 1e-12, "cov");
                expect_close(cor[i], static_cast<double>(c / std::sqrt(va * vb)), 1e-9, "corr");
                expect_close(reg[i], static_cast<double>(c / va), 1e-9, "reg");
            }
        }
}

TEST(RollingKernels, WorkedValues) {
    const std::vector<double> w = {2, 4, 4, 4, 5, 5, 7, 9};
    EXPECT_DOUBLE_EQ(run(rl::ma, w, 8)[0], 5.0);
    EXPECT_DOUBLE_EQ(run(rl::stddev, w, 8)[0], 2.0);
    EXPECT_DOUBLE_EQ(run(rl::var, w, 8)[0], 4.0);
    EXPECT_DOUBLE_EQ(run(rl::zscore, w, 8)[0], 2.0);
    EXPECT_DOUBLE_EQ(run(rl::avedev, w, 8)[0], 1.5);
    EXPECT_NEAR(run(rl::skew, w, 8)[0], 0.81849, 1e-5);
    EXPECT_NEAR(run(rl::kurt, w, 8)[0], 0.94063, 1e-5);
    const std::vector<double> v = {1, 2, 3, 4, 10};
    EXPECT_NEAR(run(rl::skew, v, 5)[0], 1.69706, 1e-5);
    EXPECT_NEAR(run(rl::kurt, v, 5)[0], 3.152, 1e-12);
    EXPECT_DOUBLE_EQ(run(rl::ema, {1, 2, 3}, 3)[0], 2.125);
    EXPECT_DOUBLE_EQ(run(rl::ema, {1, 1, 1}, 3)[0], 0.875);
    EXPECT_NEAR(run(rl::wma, {1, 2, 3}, 3)[0], 14.0 / 6.0, 1e-15);
    EXPECT_DOUBLE_EQ(run(rl::slope, {1, 3, 5, 7}, 4)[0], 2.0);
    EXPECT_DOUBLE_EQ(run(rl::slope, {7, 5, 3, 1}, 4)[0], -2.0);
    EXPECT_DOUBLE_EQ(run(rl::ts_rank, {3, 1, 4, 2}, 4)[0], 0.25);
    EXPECT_DOUBLE_EQ(run(rl::ts_rank, {1, 2, 3, 4}, 4)[0], 0.75);
    EXPECT_DOUBLE_EQ(run(rl::ts_argmax, {5, 9, 9, 1}, 4)[0], 1.0);
    EXPECT_DOUBLE_EQ(run(rl::ts_argmin, {2, 1, 1, 3}, 4)[0], 1.0);
    EXPECT_DOUBLE_EQ(run(rl::ts_argmax, {5, kNaN, 9, kNaN}, 4)[0], 1.0);

    std::vector<double> out(1);
    rl::covariance(std::vector<double>{1, 2, 3, 4}, std::vector<double>{2, 4, 6, 8}, 4, out);
    EXPECT_DOUBLE_EQ(out[0], 2.5);
    rl::correlation(std::vector<double>{1, 2, 3, 4}, std::vector<double>{2, 4, 6, 8}, 4, out);
    EXPECT_NEAR(out[0], 1.0, 1e-14);
    rl::regression(std::vector<double>{1, 2, 3, 4}, std::vector<double>{2, 4, 6, 8.5}, 4, out);
    EXPECT_NEAR(out[0], 2.15, 1e-14);

    std::vector<std::int64_t> cnt(1);
    rl::count(std::vector<double>{0.0, 2.5, kNaN, -1.0}, 4, cnt);
    EXPECT_EQ(cnt[0], 3);
}

TEST(RollingKernels, ConstantWindowsGiveExactZerosAndNaNRatios) {
    const std::vector<double> c(12, 0.1);  // 0.1 is not exact in binary: sums round
    for (size_t n : {1, 2, 5, 12}) {
        for (double v : run(rl::var, c, n)) EXPECT_EQ(v, 0.0);
        for (double v : run(rl::stddev, c, n)) EXPECT_EQ(v, 0.0);
        for (double v : run(rl::avedev, c, n)) EXPECT_EQ(v, 0.0);
        for (double v : run(rl::zscore, c, n)) EXPECT_TRUE(std::isnan(v));
        for (double v : run(rl::skew, c, n)) EXPECT_TRUE(std::isnan(v));
        for (double v : run(rl::slope, c, n)) EXPECT_TRUE(n == 1 ? std::isnan(v) : v == 0.0);
        std::vector<double> cor(c.size() - n + 1), cov(cor.size());
        rl::correlation(c, messy_series(12, 1), n, cor);
        rl::covariance(c, messy_series(12, 1), n, cov);
        for (size_t i = 0; i < cor.size(); ++i) {
            EXPECT_TRUE(std::isnan(cor[i]));
            EXPECT_TRUE(cov[i] == 0.0 || std::isnan(cov[i]));
        }
    }
    for (double v : run(rl::kurt, c, 6)) EXPECT_TRUE(std::isnan(v));
}

TEST(RollingKernels, KurtConstantsOnePerWindow) {
    const std::vector<double> x = {kNaN, 1, 2, 3, 4, 5};
    for (auto [n, want] : {std::pair<size_t, double>{1, -3.0}, {2, -2.0}, {3, -1.5}}) {
        const auto got = run(rl::kurt, x, n);
        ASSERT_EQ(got.size(), x.size() - n + 1);
        for (double v : got) EXPECT_EQ(v, want);
    }
}

TEST(RollingKernels, NoDriftOnLongSeriesAtLargeLevel) {
    const size_t L = 1'000'000;
    std::mt19937_64 gen(42);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::vector<double> x(L);
    double level = 1e6;
    for (auto& v : x) {
        level += 0.01 * noise(gen);
        v = level + noise(gen);
    }
    const size_t n = 250;
    const auto var = run(rl::var, x, n);
    const auto ma = run(rl::ma, x, n);
    const auto kurt = run(rl::kurt, x, n);
    const auto slope = run(rl::slope, x, n);
    const auto avedev = run(rl::avedev, x, n);
    for (size_t i = 0; i < var.size(); i += 9973) {
        const double* r = x.data() + i;
        const Exact e(r, n);
        long double dev = 0;
        for (size_t j = 0; j < n; ++j) dev += std::fabs(static_cast<long double>(r[j]) - e.mean);
        dev /= n;
        EXPECT_NEAR(avedev[i], static_cast<double>(dev), 1e-9 * static_cast<double>(dev));
        EXPECT_NEAR(var[i], static_cast<double>(e.m2), 1e-9 * static_cast<double>(e.m2));
        EXPECT_NEAR(ma[i], static_cast<double>(e.mean), 1e-12 * static_cast<double>(e.mean));
        EXPECT_NEAR(kurt[i], e.kurt(n), 1e-9 * std::max(1.0, std::fabs(e.kurt(n))));
        // the definition's own numerator cancels the level; allow its rounding
        EXPECT_NEAR(slope[i], rw::slope(r, n), 1e-6);
    }
}

TEST(RollingKernels, IntegerAndBoolKernels) {
    const std::vector<std::int64_t> xi = {3, -1, 4, 1, -5, 9, 2, 6, INT64_MAX, 1};
    for (size_t n : {1, 3, 10}) {
        const size_t m = xi.size() - n + 1;
        std::vector<std::int64_t> s(m), p(m), lo(m), hi(m), c(m);
        std::vector<double> am(m), ax(m), rk(m);
        rl::sum(xi, n, s);
        rl::product(xi, n, p);
        rl::ts_min(xi, n, lo);
        rl::ts_max(xi, n, hi);
        rl::count(xi, n, c);
        rl::ts_argmin(xi, n, am);
        rl::ts_argmax(xi, n, ax);
        rl::ts_rank(xi, n, rk);
        for (size_t i = 0; i < m; ++i) {
            const std::int64_t* r = xi.data() + i;
            EXPECT_EQ(s[i], rw::sum(r, n));  // wraps past INT64_MAX like numpy
            EXPECT_EQ(p[i], rw::product(r, n));
            EXPECT_EQ(lo[i], rw::min(r, n));
            EXPECT_EQ(hi[i], rw::max(r, n));
            EXPECT_EQ(am[i], rw::argmin(r, n));
            EXPECT_EQ(ax[i], rw::argmax(r, n));
            EXPECT_EQ(rk[i], rw::rank(r, n));
            std::int64_t want = 0;
            for (size_t j = 0; j < n; ++j) want += r[j] != 0;
            EXPECT_EQ(c[i], want);
        }
    }
    const std::vector<rl::Bool> xb = {1, 1, 0, 1, 1, 1};
    std::vector<rl::Bool> bmin(4);
    std::vector<std::int64_t> bc(4);
    rl::ts_min(xb, 3, bmin);
    rl::count(xb, 3, bc);
    EXPECT_EQ(bmin, (std::vector<rl::Bool>{0, 0, 0, 1}));
    EXPECT_EQ(bc, (std::vector<std::int64_t>{2, 2, 2, 3}));
}

// Products of small values of both signs shrink towards the bottom of the
// double range: every partial product must keep its relative accuracy.
TEST(RollingKernels, ProductsOfSmallValues) {
    std::mt19937_64 gen(9);
    std::uniform_real_distribution<double> u(1e-3, 1e-2);
    std::vector<double> x(500);
    for (size_t i = 0; i < x.size(); ++i) x[i] = (i % 3 == 0 ? -1.0 : 1.0) * u(gen);
    x[77] = kNaN;
    for (const alvora::Isa level : alvora::supported_isas()) {
        const alvora::ScopedIsa at(level);
        for (size_t n : {4, 5, 8, 9, 20, 33, 100}) {
            const auto got = run(rl::product, x, n);
            for (size_t i = 0; i < got.size(); ++i) {
                const double want = rw::product(x.data() + i, n);
                if (std::isnan(want)) {
                    EXPECT_TRUE(std::isnan(got[i])) << "n=" << n << " i=" << i;
                } else {
                    EXPECT_NEAR(got[i], want, 1e-12 * std::fabs(want)) << "n=" << n << " i=" << i;
                }
            }
        }
    }
}

// Powers of two far apart, zeros of both signs, a few infinities and NaN:
// products are exact, so every window has one right answer whatever order
// the scans multiply in (a zero with finite values gives a signed zero even
// where the running product has overflowed; infinity times zero is NaN).
TEST(RollingKernels, ProductsAtTheEdgesOfTheRange) {
    std::mt19937_64 gen(4);
    std::uniform_int_distribution<int> power(-600, 600), pick(0, 99);
    std::vector<double> x(400);
    std::vector<int> k(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        k[i] = power(gen);
        const int p = pick(gen);
        x[i] = p < 4 ? 0.0 : p == 4 ? kInf : p == 5 && i > 200 ? kNaN : std::ldexp(1.0, k[i]);
        if (pick(gen) < 50) x[i] = -x[i];
    }
    auto exact = [&](size_t i, size_t n) {
        bool nan = false, inf = false, zero = false, negative = false;
        long sum = 0;
        for (size_t j = i; j < i + n; ++j) {
            nan |= std::isnan(x[j]);
            inf |= std::isinf(x[j]);
            zero |= x[j] == 0.0;
            negative ^= std::signbit(x[j]);
            sum += std::isfinite(x[j]) && x[j] != 0.0 ? k[j] : 0;
        }
        if (nan || (inf && zero)) return kNaN;
        const int power = static_cast<int>(std::clamp(sum, -1100L, 1100L));  // 0 or inf beyond
        const double m = zero ? 0.0 : inf ? kInf : std::ldexp(1.0, power);
        return negative ? -m : m;
    };
    for (const alvora::Isa level : alvora::supported_isas()) {
        const alvora::ScopedIsa at(level);
        for (size_t n : {2, 3, 4, 5, 8, 9, 16, 17, 40}) {
            const auto got = run(rl::product, x, n);
            for (size_t i = 0; i < got.size(); ++i) {
                const double want = exact(i, n);
                const double row = rw::product(x.data() + i, n);
                for (const double v : {got[i], row}) {
                    if (std::isnan(want))
                        EXPECT_TRUE(std::isnan(v)) << "n=" << n << " i=" << i << " got " << v;
                    else
                        EXPECT_TRUE(v == want && std::signbit(v) == std::signbit(want))
                            << alvora::isa_name(level) << " n=" << n << " i=" << i << " got " << v
                            << " want " << want;
                }
            }
        }
    }
}

// Counts of float series: zeros false, NaN and everything else true.
TEST(RollingKernels, CountsOfFloatSeries) {
    std::mt19937_64 gen(3);
    std::uniform_int_distribution<int> pick(0, 4);
    std::vector<double> x(301);
    for (auto& v : x) v = pick(gen) == 0 ? 0.0 : pick(gen) == 1 ? kNaN : -0.5 * pick(gen);
    for (const alvora::Isa level : alvora::supported_isas()) {
        const alvora::ScopedIsa at(level);
        for (size_t n : {1, 2, 7, 8, 9, 20, 301}) {
            std::vector<std::int64_t> got(x.size() - n + 1);
            rl::count(x, n, got);
            for (size_t i = 0; i < got.size(); ++i) {
                std::int64_t want = 0;
                for (size_t j = 0; j < n; ++j) want += x[i + j] != 0.0 ? 1 : 0;
                EXPECT_EQ(got[i], want) << "n=" << n << " i=" << i;
            }
        }
    }
}

// Few distinct values (ties everywhere), NaN, and either infinity: the
// positions are the first extreme's or the first NaN's in every case, the
// extremes NaN wherever a NaN is in the window.
TEST(RollingKernels, ExtremePositionsWithTiesNaNAndInfinities) {
    std::mt19937_64 gen(5);
    std::uniform_int_distribution<int> level(0, 4);
    for (double extra : {0.0, kInf, -kInf}) {
        std::vector<double> x(400);
        for (auto& v : x) v = level(gen);
        for (size_t i = 7; i < x.size(); i += 37) x[i] = kNaN;
        x[0] = x[399] = x[200] = x[201] = kNaN;  // both ends and a run
        if (extra != 0.0) x[150] = x[301] = extra;
        for (size_t n : {1, 3, 4, 5, 8, 20, 33, 400}) {
            compare_to_rows(
                rl::ts_min, [](const double* r, size_t w) { return rw::min(r, w); }, x, n, 0.0,
                "ts_min");
            compare_to_rows(
                rl::ts_max, [](const double* r, size_t w) { return rw::max(r, w); }, x, n, 0.0,
                "ts_max");
            compare_to_rows(
                rl::ts_argmin, [](const double* r, size_t w) { return rw::argmin(r, w); }, x, n,
                0.0, "ts_argmin");
            compare_to_rows(
                rl::ts_argmax, [](const double* r, size_t w) { return rw::argmax(r, w); }, x, n,
                0.0, "ts_argmax");
        }
    }
}

TEST(RollingKernels, RankTiesAndNaN) {
    // newest of equal values ranks highest; NaN sorts last
    EXPECT_DOUBLE_EQ(run(rl::ts_rank, {2, 2, 2}, 3)[0], 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(run(rl::ts_rank, {kNaN, 1, 2}, 3)[0], 1.0 / 3.0);
    EXPECT_DOUBLE_EQ(run(rl::ts_rank, {1, kNaN, kNaN}, 3)[0], 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(run(rl::ts_rank, {5, 1}, 1)[1], 0.0);
}

// Large values of one sign only: the magnitude, not the signed value, decides
// whether the split sums can overflow.
TEST(RollingKernels, WmaOfHugeNegativeValues) {
    std::vector<double> x(128, -1e307);
    for (size_t i = 0; i < x.size(); i += 7) x[i] = -1.7e307;
    for (const alvora::Isa level : alvora::supported_isas()) {
        const alvora::ScopedIsa at(level);
        for (size_t n : {4, 20}) compare_to_rows(rl::wma, rw::wma, x, n, 1e-12, "wma");
    }
}

TEST(RollingKernels, WmaOfHugeValuesStaysFiniteWhereTheWeightedSumDoes) {
    // Values near the top of the double range: the split block sums overflow
    // although every window's weighted average is finite.
    std::vector<double> x(200);
    for (size_t i = 0; i < x.size(); ++i) x[i] = (i % 3 == 0 ? -1.0 : 1.5) * 1e306;
    x[50] = kNaN;
    for (size_t n : {4, 20, 61}) {
        const auto got = run(rl::wma, x, n);
        for (size_t i = 0; i < got.size(); ++i) {
            const double want = rw::wma(x.data() + i, n);
            if (std::isnan(want)) {
                EXPECT_TRUE(std::isnan(got[i])) << "n=" << n << " i=" << i;
            } else {
                ASSERT_TRUE(std::isfinite(got[i])) << "n=" << n << " i=" << i;
                EXPECT_NEAR(got[i], want, 1e-9 * std::fabs(want)) << "n=" << n << " i=" << i;
            }
        }
    }
}
