// Shared pieces of the libFuzzer targets: decoding series from the fuzzer's
// bytes and failing loudly with the offending window.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

#include "alvora/isa.hpp"

namespace fuzz {

// Values on a 1/64 grid in [-512, 512), shifted by one of a few offsets so
// that sliding sums meet cancellation; a code of 0xF in the top nibble makes a
// NaN, +inf or -inf when `specials` is set.
inline double decode_value(std::uint16_t code, double offset, bool specials) {
    if (specials && (code >> 12) == 0xF) {
        switch (code & 3) {
            case 0: return std::nan("");
            case 1: return HUGE_VAL;
            case 2: return -HUGE_VAL;
            default: break;
        }
    }
    return static_cast<double>(static_cast<std::int16_t>(code)) / 64.0 + offset;
}

struct Case {
    std::vector<double> a, b;  // b only for the pairwise kernels
    std::size_t n = 1;         // window, 1 <= n <= a.size()
};

// Reads flags, the series (one or two) and the window. The lowest flag bits
// pick the instruction-set level the kernels run at for this call.
inline bool read_case(FuzzedDataProvider& in, bool two_series, Case& c) {
    const auto flags = in.ConsumeIntegral<std::uint8_t>();
    static const std::vector<alvora::Isa> levels = alvora::supported_isas();
    alvora::set_isa(levels[((flags >> 4) & 3) % levels.size()]);
    const bool specials = (flags & 2) != 0;
    static constexpr double kOffsets[] = {0.0, 0.0, 100.0, -3000.0};
    const double offset = kOffsets[(flags >> 2) & 3];
    const std::size_t L = in.ConsumeIntegralInRange<std::size_t>(1, 160);
    const std::size_t n = in.ConsumeIntegralInRange<std::size_t>(1, L);
    c.n = n;
    c.a.resize(L);
    c.b.resize(two_series ? L : 0);
    for (std::size_t i = 0; i < L; ++i) {
        c.a[i] = decode_value(in.ConsumeIntegral<std::uint16_t>(), offset, specials);
        if (two_series) c.b[i] = decode_value(in.ConsumeIntegral<std::uint16_t>(), offset, specials);
    }
    return true;
}

[[noreturn]] inline void fail(const char* what, std::size_t i, std::size_t n, double got,
                              double want) {
    std::fprintf(stderr, "%s: window %zu (n=%zu) gave %.17g, expected %.17g\n", what, i, n, got,
                 want);
    std::abort();
}

// Window holds a NaN / a non-finite value.
inline bool any_nan(const double* r, std::size_t n) {
    return std::any_of(r, r + n, [](double v) { return std::isnan(v); });
}
inline bool all_finite(const double* r, std::size_t n) {
    return std::all_of(r, r + n, [](double v) { return std::isfinite(v); });
}
inline double max_abs(const double* r, std::size_t n) {
    double m = 0.0;
    for (std::size_t j = 0; j < n; ++j) m = std::max(m, std::fabs(r[j]));
    return m;
}

// Same value: both NaN, equal (infinities included) or within tol.
inline bool same(double got, double want, double tol) {
    if (std::isnan(got) || std::isnan(want)) return std::isnan(got) && std::isnan(want);
    if (got == want) return true;
    return std::fabs(got - want) <= tol;
}

}  // namespace fuzz
