// The vector types of the kernels, and the operations on them that differ
// between a vector of the compiler's vector extension and a pair of halves.
//
// V2 and V8 are vectors of the compiler's vector extension (GCC and Clang).
// V4, four doubles, is one as well where the level has 256-bit registers; at
// the baseline it is a pair of 128-bit vectors with the same operations
// (Halves4 below): compilers lower a 256-bit extension vector on 128-bit
// registers piece by piece, but its comparisons, blends and shuffles lane by
// lane through the stack, several times slower than the same work on halves.
// Code written for four lanes uses select(), shuffle<...>(), join(),
// to_bits() and from_bits() where the vector extension has an operator or a
// builtin; they compile to the same instructions as those at the other levels.
#pragma once

#include <cstddef>
#include <type_traits>

#include "alvora/rolling/level.hpp"

// The vector types drop their element-alignment attribute as template
// arguments (harmless: see V2), and the wide ones pass only between inlined
// helpers (no ABI), also in sources compiled without the wide instructions.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wignored-attributes"
#pragma GCC diagnostic ignored "-Wpsabi"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

// Element alignment only: the buffers come from std::vector, and unaligned
// vector moves cost the same on aligned data.
using V2 = double __attribute__((vector_size(16), aligned(8)));
using V8 = double __attribute__((vector_size(64), aligned(8)));
using M2 = long long __attribute__((vector_size(16)));
using M8 = long long __attribute__((vector_size(64)));

// Comparison results of four lanes as two 128-bit halves.
struct Mask4Halves {
    M2 lo{}, hi{};
    [[gnu::always_inline]] long long operator[](std::size_t k) const {
        return k < 2 ? lo[k] : hi[k - 2];
    }
    [[gnu::always_inline]] friend Mask4Halves operator&(Mask4Halves a, Mask4Halves b) {
        return {a.lo & b.lo, a.hi & b.hi};
    }
    [[gnu::always_inline]] friend Mask4Halves operator|(Mask4Halves a, Mask4Halves b) {
        return {a.lo | b.lo, a.hi | b.hi};
    }
    [[gnu::always_inline]] friend Mask4Halves operator~(Mask4Halves a) { return {~a.lo, ~a.hi}; }
    [[gnu::always_inline]] Mask4Halves& operator|=(Mask4Halves b) { return *this = *this | b; }
    [[gnu::always_inline]] Mask4Halves& operator&=(Mask4Halves b) { return *this = *this & b; }
};

// Four doubles as two 128-bit vectors, lanes 0, 1 in lo and 2, 3 in hi (the
// memory layout of one 256-bit vector). Arithmetic and comparisons lane by
// lane, with a double standing for itself in every lane.
struct Halves4 {
    V2 lo{}, hi{};
    Halves4() = default;
    [[gnu::always_inline]] Halves4(V2 l, V2 h) : lo(l), hi(h) {}
    [[gnu::always_inline]] Halves4(double a, double b, double c, double d)
        : lo{a, b}, hi{c, d} {}
    [[gnu::always_inline]] double operator[](std::size_t k) const {
        return k < 2 ? lo[k] : hi[k - 2];
    }
    [[gnu::always_inline]] Halves4 operator-() const { return {-lo, -hi}; }

#define ALVORA_HALVES_ARITHMETIC(op)                                                        \
    [[gnu::always_inline]] friend Halves4 operator op(Halves4 a, Halves4 b) {               \
        return {a.lo op b.lo, a.hi op b.hi};                                                \
    }                                                                                       \
    [[gnu::always_inline]] friend Halves4 operator op(Halves4 a, double b) {                \
        return {a.lo op b, a.hi op b};                                                      \
    }                                                                                       \
    [[gnu::always_inline]] friend Halves4 operator op(double a, Halves4 b) {                \
        return {a op b.lo, a op b.hi};                                                      \
    }                                                                                       \
    [[gnu::always_inline]] Halves4& operator op##=(Halves4 b) { return *this = *this op b; } \
    [[gnu::always_inline]] Halves4& operator op##=(double b) { return *this = *this op b; }
    ALVORA_HALVES_ARITHMETIC(+)
    ALVORA_HALVES_ARITHMETIC(-)
    ALVORA_HALVES_ARITHMETIC(*)
    ALVORA_HALVES_ARITHMETIC(/)
#undef ALVORA_HALVES_ARITHMETIC

#define ALVORA_HALVES_COMPARISON(op)                                                \
    [[gnu::always_inline]] friend Mask4Halves operator op(Halves4 a, Halves4 b) {   \
        return {a.lo op b.lo, a.hi op b.hi};                                        \
    }                                                                               \
    [[gnu::always_inline]] friend Mask4Halves operator op(Halves4 a, double b) {    \
        return {a.lo op b, a.hi op b};                                              \
    }
    ALVORA_HALVES_COMPARISON(==)
    ALVORA_HALVES_COMPARISON(!=)
    ALVORA_HALVES_COMPARISON(<)
    ALVORA_HALVES_COMPARISON(<=)
    ALVORA_HALVES_COMPARISON(>)
    ALVORA_HALVES_COMPARISON(>=)
#undef ALVORA_HALVES_COMPARISON
};

