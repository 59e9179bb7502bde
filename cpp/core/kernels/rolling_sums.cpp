// Sums, products and weighted averages over sliding windows (block scans).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "alvora/rolling/blocks.hpp"
#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/level.hpp"
#include "alvora/rolling/means.hpp"
#include "alvora/rolling/packed_sums.hpp"
#include "alvora/rolling/power_sums.hpp"
#include "alvora/rolling/prefetch.hpp"
#include "alvora/rolling/product_edges.hpp"
#include "alvora/rolling/rowwise.hpp"
#include "alvora/rolling/short.hpp"

#if ALVORA_ISA_LEVEL >= 2
#include "alvora/rolling/lanes.hpp"
#endif

namespace alvora::rolling::ALVORA_ISA_NS {

namespace {

using detail::block_scan;

// Plain sums (or products) of the window values; T is the accumulator type.
template <class In, class Acc, bool Multiply>
struct Fold {
    using State = Acc;
    const In* x;
    Acc* out;
    State zero() const { return Multiply ? Acc(1) : Acc(0); }
    int anchor(size_t) const { return 0; }
    void add(State& s, size_t pos) const {
        if constexpr (Multiply)
            s *= static_cast<Acc>(x[pos]);
        else
            s += static_cast<Acc>(x[pos]);
    }
    void add_tail(State& s, size_t pos, size_t, int) const { add(s, pos); }
    void add_head(State& s, size_t pos, size_t, int) const { add(s, pos); }
    void emit(size_t i, const State& tail, const State& head, size_t) {
        if constexpr (Multiply)
            out[i] = tail * head;
        else
            out[i] = tail + head;
    }
    size_t L;
    void ahead(size_t b0, size_t n) const { detail::prefetch_ahead(x, L, b0, n); }
};

// Exponential weights beta^(e - p) relative to the window end e: tails are
// weighted relative to their block end, heads by the recursion V = beta V + x.
struct EmaFold {
    using State = double;
    const double* x;
    const double* powers;  // powers[t] = beta^t, t < n
    double alpha;
    double beta;
    double* out;
    State zero() const { return 0.0; }
    int anchor(size_t) const { return 0; }
    void add_tail(State& s, size_t pos, size_t t, int) const { s += powers[t] * x[pos]; }
    void add_head(State& s, size_t pos, size_t, int) const { s = beta * s + x[pos]; }
    void emit(size_t i, const State& tail, const State& head, size_t head_len) {
        out[i] = alpha * (powers[head_len] * tail + head);
    }
};

// Plain window sums (or products, with Op = Times), times `scale` when Scale
// is set (means: times 1 / n, within an ulp of the quotient). One loop per
// block runs the head scan of the next block (finishing this block's windows
// straight into out) beside that block's tail scan (two independent chains),
// a vector of values per step with the partial sums formed inside the
// vector. Tails live in two n-entry buffers that stay in the first-level cache.
// Anchored (sums with Scale): window means taken as c + (sum of x - c) / n
// with c the last value of the block holding the window's start, a value
// inside the window, so the sums stay small whatever the level of the
// series; NaN where a NaN or an infinity reached the window.
template <class V, bool Scale, class Op = detail::Plus, bool Anchored = false>
[[gnu::always_inline]] inline void fused_window_sums(const double* __restrict x, size_t L, size_t n,
                                                     double* __restrict cur, double* __restrict nxt,
                                                     double* __restrict out, double scale) {
    constexpr size_t W = detail::kLanes<V>;
    using detail::load;
    using detail::store;
    using detail::V4;
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    double c = 0.0;  // the anchor of the current block's windows
    auto fin = [scale, &c](auto s) {
        if constexpr (Anchored) {
            using T = decltype(s);
            return s - s == T{} ? (s * scale) + c : T{} + kNaN;
        } else {
            static_cast<void>(c);  // the anchor serves anchored means only
            return Scale ? s * scale : s;
        }
    };
    // Suffix sums of block [b, b + n) into t[0 .. n), vectors from the end;
    // the running total is the only dependent chain: one operation per vector.
    auto tails = [&](size_t b, double* t) {
        const double tc = Anchored ? x[b + n - 1] : 0.0;
        auto value = [tc](auto v) { return Anchored ? v - tc : v; };
        double a = Op::identity;
        detail::tail_pieces<V>(
            n,
            [&]<class U>(size_t j) __attribute__((always_inline)) {
                constexpr size_t UW = detail::kLanes<U>;
                const U s = detail::lane_suffix<Op>(value(load<U>(x + b + j - UW)));
                store(t + j - UW, Op::op(a - U{}, s));  // a in every lane (a - 0 keeps -0)
                a = Op::op(a, s[0]);
            },
            [&](size_t j)
                __attribute__((always_inline)) { t[j - 1] = a = Op::op(a, value(x[b + j - 1])); });
    };
    const size_t m = L - n + 1;
    tails(0, cur);
    for (size_t b0 = 0; b0 < m; b0 += n) {
        detail::prefetch_ahead(x, L, b0, n);
        const size_t nb = b0 + n;
        const size_t cnt = std::min(n, m - b0);
        if constexpr (Anchored) c = x[nb - 1];
        auto value = [c](auto v) { return Anchored ? v - c : v; };
        out[b0] = fin(cur[0]);
        const bool full = nb < m;    // the next block holds window starts
        const size_t len = cnt - 1;  // heads to add: windows b0 + 1 .. b0 + cnt - 1
        double hs = Op::identity;
        size_t t = 0;
        // The tails were stored a vector at a time from the block end; the
        // first few windows go one by one so that every vector read of them
        // below covers exactly one of those stores (a read straddling two
        // recent stores waits for both to reach the cache).
        for (const size_t t0 = std::min(len, (n - 1) % W); t < t0; ++t) {
            hs = Op::op(hs, value(x[nb + t]));
            out[b0 + t + 1] = fin(Op::op(cur[t + 1], hs));
        }
        for (; t + W <= len; t += W) {
            const V h = detail::lane_prefix<Op>(value(load<V>(x + nb + t)));
            store(out + b0 + t + 1, fin(Op::op(load<V>(cur + t + 1), Op::op(hs - V{}, h))));
            hs = Op::op(hs, h[W - 1]);
        }
        for (; t < len; ++t) {
            hs = Op::op(hs, value(x[nb + t]));
            out[b0 + t + 1] = fin(Op::op(cur[t + 1], hs));
        }
        if (full) {
            tails(nb, nxt);
            std::swap(cur, nxt);
        }
    }
}

// The kernels of the scan, at this level's vector width.
void window_sums(const double* x, size_t L, size_t n, double* tails, double* out, double scale) {
    fused_window_sums<detail::VW, false>(x, L, n, tails, tails + n, out, scale);
}
void window_means(const double* x, size_t L, size_t n, double* tails, double* out, double scale) {
    fused_window_sums<detail::VW, true>(x, L, n, tails, tails + n, out, scale);
}
void window_products(const double* x, size_t L, size_t n, double* tails, double* out,
                     double scale) {
    fused_window_sums<detail::VW, false, detail::Times>(x, L, n, tails, tails + n, out, scale);
}
void anchored_means(const double* x, size_t L, size_t n, double* tails, double* out, double scale) {
    fused_window_sums<detail::VW, true, detail::Plus, true>(x, L, n, tails, tails + n, out, scale);
}

// Extremes by the same scans: the machine's max (min) drops or passes a NaN
// depending on the operand order, but a window without a NaN never meets
// one (its tail and head lie inside it); windows holding one are the
// caller's to mark.
struct Largest {
    static constexpr double identity = -std::numeric_limits<double>::infinity();
    template <class T>
    [[gnu::always_inline]] static T op(T a, T b) {
        return detail::select(a > b, a, b);
    }
};
struct Smallest {
    static constexpr double identity = std::numeric_limits<double>::infinity();
    template <class T>
    [[gnu::always_inline]] static T op(T a, T b) {
        return detail::select(a < b, a, b);
    }
};

void window_max(const double* x, size_t L, size_t n, double* t, double* out, double) {
    fused_window_sums<detail::VW, false, Largest>(x, L, n, t, t + n, out, 1.0);
}
void window_min(const double* x, size_t L, size_t n, double* t, double* out, double) {
    fused_window_sums<detail::VW, false, Smallest>(x, L, n, t, t + n, out, 1.0);
}

// Weighted averages and slopes with eight blocks side by side (lanes.hpp),
// the same sums as fused_wma and fused_slope, lane by lane.
#if ALVORA_ISA_LEVEL >= 2

struct WmaLanes : detail::lanes::Plus {
    static constexpr int F = 2;  // sums of x and of (p - c) x, c the block end
    double nd;
    __m512d scale;
    void start(const double*, size_t) {}
    void tail(__m512d v, size_t u, __m512d* f) {
        f[0] = v;
        f[1] = _mm512_mul_pd(v, _mm512_set1_pd(static_cast<double>(u) + 1.0 - nd));
    }
    void head(__m512d v, size_t q, __m512d* f) {
        f[0] = v;
        f[1] = _mm512_mul_pd(v, _mm512_set1_pd(static_cast<double>(q) + 1.0));
    }
    __m512d finish(const __m512d* s, size_t u) {
        const __m512d off = _mm512_set1_pd(nd - static_cast<double>(u));  // c - i + 1
        return _mm512_mul_pd(_mm512_add_pd(s[1], _mm512_mul_pd(off, s[0])), scale);
    }
};

struct SlopeLanes : detail::lanes::Plus {
    static constexpr int F = 2;  // sums of d = y - y_c and of (p - c) d
    double nd, sumx, inv_divisor;
    __m512d yc;
    void start(const double* block, size_t n) { yc = detail::lanes::column(block + n - 1, n); }
    void tail(__m512d v, size_t u, __m512d* f) {
        f[0] = _mm512_sub_pd(v, yc);
        f[1] = _mm512_mul_pd(f[0], _mm512_set1_pd(static_cast<double>(u) + 1.0 - nd));
    }
    void head(__m512d v, size_t q, __m512d* f) {
        f[0] = _mm512_sub_pd(v, yc);
        f[1] = _mm512_mul_pd(f[0], _mm512_set1_pd(static_cast<double>(q) + 1.0));
    }
    __m512d finish(const __m512d* s, size_t u) {
        const __m512d off = _mm512_set1_pd(nd - 1.0 - static_cast<double>(u));  // c - i
        const __m512d num = _mm512_sub_pd(
            _mm512_mul_pd(s[0], _mm512_set1_pd(sumx)),
            _mm512_mul_pd(_mm512_set1_pd(nd), _mm512_add_pd(s[1], _mm512_mul_pd(off, s[0]))));
        const __m512d r = _mm512_mul_pd(num, _mm512_set1_pd(inv_divisor));
        const __mmask8 finite =
            _mm512_cmp_pd_mask(_mm512_sub_pd(s[0], s[0]), _mm512_setzero_pd(), _CMP_EQ_OQ);
        return _mm512_mask_mov_pd(_mm512_set1_pd(std::numeric_limits<double>::quiet_NaN()), finite,
                                  r);
    }
};

// Anchored means (c + sum(x - c) / n, c the block end; NaN where a NaN or an
// infinity reached the window). (Plain sums, products and extremes gain
// nothing from lanes: their in-vector scans are as cheap as the transposes.)
struct AnchoredMeanLanes : detail::lanes::Plus {
    static constexpr int F = 1;
    __m512d scale, c;
    void start(const double* block, size_t n) { c = detail::lanes::column(block + n - 1, n); }
    void tail(__m512d v, size_t, __m512d* f) { f[0] = _mm512_sub_pd(v, c); }
    void head(__m512d v, size_t, __m512d* f) { f[0] = _mm512_sub_pd(v, c); }
    __m512d finish(const __m512d* s, size_t) {
        const __mmask8 finite =
            _mm512_cmp_pd_mask(_mm512_sub_pd(s[0], s[0]), _mm512_setzero_pd(), _CMP_EQ_OQ);
        return _mm512_mask_mov_pd(_mm512_set1_pd(std::numeric_limits<double>::quiet_NaN()), finite,
                                  _mm512_add_pd(c, _mm512_mul_pd(s[0], scale)));
    }
};

template <class P>
size_t simple_lanes(const double* x, size_t L, size_t n, double* buf, double* out, double scale) {
    P p{};
    if constexpr (requires { p.scale; }) p.scale = _mm512_set1_pd(scale);
    return detail::lanes::block_sums(x, L, n, buf, out, p);
}

size_t wma_lanes(const double* x, size_t L, size_t n, double* buf, double* out) {
    const double nd = static_cast<double>(n);
    WmaLanes p{{}, nd, _mm512_set1_pd(2.0 / (nd * (nd + 1.0)))};
    return detail::lanes::block_sums(x, L, n, buf, out, p);
}

size_t slope_lanes(const double* y, size_t L, size_t n, double* buf, double* out) {
    const double nd = static_cast<double>(n);
    const double sumx = nd * (nd - 1.0) / 2.0;
    const double sumxsqr = nd * (nd - 1.0) * (2.0 * nd - 1.0) / 6.0;
    SlopeLanes p{{}, nd, sumx, 1.0 / (sumx * sumx - nd * sumxsqr), _mm512_setzero_pd()};
    return detail::lanes::block_sums(y, L, n, buf, out, p);
}

#endif  // ALVORA_ISA_LEVEL >= 2

using LanesFn = size_t (*)(const double*, size_t, size_t, double*, double*, double);
using FusedFn = void (*)(const double*, size_t, size_t, double*, double*, double);

// The windows of whole groups of eight blocks in lanes (when given) where the
// level has 512-bit vectors, the rest (and everything elsewhere) by the
// fused scans.
void lanes_then_fused(const double* x, size_t L, size_t n, double* out, double scale, LanesFn lanes,
                      FusedFn fused) {
    detail::PackedScratch<double> scratch(16 * n);  // lanes of one feature, or two tails
    const size_t done =
        lanes != nullptr && detail::kWide ? lanes(x, L, n, scratch.data(), out, scale) : 0;
    if (done < L - n + 1) fused(x + done, L - done, n, scratch.data(), out + done, scale);
}

#if ALVORA_ISA_LEVEL >= 2
constexpr LanesFn kAnchoredMeanLanes = simple_lanes<AnchoredMeanLanes>;
#else
constexpr LanesFn kAnchoredMeanLanes = nullptr;
#endif

}  // namespace

void detail::window_extremes(const double* x, size_t L, size_t n, bool largest, double* out) {
    if (largest)
        lanes_then_fused(x, L, n, out, 1.0, nullptr, window_max);
    else
        lanes_then_fused(x, L, n, out, 1.0, nullptr, window_min);
}

void detail::anchored_window_means(const double* x, size_t L, size_t n, double* out) {
    lanes_then_fused(x, L, n, out, 1.0 / static_cast<double>(n), kAnchoredMeanLanes,
                     anchored_means);
}

namespace {

// pw[n - 1 + k] = beta^k for |k| < n (beta^(-k) stays below e^2 for every n,
// so weights relative to a point inside the window are well scaled), and
// scale[r] = alpha beta^r. Kept for the last window length of the thread: the
// engine calls one kernel with one window for every instrument.
struct EmaWeights {
    size_t n = 0;
    std::vector<double> pw, scale;
};

const EmaWeights& ema_weights(size_t n) {
    thread_local EmaWeights w;
    if (w.n == n) return w;
    const double alpha = 2.0 / (static_cast<double>(n) + 1.0);
    const double beta = 1.0 - alpha;
    w.pw.resize(2 * n - 1);
    w.scale.resize(n);
    for (size_t k = 0; k < 2 * n - 1; ++k)
        w.pw[k] = std::pow(beta, static_cast<double>(k) - static_cast<double>(n - 1));
    for (size_t r = 0; r < n; ++r) w.scale[r] = alpha * w.pw[n - 1 + r];
    w.n = n;
    return w;
}

// Exponential averages as block sums of beta^(c - p) x_p, c the block
// boundary: window i (ending at e = c + r, r = i mod n) is
// alpha beta^r times its sum.
void weighted_ema(const double* x, size_t L, size_t n, const double* pw, const double* scale,
                  double* ws, double* out) {
    auto anchor = [n](size_t c) { return n - 1 + c; };
    auto feat = [x, pw](size_t pos, size_t base) {
        return std::array<double, 1>{pw[base - pos] * x[pos]};
    };
    detail::packed_block_sums<double, 1>(L, n, anchor, feat, ws, detail::Ahead1{x, L});
    const size_t m = L - n + 1;
    for (size_t b0 = 0; b0 < m; b0 += n) {
        const size_t cnt = std::min(n, m - b0);
        for (size_t r = 0; r < cnt; ++r) out[b0 + r] = scale[r] * ws[b0 + r];
    }
}

// Integer window sums (Multiply false) or products: unsigned arithmetic wraps
// modulo 2^64 like numpy's int64 reductions.
template <bool Multiply>
void wrapping_fold(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    std::vector<std::uint64_t> tmp(out.size());
    Fold<std::int64_t, std::uint64_t, Multiply> f{x.data(), tmp.data(), x.size()};
    block_scan(x.size(), n, f);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::int64_t>(tmp[i]);
}

}  // namespace

void sum(std::span<const double> x, size_t n, std::span<double> out) {
    if (n <= detail::kShortWindow) return detail::short_sum(x.data(), n, out.data(), out.size());
    lanes_then_fused(x.data(), x.size(), n, out.data(), 1.0, nullptr, window_sums);
}

void sum(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    wrapping_fold<false>(x, n, out);
}

void product(std::span<const double> x, size_t n, std::span<double> out) {
    if (n >= 4) {
        lanes_then_fused(x.data(), x.size(), n, out.data(), 1.0, nullptr, window_products);
    } else {
        Fold<double, double, true> f{x.data(), out.data(), x.size()};
        block_scan(x.size(), n, f);
    }
    detail::settle_edge_products(x.data(), x.size(), n, out.data());  // zero, inf and NaN results
}

void product(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    wrapping_fold<true>(x, n, out);
}

void ma(std::span<const double> x, size_t n, std::span<double> out) {
    if (n <= detail::kShortWindow) return detail::short_mean(x.data(), n, out.data(), out.size());
    lanes_then_fused(x.data(), x.size(), n, out.data(), 1.0 / static_cast<double>(n), nullptr,
                     window_means);
}

void ema(std::span<const double> x, size_t n, std::span<double> out) {
    if (n < 16) {
        // Short blocks: the recursion over heads costs less than the packed
        // scan's per-block work.
        const double alpha = 2.0 / (static_cast<double>(n) + 1.0);
        const double beta = 1.0 - alpha;
        std::vector<double> powers(n);
        for (size_t t = 0; t < n; ++t) powers[t] = std::pow(beta, static_cast<double>(t));
        EmaFold f{x.data(), powers.data(), alpha, beta, out.data()};
        return block_scan(x.size(), n, f);
    }
    const EmaWeights& w = ema_weights(n);
    detail::PackedScratch<double> scratch(detail::packed_windows(x.size()));
    weighted_ema(x.data(), x.size(), n, w.pw.data(), w.scale.data(), scratch.data(), out.data());
}

namespace {

using detail::V2;
using detail::V4;

// Weighted averages in one pass per block like the plain sums: the tails of
// a block carry {x, (p - c) x, NaN flag} with c the block's last position,
// the heads of the next block the same with weights p - c = 1, 2, ...; window
// i = c - r (r < n) weighs by (p - i + 1) = (p - c) + (c - i + 1). Tails live
// in three pairs of n-entry buffers (tails). Returns whether a window without
// a NaN came out non-finite (an infinity, or split sums that overflowed): those
// are left for the definition. Needs n >= 4.
// Without Flags the NaN counts are left out: for series without infinities
// and too small to overflow, a window's sums are NaN exactly when it holds a
// NaN, and the weighted sum carries the NaN through.
template <class V, bool Flags>
[[gnu::always_inline]] inline bool fused_wma(const double* __restrict x, size_t L, size_t n,
                                             double* __restrict tails, double* __restrict out) {
    constexpr size_t W = detail::kLanes<V>;
    using Bits = detail::Mask<V>;
    const V zero{}, nan4 = zero + std::numeric_limits<double>::quiet_NaN();
    const V lane = detail::lane_positions<V>();
    const Bits one_bits = (Bits)(zero + 1.0);
    auto load4 = [](const double* p) { return detail::load<V>(p); };
    auto store4 = [](double* p, V v) { detail::store(p, v); };
    auto flag = [one_bits](V w) { return (V)((w != w) & one_bits); };
    const double nd = static_cast<double>(n);
    const double scale = 2.0 / (nd * (nd + 1.0));
    double* cur = tails;
    double* nxt = tails + 3 * n;
    // Suffix sums of block [b, b + n) into t[0 .. n), t[n .. 2n), t[2n .. 3n).
    auto scan_tails = [&](size_t b, double* t) __attribute__((always_inline)) {
        double a0 = 0.0, a1 = 0.0, an = 0.0;
        // The values [b + j - U, b + j) as one vector of U lanes.
        auto step = [&]<class U>(size_t j) __attribute__((always_inline)) {
            constexpr size_t UW = detail::kLanes<U>;
            const U w = detail::load<U>(x + b + j - UW);
            const U wt =
                detail::lane_positions<U>() + (static_cast<double>(j) - (UW - 1.0) - nd);  // p - c
            const U s0 = detail::lane_suffix_sums(w), s1 = detail::lane_suffix_sums(w * wt);
            detail::store(t + j - UW, (U{} + a0) + s0);
            detail::store(t + n + j - UW, (U{} + a1) + s1);
            a0 += s0[0];
            a1 += s1[0];
            if constexpr (Flags) {
                const U sn = detail::lane_suffix_sums((U)((w != w) & (detail::Mask<U>)(U{} + 1.0)));
                detail::store(t + 2 * n + j - UW, (U{} + an) + sn);
                an += sn[0];
            }
        };
        detail::tail_pieces<V>(n, step, [&](size_t j) __attribute__((always_inline)) {
            const double v = x[b + j - 1];
            t[j - 1] = a0 += v;
            t[n + j - 1] = a1 += (static_cast<double>(j) - nd) * v;
            if constexpr (Flags) t[2 * n + j - 1] = an += v != v ? 1.0 : 0.0;
        });
    };
    detail::Mask<V> pending{};
    bool pending1 = false;
    auto finish1 = [&](double s0, double s1, double cnt, double off) {
        if constexpr (Flags) {
            if (cnt > 0.0) return std::numeric_limits<double>::quiet_NaN();
        }
        const double r = (s1 + off * s0) * scale;
        if constexpr (Flags) pending1 |= r - r != 0.0;
        return r;
    };
    const size_t m = L - n + 1;
    scan_tails(0, cur);
    for (size_t b0 = 0; b0 < m; b0 += n) {
        const size_t nb = b0 + n;
        const size_t len = std::min(n, m - b0) - 1;
        detail::prefetch_ahead(x, L, b0, n);
        out[b0] = finish1(cur[0], cur[n], Flags ? cur[2 * n] : 0.0, nd);
        double h0 = 0.0, h1 = 0.0, hn = 0.0;
        auto one = [&](size_t t) {
            const double v = x[nb + t];
            h0 += v;
            h1 += (static_cast<double>(t) + 1.0) * v;
            if constexpr (Flags) hn += v != v ? 1.0 : 0.0;
            out[b0 + t + 1] =
                finish1(cur[t + 1] + h0, cur[n + t + 1] + h1, Flags ? cur[2 * n + t + 1] + hn : 0.0,
                        nd - 1.0 - static_cast<double>(t));
        };
        size_t t = 0;
        // Vector reads of the tails then match the vector stores that wrote
        // them (see fused_window_sums).
        for (const size_t t0 = std::min(len, (n - 1) % W); t < t0; ++t) one(t);
        for (; t + W <= len; t += W) {
            const V v = load4(x + nb + t);
            const V p0 = detail::lane_prefix_sums(v);
            const V p1 = detail::lane_prefix_sums(v * (lane + (static_cast<double>(t) + 1.0)));
            const V s0 = load4(cur + t + 1) + ((zero + h0) + p0);
            const V s1 = load4(cur + n + t + 1) + ((zero + h1) + p1);
            h0 += p0[W - 1];
            h1 += p1[W - 1];
            const V off = (nd - 1.0 - static_cast<double>(t)) - lane;  // c - i + 1
            const V r = (s1 + off * s0) * scale;
            if constexpr (Flags) {
                const V pn = detail::lane_prefix_sums(flag(v));
                const V cnt = load4(cur + 2 * n + t + 1) + ((zero + hn) + pn);
                hn += pn[W - 1];
                const detail::Mask<V> has_nan = cnt > zero;
                pending |= ~has_nan & (r - r != zero);
                store4(out + b0 + t + 1, has_nan ? nan4 : r);
            } else {
                store4(out + b0 + t + 1, r);
            }
        }
        for (; t < len; ++t) one(t);
        if (nb < m) {
            scan_tails(nb, nxt);
            std::swap(cur, nxt);
        }
    }
    long long any = 0;
    for (size_t k = 0; k < W; ++k) any |= pending[k];
    return pending1 || any != 0;
}

// Largest magnitude among the values that are not NaN (infinity if any).
// Four running maxima: one would make every step wait for the previous.
template <class V>
[[gnu::always_inline]] inline double max_magnitude(const double* x, size_t L) {
    constexpr size_t W = detail::kLanes<V>;
    using Bits = detail::Mask<V>;
    const Bits magnitude = ~(Bits)(-V{});  // all bits but the sign (-V{} is -0.0)
    auto abs = [magnitude](V v) { return (V)((Bits)v & magnitude); };
    V m0{}, m1{}, m2{}, m3{};
    size_t i = 0;
    for (; i + 4 * W <= L; i += 4 * W) {
        const V a0 = abs(detail::load<V>(x + i)), a1 = abs(detail::load<V>(x + i + W));
        const V a2 = abs(detail::load<V>(x + i + 2 * W)), a3 = abs(detail::load<V>(x + i + 3 * W));
        m0 = a0 > m0 ? a0 : m0;
        m1 = a1 > m1 ? a1 : m1;
        m2 = a2 > m2 ? a2 : m2;
        m3 = a3 > m3 ? a3 : m3;
    }
    m0 = m1 > m0 ? m1 : m0;
    m2 = m3 > m2 ? m3 : m2;
    m0 = m2 > m0 ? m2 : m0;
    double r = 0.0;
    for (size_t k = 0; k < W; ++k) r = m0[k] > r ? m0[k] : r;
    for (; i < L; ++i) r = std::fabs(x[i]) > r ? std::fabs(x[i]) : r;
    return r;
}

double max_magnitude(const double* x, size_t L) {
    return max_magnitude<detail::VW>(x, L);
}

// Slopes in one pass per block like the weighted averages, with values taken
// relative to the block's last value y_c (inside every window that combines
// the block's tails with the next block's heads): sums of d = y - y_c and
// (p - c) d. Tails live in two pairs of n-entry buffers. Needs n >= 4.
template <class V>
[[gnu::always_inline]] inline void fused_slope(const double* __restrict y, size_t L, size_t n,
                                               double* __restrict tails, double* __restrict out) {
    constexpr size_t W = detail::kLanes<V>;
    const V zero{}, nan4 = zero + std::numeric_limits<double>::quiet_NaN();
    const V lane = detail::lane_positions<V>();
    auto load4 = [](const double* p) { return detail::load<V>(p); };
    auto store4 = [](double* p, V v) { detail::store(p, v); };
    // Positions t = 0 .. n - 1; sums of t and t^2 in closed form.
    const double nd = static_cast<double>(n);
    const double sumx = nd * (nd - 1.0) / 2.0;
    const double sumxsqr = nd * (nd - 1.0) * (2.0 * nd - 1.0) / 6.0;
    const double divisor = sumx * sumx - nd * sumxsqr;
    const double inv_divisor = 1.0 / divisor;  // a division costs several multiplications
    double* cur = tails;
    double* nxt = tails + 2 * n;
    auto scan_tails = [&](size_t b, double* t) __attribute__((always_inline)) {
        const double yc = y[b + n - 1];
        double a0 = 0.0, a1 = 0.0;
        // The values [b + j - U, b + j) as one vector of U lanes.
        auto step = [&]<class U>(size_t j) __attribute__((always_inline)) {
            constexpr size_t UW = detail::kLanes<U>;
            const U w = detail::load<U>(y + b + j - UW) - yc;
            const U wt =
                detail::lane_positions<U>() + (static_cast<double>(j) - (UW - 1.0) - nd);  // p - c
            const U s0 = detail::lane_suffix_sums(w), s1 = detail::lane_suffix_sums(w * wt);
            detail::store(t + j - UW, (U{} + a0) + s0);
            detail::store(t + n + j - UW, (U{} + a1) + s1);
            a0 += s0[0];
            a1 += s1[0];
        };
        detail::tail_pieces<V>(n, step, [&](size_t j) __attribute__((always_inline)) {
            const double v = y[b + j - 1] - yc;
            t[j - 1] = a0 += v;
            t[n + j - 1] = a1 += (static_cast<double>(j) - nd) * v;
        });
    };
    // off = c - i: the sum of t d over the window is s1 + off s0.
    auto finish1 = [&](double s0, double s1, double off) {
        const double r = (s0 * sumx - nd * (s1 + off * s0)) * inv_divisor;
        return s0 - s0 == 0.0 ? r : std::numeric_limits<double>::quiet_NaN();
    };
    const size_t m = L - n + 1;
    scan_tails(0, cur);
    for (size_t b0 = 0; b0 < m; b0 += n) {
        const size_t nb = b0 + n;
        const size_t len = std::min(n, m - b0) - 1;
        const double yc = y[nb - 1];
        detail::prefetch_ahead(y, L, b0, n);
        out[b0] = finish1(cur[0], cur[n], nd - 1.0);
        double h0 = 0.0, h1 = 0.0;
        auto one = [&](size_t t) {
            const double v = y[nb + t] - yc;
            h0 += v;
            h1 += (static_cast<double>(t) + 1.0) * v;
            out[b0 + t + 1] =
                finish1(cur[t + 1] + h0, cur[n + t + 1] + h1, nd - 2.0 - static_cast<double>(t));
        };
        size_t t = 0;
        for (const size_t t0 = std::min(len, (n - 1) % W); t < t0; ++t) one(t);
        for (; t + W <= len; t += W) {
            const V v = load4(y + nb + t) - yc;
            const V p0 = detail::lane_prefix_sums(v);
            const V p1 = detail::lane_prefix_sums(v * (lane + (static_cast<double>(t) + 1.0)));
            const V s0 = load4(cur + t + 1) + ((zero + h0) + p0);
            const V s1 = load4(cur + n + t + 1) + ((zero + h1) + p1);
            h0 += p0[W - 1];
            h1 += p1[W - 1];
            const V off = (nd - 2.0 - static_cast<double>(t)) - lane;
            const V r = (s0 * sumx - nd * (s1 + off * s0)) * inv_divisor;
            store4(out + b0 + t + 1, s0 - s0 == zero ? r : nan4);
        }
        for (; t < len; ++t) one(t);
        if (nb < m) {
            scan_tails(nb, nxt);
            std::swap(cur, nxt);
        }
    }
}

bool wma_flagged(const double* x, size_t L, size_t n, double* t, double* o) {
    return fused_wma<detail::VW, true>(x, L, n, t, o);
}
void wma_plain(const double* x, size_t L, size_t n, double* t, double* o) {
    fused_wma<detail::VW, false>(x, L, n, t, o);
}
void fused_slope(const double* y, size_t L, size_t n, double* t, double* o) {
    fused_slope<detail::VW>(y, L, n, t, o);
}

#if ALVORA_ISA_LEVEL < 2
// Only the AVX-512 level runs blocks in lanes.
size_t wma_lanes(const double*, size_t, size_t, double*, double*) {
    return 0;
}
size_t slope_lanes(const double*, size_t, size_t, double*, double*) {
    return 0;
}
#endif

}  // namespace

void wma(std::span<const double> x, size_t n, std::span<double> out) {
    // sum over the window of (p - i + 1) x_p = sum (p - c) x_p + (c - i + 1) sum x_p,
    // with c the window's block boundary: both sums are plain window sums.
    if (n >= 4) {
        detail::PackedScratch<double> scratch(24 * n);
        // Sums of n values weighted up to n stay finite below this bound.
        const double nd = static_cast<double>(n);
        const double safe = std::numeric_limits<double>::max() / (4.0 * nd * nd);
        // The plain scan first, the check after it while the series is in
        // the cache (read cold, the check would cost more than the scan).
        const size_t done = wma_lanes(x.data(), x.size(), n, scratch.data(), out.data());
        if (done < out.size())
            wma_plain(x.data() + done, x.size() - done, n, scratch.data(), out.data() + done);
        if (max_magnitude(x.data(), x.size()) < safe) return;
        if (!wma_flagged(x.data(), x.size(), n, scratch.data(), out.data())) return;
        // Non-finite results of windows without a NaN: weighted value by value.
        for (size_t i = 0; i < out.size(); ++i)
            if (out[i] - out[i] != 0.0) out[i] = rowwise::wma(x.data() + i, n);
        return;
    }
    const double nd = static_cast<double>(n);
    const double scale = 2.0 / (nd * (nd + 1.0));
    // Windows holding an infinity are weighted value by value, as defined
    // (the split weights could meet inf * 0).
    const double* xs = x.data();
    auto feat = [xs](size_t pos, size_t c, double (&v)[3]) {
        v[0] = xs[pos];
        v[1] = (static_cast<double>(pos) - static_cast<double>(c)) * xs[pos];
        v[2] = xs[pos] != xs[pos] ? 1.0 : 0.0;
    };
    const auto ws = detail::block_sums<3>(x.size(), n, feat, true);
    const double *s0 = ws.s[0].data(), *s1 = ws.s[1].data(), *nan = ws.s[2].data(),
                 *c = ws.anchor.data();
    for (size_t i = 0; i < out.size(); ++i) {
        if (nan[i] > 0.0)
            out[i] = std::numeric_limits<double>::quiet_NaN();
        else if (s0[i] - s0[i] != 0.0)
            out[i] = rowwise::wma(xs + i, n);
        else
            out[i] = (s1[i] + (c[i] - static_cast<double>(i) + 1.0) * s0[i]) * scale;
    }
}

void slope(std::span<const double> y, size_t n, std::span<double> out) {
    if (n >= 4) {
        detail::PackedScratch<double> scratch(24 * n);
        const size_t done = slope_lanes(y.data(), y.size(), n, scratch.data(), out.data());
        if (done < out.size())
            fused_slope(y.data() + done, y.size() - done, n, scratch.data(), out.data() + done);
        return;
    }
    // Positions t = 0 .. n - 1; sums of t and t^2 in closed form.
    const double nd = static_cast<double>(n);
    const double sumx = nd * (nd - 1.0) / 2.0;
    const double sumxsqr = nd * (nd - 1.0) * (2.0 * nd - 1.0) / 6.0;
    const double divisor = sumx * sumx - nd * sumxsqr;
    // Values are taken relative to a value inside the window: the slope does
    // not change, and a large level does not swamp the numerator.
    const double* ys = y.data();
    auto feat = [ys](size_t pos, size_t c, double (&v)[2]) {
        const double d = ys[pos] - ys[c];
        v[0] = d;
        v[1] = (static_cast<double>(pos) - static_cast<double>(c)) * d;
    };
    const auto ws = detail::block_sums<2>(y.size(), n, feat, true);
    const double *s0 = ws.s[0].data(), *s1 = ws.s[1].data(), *c = ws.anchor.data();
    for (size_t i = 0; i < out.size(); ++i) {
        const double st = s1[i] + (c[i] - static_cast<double>(i)) * s0[i];  // sum of t * y
        out[i] = s0[i] - s0[i] == 0.0 ? (s0[i] * sumx - nd * st) / divisor
                                      : std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace alvora::rolling::ALVORA_ISA_NS
