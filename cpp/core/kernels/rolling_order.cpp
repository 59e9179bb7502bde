// Extremes, their positions, ranks and counts over sliding windows.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include "alvora/rolling/blocks.hpp"
#include "alvora/rolling/extreme_positions.hpp"
#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/level.hpp"
#include "alvora/rolling/means.hpp"
#include "alvora/rolling/packed_sums.hpp"
#include "alvora/rolling/prefetch.hpp"

namespace alvora::rolling::ALVORA_ISA_NS {

namespace {

template <class T>
bool is_nan(T v) {
    if constexpr (std::is_floating_point_v<T>)
        return std::isnan(v);
    else
        return false;
}

// Extremes by block scans (see blocks.hpp): each partial keeps its extreme
// value, the position of its first occurrence, and the position of its first
// NaN. Tails grow backwards, so an equal value replaces the kept one (it is
// older); heads grow forwards and keep the older on ties. No branch depends
// on the data except the rare NaN.
constexpr size_t kNone = static_cast<size_t>(-1);

template <class T>
struct Extreme {
    T value;
    size_t pos;
    size_t nan;
};

template <class T, bool Max, class Emit>
struct ExtremeFold {
    using State = Extreme<T>;
    const T* x;
    Emit emit_fn;
    static constexpr T worst() {
        if constexpr (std::is_floating_point_v<T>)
            return Max ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::infinity();
        else
            return Max ? std::numeric_limits<T>::lowest() : std::numeric_limits<T>::max();
    }
    State zero() const { return {worst(), kNone, kNone}; }
    int anchor(size_t) const { return 0; }
    static bool better(T a, T b) { return Max ? a > b : a < b; }
    void add_tail(State& s, size_t pos, size_t, int) const {
        const T v = x[pos];
        if (is_nan(v)) s.nan = pos;  // the oldest NaN so far
        const bool take = !better(s.value, v) && !is_nan(v);
        s.value = take ? v : s.value;
        s.pos = take ? pos : s.pos;
    }
    void add_head(State& s, size_t pos, size_t, int) const {
        const T v = x[pos];
        if (is_nan(v) && s.nan == kNone) s.nan = pos;
        const bool take = better(v, s.value);
        s.value = take ? v : s.value;
        s.pos = take ? pos : s.pos;
    }
    void emit(size_t i, const State& tail, const State& head, size_t) {
        const size_t nan = tail.nan != kNone ? tail.nan : head.nan;
        // the tail is older: it wins ties
        const bool from_head = head.pos != kNone && better(head.value, tail.value);
        emit_fn(i, from_head ? head.pos : tail.pos, nan);
    }
};

template <class T, bool Max, class Emit>
void scan_extreme(std::span<const T> x, size_t n, Emit emit) {
    ExtremeFold<T, Max, Emit> f{x.data(), emit};
    detail::block_scan(x.size(), n, f);
}

template <class T, bool Max>
void extreme_value(std::span<const T> x, size_t n, std::span<T> out) {
    T* o = out.data();
    const T* xs = x.data();
    scan_extreme<T, Max>(x, n, [o, xs](size_t i, size_t best, size_t nan) {
        o[i] = nan != kNone ? xs[nan] : xs[best];
    });
}

// Extreme values of double windows: block scans (packed_sums.hpp) with the
// machine's max (min), and an exact integer prefix count of NaN values that
// marks the windows holding one. max/min pass a NaN on or drop it depending on
// the operand order; a window without NaN never meets one (its tail and head
// lie inside it), and the others are overwritten with NaN.
template <bool Max>
struct PlainExtreme {
    static constexpr double identity =
        Max ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    [[gnu::always_inline]] static double op(double a, double b) {
        // The form of the machines' max and min instructions (b when either is NaN).
        if constexpr (Max)
            return a > b ? a : b;
        else
            return a < b ? a : b;
    }
};

template <bool Max>
[[gnu::always_inline]] inline void extreme_scan(const double* x, size_t L, size_t n, double* ws,
                                                std::int64_t* nans, double* out) {
    auto anchor = [](size_t) { return 0; };
    auto feat = [x](size_t pos, int) { return std::array<double, 1>{x[pos]}; };
    detail::packed_block_sums<double, 1, decltype(anchor), decltype(feat), PlainExtreme<Max>,
                              detail::Ahead1>(L, n, anchor, feat, ws, detail::Ahead1{x, L});
    nans[0] = 0;
    for (size_t e = 0; e < L; ++e) nans[e + 1] = x[e] != x[e] ? 1 : 0;
    for (size_t e = 1; e <= L; ++e) nans[e] += nans[e - 1];
    const size_t m = L - n + 1;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (size_t i = 0; i < m; ++i) out[i] = nans[i + n] - nans[i] > 0 ? nan : ws[i];
}

void max_values(const double* x, size_t L, size_t n, double* ws, std::int64_t* nans, double* out) {
    extreme_scan<true>(x, L, n, ws, nans, out);
}
void min_values(const double* x, size_t L, size_t n, double* ws, std::int64_t* nans, double* out) {
    extreme_scan<false>(x, L, n, ws, nans, out);
}

template <class T, bool Max>
void extreme_position(std::span<const T> x, size_t n, std::span<double> out) {
    double* o = out.data();
    scan_extreme<T, Max>(x, n, [o](size_t i, size_t best, size_t nan) {
        o[i] = static_cast<double>((nan != kNone ? nan : best) - i);
    });
}

// below[i] += (x[i + j] <= newest[i]) over the older positions j; windows in
// the inner loop so the comparisons vectorise.
template <class T>
__attribute__((always_inline)) inline void count_le(const T* x, const T* newest,
                                                    std::int64_t* below, size_t cnt, size_t n) {
    for (size_t j = 0; j + 1 < n; ++j) {
        const T* xj = x + j;
        for (size_t i = 0; i < cnt; ++i) below[i] += xj[i] <= newest[i] ? 1 : 0;
    }
}

template <class V>
struct FourCounts {
    detail::Mask<V> a0{}, a1{}, a2{}, a3{};
};

// Minus the count of older values <= v0..v3 for four adjacent vectors of
// windows starting at x (window length n).
template <class V>
[[gnu::always_inline]] inline FourCounts<V> count_four(const double* x, V v0, V v1, V v2, V v3,
                                                       size_t n) {
    constexpr size_t W = detail::kLanes<V>;
    using detail::load;
    FourCounts<V> c;
    for (size_t j = 0; j + 1 < n; ++j) {
        const double* xj = x + j;
        c.a0 += load<V>(xj) <= v0;
        c.a1 += load<V>(xj + W) <= v1;
        c.a2 += load<V>(xj + 2 * W) <= v2;
        c.a3 += load<V>(xj + 3 * W) <= v3;
    }
    return c;
}

// The same for float series at the level's vector width: four vectors of
// windows with their counts in registers (a comparison gives -1 where it
// holds), the older values read straight from the series.
template <class V>
[[gnu::always_inline]] inline void count_le_vectors(const double* x, const double* newest,
                                                    std::int64_t* below, size_t cnt, size_t n) {
    constexpr size_t W = detail::kLanes<V>;
    using I = detail::Mask<V>;
    using detail::load;
    auto add = [below](size_t i, I a) {
        I b;
        std::memcpy(&b, below + i, sizeof b);
        b -= a;
        std::memcpy(below + i, &b, sizeof b);
    };
    size_t i = 0;
    for (; i + 4 * W <= cnt; i += 4 * W) {
        const V v0 = load<V>(newest + i), v1 = load<V>(newest + i + W),
                v2 = load<V>(newest + i + 2 * W), v3 = load<V>(newest + i + 3 * W);
        const auto [a0, a1, a2, a3] = count_four<V>(x + i, v0, v1, v2, v3, n);
        add(i, a0);
        add(i + W, a1);
        add(i + 2 * W, a2);
        add(i + 3 * W, a3);
    }
    for (; i + W <= cnt; i += W) {
        const V v = load<V>(newest + i);
        I a{};
        for (size_t j = 0; j + 1 < n; ++j) a += load<V>(x + i + j) <= v;
        add(i, a);
    }
    if (i < cnt) count_le(x + i, newest + i, below + i, cnt - i, n);
}

void count_le_f64(const double* x, const double* newest, std::int64_t* below, size_t cnt, size_t n) {
    count_le_vectors<detail::VW>(x, newest, below, cnt, n);
}

void count_le_i64(const std::int64_t* x, const std::int64_t* newest, std::int64_t* below, size_t cnt, size_t n) {
    count_le(x, newest, below, cnt, n);
}

// Ranks of whole groups of four vectors of windows, straight into out: the
// counts stay in registers (a comparison gives -1 where it holds) and become
// doubles exactly through the bits of 2^52 + count. Returns how many windows.
template <class V>
[[gnu::always_inline]] inline size_t rank_vectors(const double* x, size_t n, double* out,
                                                  size_t m) {
    constexpr size_t W = detail::kLanes<V>;
    using I = detail::Mask<V>;
    using detail::load;
    const double nd = static_cast<double>(n);
    const V two52 = V{} + 0x1p52, last = V{} + (nd - 1.0);
    const I bits52 = detail::to_bits(two52);
    auto finish = [&](V newest, I minus_count) {
        const V count = detail::from_bits<V>((I{} - minus_count) | bits52) - two52;
        // A NaN newest value sorts after everything; IEEE comparisons
        // already leave older NaNs out of a number's count.
        return detail::select(newest != newest, last, count) / nd;
    };
    const double* newest = x + n - 1;
    size_t i = 0;
    for (; i + 4 * W <= m; i += 4 * W) {
        const V v0 = load<V>(newest + i), v1 = load<V>(newest + i + W),
                v2 = load<V>(newest + i + 2 * W), v3 = load<V>(newest + i + 3 * W);
        const auto [a0, a1, a2, a3] = count_four<V>(x + i, v0, v1, v2, v3, n);
        detail::store(out + i, finish(v0, a0));
        detail::store(out + i + W, finish(v1, a1));
        detail::store(out + i + 2 * W, finish(v2, a2));
        detail::store(out + i + 3 * W, finish(v3, a3));
    }
    return i;
}

template <class T, class Count>
void rank_impl(std::span<const T> x, size_t n, std::span<double> out, Count count_fn) {
    constexpr size_t kChunk = 512;
    std::int64_t below[kChunk];
    const double nd = static_cast<double>(n);
    const T* newest = x.data() + n - 1;
    for (size_t i0 = 0; i0 < out.size(); i0 += kChunk) {
        const size_t cnt = std::min(kChunk, out.size() - i0);
        std::fill(below, below + cnt, 0);
        count_fn(x.data() + i0, newest + i0, below, cnt, n);
        for (size_t i = 0; i < cnt; ++i) {
            // A NaN newest value sorts after everything; IEEE comparisons
            // already leave older NaNs out of a number's count.
            const bool nan = is_nan(newest[i0 + i]);
            out[i0 + i] = (nan ? nd - 1.0 : static_cast<double>(below[i])) / nd;
        }
    }
}

// Counts of true values from an exact integer prefix count: flags in a
// vectorised pass, one dependent addition per value, vectorised differences.
template <class T>
[[gnu::always_inline]] inline void count_windows(const T* __restrict x, size_t L, size_t n,
                                                 std::int64_t* __restrict prefix,
                                                 std::int64_t* __restrict out) {
    // NaN != 0 holds, so NaN counts as true.
    prefix[0] = 0;
    for (size_t e0 = 0; e0 < L; e0 += 256) {
        detail::prefetch_ahead(x, L, e0, 256);
        const size_t end = std::min(L, e0 + 256);
        for (size_t e = e0; e < end; ++e) prefix[e + 1] = x[e] != T(0) ? 1 : 0;
    }
    for (size_t e = 1; e <= L; ++e) prefix[e] += prefix[e - 1];
    const size_t m = L - n + 1;
    for (size_t i = 0; i < m; ++i) out[i] = prefix[i + n] - prefix[i];
}

// The same for float series, a vector of values per step: the flags and
// their running count formed inside the vector, one dependent addition per
// vector for the count carried across.
template <class V>
[[gnu::always_inline]] inline void count_windows_f64(const double* __restrict x, size_t L, size_t n,
                                                     std::int64_t* __restrict prefix,
                                                     std::int64_t* __restrict out) {
    using I = detail::Mask<V>;  // 64-bit integer lanes
    constexpr size_t W = detail::kLanes<V>;
    prefix[0] = 0;
    std::int64_t carry = 0;
    size_t e = 0;
    for (; e + W <= L; e += W) {
        if (e % 256 == 0) detail::prefetch_ahead(x, L, e, 256);
        I f = -(I)(detail::load<V>(x + e) != 0.0);  // 1 where true; NaN != 0 holds
        if constexpr (W == 8) {
            const I zero{};
            f += __builtin_shufflevector(zero, f, 0, 8, 9, 10, 11, 12, 13, 14);
            f += __builtin_shufflevector(zero, f, 0, 1, 8, 9, 10, 11, 12, 13);
            f += __builtin_shufflevector(zero, f, 0, 1, 2, 3, 8, 9, 10, 11);
        } else if constexpr (W == 4) {
            const I zero{};
            f += __builtin_shufflevector(zero, f, 0, 4, 5, 6);
            f += __builtin_shufflevector(zero, f, 0, 1, 4, 5);
        } else {
            f += __builtin_shufflevector(I{}, f, 0, 2);
        }
        const I total = f + carry;
        std::memcpy(prefix + e + 1, &total, sizeof total);
        carry = total[W - 1];
    }
    for (; e < L; ++e) prefix[e + 1] = carry += x[e] != 0.0 ? 1 : 0;
    const size_t m = L - n + 1;
    for (size_t i = 0; i < m; ++i) out[i] = prefix[i + n] - prefix[i];
}

void count_f64(const double* x, size_t L, size_t n, std::int64_t* prefix, std::int64_t* out) {
    count_windows_f64<detail::VW>(x, L, n, prefix, out);
}
void count_i64(const std::int64_t* x, size_t L, size_t n, std::int64_t* prefix, std::int64_t* out) {
    count_windows(x, L, n, prefix, out);
}
void count_bool(const Bool* x, size_t L, size_t n, std::int64_t* prefix, std::int64_t* out) {
    count_windows(x, L, n, prefix, out);
}

// Per-thread prefix storage, reused between calls (very long series get
// their own).
class PrefixScratch {
  public:
    explicit PrefixScratch(size_t entries) {
        constexpr size_t kKeep = size_t{1} << 18;
        if (entries <= kKeep) {
            thread_local std::vector<std::int64_t> cached;
            if (cached.size() < entries) cached.resize(std::max(entries, size_t{8192}));
            data_ = cached.data();
        } else {
            own_.resize(entries);
            data_ = own_.data();
        }
    }
    std::int64_t* data() { return data_; }

