// Direct computation for short windows (see rolling_short.cpp). out and mean
// hold m = L - n + 1 entries; x holds L.
#pragma once

#include <cstddef>

#include "alvora/rolling/level.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

// Window length up to which the direct forms are used.
inline constexpr std::size_t kShortWindow = 8;

void short_sum(const double* x, std::size_t n, double* out, std::size_t m);
void short_mean(const double* x, std::size_t n, double* out, std::size_t m);
// out[i] = s[i] / d (packed divisions of the level's width).
void divide(const double* s, double d, double* out, std::size_t m);
// Population variance; mean is scratch space.
void short_var(const double* x, std::size_t n, double* out, double* mean, std::size_t m);

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
