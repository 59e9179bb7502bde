// Variance, deviation, z-score, skewness, kurtosis and mean absolute deviation.
//
// Each window's power sums are taken of y = x - c, where c is a value of the
// window itself (the block boundary value, see blocks.hpp). Central moments
// follow without cancelling large levels, and a window of equal values gives
// y = 0 throughout: its variance is exactly 0 and 0/0 stays NaN downstream.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "alvora/rolling/power_sums.hpp"
#include "alvora/rolling/short.hpp"
#include "alvora/rolling/kernels.hpp"

namespace alvora::rolling {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Sum of squared deviations from the window mean, never negative.
inline double m2_of(double s1, double s2, double nd) {
    const double m2 = s2 - s1 * (s1 / nd);
    return m2 > 0.0 ? m2 : 0.0;
}

// The same with a precomputed 1 / n (no division in the scan loop).
inline double m2_inv(double s1, double s2, double inv_n) {
    const double m2 = s2 - s1 * s1 * inv_n;
    return m2 > 0.0 ? m2 : 0.0;
}

}  // namespace

namespace {

// Variance from the window's shifted sums. s1 - s1 is 0 unless a NaN or an
// infinity reached the window. Written out in full so the loop vectorises.
__attribute__((target_clones("avx2", "default"))) void finish_var(
    const double* __restrict s1, const double* __restrict s2, double* __restrict o, size_t m,
    double inv_n) {
    for (size_t i = 0; i < m; ++i) {
        const double m2 = s2[i] - s1[i] * s1[i] * inv_n;
        const double v = (m2 > 0.0 ? m2 : 0.0) * inv_n;
        o[i] = s1[i] - s1[i] == 0.0 ? v : kNaN;
    }
}

// Square roots of values >= 0 or NaN, two at a time (see below).
void sqrt_packed(std::span<double> v) {
    size_t i = 0;
#ifdef __SSE2__
    for (; i + 2 <= v.size(); i += 2)
        _mm_storeu_pd(v.data() + i, _mm_sqrt_pd(_mm_loadu_pd(v.data() + i)));
#endif
    for (; i < v.size(); ++i) v[i] = std::sqrt(v[i]);
}

// Standard deviation straight from the sums, two windows at a time (the
// compiler keeps std::sqrt scalar for errno's sake, which never applies here).
void finish_std(const double* s1, const double* s2, double* o, size_t m, double inv_n) {
    size_t i = 0;
#ifdef __SSE2__
    const __m128d inv = _mm_set1_pd(inv_n), zero = _mm_setzero_pd(), nan = _mm_set1_pd(kNaN);
    for (; i + 2 <= m; i += 2) {
        const __m128d a = _mm_loadu_pd(s1 + i), b = _mm_loadu_pd(s2 + i);
        __m128d m2 = _mm_sub_pd(b, _mm_mul_pd(_mm_mul_pd(a, a), inv));
        m2 = _mm_and_pd(m2, _mm_cmpgt_pd(m2, zero));  // below zero (or NaN) -> 0
        const __m128d sd = _mm_sqrt_pd(_mm_mul_pd(m2, inv));
        const __m128d finite = _mm_cmpeq_pd(_mm_sub_pd(a, a), zero);
        _mm_storeu_pd(o + i, _mm_or_pd(_mm_and_pd(finite, sd), _mm_andnot_pd(finite, nan)));
    }
#endif
    for (; i < m; ++i) {
        const double m2 = s2[i] - s1[i] * s1[i] * inv_n;
        o[i] = s1[i] - s1[i] == 0.0 ? std::sqrt((m2 > 0.0 ? m2 : 0.0) * inv_n) : kNaN;
    }
}

template <bool Sqrt>
void var_or_std(std::span<const double> x, size_t n, std::span<double> out) {
    if (n <= detail::kShortWindow) {
        std::vector<double> scratch(out.size());
        detail::short_var(x.data(), n, out.data(), scratch.data(), out.size());
        if constexpr (Sqrt) sqrt_packed(out);
        return;
    }
    const double inv_n = 1.0 / static_cast<double>(n);
    const auto ps = detail::power_sums<2>(x.data(), x.size(), n, true, false);
    if constexpr (Sqrt)
        finish_std(ps.s[0].data(), ps.s[1].data(), out.data(), out.size(), inv_n);
    else
        finish_var(ps.s[0].data(), ps.s[1].data(), out.data(), out.size(), inv_n);
}

}  // namespace

void var(std::span<const double> x, size_t n, std::span<double> out) {
    var_or_std<false>(x, n, out);
}

void stddev(std::span<const double> x, size_t n, std::span<double> out) {
    var_or_std<true>(x, n, out);
}

