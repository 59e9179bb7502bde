// Window products that reach zero, infinity or NaN, settled by what the
// window holds (see product_edges.hpp).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>

#include "alvora/rolling/packed_sums.hpp"
#include "alvora/rolling/product_edges.hpp"
#include "alvora/rolling/rowwise.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMax = std::numeric_limits<double>::max();

// Vectors of at most 32 bytes (two registers at the baseline would have
// their comparisons taken lane by lane; GCC's AddressSanitizer does not keep
// the 64-byte alignment of spilled AVX-512 vectors, a fault in sanitized runs).
using V = std::conditional_t<ALVORA_ISA_LEVEL >= 1, V4, V2>;
using Bits = Mask<V>;
constexpr std::size_t W = kLanes<V>;

// Magnitudes and tests of one value or a vector of them: a vector test sets
// all bits of the lanes that pass.
inline double magnitude(double v) {
    return std::fabs(v);
}
inline V magnitude(V v) {
    return (V)((Bits)v & ~(Bits)(-V{}));
}  // -V{}: the sign bits
inline V splat(V, double c) {
    return V{} + c;
}
inline double splat(double, double c) {
    return c;
}
// Zero, infinite or NaN: the results a block scan may have got wrong.
inline bool at_edge(double v) {
    return !(std::fabs(v) > 0.0) | !(std::fabs(v) <= kMax);
}
inline Bits at_edge(V v) {
    const V a = magnitude(v);
    return ~((a > V{}) & (a <= splat(v, kMax)));
}
// Whether a test passed in any lane: halves folded together down to two.
template <class B>
bool any(B b) {
    if constexpr (std::is_same_v<B, bool>) {
        return b;
    } else if constexpr (sizeof(B) == 16) {
        return (b[0] | b[1]) != 0;
    } else if constexpr (sizeof(B) == 32) {
        return any(__builtin_shufflevector(b, b, 0, 1) | __builtin_shufflevector(b, b, 2, 3));
    } else {
        return any(__builtin_shufflevector(b, b, 0, 1, 2, 3) |
                   __builtin_shufflevector(b, b, 4, 5, 6, 7));
    }
}

// The first position from `at` on whose value passes `test` (L if none):
// the first value alone, then four vectors a test, one, value by value.
template <class Test>
std::size_t next_where(const double* x, std::size_t at, std::size_t L, Test test) {
    if (at < L && test(x[at])) return at;  // often the very next one
    for (; at + 4 * W <= L; at += 4 * W)
        if (any(test(load<V>(x + at)) | test(load<V>(x + at + W)) | test(load<V>(x + at + 2 * W)) |
                test(load<V>(x + at + 3 * W))))
            break;
    for (; at + W <= L; at += W)
        if (any(test(load<V>(x + at)))) break;
    while (at < L && !test(x[at])) ++at;
    return at;
}

// The next position at or after i passing `test`, for i that never decrease.
template <class Test>
struct Next {
    const double* x;
    std::size_t L;
    Test test;
    std::size_t at = 0;
    bool known = false;
    std::size_t from(std::size_t i) {
        if (!known || at < i) at = next_where(x, i, L, test);
        known = true;
        return at;
    }
};
template <class Test>
Next<Test> next(const double* x, std::size_t L, Test test) {
    return {x, L, test, 0, false};
}

// What one window holds: counts of NaN, infinities, zeros and negative signs,
// and bounds on log2 of the product of its finite nonzero values.
struct Census {
    long long nan = 0, infinite = 0, zero = 0, negative = 0;
    long long log2_low = 0, log2_high = 0;  // 2^low <= |product| < 2^high

    void count(double v, long long s) {
        negative += s * std::signbit(v);
        if (std::isnan(v)) {
            nan += s;
        } else if (std::isinf(v)) {
            infinite += s;
        } else if (v == 0.0) {
            zero += s;
        } else {
            const auto field =
                static_cast<long long>((std::bit_cast<std::uint64_t>(v) >> 52) & 0x7ff);
            log2_low += s * (field != 0 ? field - 1023 : -1074);  // subnormals reach 2^-1074
            log2_high += s * (field != 0 ? field - 1022 : -1022);
        }
    }

    double product(const double* w, std::size_t n) const {
        const double sign = negative % 2 != 0 ? -1.0 : 1.0;
        if (nan > 0 || (infinite > 0 && zero > 0)) return kNaN;
        if (zero > 0) return sign * 0.0;
        if (infinite > 0 || log2_low >= 1024) return sign * kInf;
        if (log2_high <= -1075) return sign * 0.0;  // below half the least subnormal
        return rowwise::product(w, n);              // near the edges: value by value
    }
};

// A census of window `at`, moved along by sliding while that costs less than
// counting afresh: the moves over a whole series cost O(L + n).
struct SlidingCensus {
    const double* x;
    std::size_t n;
    Census c;
    std::size_t at = 0;
    bool live = false;
    const Census& of(std::size_t i) {
        if (live && i - at < n) {
            for (; at < i; ++at) {
                c.count(x[at], -1);
                c.count(x[at + n], 1);
            }
        } else {
            c = Census{};
            for (std::size_t j = i; j < i + n; ++j) c.count(x[j], 1);
            at = i;
            live = true;
        }
        return c;
    }
};

}  // namespace

