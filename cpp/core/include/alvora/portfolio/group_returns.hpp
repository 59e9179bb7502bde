// Daily returns and turnover of equal-weighted quantile groups held over staggered schedules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "alvora/portfolio/panel.hpp"

namespace alvora::portfolio {

// Group-major tables: entry [k * rows + t] belongs to group k on row t.
struct GroupSeries {
    std::vector<double> returns;   // daily group return averaged over the schedules (NaN: none)
    std::vector<double> turnover;  // entrant fraction averaged over the schedules (NaN: none)
};

// `labels` (rows x cols, kNoLabel for none) gives each instrument's group on each row; `levels`
// (rows x cols) the cumulative growth levels.  For each schedule a group bought on rebalance row
// s is worth mean(levels[t] / levels[s - 1]) over its members on row t; its daily return is the
// change of that value against the previous row on which the schedule holds anything (missing
// values padded forward), and the growth since the close before s on the rebalance row itself.
GroupSeries quantile_group_series(std::span<const std::int32_t> labels, PanelView levels,
                                  int groups, std::size_t period);

// The same for several holding periods at once, one result per period, equal bit for bit to
// the calls above. One pass over the rows serves every period: the members' growth since a
// rebalance row is summed once per row and shared by all schedules rebalanced there, and the
// panel is read once instead of once per schedule.
std::vector<GroupSeries> quantile_group_series(std::span<const std::int32_t> labels,
                                               PanelView levels, int groups,
                                               std::span<const std::size_t> periods);

}  // namespace alvora::portfolio
