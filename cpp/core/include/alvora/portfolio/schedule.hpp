// Staggered rebalancing schedules.
//
// For a holding period P there are P schedules; schedule `offset` (1..P) rebalances on rows
// offset, offset + P, offset + 2P, ... and holds its positions in between.  Rows before
// `offset` belong to no holding.  The rebalance row in force on a row is pure arithmetic, so
// no schedule ever needs a copy of the panel.
#pragma once

#include <cstddef>

namespace alvora::portfolio {

// Latest rebalance row s <= row of the schedule; requires row >= offset and period >= 1.
inline std::size_t rebalance_row(std::size_t row, std::size_t offset, std::size_t period) {
    return offset + (row - offset) / period * period;
}

}  // namespace alvora::portfolio
