// Positions of the first smallest (largest) value of sliding windows of a
// float series, four windows at a time.
//
// The block scans of blocks.hpp over (value, position) pairs: tails are
// suffix extremes of a block, heads prefix extremes of the next block, and
// within a vector the pairs are combined in two shuffle steps, so the only
// dependent chain is one comparison per vector. Ties go to the older
// position everywhere. A NaN must win its window at its first occurrence:
// it enters the scans as -inf (+inf for the largest), which is exact unless
// the series also holds a real -inf (+inf); the caller checks that first.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>

#include "alvora/rolling/extreme_positions.hpp"
#include "alvora/rolling/level.hpp"
#include "alvora/rolling/packed_sums.hpp"
#include "alvora/rolling/prefetch.hpp"

#if ALVORA_ISA_LEVEL >= 2
#include "alvora/rolling/lanes.hpp"
#endif

namespace alvora::rolling::ALVORA_ISA_NS::detail {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

template <bool Max>
struct Order {
    // a strictly better than b
    template <class T>
    [[gnu::always_inline]] static auto better(T a, T b) {
        return Max ? a > b : a < b;
    }
    // a better than or as good as b
    template <class T>
    [[gnu::always_inline]] static auto at_least(T a, T b) {
        return Max ? a >= b : a <= b;
    }
    static constexpr double worst = Max ? -kInf : kInf;
    static constexpr double nan_as = Max ? kInf : -kInf;
};

// A (value, position) pair in one register; choices between pairs are
// blends, never branches (the outcome follows the data, which a branch
// predictor cannot learn).
using Pair = V2;
using PairMask = long __attribute__((vector_size(16)));

[[gnu::always_inline]] inline Pair pick(PairMask take, Pair a, Pair b) {
    return take ? a : b;
}

// Both lanes true when `a`'s value is strictly better than `b`'s (or at least as good).
template <bool Max>
[[gnu::always_inline]] inline PairMask pair_better(Pair a, Pair b) {
    return Order<Max>::better(__builtin_shufflevector(a, a, 0, 0),
                              __builtin_shufflevector(b, b, 0, 0));
}
template <bool Max>
[[gnu::always_inline]] inline PairMask pair_at_least(Pair a, Pair b) {
    return Order<Max>::at_least(__builtin_shufflevector(a, a, 0, 0),
                                __builtin_shufflevector(b, b, 0, 0));
}

template <bool Max, class V>
[[gnu::always_inline]] inline V values(const double* p) {
    const V v = load<V>(p);
    return select(v == v, v, V{} + Order<Max>::nan_as);
}

template <bool Max>
[[gnu::always_inline]] inline double value1(double v) {
    return v == v ? v : Order<Max>::nan_as;
}

// One step of the in-vector scans: lane k takes the pair from lane idx[k]
// when `take` says so.
template <class V, class Take>
[[gnu::always_inline]] inline void step(V& v, V& p, V sv, V sp, Take take) {
    const auto t = take(sv, v);
    v = select(t, sv, v);
    p = select(t, sp, p);
}

// Lane k: the best of lanes 0 .. k, the oldest on ties.
template <bool Max>
[[gnu::always_inline]] inline void prefix_best(V4& v, V4& p) {
    auto older = [](V4 a, V4 b) { return Order<Max>::at_least(a, b); };
    step(v, p, shuffle<0, 0, 1, 2>(v, v), shuffle<0, 0, 1, 2>(p, p), older);
    step(v, p, shuffle<0, 1, 0, 1>(v, v), shuffle<0, 1, 0, 1>(p, p), older);
}

template <bool Max>
[[gnu::always_inline]] inline void prefix_best(V8& v, V8& p) {
    auto older = [](V8 a, V8 b) { return Order<Max>::at_least(a, b); };
    step(v, p, __builtin_shufflevector(v, v, 0, 0, 1, 2, 3, 4, 5, 6),
         __builtin_shufflevector(p, p, 0, 0, 1, 2, 3, 4, 5, 6), older);
    step(v, p, __builtin_shufflevector(v, v, 0, 1, 0, 1, 2, 3, 4, 5),
         __builtin_shufflevector(p, p, 0, 1, 0, 1, 2, 3, 4, 5), older);
    step(v, p, __builtin_shufflevector(v, v, 0, 1, 2, 3, 0, 1, 2, 3),
         __builtin_shufflevector(p, p, 0, 1, 2, 3, 0, 1, 2, 3), older);
}

// Lane k: the best of lanes k .. W - 1, the oldest on ties.
template <bool Max>
[[gnu::always_inline]] inline void suffix_best(V4& v, V4& p) {
    auto newer = [](V4 a, V4 b) { return Order<Max>::better(a, b); };
    step(v, p, shuffle<1, 2, 3, 3>(v, v), shuffle<1, 2, 3, 3>(p, p), newer);
    step(v, p, shuffle<2, 3, 2, 3>(v, v), shuffle<2, 3, 2, 3>(p, p), newer);
}

template <bool Max>
[[gnu::always_inline]] inline void suffix_best(V8& v, V8& p) {
    auto newer = [](V8 a, V8 b) { return Order<Max>::better(a, b); };
    step(v, p, __builtin_shufflevector(v, v, 1, 2, 3, 4, 5, 6, 7, 7),
         __builtin_shufflevector(p, p, 1, 2, 3, 4, 5, 6, 7, 7), newer);
    step(v, p, __builtin_shufflevector(v, v, 2, 3, 4, 5, 6, 7, 6, 7),
         __builtin_shufflevector(p, p, 2, 3, 4, 5, 6, 7, 6, 7), newer);
    step(v, p, __builtin_shufflevector(v, v, 4, 5, 6, 7, 4, 5, 6, 7),
         __builtin_shufflevector(p, p, 4, 5, 6, 7, 4, 5, 6, 7), newer);
}

template <class V, bool Max>
[[gnu::always_inline]] inline void scan(const double* __restrict x, size_t L, size_t n,
                                        double* __restrict buf, double* __restrict out) {
    using O = Order<Max>;
    constexpr size_t W = kLanes<V>;
    // Tails of the current and the next block: best values and positions.
    double* cv = buf;
    double* cp = buf + n;
    double* nv = buf + 2 * n;
    double* np = buf + 3 * n;
    auto tails = [&](size_t b, double* tv, double* tp) {
        Pair a{O::worst, static_cast<double>(b + n - 1)};  // best of the values scanned
        // The values [b + j - U, b + j) as one vector of U lanes.
        auto vector_step = [&]<class U>(size_t j) __attribute__((always_inline)) {
            U v = values<Max, U>(x + b + j - kLanes<U>);
            U p = lane_positions<U>() + static_cast<double>(b + j - kLanes<U>);
            suffix_best<Max>(v, p);
            // The carry is newer: it wins only when strictly better.
            const auto keep = O::better(U{} + a[0], v);
            store(tv + j - kLanes<U>, select(keep, U{} + a[0], v));
            store(tp + j - kLanes<U>, select(keep, U{} + a[1], p));
            // The carry advances from lane 0 alone: a short dependent chain.
            const Pair first{v[0], p[0]};
            a = pick(pair_better<Max>(a, first), a, first);
        };
        // From the block end: first the piece that leaves the rest a whole
        // number of vectors from the block start, so that the heads below
        // read every stored vector exactly (see fused_window_sums).
        size_t j = n;
        for (; j % 4 != 0; --j) {
            const Pair c{value1<Max>(x[b + j - 1]), static_cast<double>(b + j - 1)};
            a = pick(pair_better<Max>(a, c), a, c);
            tv[j - 1] = a[0];
            tp[j - 1] = a[1];
        }
        if constexpr (W > 4) {
            if (j % W != 0) {
                vector_step.template operator()<V4>(j);
                j -= 4;
            }
        }
        for (; j >= W; j -= W) vector_step.template operator()<V>(j);
    };
    const size_t m = L - n + 1;
    tails(0, cv, cp);
    for (size_t b0 = 0; b0 < m; b0 += n) {
        prefetch_ahead(x, L, b0, n);
        const size_t nb = b0 + n;
        const size_t cnt = std::min(n, m - b0);  // windows starting in this block
        // Window b0 + u is the tail from b0 + u and the head [nb, nb + u).
        // The head's best so far; its position is only used once a value of
        // the head has been taken (the tail wins every tie).
        Pair h{O::worst, 0.0};
        // Windows u0 .. u0 + U - 1 in one vector: lane k holds the value at
        // nb + u0 + k - 1, the newest of its window's head (none for u = 0).
        auto vector_step = [&]<class U>(size_t u0) __attribute__((always_inline)) {
            constexpr size_t UW = kLanes<U>;
            const U pos = lane_positions<U>() + (static_cast<double>(nb + u0) - 1.0);
            U v = values<Max, U>(x + nb + u0 - 1);
            if (u0 == 0) v = with_first(v, O::worst);
            U p = pos;
            prefix_best<Max>(v, p);
            const Pair last{v[UW - 1], p[UW - 1]};
            const auto keep = O::at_least(U{} + h[0], v);  // the carry is older
            v = select(keep, U{} + h[0], v);
            p = select(keep, U{} + h[1], p);
            h = pick(pair_at_least<Max>(h, last), h, last);
            const auto from_head = O::better(v, load<U>(cv + u0));
            const U r = select(from_head, p, load<U>(cp + u0)) - (pos + (1.0 - static_cast<double>(n)));
            store(out + b0 + u0, r);
        };
        auto one = [&](size_t u) {
            if (u > 0) {
                const Pair c{value1<Max>(x[nb + u - 1]), static_cast<double>(nb + u - 1)};
                h = pick(pair_better<Max>(c, h), c, h);
            }
            const Pair tail{cv[u], cp[u]};
            const Pair best = pick(pair_better<Max>(h, tail), h, tail);
            out[b0 + u] = best[1] - static_cast<double>(b0 + u);
        };
        size_t u = 0;
        for (; u + W <= cnt; u += W) vector_step.template operator()<V>(u);
        if constexpr (W > 4) {
            if (u + 4 <= cnt) {
                vector_step.template operator()<V4>(u);
                u += 4;
            }
        }
        for (; u < cnt; ++u) one(u);
        if (nb < m) {
            tails(nb, nv, np);
            std::swap(cv, nv);
            std::swap(cp, np);
        }
    }
}

#if ALVORA_ISA_LEVEL >= 2

// Eight consecutive blocks side by side, one per lane: a plain sequential
// scan in every lane (a comparison and two blends per step, no shuffles
// along the scan), the values brought into lanes by 8 x 8 transposes.
// Handles the windows of whole groups of eight blocks whose following blocks
// are complete and returns how many windows that is; scan() does the rest.
template <bool Max>
size_t lane_scan(const double* x, size_t L, size_t n,
                                                    double* buf, double* out) {
    constexpr int kBetter = Max ? _CMP_GT_OQ : _CMP_LT_OQ;   // strictly better
    constexpr int kAtLeast = Max ? _CMP_GE_OQ : _CMP_LE_OQ;  // as good or better
    const __m512d worst = _mm512_set1_pd(Order<Max>::worst);
    const __m512d nan_as = _mm512_set1_pd(Order<Max>::nan_as);
    const __m512d lane_start = detail::lanes::block_offsets(n);
    double* tv = buf;            // [u][lane]: best value of the tail from u
    double* tp = buf + 8 * n;    // its position
    double* res = buf + 16 * n;  // [u][lane]: the result of window u
    size_t b = 0;                // first block of the group
    for (; (b + 9) * n <= L; b += 8) {
        const double* base = x + b * n;
        prefetch_ahead(x, L, b * n, 9 * n);
        __m512d cv = worst, cp = _mm512_setzero_pd();
        auto tail_step = [&](__m512d v, size_t u) __attribute__((always_inline)) {
            v = _mm512_mask_mov_pd(v, _mm512_cmp_pd_mask(v, v, _CMP_UNORD_Q), nan_as);
            const __m512d pos = _mm512_add_pd(lane_start, _mm512_set1_pd(double(b * n + u)));
            const __mmask8 take = _mm512_cmp_pd_mask(v, cv, kAtLeast);  // older wins ties
            cv = _mm512_mask_mov_pd(cv, take, v);
            cp = _mm512_mask_mov_pd(cp, take, pos);
            _mm512_storeu_pd(tv + 8 * u, cv);
            _mm512_storeu_pd(tp + 8 * u, cp);
        };
        size_t u = n;
        for (; u >= 8; u -= 8) {
            __m512d r[8], c[8];
            for (size_t l = 0; l < 8; ++l) r[l] = _mm512_loadu_pd(base + l * n + u - 8);
            detail::lanes::transpose8(r, c);
            for (int j = 7; j >= 0; --j) tail_step(c[j], u - 8 + j);
        }
        for (; u > 0; --u) tail_step(detail::lanes::column(base + u - 1, n), u - 1);
        // Window u of each lane's block adds the head [next block, + u): the
        // value at q = u - 1 of the next block joins window u.
        __m512d hv = worst, hp = _mm512_setzero_pd();
        auto finish = [&](size_t w) __attribute__((always_inline)) {
            const __m512d start = _mm512_add_pd(lane_start, _mm512_set1_pd(double(b * n + w)));
            const __mmask8 from_head = _mm512_cmp_pd_mask(hv, _mm512_loadu_pd(tv + 8 * w), kBetter);
            const __m512d p = _mm512_mask_mov_pd(_mm512_loadu_pd(tp + 8 * w), from_head, hp);
            _mm512_storeu_pd(res + 8 * w, _mm512_sub_pd(p, start));
        };
        auto head_step = [&](__m512d v, size_t q) __attribute__((always_inline)) {
            v = _mm512_mask_mov_pd(v, _mm512_cmp_pd_mask(v, v, _CMP_UNORD_Q), nan_as);
            const __mmask8 take = _mm512_cmp_pd_mask(v, hv, kBetter);  // the head is newer
            hv = _mm512_mask_mov_pd(hv, take, v);
            hp = _mm512_mask_mov_pd(
                hp, take, _mm512_add_pd(lane_start, _mm512_set1_pd(double((b + 1) * n + q))));
            finish(q + 1);
        };
        finish(0);
        const double* next = base + n;
        size_t q = 0;
        for (; q + 8 <= n - 1; q += 8) {
            __m512d r[8], c[8];
            for (size_t l = 0; l < 8; ++l) r[l] = _mm512_loadu_pd(next + l * n + q);
            detail::lanes::transpose8(r, c);
            for (int j = 0; j < 8; ++j) head_step(c[j], q + j);
        }
        for (; q < n - 1; ++q) head_step(detail::lanes::column(next + q, n), q);
        detail::lanes::store_results(res, n, out + b * n);
    }
    return b * n;
}

#endif  // ALVORA_ISA_LEVEL >= 2

// Whether the series holds `value` (an infinity here).
template <class V>
[[gnu::always_inline]] inline bool holds(const double* x, size_t L, double value) {
    constexpr size_t W = kLanes<V>;
    Mask<V> hit{};
    size_t i = 0;
    for (; i + W <= L; i += W) hit |= load<V>(x + i) == value;
    bool any = false;
    for (size_t k = 0; k < W; ++k) any |= hit[k] != 0;
    for (; i < L; ++i) any |= x[i] == value;
    return any;
}

// Whether the series holds a NaN and a value equal to `inf`.
bool nan_and_value(const double* x, size_t L, double inf) {
    if (!holds<VW>(x, L, inf)) return false;
    for (size_t i = 0; i < L; ++i)
        if (x[i] != x[i]) return true;
    return false;
}

}  // namespace

// Four lanes at least: the carry between vectors is a dependent chain, one
// link per vector.
using W4 = std::conditional_t<kWide, V8, V4>;

bool first_extreme_positions(const double* x, size_t L, size_t n, bool largest, double* out) {
    if (n < 4) return false;
    PackedScratch<double> buf(24 * n);
    size_t done = 0;
#if ALVORA_ISA_LEVEL >= 2
    done = (largest ? lane_scan<true> : lane_scan<false>)(x, L, n, buf.data(), out);
#endif
    if (done < L - n + 1) {
        if (largest)
            scan<W4, true>(x + done, L - done, n, buf.data(), out + done);
        else
            scan<W4, false>(x + done, L - done, n, buf.data(), out + done);
    }
    // Checked after the scan, with the series in the cache; the rare series
    // it fails on are done again by the caller's general path.
    return !nan_and_value(x, L, largest ? kInf : -kInf);
}

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
