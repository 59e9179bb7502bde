// The elementwise steps of an engine program and powers by a constant, at one
// instruction-set level (see alvora/engine/elementwise.hpp): plain loops the
// compiler vectorises with the level's registers. Helpers are written here
// rather than taken from the standard library, whose out-of-line copies could
// stand in for another level's at link time.
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#if defined(__SSE2__)
#include <immintrin.h>
#endif

#include "alvora/engine/elementwise.hpp"
#include "alvora/rolling/level.hpp"

namespace alvora::engine::ALVORA_ISA_NS {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Whole exponents up to this magnitude go by repeated squaring: a few
// roundings of half a unit in the last place each.
constexpr int kLargestWholeExponent = 16;
// Values per pass of the squaring and of the check that follows it.
constexpr std::size_t kChunk = 256;

inline double truth(double x) {
    return x != 0.0 ? 1.0 : 0.0;
}  // NaN counts as true

inline double sign_of(double x) {
    return x > 0 ? 1.0 : x < 0 ? -1.0 : x;
}  // NaN and zeros kept

// std::min and std::max, NaN when either is NaN.
inline double least(double x, double y) {
    return x != x || y != y ? kNaN : (y < x ? y : x);
}
inline double most(double x, double y) {
    return x != x || y != y ? kNaN : (x < y ? y : x);
}

template <class F>
void apply2(const double* __restrict a, const double* __restrict b, double ca, double cb,
            double* __restrict out, std::size_t n, F f) {
    if (a && b) {
        for (std::size_t t = 0; t < n; ++t) out[t] = f(a[t], b[t]);
    } else if (a) {
        for (std::size_t t = 0; t < n; ++t) out[t] = f(a[t], cb);
    } else {
        for (std::size_t t = 0; t < n; ++t) out[t] = f(ca, b[t]);
    }
}

// The base of the power: x, or |x| for the signed power.
template <bool Signed>
inline double base_of(double x) {
    return Signed ? std::fabs(x) : x;
}

// x ** m for a whole m (0 < |m| <= kLargestWholeExponent) by squaring, the
// powers of a chunk side by side: per value the products of the scalar loop
//   result = 1; for each bit of |m|, low first: if set, result *= b; b *= b
// in the same order, so every level rounds alike.
template <bool Signed>
void whole_power(const double* __restrict x, int whole, double* __restrict out, std::size_t n) {
    const unsigned m = static_cast<unsigned>(whole < 0 ? -whole : whole);
    double b[kChunk];
    for (std::size_t lo = 0; lo < n; lo += kChunk) {
        const std::size_t c = n - lo < kChunk ? n - lo : kChunk;
        double* __restrict r = out + lo;
        for (std::size_t t = 0; t < c; ++t) {
            b[t] = base_of<Signed>(x[lo + t]);
            r[t] = 1.0;
        }
        for (unsigned e = m; e != 0; e >>= 1) {
            if (e & 1u)
                for (std::size_t t = 0; t < c; ++t) r[t] *= b[t];
            if (e >> 1)
                for (std::size_t t = 0; t < c; ++t) b[t] *= b[t];
        }
        if (whole < 0)
            for (std::size_t t = 0; t < c; ++t) r[t] = 1.0 / r[t];
        // Results that are not finite normal numbers (zeros, infinities, NaN,
        // values where the intermediate products' roundings could show): pow's own.
        bool odd = false;
        for (std::size_t t = 0; t < c; ++t) {
            const double a = std::fabs(r[t]);
            odd |= !(a >= DBL_MIN && a <= DBL_MAX);
        }
        if (!odd) continue;
        for (std::size_t t = 0; t < c; ++t) {
            const double a = std::fabs(r[t]);
            if (!(a >= DBL_MIN && a <= DBL_MAX))
                r[t] = std::pow(base_of<Signed>(x[lo + t]), static_cast<double>(whole));
        }
    }
}

template <bool Signed>
void power(const double* __restrict x, double y, double* __restrict out, std::size_t n) {
    if (y == 0.5) {
        // pow(-0, 0.5) is +0 and pow(-inf, 0.5) is +inf where the square root
        // gives -0 and NaN; adding +0 turns -0 into +0 and changes nothing else.
        for (std::size_t t = 0; t < n; ++t) {
            const double b = base_of<Signed>(x[t]);
            out[t] = b == -kInf ? kInf : std::sqrt(b) + 0.0;
        }
    } else if (y == std::trunc(y) && std::fabs(y) <= kLargestWholeExponent) {
        whole_power<Signed>(x, static_cast<int>(y), out, n);
    } else {
        for (std::size_t t = 0; t < n; ++t) out[t] = std::pow(base_of<Signed>(x[t]), y);
    }
    if (Signed)
        for (std::size_t t = 0; t < n; ++t) out[t] = sign_of(x[t]) * out[t];
}

}  // namespace

