// Ranks with ties given their average rank (1-based), as in rank(method="average").
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace alvora::stats {

// Writes the average rank of every value into `ranks` (same length as `values`).
// `order` is scratch space, resized as needed. Values must not be NaN; infinities rank
// at the ends.
void average_ranks(std::span<const double> values, std::span<double> ranks,
                   std::vector<std::uint32_t>& order);

}  // namespace alvora::stats