void zscore(std::span<const double> x, size_t n, std::span<double> out) {
    const double inv_n = 1.0 / static_cast<double>(n);
    const auto ps = detail::power_sums<2>(x.data(), x.size(), n, true);
    const double *s1 = ps.s[0].data(), *s2 = ps.s[1].data(), *c = ps.anchor.data();
    const double* newest = x.data() + n - 1;
    double* o = out.data();
    for (size_t i = 0; i < out.size(); ++i) {
        const double sd = std::sqrt(m2_inv(s1[i], s2[i], inv_n) * inv_n);
        const double z = ((newest[i] - c[i]) - s1[i] * inv_n) / sd;
        o[i] = s1[i] - s1[i] == 0.0 ? z : kNaN;
    }
}

void skew(std::span<const double> x, size_t n, std::span<double> out) {
    const double nd = static_cast<double>(n);
    const double k = n > 2 ? std::sqrt(nd * (nd - 1.0)) / (nd - 2.0) : 1.0;
    const auto ps = detail::power_sums<3>(x.data(), x.size(), n, true);
    const double *s1 = ps.s[0].data(), *s2 = ps.s[1].data(), *s3 = ps.s[2].data();
    const double* cs = ps.anchor.data();
    double* o = out.data();
    for (size_t i = 0; i < out.size(); ++i) {
        // Raw moments of the window, then the raw-moment expression as defined.
        const double c = cs[i];
        const double u = c + s1[i] / nd;
        const double u3 = c * c * c + (3.0 * c * c * s1[i] + 3.0 * c * s2[i] + s3[i]) / nd;
        const double sd = std::sqrt(m2_of(s1[i], s2[i], nd) / nd);
        const double g = (u3 - 3.0 * u * sd * sd - u * u * u) / (sd * sd * sd);
        o[i] = s1[i] - s1[i] == 0.0 ? (n > 2 ? k * g : g) : kNaN;
    }
}

void kurt(std::span<const double> x, size_t n, std::span<double> out) {
    if (n <= 3) {
        const double value = n == 1 ? -3.0 : (n == 2 ? -2.0 : -1.5);
        std::fill(out.begin(), out.end(), value);
        return;
    }
    const double nd = static_cast<double>(n);
    const double lead = 1.0 / ((nd - 2.0) * (nd - 3.0));
    const double inv_n = 1.0 / nd;
    const auto ps = detail::power_sums<4>(x.data(), x.size(), n, true, false);
    const double *s1 = ps.s[0].data(), *s2 = ps.s[1].data(), *s3 = ps.s[2].data(),
                 *s4 = ps.s[3].data();
    double* o = out.data();
    for (size_t i = 0; i < out.size(); ++i) {
        const double d = s1[i] * inv_n;  // mean - c
        const double m2 = m2_inv(s1[i], s2[i], inv_n) * inv_n;
        double m4 =
            (s4[i] - 4.0 * d * s3[i] + 6.0 * d * d * s2[i] - 3.0 * nd * d * d * d * d) * inv_n;
        if (m4 < 0.0) m4 = 0.0;  // rounding below zero
        const double kurt =
            lead * ((nd * nd - 1.0) * m4 / (m2 * m2) - 3.0 * (nd - 1.0) * (nd - 1.0));
        o[i] = s1[i] - s1[i] == 0.0 ? kurt : kNaN;
    }
}

namespace {

// acc[i] += |x[i + j] - mean[i]| over j, windows in the inner loop so the
// compiler can vectorise across windows.
__attribute__((target_clones("avx2", "default"))) void abs_deviation_sums(
    const double* x, const double* mean, double* acc, size_t count, size_t n) {
    for (size_t j = 0; j < n; ++j) {
        const double* xj = x + j;
        for (size_t i = 0; i < count; ++i) acc[i] += std::fabs(xj[i] - mean[i]);
    }
}

}  // namespace

void avedev(std::span<const double> x, size_t n, std::span<double> out) {
    const double nd = static_cast<double>(n);
    auto ps = detail::power_sums<1>(x.data(), x.size(), n, true);
    double* mean = ps.s[0].data();  // becomes the window means in place
    for (size_t i = 0; i < out.size(); ++i) {
        const double s1 = mean[i];
        mean[i] = s1 - s1 == 0.0 ? ps.anchor[i] + s1 / nd : kNaN;
    }
    const double* mp = mean;
    // Chunks of windows keep the accumulators in the first-level cache.
    constexpr size_t kChunk = 512;
    std::fill(out.begin(), out.end(), 0.0);
    for (size_t i0 = 0; i0 < out.size(); i0 += kChunk) {
        const size_t cnt = std::min(kChunk, out.size() - i0);
        abs_deviation_sums(x.data() + i0, mp + i0, out.data() + i0, cnt, n);
    }
    for (double& v : out) v /= nd;
}

}  // namespace alvora::rolling
