// Window sums of several features at once, the features of one value packed
// in vector registers.
//
// The block decomposition of blocks.hpp (tails of block k plus heads of block
// k + 1, no value ever removed from a total), with all features of a value
// held side by side in K vectors of the compiler's vector extension: one
// vector addition advances every feature. The scans add four values per
// dependent addition, and each head is added onto the tail written before.
//
// Sums land interleaved: out[i * K + k] holds vector k of window i. The scans
// are always inlined into the kernels of the calling level (see level.hpp).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "alvora/rolling/level.hpp"
#include "alvora/rolling/prefetch.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

// Windows the scan writes for a series of length L: m = L - n + 1 and n of
// slack (the tail scan of the last block runs past m). Times K entries.
inline std::size_t packed_windows(std::size_t L) {
    return L + 1;
}

// anchor(c): what the features of a block need from the block boundary
// position c (a position inside every window that uses it), taken once per
// block; feat(pos, anchor(c)) -> std::array<V, K>: the features of value pos.
// The combining operation of the scans: addition unless said otherwise.
// Any associative operation with an identity works (tails and heads are
// combined in the order older, newer).
struct Plus {
    static constexpr double identity = 0.0;
    template <class V>
    [[gnu::always_inline]] static V op(V a, V b) {
        return a + b;
    }
};

struct Times {
    static constexpr double identity = 1.0;
    template <class V>
    [[gnu::always_inline]] static V op(V a, V b) {
        return a * b;
    }
};

// Tag of the optional four-value form of feat: feat(pos, c, Four{}) returns
// the features of values pos .. pos + 3 (oldest first), cheaper than four
// calls where they can be formed in vectors.
struct Four {};

template <class Feat, class C>
[[gnu::always_inline]] inline auto features4(Feat& feat, std::size_t pos, const C& c) {
    if constexpr (requires { feat(pos, c, Four{}); }) {
        return feat(pos, c, Four{});
    } else {
        using F = decltype(feat(pos, c));
        return std::array<F, 4>{feat(pos, c), feat(pos + 1, c), feat(pos + 2, c), feat(pos + 3, c)};
    }
}

// ahead(b0, n) is called at the start of block b0 (see prefetch.hpp).
template <class V, int K, class Anchor, class Feat, class Op = Plus, class Ahead = NoPrefetch>
[[gnu::always_inline]] inline void packed_block_sums(std::size_t L, std::size_t n, Anchor anchor,
                                                     Feat feat, V* __restrict out,
                                                     Ahead ahead = {}) {
    const std::size_t m = L - n + 1;
    for (std::size_t b0 = 0; b0 < m; b0 += n) {
        ahead(b0, n);
        const std::size_t cnt = std::min(n, m - b0);
        const auto c = anchor(b0 + n - 1);
        // Tails [b0 + j, b0 + n), j from n - 1 down to 0.
        {
            V acc[K];
            for (int k = 0; k < K; ++k) acc[k] = V{} + Op::identity;
            std::size_t j = n;
            for (; j >= 4; j -= 4) {
                const auto q = features4(feat, b0 + j - 4, c);
                const std::array<V, K> v[4] = {q[3], q[2], q[1], q[0]};  // newest first
                V* dst = out + (b0 + j - 4) * K;
                for (int k = 0; k < K; ++k) {
                    const V g2 = Op::op(v[0][k], v[1][k]);
                    dst[3 * K + k] = Op::op(acc[k], v[0][k]);
                    dst[2 * K + k] = Op::op(acc[k], g2);
                    dst[K + k] = Op::op(acc[k], Op::op(g2, v[2][k]));
                    dst[k] = acc[k] = Op::op(acc[k], Op::op(g2, Op::op(v[2][k], v[3][k])));
                }
            }
            for (; j >= 1; --j) {
                const std::array<V, K> v = feat(b0 + j - 1, c);
                for (int k = 0; k < K; ++k)
                    out[(b0 + j - 1) * K + k] = acc[k] = Op::op(acc[k], v[k]);
            }
        }
        // Heads [b0 + n, b0 + n + t], t < cnt - 1, added onto window b0 + t + 1.
        if (cnt > 1) {
            const std::size_t h = b0 + n;
            const std::size_t len = cnt - 1;
            V acc[K];
            for (int k = 0; k < K; ++k) acc[k] = V{} + Op::identity;
            std::size_t t = 0;
            for (; t + 4 <= len; t += 4) {
                const auto v = features4(feat, h + t, c);
                V* dst = out + (b0 + 1 + t) * K;
                for (int k = 0; k < K; ++k) {
                    const V g2 = Op::op(v[0][k], v[1][k]);
                    dst[k] = Op::op(dst[k], Op::op(acc[k], v[0][k]));
                    dst[K + k] = Op::op(dst[K + k], Op::op(acc[k], g2));
                    const V g3 = Op::op(g2, v[2][k]);
                    dst[2 * K + k] = Op::op(dst[2 * K + k], Op::op(acc[k], g3));
                    acc[k] = Op::op(acc[k], Op::op(g2, Op::op(v[2][k], v[3][k])));
                    dst[3 * K + k] = Op::op(dst[3 * K + k], acc[k]);
                }
            }
            for (; t < len; ++t) {
                const std::array<V, K> v = feat(h + t, c);
                for (int k = 0; k < K; ++k) {
                    acc[k] = Op::op(acc[k], v[k]);
                    out[(b0 + 1 + t) * K + k] = Op::op(out[(b0 + 1 + t) * K + k], acc[k]);
                }
            }
        }
    }
}

