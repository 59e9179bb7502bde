// Sums and averages (sum, product, ma, ema, wma, slope) against the window
// definitions evaluated one window at a time. Finite windows must agree to a
// tolerance scaled by the window's magnitude; a window with a NaN gives NaN;
// windows with infinities must give what the definition gives.
#include <cfloat>
#include <cstdint>
#include <utility>

#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/rowwise.hpp"
#include "fuzz_support.hpp"

namespace rl = alvora::rolling;
namespace rw = alvora::rolling::rowwise;

namespace {

using Kernel = void (*)(std::span<const double>, std::size_t, std::span<double>);
using Reference = double (*)(const double*, std::size_t);

double plain_sum(const double* r, std::size_t n) {
    long double s = 0;
    for (std::size_t j = 0; j < n; ++j) s += r[j];
    return static_cast<double>(s);
}
double plain_mean(const double* r, std::size_t n) { return plain_sum(r, n) / static_cast<double>(n); }
double plain_slope(const double* r, std::size_t n) {
    if (n == 1) return rw::slope(r, n);
    const double xm = (static_cast<double>(n) - 1.0) / 2.0, ym = plain_mean(r, n);
    long double sxy = 0, sxx = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const double dx = static_cast<double>(j) - xm;
        sxy += dx * (r[j] - ym);
        sxx += dx * dx;
    }
    return static_cast<double>(sxy / sxx);
}

void check(const char* name, Kernel kernel, Reference finite_ref, Reference general_ref,
           const fuzz::Case& c, double tol_per_value) {
    const std::size_t n = c.n, m = c.a.size() - n + 1;
    std::vector<double> out(m);
    kernel(c.a, n, out);
    for (std::size_t i = 0; i < m; ++i) {
        const double* w = c.a.data() + i;
        if (fuzz::any_nan(w, n)) {
            if (!std::isnan(out[i])) fuzz::fail(name, i, n, out[i], NAN);
        } else if (fuzz::all_finite(w, n)) {
            const double want = finite_ref(w, n);
            const double tol = tol_per_value * static_cast<double>(n) * (fuzz::max_abs(w, n) + 1.0);
            if (!fuzz::same(out[i], want, tol)) fuzz::fail(name, i, n, out[i], want);
        } else {
            const double want = general_ref(w, n);
            if (!fuzz::same(out[i], want, 1e-9 * (std::fabs(want) + 1.0)))
                fuzz::fail(name, i, n, out[i], want);
        }
    }
}

// The window's product rounded once: the decoded values never take a
// product of 160 of them beyond the range of long double, so multiplying
// there is exact enough and meets neither overflow nor underflow. A zero
// among finite values gives a zero signed by all the signs; NaN only from a
// NaN or an infinity times a zero.
double wide_product(const double* r, std::size_t n) {
    long double p = 1;
    for (std::size_t j = 0; j < n; ++j) p *= r[j];
    return static_cast<double>(p);
}

void check_product(const fuzz::Case& c) {
    const std::size_t n = c.n, m = c.a.size() - n + 1;
    std::vector<double> out(m);
    rl::product(c.a, n, out);
    for (std::size_t i = 0; i < m; ++i) {
        const double* w = c.a.data() + i;
        const double want = wide_product(w, n);
        const std::pair<const char*, double> results[] = {{"product", out[i]},
                                                          {"product (row)", rw::product(w, n)}};
        for (const auto& [name, got] : results) {
            // a product within rounding of the largest double may land either side
            const bool at_overflow =
                std::fabs(std::isinf(got) ? want : got) > 0.999999999999 * DBL_MAX;
            if (!fuzz::same(got, want, 1e-12 * std::fabs(want)) && !at_overflow)
                fuzz::fail(name, i, n, got, want);
            if (want == 0.0 && std::signbit(got) != std::signbit(want))
                fuzz::fail(name, i, n, got, want);  // the sign of a zero
        }
    }
}

// Integer sums and products wrap like numpy: exact agreement.
void check_integers(const fuzz::Case& c) {
    const std::size_t n = c.n, L = c.a.size(), m = L - n + 1;
    std::vector<std::int64_t> x(L), out(m);
    for (std::size_t i = 0; i < L; ++i)
        x[i] = std::isfinite(c.a[i]) ? static_cast<std::int64_t>(c.a[i] * 1e15) : INT64_MIN + i;
    rl::sum(std::span<const std::int64_t>(x), n, std::span<std::int64_t>(out));
    for (std::size_t i = 0; i < m; ++i)
        if (out[i] != rw::sum(x.data() + i, n))
            fuzz::fail("sum int64", i, n, double(out[i]), double(rw::sum(x.data() + i, n)));
    rl::product(std::span<const std::int64_t>(x), n, std::span<std::int64_t>(out));
    for (std::size_t i = 0; i < m; ++i)
        if (out[i] != rw::product(x.data() + i, n))
            fuzz::fail("product int64", i, n, double(out[i]), double(rw::product(x.data() + i, n)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto which = in.ConsumeIntegralInRange<int>(0, 7);
    fuzz::Case c;
    fuzz::read_case(in, false, c);
    switch (which) {
        case 0: check("sum", rl::sum, plain_sum, rw::sum, c, 1e-13); break;
        case 1: check_product(c); break;
        case 2: check("ma", rl::ma, plain_mean, rw::mean, c, 1e-13); break;
        case 3: check("ema", rl::ema, rw::ema, rw::ema, c, 1e-12); break;
        case 4: check("wma", rl::wma, rw::wma, rw::wma, c, 1e-12); break;
        case 5: check("slope", rl::slope, plain_slope, rw::slope, c, 1e-12); break;
        default: check_integers(c); break;
    }
    return 0;
}
