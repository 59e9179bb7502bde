// Short windows computed directly: a few vectorised passes over the series,
// windows in the inner loop. For small n this beats the block scans, and it
// is the definition itself (values taken relative to the newest one for the
// variance, so equal values still give exactly 0).
#include <cstddef>

#include "alvora/rolling/short.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

void short_sum(const double* __restrict x, std::size_t n, double* __restrict out, std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) out[i] = x[i];
    for (std::size_t j = 1; j < n; ++j) {
        const double* xj = x + j;
        for (std::size_t i = 0; i < m; ++i) out[i] += xj[i];
    }
}

void divide(const double* __restrict s, double d, double* __restrict out, std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) out[i] = s[i] / d;
}

void short_mean(const double* __restrict x, std::size_t n, double* __restrict out, std::size_t m) {
    short_sum(x, n, out, m);
    const double nd = static_cast<double>(n);
    for (std::size_t i = 0; i < m; ++i) out[i] /= nd;
}

void short_var(const double* __restrict x, std::size_t n, double* __restrict out, double* __restrict mean, std::size_t m) {
    const double inv_n = 1.0 / static_cast<double>(n);
    const double* newest = x + n - 1;
    for (std::size_t i = 0; i < m; ++i) mean[i] = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double* xj = x + j;
        for (std::size_t i = 0; i < m; ++i) mean[i] += xj[i] - newest[i];
    }
    for (std::size_t i = 0; i < m; ++i) mean[i] *= inv_n;
    for (std::size_t i = 0; i < m; ++i) out[i] = 0.0;
    for (std::size_t j = 0; j < n; ++j) {
        const double* xj = x + j;
        for (std::size_t i = 0; i < m; ++i) {
            const double d = (xj[i] - newest[i]) - mean[i];
            out[i] += d * d;
        }
    }
    for (std::size_t i = 0; i < m; ++i) out[i] *= inv_n;
}

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
