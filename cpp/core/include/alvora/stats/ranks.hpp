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

// Indices of the non-NaN values ordered by value, ties by index (a stable radix sort on
// the bit patterns; -0.0 and +0.0 are one value). `keys` is scratch.
void sorted_order(std::span<const double> values, std::vector<std::uint32_t>& order,
                  std::vector<std::uint64_t>& keys);

// Average ranks (1-based, among the usable entries only) written into ranks[i] for every
// usable i, walking `order` from sorted_order. Returns the number of distinct usable
// values (1 means a constant input). `tie` is scratch.
std::size_t masked_average_ranks(std::span<const std::uint32_t> order,
                                 std::span<const double> values,
                                 std::span<const std::uint8_t> usable, std::span<double> ranks,
                                 std::vector<std::uint32_t>& tie);

// As masked_average_ranks, reading the values in order: sorted[j] = values[order[j]].
std::size_t masked_average_ranks_sorted(std::span<const std::uint32_t> order,
                                        std::span<const double> sorted,
                                        std::span<const std::uint8_t> usable,
                                        std::span<double> ranks, std::vector<std::uint32_t>& tie);

// True when two neighbours of an ascending sequence are equal.
bool has_ties(std::span<const double> sorted);

// As masked_average_ranks_sorted for an order without ties (see has_ties): the ranks are
// the running count of usable entries. Entries not usable get an unspecified rank.
std::size_t masked_ranks_untied(std::span<const std::uint32_t> order,
                                std::span<const std::uint8_t> usable, std::span<double> ranks);

// sorted[j] = values[order[j]].
void values_in_order(std::span<const std::uint32_t> order, std::span<const double> values,
                     std::vector<double>& sorted);

}  // namespace alvora::stats
