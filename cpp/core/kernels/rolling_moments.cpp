// Variance, deviation, z-score, skewness, kurtosis and mean absolute deviation.
//
// Each window's power sums are taken of y = x - c, where c is a value of the
// window itself (the block boundary value, see blocks.hpp). Central moments
// follow without cancelling large levels, and a window of equal values gives
// y = 0 throughout: its variance is exactly 0 and 0/0 stays NaN downstream.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/level.hpp"
#include "alvora/rolling/means.hpp"
#include "alvora/rolling/packed_sums.hpp"
#include "alvora/rolling/power_sums.hpp"

#if ALVORA_ISA_LEVEL >= 2
#include "alvora/rolling/lanes.hpp"
#endif

namespace alvora::rolling::ALVORA_ISA_NS {

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

using detail::V2;
using detail::V4;

// Variance of every window from its shifted sums {s1, s2}, four windows at
// a time. s1 - s1 is 0 unless a NaN or an infinity reached
// the window. A window of equal values has s1 = s2 = 0 exactly.
[[gnu::always_inline]] inline void finish_var(const V2* ws, size_t m, double inv_n, double* out) {
    const V4 zero{}, nan4 = zero + kNaN;
    for (size_t i = 0; i < m; i += 4) {
        auto at = [&](size_t e) { return ws[i + e < m ? i + e : m - 1]; };
        const V4 lo = detail::join(at(0), at(1));
        const V4 hi = detail::join(at(2), at(3));
        const V4 s1 = detail::shuffle<0, 2, 4, 6>(lo, hi);
        const V4 s2 = detail::shuffle<1, 3, 5, 7>(lo, hi);
        const V4 m2 = s2 - s1 * s1 * inv_n;
        const V4 v = detail::select(m2 > zero, m2, zero) * inv_n;
        const V4 r = detail::select(s1 - s1 == zero, v, nan4);
        if (i + 4 <= m) {
            detail::store4(out + i, r);
        } else {
            for (size_t e = 0; i + e < m; ++e) out[i + e] = r[e];
        }
    }
}

// Window sums {y, y^2} of y = x - c, c the block boundary value.
[[gnu::always_inline]] inline void moment2_scan(const double* x, size_t L, size_t n, V2* ws) {
    auto anchor = [x](size_t c) { return x[c]; };
    auto feat = [x](size_t pos, double c) {
        const double y = x[pos] - c;
        return std::array<V2, 1>{V2{y, y * y}};
    };
    detail::packed_block_sums<V2, 1>(L, n, anchor, feat, ws, detail::Ahead1{x, L});
}

void packed_var(const double* x, size_t L, size_t n, V2* ws, double* out) {
    moment2_scan(x, L, n, ws);
    finish_var(ws, L - n + 1, 1.0 / static_cast<double>(n), out);
}

// Square roots in place of values >= 0 or NaN: the core is compiled without
// errno for math functions, so the loop becomes vector square roots of the
// level's width.
void sqrt_in_place(double* v, size_t m) {
    for (size_t i = 0; i < m; ++i) v[i] = std::sqrt(v[i]);
}

template <bool Sqrt>
void var_or_std(std::span<const double> x, size_t n, std::span<double> out) {
    detail::PackedScratch<V2> scratch(detail::packed_windows(x.size()));
    packed_var(x.data(), x.size(), n, scratch.data(), out.data());
    if constexpr (Sqrt) sqrt_in_place(out.data(), out.size());
}

// Span views of the series and results from window `done` on.
inline std::span<const double> from(std::span<const double> x, size_t done) {
    return x.subspan(done);
}
inline std::span<double> from(std::span<double> out, size_t done) {
    return out.subspan(done);
}

// The block boundary values c of windows i .. i + 3 (positions i + (c - i)).
[[gnu::always_inline]] inline V4 anchors4(const double* x, size_t i, size_t m,
                                          const detail::AnchorOffsets& off) {
    const V4 d = off.get();
    auto at = [&](int e) {
        const size_t w = i + e < m ? i + e : m - 1;
        return x[w + static_cast<size_t>(d[e])];
    };
    return V4{at(0), at(1), at(2), at(3)};
}

[[gnu::always_inline]] inline V4 newest4(const double* x, size_t i, size_t m, size_t n) {
    auto at = [&](size_t e) { return x[(i + e < m ? i + e : m - 1) + n - 1]; };
    return V4{at(0), at(1), at(2), at(3)};
}

void packed_zscore(const double* x, size_t L, size_t n, V2* ws, double* out) {
    moment2_scan(x, L, n, ws);
    const size_t m = L - n + 1;
    const double inv_n = 1.0 / static_cast<double>(n);
    const V4 zero{}, nan4 = zero + kNaN;
    detail::AnchorOffsets off(static_cast<double>(n));
    for (size_t i = 0; i < m; i += 4, off.advance()) {
        const auto [s1, s2] = detail::columns4(ws, i, m);
        const V4 m2 = s2 - s1 * s1 * inv_n;
        const V4 sd = detail::sqrt4(detail::select(m2 > zero, m2, zero) * inv_n);
        const V4 z = ((newest4(x, i, m, n) - anchors4(x, i, m, off)) - s1 * inv_n) / sd;
        detail::store4(out, i, m, detail::select(s1 - s1 == zero, z, nan4));
    }
}

// The powers y, y^2, y^3 and y^4 (the last only when K4) of y = x - c, of
// one value or (with Four) of four consecutive values, formed side by side
// in vectors and then transposed.
template <bool K4>
struct Powers {
    const double* x;
    [[gnu::always_inline]] std::array<V4, 1> operator()(size_t pos, double c) const {
        const double y = x[pos] - c;
        const V2 a = {y, y * y};
        const V2 b = a * a[1];  // y^3, y^4
        return {detail::join(a, K4 ? b : b * V2{1.0, 0.0})};
    }
    [[gnu::always_inline]] std::array<std::array<V4, 1>, 4> operator()(size_t pos, double c,
                                                                       detail::Four) const {
        const V4 y = detail::load4(x + pos) - c;
        const V4 y2 = y * y, y3 = y2 * y, y4 = K4 ? y2 * y2 : V4{};
        using detail::shuffle;
        const V4 t0 = shuffle<0, 4, 2, 6>(y, y2);  // y0 q0 y2 q2
        const V4 t1 = shuffle<1, 5, 3, 7>(y, y2);  // y1 q1 y3 q3
        const V4 t2 = shuffle<0, 4, 2, 6>(y3, y4);
        const V4 t3 = shuffle<1, 5, 3, 7>(y3, y4);
        return {{{shuffle<0, 1, 4, 5>(t0, t2)},
                 {shuffle<0, 1, 4, 5>(t1, t3)},
                 {shuffle<2, 3, 6, 7>(t0, t2)},
                 {shuffle<2, 3, 6, 7>(t1, t3)}}};
    }
};

// Window sums of y, y^2, y^3 and y^4 (the last only when K4), y = x - c.
template <bool K4>
[[gnu::always_inline]] inline void moment4_scan(const double* x, size_t L, size_t n, V4* ws) {
    auto anchor = [x](size_t c) { return x[c]; };
    detail::packed_block_sums<V4, 1>(L, n, anchor, Powers<K4>{x}, ws, detail::Ahead1{x, L});
}

void packed_skew(const double* x, size_t L, size_t n, V4* ws, double* out) {
    moment4_scan<false>(x, L, n, ws);
    const size_t m = L - n + 1;
    const double nd = static_cast<double>(n);
    const double k = std::sqrt(nd * (nd - 1.0)) / (nd - 2.0);  // n >= 4 here
    const double inv_n = 1.0 / nd;  // multiplications: a division costs several
    const V4 zero{}, nan4 = zero + kNaN;
    detail::AnchorOffsets off(nd);
    for (size_t i = 0; i < m; i += 4, off.advance()) {
        const auto [s1, s2, s3, unused] = detail::columns4(ws, i, m);
        const V4 c = anchors4(x, i, m, off);
        // Raw moments of the window, then the raw-moment expression as defined.
        const V4 u = c + s1 * inv_n;
        const V4 u3 = c * c * c + (3.0 * c * c * s1 + 3.0 * c * s2 + s3) * inv_n;
        const V4 m2 = s2 - s1 * (s1 * inv_n);
        const V4 sd = detail::sqrt4(detail::select(m2 > zero, m2, zero) * inv_n);
        const V4 g = (u3 - 3.0 * u * sd * sd - u * u * u) / (sd * sd * sd);
        detail::store4(out, i, m, detail::select(s1 - s1 == zero, k * g, nan4));
    }
}

void packed_kurt(const double* x, size_t L, size_t n, V4* ws, double* out) {
    moment4_scan<true>(x, L, n, ws);
    const size_t m = L - n + 1;
    const double nd = static_cast<double>(n);
    const double lead = 1.0 / ((nd - 2.0) * (nd - 3.0));
    const double inv_n = 1.0 / nd;
    const V4 zero{}, nan4 = zero + kNaN;
    for (size_t i = 0; i < m; i += 4) {
        const auto [s1, s2, s3, s4] = detail::columns4(ws, i, m);
        const V4 d = s1 * inv_n;  // mean - c
        const V4 v2 = s2 - s1 * s1 * inv_n;
        const V4 m2 = detail::select(v2 > zero, v2, zero) * inv_n;
        V4 m4 = (s4 - 4.0 * d * s3 + 6.0 * d * d * s2 - 3.0 * nd * d * d * d * d) * inv_n;
        m4 = detail::select(m4 < zero, zero, m4);  // rounding below zero
        const V4 kurt = lead * ((nd * nd - 1.0) * m4 / (m2 * m2) - 3.0 * (nd - 1.0) * (nd - 1.0));
        detail::store4(out, i, m, detail::select(s1 - s1 == zero, kurt, nan4));
    }
}

// The moments with eight blocks side by side (lanes.hpp): the same sums of
// powers of y = x - c, c the end of the block holding the window's start,
// and the same expressions, eight windows at a time.
enum class Moment { Var, Std, Zscore, Skew, Kurt };

#if ALVORA_ISA_LEVEL >= 2

template <Moment M>
struct MomentLanes : detail::lanes::Plus {
    static constexpr int F = M == Moment::Kurt ? 4 : M == Moment::Skew ? 3 : 2;
    using V8 = detail::V8;
    double nd, inv_n, k;  // k: the skew's or the kurtosis' leading factor
    V8 c{}, newest{};     // anchors; y of the newest value of the window being finished
    void start(const double* block, size_t n) {
        c = (V8)detail::lanes::column(block + n - 1, n);
        newest = V8{};  // window 0 of a block ends at its anchor
    }
    void powers(__m512d v, __m512d* f) const {
        const V8 y = (V8)v - c;
        f[0] = (__m512d)y;
        f[1] = (__m512d)(y * y);
        if constexpr (F > 2) f[2] = (__m512d)(y * y * y);
        if constexpr (F > 3) f[3] = (__m512d)((y * y) * (y * y));
    }
    void tail(__m512d v, size_t, __m512d* f) { powers(v, f); }
    void head(__m512d v, size_t, __m512d* f) {
        powers(v, f);
        newest = (V8)f[0];  // the head's last value ends the window finished next
    }
    __m512d finish(const __m512d* s, size_t) {
        const V8 zero{}, nan8 = zero + kNaN;
        const V8 s1 = (V8)s[0], s2 = (V8)s[1];
        V8 r;
        if constexpr (M == Moment::Var || M == Moment::Std) {
            const V8 m2 = s2 - s1 * s1 * inv_n;
            r = (m2 > zero ? m2 : zero) * inv_n;
            if constexpr (M == Moment::Std) r = (V8)_mm512_sqrt_pd((__m512d)r);
        } else if constexpr (M == Moment::Zscore) {
            const V8 m2 = s2 - s1 * s1 * inv_n;
            const V8 sd = (V8)_mm512_sqrt_pd((__m512d)((m2 > zero ? m2 : zero) * inv_n));
            r = (newest - s1 * inv_n) / sd;
        } else if constexpr (M == Moment::Skew) {
            const V8 s3 = (V8)s[2];
            const V8 u = c + s1 * inv_n;
            const V8 u3 = c * c * c + (3.0 * c * c * s1 + 3.0 * c * s2 + s3) * inv_n;
            const V8 m2 = s2 - s1 * (s1 * inv_n);
            const V8 sd = (V8)_mm512_sqrt_pd((__m512d)((m2 > zero ? m2 : zero) * inv_n));
            r = k * ((u3 - 3.0 * u * sd * sd - u * u * u) / (sd * sd * sd));
        } else {
            const V8 s3 = (V8)s[2], s4 = (V8)s[3];
            const V8 d = s1 * inv_n;  // mean - c
            const V8 v2 = s2 - s1 * s1 * inv_n;
            const V8 m2 = (v2 > zero ? v2 : zero) * inv_n;
            V8 m4 = (s4 - 4.0 * d * s3 + 6.0 * d * d * s2 - 3.0 * nd * d * d * d * d) * inv_n;
            m4 = m4 < zero ? zero : m4;  // rounding below zero
            r = k * ((nd * nd - 1.0) * m4 / (m2 * m2) - 3.0 * (nd - 1.0) * (nd - 1.0));
        }
        return (__m512d)(s1 - s1 == zero ? r : nan8);
    }
};

template <Moment M>
size_t moment_lanes(const double* x, size_t L, size_t n, double* out) {
    const double nd = static_cast<double>(n);
    double k = 1.0;
    if constexpr (M == Moment::Skew) k = std::sqrt(nd * (nd - 1.0)) / (nd - 2.0);
    if constexpr (M == Moment::Kurt) k = 1.0 / ((nd - 2.0) * (nd - 3.0));
    MomentLanes<M> p{{}, nd, 1.0 / nd, k};
    detail::PackedScratch<double> buf((MomentLanes<M>::F + 1) * 8 * n);
    return detail::lanes::block_sums(x, L, n, buf.data(), out, p);
}

#endif  // ALVORA_ISA_LEVEL >= 2

// Windows of whole groups of eight blocks in lanes where the level has
// 512-bit vectors (n >= 4); returns how many.
template <Moment M>
size_t moments_in_lanes(std::span<const double> x, size_t n, std::span<double> out) {
#if ALVORA_ISA_LEVEL >= 2
    if (n >= 4) return moment_lanes<M>(x.data(), x.size(), n, out.data());
#endif
    return 0;
}

}  // namespace

