// Covariance, correlation and regression slope of two series over sliding windows.
//
// Sums are taken of a - ca and b - cb, with (ca, cb) a pair of values inside
// the window (see power_sums.hpp); the raw-moment expressions are the same after
// this shift and keep their accuracy when the series sit at a large level. A
// window whose first series is constant has exactly zero centred sums.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/level.hpp"
#include "alvora/rolling/packed_sums.hpp"
#include "alvora/rolling/rowwise.hpp"

#if ALVORA_ISA_LEVEL >= 2
#include "alvora/rolling/lanes.hpp"
#endif

namespace alvora::rolling::ALVORA_ISA_NS {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Packed window sums of the centred values: vector 0 holds the sums of
// a - ca, b - cb, their product and the number of NaN values (in either
// series); vector 1, when K = 2, the squares of a - ca and b - cb.

// The features of one value, or (with Four) of four consecutive values,
// formed side by side in vectors and then transposed.
template <int K>
struct PairFeatures {
    const double* pa;
    const double* pb;
    using V2 = detail::V2;
    using V4 = detail::V4;
    using Bits2 = detail::Mask<V2>;
    [[gnu::always_inline]] std::array<V4, K> operator()(size_t pos, V2 c) const {
        const V2 v{pa[pos], pb[pos]};
        const V2 y = v - c;
        const V2 nan = (V2)((v != v) & (Bits2)(V2{} + 1.0));  // 1.0 per NaN value
        const V2 prod = y * __builtin_shufflevector(y, y, 1, 0);
        const V2 nans = nan + __builtin_shufflevector(nan, nan, 1, 0);
        std::array<V4, K> f;
        f[0] = detail::join(y, __builtin_shufflevector(prod, nans, 0, 3));
        if constexpr (K == 2) f[1] = detail::join(y * y, V2{});
        return f;
    }
    [[gnu::always_inline]] std::array<std::array<V4, K>, 4> operator()(size_t pos, V2 c,
                                                                       detail::Four) const {
        const V4 a = detail::load4(pa + pos), b = detail::load4(pb + pos);
        const V4 ya = a - c[0], yb = b - c[1];
        const V4 prod = ya * yb;
        using detail::shuffle;
        // 1.0 where either value is NaN
        const V4 nan = detail::from_bits<V4>(((a != a) | (b != b)) & detail::to_bits(V4{} + 1.0));
        const V4 t0 = shuffle<0, 4, 2, 6>(ya, yb);     // ya0 yb0 ya2 yb2
        const V4 t1 = shuffle<1, 5, 3, 7>(ya, yb);     // ya1 yb1 ya3 yb3
        const V4 t2 = shuffle<0, 4, 2, 6>(prod, nan);  // p0 n0 p2 n2
        const V4 t3 = shuffle<1, 5, 3, 7>(prod, nan);  // p1 n1 p3 n3
        std::array<std::array<V4, K>, 4> f;
        f[0][0] = shuffle<0, 1, 4, 5>(t0, t2);
        f[1][0] = shuffle<0, 1, 4, 5>(t1, t3);
        f[2][0] = shuffle<2, 3, 6, 7>(t0, t2);
        f[3][0] = shuffle<2, 3, 6, 7>(t1, t3);
        if constexpr (K == 2) {
            const V4 sa = ya * ya, sb = yb * yb, zero{};
            const V4 u0 = shuffle<0, 4, 1, 5>(sa, sb);  // sa0 sb0 sa1 sb1
            const V4 u1 = shuffle<2, 6, 3, 7>(sa, sb);  // sa2 sb2 sa3 sb3
            f[0][1] = shuffle<0, 1, 4, 5>(u0, zero);
            f[1][1] = shuffle<2, 3, 4, 5>(u0, zero);
            f[2][1] = shuffle<0, 1, 4, 5>(u1, zero);
            f[3][1] = shuffle<2, 3, 4, 5>(u1, zero);
        }
        return f;
    }
};

// Both vectors of PairFeatures<2> as one 512-bit vector: the scans then
// take every sum of a value in one addition. Its memory layout is that of
// the two vectors side by side, so the finishing reads it unchanged.
struct WidePairFeatures {
    PairFeatures<2> f;
    using V8 = detail::V8;
    [[gnu::always_inline]] static V8 join(const std::array<detail::V4, 2>& v) {
        return detail::join(v[0], v[1]);
    }
    [[gnu::always_inline]] std::array<V8, 1> operator()(size_t pos, detail::V2 c) const {
        return {join(f(pos, c))};
    }
    [[gnu::always_inline]] std::array<std::array<V8, 1>, 4> operator()(size_t pos, detail::V2 c,
                                                                       detail::Four) const {
        const auto q = f(pos, c, detail::Four{});
        return {{{join(q[0])}, {join(q[1])}, {join(q[2])}, {join(q[3])}}};
    }
};

template <int K>
[[gnu::always_inline]] inline void pair_scan(const double* pa, const double* pb, size_t L, size_t n,
                                             detail::V4* out) {
    using detail::V2;
    auto anchor = [pa, pb](size_t c) { return V2{pa[c], pb[c]}; };
    detail::packed_block_sums<detail::V4, K>(L, n, anchor, PairFeatures<K>{pa, pb}, out,
                                             detail::Ahead2{pa, pb, L});
}

using detail::V4;

// Sums of four consecutive windows, one vector per sum.
struct Sums4 {
    V4 sa, sb, sab, nan, saa, sbb;
};

template <int K>
[[gnu::always_inline]] inline Sums4 load4(const V4* ws, size_t i, size_t m) {
    // Past the last window repeat it (those lanes are not stored).
    auto at = [&](size_t e) { return (i + e < m ? i + e : m - 1) * K; };
    const V4 r0 = ws[at(0)], r1 = ws[at(1)], r2 = ws[at(2)], r3 = ws[at(3)];
    using detail::shuffle;
    const V4 t0 = shuffle<0, 4, 2, 6>(r0, r1);  // a0 a1 ab0 ab1
    const V4 t1 = shuffle<1, 5, 3, 7>(r0, r1);  // b0 b1 nan0 nan1
    const V4 t2 = shuffle<0, 4, 2, 6>(r2, r3);
    const V4 t3 = shuffle<1, 5, 3, 7>(r2, r3);
    Sums4 s;
    s.sa = shuffle<0, 1, 4, 5>(t0, t2);
    s.sab = shuffle<2, 3, 6, 7>(t0, t2);
    s.sb = shuffle<0, 1, 4, 5>(t1, t3);
    s.nan = shuffle<2, 3, 6, 7>(t1, t3);
    if constexpr (K == 2) {
        const V4 q0 = ws[at(0) + 1], q1 = ws[at(1) + 1], q2 = ws[at(2) + 1], q3 = ws[at(3) + 1];
        const V4 u0 = shuffle<0, 4, 1, 5>(q0, q1);  // aa0 aa1 bb0 bb1
        const V4 u1 = shuffle<0, 4, 1, 5>(q2, q3);
        s.saa = shuffle<0, 1, 4, 5>(u0, u1);
        s.sbb = shuffle<2, 3, 6, 7>(u0, u1);
    } else {
        s.saa = s.sbb = V4{};
    }
    return s;
}

enum class Stat { Covariance, Correlation, Regression };

constexpr double kSmallest = std::numeric_limits<double>::min();  // smallest normal
constexpr double kLargest = std::numeric_limits<double>::max();

// The statistic from the centred sums, four windows at a time.
template <Stat S>
[[gnu::always_inline]] inline V4 statistic(const Sums4& s, double nd) {
    const V4 zero{};
    // Means by one multiplication (division is several times slower and the
    // result carries the same few roundings); loop-invariant after inlining.
    const double inv = 1.0 / nd;
    if constexpr (S == Stat::Covariance) {
        return s.sab * inv - (s.sa * inv) * (s.sb * inv);
    } else if constexpr (S == Stat::Correlation) {
        // cov / (sd_a sd_b) with the divisions by n cancelled: one square root
        // of the product of the two sums of squares. Where that product leaves
        // the normal range (or is zero), the two square roots are taken apart.
        const V4 cov = s.sab - s.sa * (s.sb * inv);
        V4 va = s.saa - s.sa * (s.sa * inv), vb = s.sbb - s.sb * (s.sb * inv);
        va = detail::select(va > zero, va, zero);
        vb = detail::select(vb > zero, vb, zero);
        const V4 p = va * vb;
        const detail::Mask<V4> normal = (p >= kSmallest) & (p <= kLargest);
        if (normal[0] & normal[1] & normal[2] & normal[3]) return cov / detail::sqrt4(p);
        return cov / (detail::sqrt4(va) * detail::sqrt4(vb));
    } else {
        const V4 v1 = s.sab - s.sa * (s.sb * inv);
        const V4 v2 = s.saa - s.sa * (s.sa * inv);
        return v1 / detail::select(v2 > zero, v2, zero);
    }
}

// Writes the statistic of every window, NaN where a window holds a NaN.
// Returns whether some window holds an infinity and no NaN: those are left
// for the definition, value by value.
template <Stat S, int K>
[[gnu::always_inline]] inline bool finish_packed(const V4* ws, size_t m, double nd, double* out) {
    using Mask = detail::Mask<V4>;
    const V4 zero{}, nan4 = zero + kNaN;
    Mask pending{};
    for (size_t i = 0; i < m; i += 4) {
        const Sums4 s = load4<K>(ws, i, m);
        const Mask has_nan = s.nan > zero;
        const Mask finite = (s.sa - s.sa == zero) & (s.sb - s.sb == zero);
        pending |= ~has_nan & ~finite;
        const V4 r = detail::select(has_nan, nan4, statistic<S>(s, nd));
        if (i + 4 <= m) {
            detail::store4(out + i, r);
        } else {
            for (size_t e = 0; i + e < m; ++e) out[i + e] = r[e];
        }
    }
    return (pending[0] | pending[1] | pending[2] | pending[3]) != 0;
}

template <Stat S, int K>
bool pair_stat(const double* a, const double* b, size_t L, size_t n, V4* ws, double* out) {
    pair_scan<K>(a, b, L, n, ws);
    return finish_packed<S, K>(ws, L - n + 1, static_cast<double>(n), out);
}

template <Stat S>
bool pair_stat_wide(const double* a, const double* b, size_t L, size_t n, V4* ws, double* out) {
    auto anchor = [a, b](size_t c) { return detail::V2{a[c], b[c]}; };
    detail::packed_block_sums<detail::V8, 1>(L, n, anchor, WidePairFeatures{{a, b}},
                                             reinterpret_cast<detail::V8*>(ws),
                                             detail::Ahead2{a, b, L});
    return finish_packed<S, 2>(ws, L - n + 1, static_cast<double>(n), out);
}

// The pairwise statistics with eight blocks side by side (lanes.hpp): the
// same centred sums, lane by lane; windows holding an infinity and no NaN
// are noted for the caller.
#if ALVORA_ISA_LEVEL >= 2

template <Stat S>
struct PairLanes : detail::lanes::Plus {
    // sums of a - ca, b - cb, their product, NaN flags, and the squares needed
    static constexpr int F = S == Stat::Covariance ? 4 : S == Stat::Regression ? 5 : 6;
    double inv;
    __m512d ca, cb;
    __mmask8 pending = 0;
    void start(const double* a, const double* b, size_t n) {
        ca = detail::lanes::column(a + n - 1, n);
        cb = detail::lanes::column(b + n - 1, n);
    }
    void features(__m512d va, __m512d vb, __m512d* f) const {
        const __m512d ya = _mm512_sub_pd(va, ca), yb = _mm512_sub_pd(vb, cb);
        f[0] = ya;
        f[1] = yb;
        f[2] = _mm512_mul_pd(ya, yb);
        const __mmask8 nan = _mm512_cmp_pd_mask(va, vb, _CMP_UNORD_Q);  // a NaN in either
        f[3] = _mm512_maskz_mov_pd(nan, _mm512_set1_pd(1.0));
        if constexpr (F > 4) f[4] = _mm512_mul_pd(ya, ya);
        if constexpr (F > 5) f[5] = _mm512_mul_pd(yb, yb);
    }
    void tail(__m512d va, __m512d vb, size_t, __m512d* f) { features(va, vb, f); }
    void head(__m512d va, __m512d vb, size_t, __m512d* f) { features(va, vb, f); }
    __m512d finish(const __m512d* s, size_t) {
        const __m512d zero = _mm512_setzero_pd();
        const __mmask8 has_nan = _mm512_cmp_pd_mask(s[3], zero, _CMP_GT_OQ);
        const __mmask8 finite = _mm512_cmp_pd_mask(_mm512_sub_pd(s[0], s[0]), zero, _CMP_EQ_OQ) &
                                _mm512_cmp_pd_mask(_mm512_sub_pd(s[1], s[1]), zero, _CMP_EQ_OQ);
        pending |= static_cast<__mmask8>(~has_nan & ~finite);
        // As statistic() does for four windows.
        const __m512d vi = _mm512_set1_pd(inv);
        __m512d r;
        if constexpr (S == Stat::Covariance) {
            r = _mm512_sub_pd(_mm512_mul_pd(s[2], vi),
                              _mm512_mul_pd(_mm512_mul_pd(s[0], vi), _mm512_mul_pd(s[1], vi)));
        } else if constexpr (S == Stat::Regression) {
            const __m512d v1 = _mm512_sub_pd(s[2], _mm512_mul_pd(s[0], _mm512_mul_pd(s[1], vi)));
            __m512d v2 = _mm512_sub_pd(s[4], _mm512_mul_pd(s[0], _mm512_mul_pd(s[0], vi)));
            v2 = _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(v2, zero, _CMP_GT_OQ), v2);
            r = _mm512_div_pd(v1, v2);
        } else {
            const __m512d cov = _mm512_sub_pd(s[2], _mm512_mul_pd(s[0], _mm512_mul_pd(s[1], vi)));
            __m512d va = _mm512_sub_pd(s[4], _mm512_mul_pd(s[0], _mm512_mul_pd(s[0], vi)));
            __m512d vb = _mm512_sub_pd(s[5], _mm512_mul_pd(s[1], _mm512_mul_pd(s[1], vi)));
            va = _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(va, zero, _CMP_GT_OQ), va);
            vb = _mm512_maskz_mov_pd(_mm512_cmp_pd_mask(vb, zero, _CMP_GT_OQ), vb);
            const __m512d prod = _mm512_mul_pd(va, vb);
            const __mmask8 normal =
                _mm512_cmp_pd_mask(prod, _mm512_set1_pd(kSmallest), _CMP_GE_OQ) &
                _mm512_cmp_pd_mask(prod, _mm512_set1_pd(kLargest), _CMP_LE_OQ);
            // (a NaN product: a window with a NaN or an infinity, replaced anyway)
            const __mmask8 fine = normal | _mm512_cmp_pd_mask(prod, prod, _CMP_UNORD_Q);
            r = fine == 0xFF
                    ? _mm512_div_pd(cov, _mm512_sqrt_pd(prod))
                    : _mm512_div_pd(cov, _mm512_mul_pd(_mm512_sqrt_pd(va), _mm512_sqrt_pd(vb)));
        }
        return _mm512_mask_mov_pd(r, has_nan, _mm512_set1_pd(kNaN));
    }
};

