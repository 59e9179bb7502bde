// Average ranks of a row's values among its non-NaN ones, over their number:
// the cross-sectional rank of one date.
//
// The values go into buckets of equal width between the least and the greatest
// finite value, about one value per bucket for values of one magnitude. Where
// the level in use has it, an item's rank is then counted within its bucket by
// vector comparisons; crowded buckets (long tails, few distinct values) are
// sorted by their keys' digits, and rows whose range gives no usable width are
// sorted by digits alone. Ties share the mean of their ranks; infinities are
// values, -0 and 0 one value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "alvora/stats/rank_kernels.hpp"

namespace alvora::stats {

// Ranks rows one after another, reusing its buffers; the level's passes are
// taken when it is made.
class RowRanks {
  public:
    RowRanks();
    // out[c] = the rank of row[c] over the row's non-NaN entries, NaN where row[c] is.
    void rank(std::span<const double> row, std::span<double> out);

  private:
    void gather_items(std::size_t m);
    std::size_t place_in_buckets(std::size_t m, double least, double greatest,
                                 std::size_t& in_crowded);
    // Scatters the items into sorted_ bucket by bucket and sorts the crowded buckets.
    void sort_crowded(std::size_t m, std::size_t buckets, std::size_t in_crowded);
    void rank_in_buckets(std::size_t m, std::size_t buckets, std::size_t in_crowded, double* out);

    // the row's non-NaN entries, column by column, as the level's pass read them
    std::vector<std::uint64_t> keys_;
    std::vector<std::uint32_t> columns_;
    std::vector<double> values_;
    std::vector<std::uint32_t> bucket_of_;
    // the keys and their columns bucket by bucket, for counting
    std::vector<std::uint64_t> bucketed_;
    std::vector<std::uint32_t> bucketed_columns_;
    std::vector<std::uint32_t> mixed_;   // crowded buckets of more than one value
    std::vector<Keyed> items_, sorted_;  // for sorting
    // the bucket starts and a copy spent scattering, then a block per level of
    // digit passes under them
    std::vector<std::uint32_t> counts_;
    rank_kernels::Kernels kernels_;
};

}  // namespace alvora::stats
