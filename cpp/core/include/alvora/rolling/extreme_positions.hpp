// Fast path of ts_argmin / ts_argmax on float series.
#pragma once

#include <cstddef>

#include "alvora/rolling/level.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

// Writes, for every window of n values of x (L values), the position of its
// first smallest (largest) value, or of its first NaN, counted from the
// window's oldest value. Returns false where this path does not apply (n < 4,
// or a NaN together with -inf (+inf) in the series): out then holds nothing
// of use and is to be written by the general path.
bool first_extreme_positions(const double* x, std::size_t L, std::size_t n, bool largest,
                             double* out);

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