template <Stat S>
size_t pair_lanes(const double* a, const double* b, size_t L, size_t n, double* buf, double* out,
                  bool& pending) {
    PairLanes<S> p{};
    p.inv = 1.0 / static_cast<double>(n);
    const size_t done = detail::lanes::block_sums2(a, b, L, n, buf, out, p);
    pending = p.pending != 0;
    return done;
}

#endif  // ALVORA_ISA_LEVEL >= 2

// Runs the statistic on every window and defined(i) (the definition, value by
// value) on windows with an infinity and no NaN. K = 1 when the statistic
// needs no squares.
template <Stat S, int K, class Defined>
void pairwise(std::span<const double> a, std::span<const double> b, size_t n, std::span<double> out,
              Defined defined) {
    detail::PackedScratch<V4> scratch(detail::packed_windows(a.size()) * K);
    // Whole groups of eight blocks in lanes where the level has 512-bit
    // vectors; the remaining windows by the packed scans.
    size_t done = 0;
    bool pending = false;
#if ALVORA_ISA_LEVEL >= 2
    if (n >= 4) {
        detail::PackedScratch<double> lanes_buf(7 * 8 * n);
        done =
            pair_lanes<S>(a.data(), b.data(), a.size(), n, lanes_buf.data(), out.data(), pending);
    }
#endif
    if (done < out.size()) {
        const double* pa = a.data() + done;
        const double* pb = b.data() + done;
        const size_t len = a.size() - done;
        if constexpr (K == 2 && detail::kWide)
            pending |= pair_stat_wide<S>(pa, pb, len, n, scratch.data(), out.data() + done);
        else
            pending |= pair_stat<S, K>(pa, pb, len, n, scratch.data(), out.data() + done);
    }
    if (!pending) return;
    // Windows holding an infinity and no NaN (in either series) get defined(i):
    // an exact count of both along the series finds them.
    const size_t L = a.size();
    std::vector<std::int32_t> nans(L + 1, 0), infs(L + 1, 0);
    for (size_t e = 0; e < L; ++e) {
        const bool nan = a[e] != a[e] || b[e] != b[e];
        const bool inf = std::isinf(a[e]) || std::isinf(b[e]);
        nans[e + 1] = nans[e] + (nan ? 1 : 0);
        infs[e + 1] = infs[e] + (inf ? 1 : 0);
    }
    for (size_t i = 0; i < out.size(); ++i)
        if (nans[i + n] == nans[i] && infs[i + n] != infs[i]) out[i] = defined(i);
}