void power_by_constant(const double* x, double y, double* out, std::size_t n, bool signed_power) {
    if (signed_power)
        power<true>(x, y, out, n);
    else
        power<false>(x, y, out, n);
}

namespace {

template <class F>
void binary_kernel(const double* a, const double* b, double ca, double cb, double* out,
                   std::size_t n) {
    apply2(a, b, ca, cb, out, n, F{});
}

// A series to the power of a series, or a number to the power of a series;
// a series to a constant power goes by power_by_constant.
template <bool Signed>
void power_kernel(const double* a, const double* b, double ca, double cb, double* out,
                  std::size_t n) {
    if (a && !b) return power_by_constant(a, cb, out, n, Signed);
    if (Signed)
        apply2(a, b, ca, cb, out, n,
               [](double x, double y) { return sign_of(x) * std::pow(std::fabs(x), y); });
    else
        apply2(a, b, ca, cb, out, n, [](double x, double y) { return std::pow(x, y); });
}

#define ALVORA_BINARY(name, expression)                                    \
    struct name {                                                          \
        double operator()(double x, double y) const { return expression; } \
    };
ALVORA_BINARY(AddOp, x + y)
ALVORA_BINARY(SubtractOp, x - y)
ALVORA_BINARY(MultiplyOp, x* y)
ALVORA_BINARY(DivideOp, x / y)
ALVORA_BINARY(LessOp, x < y ? 1.0 : 0.0)
ALVORA_BINARY(LessEqualOp, x <= y ? 1.0 : 0.0)
ALVORA_BINARY(GreaterOp, x > y ? 1.0 : 0.0)
ALVORA_BINARY(GreaterEqualOp, x >= y ? 1.0 : 0.0)
ALVORA_BINARY(EqualOp, x == y ? 1.0 : 0.0)
ALVORA_BINARY(NotEqualOp, x != y ? 1.0 : 0.0)
ALVORA_BINARY(AndOp, truth(x) * truth(y))
ALVORA_BINARY(OrOp, truth(x) + truth(y) > 0 ? 1.0 : 0.0)
ALVORA_BINARY(MinimumOp, least(x, y))
ALVORA_BINARY(MaximumOp, most(x, y))
// an integer product: 0 (never -0) or the number
ALVORA_BINARY(BoolTimesOp, x != 0.0 ? y : 0.0)
#undef ALVORA_BINARY

template <class F>
void unary_kernel(const double* __restrict a, double* __restrict out, std::size_t n) {
    for (std::size_t t = 0; t < n; ++t) out[t] = F{}(a[t]);
}

struct AbsOp {
    double operator()(double x) const { return std::fabs(x); }
};
struct SignOp {
    double operator()(double x) const { return sign_of(x); }
};
struct LogOp {
    double operator()(double x) const { return std::log(x); }
};
struct NegateOp {
    double operator()(double x) const { return -x; }
};
struct NotOp {
    double operator()(double x) const { return x == 0.0 ? 1.0 : 0.0; }
};

template <class A, class B>
void choose(const double* __restrict c, A a, B b, double* __restrict out, std::size_t n) {
    for (std::size_t t = 0; t < n; ++t) {
        const double chosen = c[t] != 0.0 ? a(t) : b(t);
        out[t] = c[t] != c[t] ? kNaN : chosen;
    }
}

void choice_kernel(const double* c, const double* a, const double* b, double ca, double cb,
                   double* out, std::size_t n) {
    auto series = [](const double* __restrict x) { return [x](std::size_t t) { return x[t]; }; };
    auto number = [](double v) { return [v](std::size_t) { return v; }; };
    if (a && b) return choose(c, series(a), series(b), out, n);
    if (a) return choose(c, series(a), number(cb), out, n);
    if (b) return choose(c, number(ca), series(b), out, n);
    choose(c, number(ca), number(cb), out, n);
}

void returns_kernel(const double* __restrict a, double* __restrict out, std::size_t n) {
    for (std::size_t t = 0; t < n; ++t) out[t] = a[t + 1] / a[t] - 1.0;
}

// Non-temporal stores of the level's widest aligned registers: the stored lines
// are not read from memory first, nor kept in the caches.
#if defined(__AVX512F__)
constexpr std::size_t kStreamAlign = 64;
inline void stream_one(double* to, const double* from) {
    _mm512_stream_pd(to, _mm512_loadu_pd(from));
}
#elif defined(__AVX__)
constexpr std::size_t kStreamAlign = 32;
inline void stream_one(double* to, const double* from) {
    _mm256_stream_pd(to, _mm256_loadu_pd(from));
}
#elif defined(__SSE2__)
constexpr std::size_t kStreamAlign = 16;
inline void stream_one(double* to, const double* from) {
    _mm_stream_pd(to, _mm_loadu_pd(from));
}
#endif

void stream_kernel(const double* __restrict from, double* __restrict to, std::size_t n) {
    std::size_t t = 0;
#if defined(__SSE2__)
    constexpr std::size_t width = kStreamAlign / sizeof(double);
    for (; t < n && reinterpret_cast<std::uintptr_t>(to + t) % kStreamAlign != 0; ++t)
        to[t] = from[t];
    for (; t + width <= n; t += width) stream_one(to + t, from + t);
#endif
    for (; t < n; ++t) to[t] = from[t];
}

}  // namespace

