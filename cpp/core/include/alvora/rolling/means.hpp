// Window means kept accurate at any level of the series.
#pragma once

#include <cstddef>

namespace alvora::rolling::detail {

// out[i] = mean of x[i .. i + n), n >= 4, taken relative to a value inside the
// window; NaN where the window holds a NaN or an infinity.
void anchored_window_means(const double* x, std::size_t L, std::size_t n, double* out);

}  // namespace alvora::rolling::detail
