// Pairwise kernels (covariance, correlation, regression) against centred
// two-pass formulas on finite windows; NaN in either series gives NaN.
#include <cstdint>

#include "alvora/rolling/kernels.hpp"
#include "fuzz_support.hpp"

namespace rl = alvora::rolling;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const int which = in.ConsumeIntegralInRange<int>(0, 2);
    fuzz::Case c;
    fuzz::read_case(in, true, c);
    static const char* kNames[] = {"covariance", "correlation", "regression"};
    const std::size_t n = c.n, m = c.a.size() - n + 1;
    std::vector<double> out(m);
    if (which == 0) rl::covariance(c.a, c.b, n, out);
    if (which == 1) rl::correlation(c.a, c.b, n, out);
    if (which == 2) rl::regression(c.a, c.b, n, out);
    for (std::size_t i = 0; i < m; ++i) {
        const double *a = c.a.data() + i, *b = c.b.data() + i;
        if (fuzz::any_nan(a, n) || fuzz::any_nan(b, n)) {
            if (!std::isnan(out[i])) fuzz::fail(kNames[which], i, n, out[i], NAN);
            continue;
        }
        if (!fuzz::all_finite(a, n) || !fuzz::all_finite(b, n)) continue;
        long double sa = 0, sb = 0;
        for (std::size_t j = 0; j < n; ++j) sa += a[j], sb += b[j];
        const double ma = double(sa / n), mb = double(sb / n);
        long double caa = 0, cbb = 0, cab = 0;
        for (std::size_t j = 0; j < n; ++j) {
            caa += (a[j] - ma) * (a[j] - ma);
            cbb += (b[j] - mb) * (b[j] - mb);
            cab += (a[j] - ma) * (b[j] - mb);
        }
        const double va = double(caa / n), vb = double(cbb / n), cov = double(cab / n);
        const double sca = fuzz::max_abs(a, n) + 1.0, scb = fuzz::max_abs(b, n) + 1.0;
        double want, tol;
        if (which == 0) {
            want = cov;
            tol = 1e-12 * sca * scb;
        } else if (which == 1) {
            if (va <= 1e-8 * sca * sca || vb <= 1e-8 * scb * scb) continue;
            want = cov / std::sqrt(va * vb);
            tol = 1e-7;
        } else {
            if (va <= 1e-8 * sca * sca) continue;
            want = cov / va;  // y = b regressed on x = a
            tol = 1e-7 * (std::fabs(want) + scb / sca);
        }
        if (!fuzz::same(out[i], want, tol)) fuzz::fail(kNames[which], i, n, out[i], want);
    }
    return 0;
}