// Whether no product of up to n values of x can leave the normal range of
// doubles: then the scans meet no overflow or underflow on the way, and their
// products are the windows' (NaN, infinities and zeros included). Largest
// and smallest magnitudes by the machine's max and min, which pass over NaN;
// an infinity fails the test, which is then left to the settling. Zeros are
// passed over as one less than their bits: NaN.
bool products_stay_normal(const double* x, std::size_t L, std::size_t n) {
    auto larger = [](V h, V a) { return a > h ? a : h; };
    auto smaller = [](V l, V a) {
        const V below = (V)((Bits)a - 1);  // the next magnitude down; zero: NaN
        return below < l ? below : l;
    };
    const V one = splat(V{}, 1.0);
    V h0 = one, h1 = one, h2 = one, h3 = one, l0 = one, l1 = one, l2 = one, l3 = one;  // no waits
    std::size_t i = 0;
    for (; i + 4 * W <= L; i += 4 * W) {
        const V a0 = magnitude(load<V>(x + i)), a1 = magnitude(load<V>(x + i + W));
        const V a2 = magnitude(load<V>(x + i + 2 * W)), a3 = magnitude(load<V>(x + i + 3 * W));
        h0 = larger(h0, a0), h1 = larger(h1, a1), h2 = larger(h2, a2), h3 = larger(h3, a3);
        l0 = smaller(l0, a0), l1 = smaller(l1, a1), l2 = smaller(l2, a2), l3 = smaller(l3, a3);
    }
    for (; i + W <= L; i += W) {
        const V a = magnitude(load<V>(x + i));
        h0 = larger(h0, a);
        l0 = smaller(l0, a);
    }
    const V hi = larger(larger(h0, h1), larger(h2, h3));
    auto least = [](V a, V b) { return a < b ? a : b; };
    const V lo = least(least(l0, l1), least(l2, l3));
    double h = 1.0, l = 1.0;
    for (std::size_t k = 0; k < W; ++k) {
        h = hi[k] > h ? hi[k] : h;
        l = lo[k] < l ? lo[k] : l;
    }
    for (; i < L; ++i) {
        const double a = std::fabs(x[i]);
        if (a > h) h = a;
        if (a < l && a != 0.0) l = a;
    }
    const double nd = static_cast<double>(n);  // a margin of a few powers of two for rounding
    return nd * std::log2(h) < 1020.0 && nd * -std::log2(l) < 1020.0;
}

// Most such windows are settled by the nearest NaN, infinity, zero or value
// below (above) one in magnitude: NaN spreads through any product; a zero
// and no infinity make a zero with the signs the scan gave it; partial
// products of values all at least one in magnitude never exceed the whole,
// so their overflow is the window's (and underflow likewise below one). The
// rest are counted.
void settle_edge_products(const double* x, std::size_t L, std::size_t n, double* out) {
    if (n <= 2 || products_stay_normal(x, L, n)) return;  // one product of two is IEEE's own
    const std::size_t m = L - n + 1;
    auto nan = next(x, L, [](auto v) { return v != v; });
    auto inf = next(x, L, [](auto v) { return magnitude(v) == splat(v, kInf); });
    auto zero = next(x, L, [](auto v) { return v == splat(v, 0.0); });
    auto below_one = next(x, L, [](auto v) { return magnitude(v) < splat(v, 1.0); });
    auto above_one = next(x, L, [](auto v) { return magnitude(v) > splat(v, 1.0); });
    SlidingCensus census{x, n, Census{}, 0, false};
    std::size_t settled_to = 0;  // windows below it are settled
    auto settle = [&](std::size_t i) {
        const double v = out[i];
        const std::size_t end = i + n;  // the window is [i, end)
        if (const std::size_t p = nan.from(i); p < end) {
            settled_to = p + 1;  // windows i .. p hold that NaN: their products are NaN
            return;
        }
        bool right;
        if (v != v) {
            right = inf.from(i) < end && zero.from(i) < end;
        } else if (v == 0.0) {
            right = zero.from(i) < end;
            if (const std::size_t p = above_one.from(i); !right && p >= end) {
                settled_to = p - n + 1;  // no window before p - n + 1 holds a value above one
                return;
            }
        } else {
            right = inf.from(i) < end;
            if (const std::size_t p = below_one.from(i); !right && p >= end) {
                settled_to = p - n + 1;  // nor one below one
                return;
            }
        }
        if (!right) out[i] = census.of(i).product(x + i, n);
    };
    auto edge = [](auto v) { return at_edge(v); };
    for (std::size_t i = next_where(out, 0, m, edge); i < m;
         i = next_where(out, std::max(i + 1, settled_to), m, edge))
        settle(i);
}

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