// The products a * b and a * a of one window, formed as the definitions do.
struct Products {
    std::vector<double> ab, aa;
    Products(const double* a, const double* b, size_t n) : ab(n), aa(n) {
        for (size_t j = 0; j < n; ++j) {
            ab[j] = a[j] * b[j];
            aa[j] = a[j] * a[j];
        }
    }
};

}  // namespace

void covariance(std::span<const double> a, std::span<const double> b, size_t n,
                std::span<double> out) {
    pairwise<Stat::Covariance, 1>(a, b, n, out, [&](size_t i) {
        Products p(a.data() + i, b.data() + i, n);
        return rowwise::covariance(a.data() + i, b.data() + i, p.ab.data(), n);
    });
}

void correlation(std::span<const double> a, std::span<const double> b, size_t n,
                 std::span<double> out) {
    pairwise<Stat::Correlation, 2>(a, b, n, out, [&](size_t i) {
        Products p(a.data() + i, b.data() + i, n);
        return rowwise::correlation(a.data() + i, b.data() + i, p.ab.data(), n);
    });
}

void regression(std::span<const double> x, std::span<const double> y, size_t n,
                std::span<double> out) {
    pairwise<Stat::Regression, 2>(x, y, n, out, [&](size_t i) {
        Products p(x.data() + i, y.data() + i, n);
        return rowwise::regression(x.data() + i, y.data() + i, p.ab.data(), p.aa.data(), n);
    });
}

}  // namespace alvora::rolling::ALVORA_ISA_NS
