// Short windows computed directly: each window summed in registers, oldest
// value first, in one pass over the series (windows side by side in the
// vector lanes). For small n this beats the block scans, and it is the
// definition itself.
#include <cstddef>

#include "alvora/rolling/short.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

namespace {

// The window length is a constant here, so the sums unroll and the loop over
// windows vectorises; with Mean each sum is divided by n.
template <std::size_t N, bool Mean>
void window_sums(const double* __restrict x, double* __restrict out, std::size_t m) {
    const double nd = static_cast<double>(N);
    for (std::size_t i = 0; i < m; ++i) {
        double s = x[i];
        for (std::size_t j = 1; j < N; ++j) s += x[i + j];
        out[i] = Mean ? s / nd : s;
    }
}

template <bool Mean>
void short_sums(const double* x, std::size_t n, double* out, std::size_t m) {
    static_assert(kShortWindow == 8, "one case per short window");
    switch (n) {
        case 1:
            return window_sums<1, Mean>(x, out, m);
        case 2:
            return window_sums<2, Mean>(x, out, m);
        case 3:
            return window_sums<3, Mean>(x, out, m);
        case 4:
            return window_sums<4, Mean>(x, out, m);
        case 5:
            return window_sums<5, Mean>(x, out, m);
        case 6:
            return window_sums<6, Mean>(x, out, m);
        case 7:
            return window_sums<7, Mean>(x, out, m);
        default:
            return window_sums<8, Mean>(x, out, m);
    }
}

}  // namespace

void short_sum(const double* x, std::size_t n, double* out, std::size_t m) {
    short_sums<false>(x, n, out, m);
}

void short_mean(const double* x, std::size_t n, double* out, std::size_t m) {
    short_sums<true>(x, n, out, m);
}

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