  private:
    std::vector<std::int64_t> own_;
    std::int64_t* data_ = nullptr;
};

template <class T, class F>
void count_impl(std::span<const T> x, size_t n, std::span<std::int64_t> out, F kernel) {
    PrefixScratch prefix(x.size() + 1);
    kernel(x.data(), x.size(), n, prefix.data(), out.data());
}

}  // namespace

namespace {

// Sets the windows holding a NaN to NaN: every NaN reaches the windows that
// end within n - 1 values after it. Whole vectors without a NaN are skipped.
template <class V>
[[gnu::always_inline]] inline void mark_nan_windows(const double* x, size_t L, size_t n,
                                                    double* out) {
    constexpr size_t W = detail::kLanes<V>;
    const size_t m = L - n + 1;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    size_t done = 0;  // windows before this are marked where needed
    auto mark = [&](size_t p) {
        const size_t lo = std::max(done, p + 1 >= n ? p + 1 - n : 0);
        const size_t hi = std::min(p + 1, m);  // windows lo .. hi - 1 hold position p
        for (size_t i = lo; i < hi; ++i) out[i] = nan;
        done = std::max(done, hi);
    };
    size_t i = 0;
    for (; i + W <= L; i += W) {
        const auto bad = detail::load<V>(x + i) != detail::load<V>(x + i);
        long long any = 0;
        for (size_t k = 0; k < W; ++k) any |= bad[k];
        if (any != 0)
            for (size_t k = 0; k < W; ++k)
                if (bad[k] != 0) mark(i + k);
    }
    for (; i < L; ++i)
        if (x[i] != x[i]) mark(i);
}

// Extremes of float windows by the fused scans, NaN windows marked after.
bool fused_extremes(std::span<const double> x, size_t n, bool largest, std::span<double> out) {
    if (n < 4) return false;
    detail::window_extremes(x.data(), x.size(), n, largest, out.data());
    mark_nan_windows<detail::VW>(x.data(), x.size(), n, out.data());
    return true;
}

}  // namespace

void ts_min(std::span<const double> x, size_t n, std::span<double> out) {
    if (fused_extremes(x, n, false, out)) return;
    detail::PackedScratch<double> scratch(detail::packed_windows(x.size()));
    PrefixScratch nans(x.size() + 1);
    min_values(x.data(), x.size(), n, scratch.data(), nans.data(), out.data());
}
void ts_min(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    extreme_value<std::int64_t, false>(x, n, out);
}
void ts_min(std::span<const Bool> x, size_t n, std::span<Bool> out) {
    extreme_value<Bool, false>(x, n, out);
}
void ts_max(std::span<const double> x, size_t n, std::span<double> out) {
    if (fused_extremes(x, n, true, out)) return;
    detail::PackedScratch<double> scratch(detail::packed_windows(x.size()));
    PrefixScratch nans(x.size() + 1);
    max_values(x.data(), x.size(), n, scratch.data(), nans.data(), out.data());
}
void ts_max(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    extreme_value<std::int64_t, true>(x, n, out);
}
void ts_max(std::span<const Bool> x, size_t n, std::span<Bool> out) {
    extreme_value<Bool, true>(x, n, out);
}

void ts_argmin(std::span<const double> x, size_t n, std::span<double> out) {
    if (detail::first_extreme_positions(x.data(), x.size(), n, false, out.data())) return;
    extreme_position<double, false>(x, n, out);
}
void ts_argmin(std::span<const std::int64_t> x, size_t n, std::span<double> out) {
    extreme_position<std::int64_t, false>(x, n, out);
}
void ts_argmin(std::span<const Bool> x, size_t n, std::span<double> out) {
    extreme_position<Bool, false>(x, n, out);
}
void ts_argmax(std::span<const double> x, size_t n, std::span<double> out) {
    if (detail::first_extreme_positions(x.data(), x.size(), n, true, out.data())) return;
    extreme_position<double, true>(x, n, out);
}
void ts_argmax(std::span<const std::int64_t> x, size_t n, std::span<double> out) {
    extreme_position<std::int64_t, true>(x, n, out);
}
void ts_argmax(std::span<const Bool> x, size_t n, std::span<double> out) {
    extreme_position<Bool, true>(x, n, out);
}

void ts_rank(std::span<const double> x, size_t n, std::span<double> out) {
    const size_t done = rank_vectors<detail::VW>(x.data(), n, out.data(), out.size());
    if (done < out.size()) rank_impl(x.subspan(done), n, out.subspan(done), count_le_f64);
}
void ts_rank(std::span<const std::int64_t> x, size_t n, std::span<double> out) {
    rank_impl(x, n, out, count_le_i64);
}

void count(std::span<const double> x, size_t n, std::span<std::int64_t> out) {
    count_impl(x, n, out, count_f64);
}
void count(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    count_impl(x, n, out, count_i64);
}
void count(std::span<const Bool> x, size_t n, std::span<std::int64_t> out) {
    count_impl(x, n, out, count_bool);
}

}  // namespace alvora::rolling::ALVORA_ISA_NS