// ---- finishing four windows at a time ----------------------------------------

// c - i for four consecutive windows i, c the last position of the block
// holding window i's start: n - 1 - (i mod n). Needs n >= 4 (one wrap per step).
struct AnchorOffsets {
    V4 k = {0.0, 1.0, 2.0, 3.0};  // i mod n
    double nd;
    explicit AnchorOffsets(double n) : nd(n) {}
    [[gnu::always_inline]] V4 get() const { return (nd - 1.0) - k; }
    [[gnu::always_inline]] void advance() {
        k += 4.0;
        k = select(k >= nd, k - nd, k);
    }
};

// Unaligned load and store of any vector width, free to alias the doubles
// they read: one unaligned vector move. (A memcpy of the vector's size may
// be expanded in 16-byte pieces through the stack, the wide reload then
// waiting on store forwarding; a vector type's own alignment attribute is
// dropped as a template argument and Clang may not honour it below the
// natural alignment, but a packed struct holds its member at any address.)
template <class V>
struct [[gnu::packed, gnu::may_alias]] Unaligned {
    V v;
};

template <class V>
[[gnu::always_inline]] inline V load(const double* p) {
    if constexpr (kHalves<V>)
        return {load<V2>(p), load<V2>(p + 2)};
    else
        return reinterpret_cast<const Unaligned<V>*>(p)->v;
}

template <class V>
[[gnu::always_inline]] inline void store(double* p, V v) {
    if constexpr (kHalves<V>) {
        store(p, v.lo);
        store(p + 2, v.hi);
    } else {
        reinterpret_cast<Unaligned<V>*>(p)->v = v;
    }
}

// Unaligned four-lane load and store.
[[gnu::always_inline]] inline V4 load4(const double* p) {
    return load<V4>(p);
}

[[gnu::always_inline]] inline void store4(double* p, V4 v) {
    store(p, v);
}

// {0, 1, 2, ...}: each lane's offset within the vector.
template <class V>
[[gnu::always_inline]] inline V lane_positions() {
    if constexpr (kHalves<V>) {
        return {0.0, 1.0, 2.0, 3.0};
    } else {
        V v;
        for (std::size_t k = 0; k < kLanes<V>; ++k) v[k] = static_cast<double>(k);
        return v;
    }
}


// In-vector scans under any operation with an identity (see Plus):
// lane k of lane_prefix holds v[0] op ... op v[k], of lane_suffix
// w[k] op ... op w[W - 1].
template <class Op>
[[gnu::always_inline]] inline V2 lane_prefix(V2 v) {
    return Op::op(v, __builtin_shufflevector(V2{} + Op::identity, v, 0, 2));
}
template <class Op>
[[gnu::always_inline]] inline V4 lane_prefix(V4 v) {
    const V4 id = V4{} + Op::identity;
    const V4 a = Op::op(v, shuffle<0, 4, 5, 6>(id, v));
    return Op::op(a, shuffle<0, 1, 4, 5>(id, a));
}
template <class Op>
[[gnu::always_inline]] inline V8 lane_prefix(V8 v) {
    const V8 id = V8{} + Op::identity;
    const V8 a = Op::op(v, __builtin_shufflevector(id, v, 0, 8, 9, 10, 11, 12, 13, 14));
    const V8 b = Op::op(a, __builtin_shufflevector(id, a, 0, 1, 8, 9, 10, 11, 12, 13));
    return Op::op(b, __builtin_shufflevector(id, b, 0, 1, 2, 3, 8, 9, 10, 11));
}
template <class Op>
[[gnu::always_inline]] inline V2 lane_suffix(V2 w) {
    return Op::op(w, __builtin_shufflevector(w, V2{} + Op::identity, 1, 2));
}
template <class Op>
[[gnu::always_inline]] inline V4 lane_suffix(V4 w) {
    const V4 id = V4{} + Op::identity;
    const V4 a = Op::op(w, shuffle<1, 2, 3, 4>(w, id));
    return Op::op(a, shuffle<2, 3, 4, 5>(a, id));
}
template <class Op>
[[gnu::always_inline]] inline V8 lane_suffix(V8 w) {
    const V8 id = V8{} + Op::identity;
    const V8 a = Op::op(w, __builtin_shufflevector(w, id, 1, 2, 3, 4, 5, 6, 7, 8));
    const V8 b = Op::op(a, __builtin_shufflevector(a, id, 2, 3, 4, 5, 6, 7, 8, 9));
    return Op::op(b, __builtin_shufflevector(b, id, 4, 5, 6, 7, 8, 9, 10, 11));
}