#if ALVORA_ISA_LEVEL == 0
using V4 = Halves4;
#else
using V4 = double __attribute__((vector_size(32), aligned(8)));
#endif

// Whether this level has 512-bit vectors (and the kernels written for them).
inline constexpr bool kWide = ALVORA_ISA_LEVEL >= 2;

// The widest vector type of the level, the width of the scans written for
// any width: the only difference between the levels' versions of a kernel.
using VW = std::conditional_t<kWide, V8, std::conditional_t<ALVORA_ISA_LEVEL == 0, V2, V4>>;

// Number of doubles in a vector type.
template <class V>
inline constexpr std::size_t kLanes = sizeof(V) / sizeof(double);

template <class V>
inline constexpr bool kHalves = std::is_same_v<V, Halves4>;

// The integer vector of a vector's width: comparison results, bit masks.
template <class V>
struct MaskOf;
template <>
struct MaskOf<V2> {
    using type = M2;
};
template <>
struct MaskOf<Halves4> {
    using type = Mask4Halves;
};
#if ALVORA_ISA_LEVEL != 0
template <>
struct MaskOf<V4> {
    using type = long long __attribute__((vector_size(32)));
};
#endif
template <>
struct MaskOf<V8> {
    using type = M8;
};
template <class V>
using Mask = typename MaskOf<V>::type;

// Lane k: a[k] where m[k] is set, else b[k] (a plain choice for a bool).
template <class M, class V>
[[gnu::always_inline]] inline V select(M m, V a, V b) {
    if constexpr (kHalves<V>)
        return {m.lo ? a.lo : b.lo, m.hi ? a.hi : b.hi};
    else
        return m ? a : b;
}

// v with x in lane 0.
template <class V>
[[gnu::always_inline]] inline V with_first(V v, double x) {
    if constexpr (kHalves<V>) {
        v.lo[0] = x;
    } else {
        v[0] = x;
    }
    return v;
}

// The bits of a vector's lanes as integers, and back.
template <class V>
[[gnu::always_inline]] inline Mask<V> to_bits(V v) {
    if constexpr (kHalves<V>)
        return {(M2)v.lo, (M2)v.hi};
    else
        return (Mask<V>)v;
}
template <class V>
[[gnu::always_inline]] inline V from_bits(Mask<V> m) {
    if constexpr (kHalves<V>)
        return {(V2)m.lo, (V2)m.hi};
    else
        return (V)m;
}

// Lanes I... of the lanes of a followed by those of b (four-lane vectors),
// as __builtin_shufflevector(a, b, I...).
template <int I0, int I1, int I2, int I3, class V>
[[gnu::always_inline]] inline V shuffle(V a, V b) {
    if constexpr (kHalves<V>) {
        auto half = [&]<int I>() __attribute__((always_inline)) {
            static_assert(I >= 0 && I < 8);
            if constexpr (I < 2) return a.lo;
            else if constexpr (I < 4) return a.hi;
            else if constexpr (I < 6) return b.lo;
            else return b.hi;
        };
        auto pick = [&]<int J0, int J1>() __attribute__((always_inline)) {
            return __builtin_shufflevector(half.template operator()<J0>(),
                                           half.template operator()<J1>(), J0 % 2, 2 + J1 % 2);
        };
        return {pick.template operator()<I0, I1>(), pick.template operator()<I2, I3>()};
    } else {
        return __builtin_shufflevector(a, b, I0, I1, I2, I3);
    }
}

// Two vectors side by side as one of twice the width.
[[gnu::always_inline]] inline V4 join(V2 a, V2 b) {
#if ALVORA_ISA_LEVEL == 0
    return {a, b};
#else
    return __builtin_shufflevector(a, b, 0, 1, 2, 3);
#endif
}
[[gnu::always_inline]] inline V8 join(V4 a, V4 b) {
#if ALVORA_ISA_LEVEL == 0
    return V8{a[0], a[1], a[2], a[3], b[0], b[1], b[2], b[3]};
#else
    return __builtin_shufflevector(a, b, 0, 1, 2, 3, 4, 5, 6, 7);
#endif
}

// Square roots of four values, lane by lane: the core is compiled without
// errno for math functions, so this becomes vector instructions of the
// widest kind the level has.
[[gnu::always_inline]] inline V2 sqrt2(V2 x) {
    return V2{__builtin_sqrt(x[0]), __builtin_sqrt(x[1])};
}
[[gnu::always_inline]] inline V4 sqrt4(V4 x) {
#if ALVORA_ISA_LEVEL == 0
    return {sqrt2(x.lo), sqrt2(x.hi)};
#else
    V4 r;
    for (int k = 0; k < 4; ++k) r[k] = __builtin_sqrt(x[k]);
    return r;
#endif
}

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail

#pragma GCC diagnostic pop