void var(std::span<const double> x, size_t n, std::span<double> out) {
    const size_t done = moments_in_lanes<Moment::Var>(x, n, out);
    if (done < out.size()) var_or_std<false>(from(x, done), n, from(out, done));
}

void stddev(std::span<const double> x, size_t n, std::span<double> out) {
    const size_t done = moments_in_lanes<Moment::Std>(x, n, out);
    if (done < out.size()) var_or_std<true>(from(x, done), n, from(out, done));
}

void zscore(std::span<const double> x, size_t n, std::span<double> out) {
    if (const size_t done = moments_in_lanes<Moment::Zscore>(x, n, out); done > 0) {
        x = from(x, done);
        out = from(out, done);
        if (out.empty()) return;
    }
    if (n >= 4) {
        detail::PackedScratch<V2> scratch(detail::packed_windows(x.size()));
        return packed_zscore(x.data(), x.size(), n, scratch.data(), out.data());
    }
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
    if (const size_t done = moments_in_lanes<Moment::Skew>(x, n, out); done > 0) {
        x = from(x, done);
        out = from(out, done);
        if (out.empty()) return;
    }
    if (n >= 4) {
        detail::PackedScratch<V4> scratch(detail::packed_windows(x.size()));
        return packed_skew(x.data(), x.size(), n, scratch.data(), out.data());
    }
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
    if (const size_t done = moments_in_lanes<Moment::Kurt>(x, n, out); done > 0) {
        x = from(x, done);
        out = from(out, done);
        if (out.empty()) return;
    }
    {
        detail::PackedScratch<V4> scratch(detail::packed_windows(x.size()));
        return packed_kurt(x.data(), x.size(), n, scratch.data(), out.data());
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

// out[i] = sum over j of |x[i + j] - mean[i]| / n. Four vectors of windows
// at a time with their sums in registers (four independent additions per
// value j), each window's terms added oldest first; then one vector, then
// one window at a time.
template <class V>
[[gnu::always_inline]] inline void abs_deviations(const double* x, const double* mean, double* out,
                                                  size_t m, size_t n) {
    constexpr size_t W = detail::kLanes<V>;
    using Bits = detail::Mask<V>;
    const Bits magnitude = ~(Bits)(-V{});  // all bits but the sign (-V{} is -0.0)
    using detail::load;
    auto dev = [magnitude](V v, V mu) { return (V)((Bits)(v - mu) & magnitude); };
    const double nd = static_cast<double>(n);
    size_t i = 0;
    for (; i + 4 * W <= m; i += 4 * W) {
        const V m0 = load<V>(mean + i), m1 = load<V>(mean + i + W), m2 = load<V>(mean + i + 2 * W),
                m3 = load<V>(mean + i + 3 * W);
        V a0{}, a1{}, a2{}, a3{};
        for (size_t j = 0; j < n; ++j) {
            const double* xj = x + i + j;
            a0 += dev(load<V>(xj), m0);
            a1 += dev(load<V>(xj + W), m1);
            a2 += dev(load<V>(xj + 2 * W), m2);
            a3 += dev(load<V>(xj + 3 * W), m3);
        }
        detail::store(out + i, a0 / nd);
        detail::store(out + i + W, a1 / nd);
        detail::store(out + i + 2 * W, a2 / nd);
        detail::store(out + i + 3 * W, a3 / nd);
    }
    for (; i + W <= m; i += W) {
        const V mu = load<V>(mean + i);
        V a{};
        for (size_t j = 0; j < n; ++j) a += dev(load<V>(x + i + j), mu);
        detail::store(out + i, a / nd);
    }
    for (; i < m; ++i) {
        double a = 0.0;
        for (size_t j = 0; j < n; ++j) a += std::fabs(x[i + j] - mean[i]);
        out[i] = a / nd;
    }
}

void abs_deviations(const double* x, const double* mean, double* out, size_t m, size_t n) {
    abs_deviations<detail::VW>(x, mean, out, m, n);
}

}  // namespace

void avedev(std::span<const double> x, size_t n, std::span<double> out) {
    if (n >= 4) {
        // the window sums, then the m means
        std::vector<double> mean(out.size());
        detail::anchored_window_means(x.data(), x.size(), n, mean.data());
        abs_deviations(x.data(), mean.data(), out.data(), out.size(), n);
        return;
    }
    const double nd = static_cast<double>(n);
    auto ps = detail::power_sums<1>(x.data(), x.size(), n, true);
    double* mean = ps.s[0].data();  // becomes the window means in place
    for (size_t i = 0; i < out.size(); ++i) {
        const double s1 = mean[i];
        mean[i] = s1 - s1 == 0.0 ? ps.anchor[i] + s1 / nd : kNaN;
    }
    abs_deviations(x.data(), mean, out.data(), out.size(), n);
}

}  // namespace alvora::rolling::ALVORA_ISA_NS