// Lane k: w[k] + ... + w[W - 1], and v[0] + ... + v[k].
template <class V>
[[gnu::always_inline]] inline V lane_suffix_sums(V w) {
    return lane_suffix<Plus>(w);
}
template <class V>
[[gnu::always_inline]] inline V lane_prefix_sums(V v) {
    return lane_prefix<Plus>(v);
}

// Walks a block's tail from its end (n values): whole vectors of V, then one
// of four lanes if four values or more are left, then single values.
// vec.template operator()<U>(j) takes the values [j - lanes of U, j), one(j)
// the value j - 1.
template <class V, class Vec, class One>
[[gnu::always_inline]] inline void tail_pieces(std::size_t n, Vec&& vec, One&& one) {
    std::size_t j = n;
    for (; j >= kLanes<V>; j -= kLanes<V>) vec.template operator()<V>(j);
    if constexpr (kLanes<V> > 4) {
        if (j >= 4) {
            vec.template operator()<V4>(j);
            j -= 4;
        }
    }
    for (; j >= 1; --j) one(j);
}

// Stores the first min(4, m - i) lanes of r at out + i.
[[gnu::always_inline]] inline void store4(double* out, std::size_t i, std::size_t m, V4 r) {
    if (i + 4 <= m) {
        store(out + i, r);
    } else {
        for (std::size_t e = 0; i + e < m; ++e) out[i + e] = r[e];
    }
}

// The sums of windows i .. i + 3, one vector per feature (windows past m - 1
// repeat the last one).
[[gnu::always_inline]] inline std::array<V4, 2> columns4(const V2* ws, std::size_t i,
                                                         std::size_t m) {
    auto at = [&](std::size_t e) { return ws[i + e < m ? i + e : m - 1]; };
    const V4 lo = join(at(0), at(1));
    const V4 hi = join(at(2), at(3));
    return {shuffle<0, 2, 4, 6>(lo, hi), shuffle<1, 3, 5, 7>(lo, hi)};
}

[[gnu::always_inline]] inline std::array<V4, 4> columns4(const V4* ws, std::size_t i,
                                                         std::size_t m) {
    auto at = [&](std::size_t e) { return ws[i + e < m ? i + e : m - 1]; };
    const V4 r0 = at(0), r1 = at(1), r2 = at(2), r3 = at(3);
    const V4 t0 = shuffle<0, 4, 2, 6>(r0, r1);
    const V4 t1 = shuffle<1, 5, 3, 7>(r0, r1);
    const V4 t2 = shuffle<0, 4, 2, 6>(r2, r3);
    const V4 t3 = shuffle<1, 5, 3, 7>(r2, r3);
    return {shuffle<0, 1, 4, 5>(t0, t2), shuffle<0, 1, 4, 5>(t1, t3), shuffle<2, 3, 6, 7>(t0, t2),
            shuffle<2, 3, 6, 7>(t1, t3)};
}

// Doubles on 64-byte boundaries: the scans address their buffers through
// vector pointers, and a compiler may take those for aligned to the vector
// (Clang emits aligned moves).
struct AlignedDelete {
    void operator()(double* p) const { ::operator delete[](p, std::align_val_t{64}); }
};
using AlignedDoubles = std::unique_ptr<double[], AlignedDelete>;

inline AlignedDoubles aligned_doubles(std::size_t count) {
    return AlignedDoubles(
        static_cast<double*>(::operator new[](count * sizeof(double), std::align_val_t{64})));
}

// Per-thread scratch for the packed sums, reused between calls; very long
// series get a buffer of their own so the cache stays small. Every entry
// read is written first.
template <class V>
class PackedScratch {
  public:
    explicit PackedScratch(std::size_t entries) {
        const std::size_t doubles = entries * (sizeof(V) / sizeof(double));
        if (doubles <= kKeep) {
            Cache& c = cached();
            if (c.size < doubles) {
                c.size = std::max(doubles, std::size_t{16384});
                c.data = aligned_doubles(c.size);
            }
            data_ = reinterpret_cast<V*>(c.data.get());
        } else {
            own_ = aligned_doubles(doubles);
            data_ = reinterpret_cast<V*>(own_.get());
        }
    }
    V* data() { return data_; }

  private:
    static constexpr std::size_t kKeep = std::size_t{1} << 18;
    struct Cache {
        AlignedDoubles data;
        std::size_t size = 0;
    };
    static Cache& cached() {
        thread_local Cache c;
        return c;
    }
    AlignedDoubles own_;
    V* data_ = nullptr;
};

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
