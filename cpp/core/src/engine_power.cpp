#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "alvora/engine/power.hpp"

namespace alvora::engine {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Whole exponents up to this magnitude go by repeated squaring: a few
// roundings of half a unit in the last place each.
constexpr int kLargestWholeExponent = 16;

double sign_of(double x) {
    return x > 0 ? 1.0 : x < 0 ? -1.0 : x;
}

// The base of the power: x, or |x| for the signed power.
template <bool Signed>
double base_of(double x) {
    return Signed ? std::abs(x) : x;
}

template <bool Signed>
void power(const double* x, double y, double* out, std::size_t n) {
    if (y == 0.5) {
        // pow(-0, 0.5) is +0 and pow(-inf, 0.5) is +inf where the square root
        // gives -0 and NaN; adding +0 turns -0 into +0 and changes nothing else.
        for (std::size_t t = 0; t < n; ++t) {
            const double b = base_of<Signed>(x[t]);
            out[t] = b == -kInf ? kInf : std::sqrt(b) + 0.0;
        }
    } else if (y == std::trunc(y) && std::abs(y) <= kLargestWholeExponent) {
        const int whole = static_cast<int>(y);
        const unsigned m = static_cast<unsigned>(std::abs(whole));
        for (std::size_t t = 0; t < n; ++t) {  // by squaring, vectorised
            double b = base_of<Signed>(x[t]), result = 1.0;
            for (unsigned e = m; e != 0; e >>= 1) {
                if (e & 1u) result *= b;
                b *= b;
            }
            out[t] = whole < 0 ? 1.0 / result : result;
        }
        // Results that are not finite normal numbers (zeros, infinities, NaN,
        // values where the intermediate products' roundings could show): pow's own.
        for (std::size_t t = 0; t < n; ++t) {
            const double r = std::abs(out[t]);
            if (!(r >= DBL_MIN && r <= DBL_MAX)) out[t] = std::pow(base_of<Signed>(x[t]), y);
        }
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

}  // namespace alvora::engine
