// Moments (var, std, zscore, skew, kurt, avedev) against two-pass window
// formulas. Ratios (zscore, skew, kurt) are compared only on windows whose
// spread is well above rounding, where the result is well defined; NaN in a
// window gives NaN everywhere.
#include <cstdint>

#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/rowwise.hpp"
#include "fuzz_support.hpp"

namespace rl = alvora::rolling;
namespace rw = alvora::rolling::rowwise;

namespace {

struct Moments {
    double mean, m2, m3, m4, absdev;
};

Moments moments(const double* r, std::size_t n) {
    long double s = 0;
    for (std::size_t j = 0; j < n; ++j) s += r[j];
    const double mean = static_cast<double>(s / n);
    long double m2 = 0, m3 = 0, m4 = 0, ad = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const long double d = r[j] - mean;
        m2 += d * d;
        m3 += d * d * d;
        m4 += d * d * d * d;
        ad += d < 0 ? -d : d;
    }
    return {mean, double(m2 / n), double(m3 / n), double(m4 / n), double(ad / n)};
}

double reference(int which, const double* r, std::size_t n, double newest) {
    const Moments mo = moments(r, n);
    const double nd = static_cast<double>(n);
    switch (which) {
        case 0: return mo.m2;
        case 1: return std::sqrt(mo.m2);
        case 2: return (newest - mo.mean) / std::sqrt(mo.m2);
        case 3: {
            const double g = mo.m3 / std::pow(mo.m2, 1.5);
            return n > 2 ? std::sqrt(nd * (nd - 1.0)) / (nd - 2.0) * g : g;
        }
        case 4:
            if (n <= 3) return rw::kurt(r, n);
            return ((nd * nd - 1.0) * mo.m4 / (mo.m2 * mo.m2) - 3.0 * (nd - 1.0) * (nd - 1.0)) /
                   ((nd - 2.0) * (nd - 3.0));
        default: return mo.absdev;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int which = in.ConsumeIntegralInRange<int>(0, 5);
    fuzz::Case c;
    fuzz::read_case(in, false, c);
    static const char* kNames[] = {"var", "std", "zscore", "skew", "kurt", "avedev"};
    using Kernel = void (*)(std::span<const double>, std::size_t, std::span<double>);
    static const Kernel kKernels[] = {rl::var, rl::stddev, rl::zscore, rl::skew, rl::kurt, rl::avedev};
    const std::size_t n = c.n, m = c.a.size() - n + 1;
    std::vector<double> out(m);
    kKernels[which](c.a, n, out);
    for (std::size_t i = 0; i < m; ++i) {
        const double* w = c.a.data() + i;
        if (fuzz::any_nan(w, n)) {
            if (!std::isnan(out[i]) && !(which == 4 && n <= 3)) fuzz::fail(kNames[which], i, n, out[i], NAN);
            continue;
        }
        if (!fuzz::all_finite(w, n)) continue;  // the definitions' inf - inf cases: no property
        const double scale = fuzz::max_abs(w, n) + 1.0;
        const double want = reference(which, w, n, w[n - 1]);
        const double spread = reference(0, w, n, 0.0);
        double tol;
        if (which == 0) {
            tol = 1e-12 * scale * scale;
        } else if (which == 1) {
            // compare squares: the square root magnifies rounding near zero
            if (!fuzz::same(out[i] * out[i], want * want, 1e-12 * scale * scale))
                fuzz::fail(kNames[which], i, n, out[i], want);
            continue;
        } else if (which == 5) {
            tol = 1e-12 * scale;
        } else {
            const double need = which == 2 ? 1e-8 : 1e-4;
            if (n > 3 || which != 4) {
                if (spread <= need * scale * scale) continue;  // ill-conditioned window
            }
            tol = 1e-7 * (std::fabs(want) + 1.0);
        }
        if (!fuzz::same(out[i], want, tol)) fuzz::fail(kNames[which], i, n, out[i], want);
    }
    return 0;
}
