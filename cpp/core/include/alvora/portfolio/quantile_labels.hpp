// Quantile group labels from cross-sectional ranks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "alvora/portfolio/panel.hpp"

namespace alvora::portfolio {

inline constexpr std::int32_t kNoLabel = -1;

// Bin edges for `count` ranks 1..count split into `groups` groups: linear-interpolation
// percentiles at 0, 1/groups, ..., 1 with the first edge lowered by one, so that a rank r falls
// into group k when edges[k] < r <= edges[k + 1].
std::vector<double> quantile_bin_edges(std::size_t count, int groups);

// 0-based group of each rank 1..count (entry r - 1 holds the group of rank r).
std::vector<std::int32_t> group_of_rank(std::size_t count, int groups);

// Labels of one row of values: instruments ranked 1, 2, ... (ascending or descending values,
// ties broken by column position), then binned; NaN values get kNoLabel.
void label_row(std::span<const double> values, int groups, bool ascending,
               std::span<std::int32_t> out);

// Labels for every row of the panel taken from the previous row's values (row 0 unlabelled),
// stored row by row like the panel.
std::vector<std::int32_t> previous_row_labels(PanelView factor, int groups, bool ascending);

}  // namespace alvora::portfolio