elementwise::Binary binary(Op op) {
    switch (op) {
        case Op::Add:
            return &binary_kernel<AddOp>;
        case Op::Subtract:
            return &binary_kernel<SubtractOp>;
        case Op::Multiply:
            return &binary_kernel<MultiplyOp>;
        case Op::Divide:
        case Op::FloatDivide:
            return &binary_kernel<DivideOp>;
        case Op::Power:
            return &power_kernel<false>;
        case Op::SignedPower:
            return &power_kernel<true>;
        case Op::Less:
            return &binary_kernel<LessOp>;
        case Op::LessEqual:
            return &binary_kernel<LessEqualOp>;
        case Op::Greater:
            return &binary_kernel<GreaterOp>;
        case Op::GreaterEqual:
            return &binary_kernel<GreaterEqualOp>;
        case Op::Equal:
            return &binary_kernel<EqualOp>;
        case Op::NotEqual:
            return &binary_kernel<NotEqualOp>;
        case Op::And:
            return &binary_kernel<AndOp>;
        case Op::Or:
            return &binary_kernel<OrOp>;
        case Op::Minimum:
            return &binary_kernel<MinimumOp>;
        case Op::Maximum:
            return &binary_kernel<MaximumOp>;
        case Op::BoolTimes:
            return &binary_kernel<BoolTimesOp>;
        default:
            return nullptr;
    }
}

elementwise::Unary unary(Op op) {
    switch (op) {
        case Op::FloatAbs:
        case Op::Absolute:
            return &unary_kernel<AbsOp>;
        case Op::Sign:
            return &unary_kernel<SignOp>;
        case Op::Log:
            return &unary_kernel<LogOp>;
        case Op::Negate:
            return &unary_kernel<NegateOp>;
        case Op::Not:
            return &unary_kernel<NotOp>;
        default:
            return nullptr;
    }
}

elementwise::Choice if_else() {
    return &choice_kernel;
}

elementwise::Returns returns() {
    return &returns_kernel;
}

elementwise::Store stream_store() {
    return &stream_kernel;
}

}  // namespace alvora::engine::ALVORA_ISA_NS
