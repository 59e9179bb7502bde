// Window means kept accurate at any level of the series, and window
// extremes, by the fused block scans.
#pragma once

#include <cstddef>

#include "alvora/rolling/level.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

// out[i] = mean of x[i .. i + n), n >= 4, taken relative to a value inside the
// window; NaN where the window holds a NaN or an infinity.
void anchored_window_means(const double* x, std::size_t L, std::size_t n, double* out);

// out[i] = largest (smallest) value of x[i .. i + n), n >= 4, for windows
// without a NaN; windows holding a NaN get an arbitrary value.
void window_extremes(const double* x, std::size_t L, std::size_t n, bool largest, double* out);

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
