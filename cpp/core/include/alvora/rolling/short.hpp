// Direct computation for short windows (see rolling_short.cpp). out holds
// m = L - n + 1 entries; x holds L.
#pragma once

#include <cstddef>

#include "alvora/rolling/level.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

// Window length up to which the direct forms are used.
inline constexpr std::size_t kShortWindow = 8;

// n <= kShortWindow.
void short_sum(const double* x, std::size_t n, double* out, std::size_t m);
void short_mean(const double* x, std::size_t n, double* out, std::size_t m);

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
