// Window products at the edges of the double range.
#pragma once

#include <cstddef>

#include "alvora/rolling/level.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

// Gives every window whose scanned product out[i] is zero, infinite or NaN
// the product as defined window by window (rowwise::product). The partial
// products of a block scan can overflow or underflow where the whole
// window's product does not, and an overflow before a zero makes inf * 0.
// Costs one read of out unless such windows exist.
void settle_edge_products(const double* x, std::size_t L, std::size_t n, double* out);

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
