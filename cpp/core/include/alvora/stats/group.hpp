// Statistics within groups (industries), date by date, over a panel of dates x
// instruments with one integer group code per entry.
//
// An entry takes part when its value is finite and its code is >= 0; any other
// entry gives NaN. Groups are formed anew on each row (one row = one date).
#pragma once

#include <cstddef>
#include <cstdint>

#include "alvora/stats/cross_section.hpp"

namespace alvora::stats {

enum class GroupStatistic {
    Demean,  // x minus the mean of its group on the row
    Rank,    // average rank within its group on the row, divided by the group's size: (0, 1]
};

// Largest group code accepted: per-group tallies are sized by the largest code.
inline constexpr std::int64_t kMaxGroupCode = (std::int64_t{1} << 20) - 1;

// Writes op(values within groups) into `out`. All three panels have the same
// shape and codes are at most kMaxGroupCode (std::invalid_argument otherwise).
// `out` may not overlap the inputs. Codes of two bytes read an eighth of the
// memory of eight-byte ones: a few hundred industries fit them.
void group_cross_section(GroupStatistic op, PanelView<const double> values,
                         PanelView<const std::int16_t> codes, PanelView<double> out);
void group_cross_section(GroupStatistic op, PanelView<const double> values,
                         PanelView<const std::int64_t> codes, PanelView<double> out);

}  // namespace alvora::stats
