// Average ranks of a row's values among its non-NaN ones, over their number:
// the cross-sectional rank of one date.
//
// The values go into buckets of equal width between the least and the greatest
// finite value (of the bulk, when tails are long), about one value per bucket
// for values of one magnitude. Where the level in use has it, an item's rank is
// then counted within its bucket by vector comparisons; a crowded bucket of one
// value (ticks of a price, a spike at zero) is ranked at once, and one of
// several values is split into buckets of its own range, a level down, as the
// row was. Rows whose range gives no usable width, levels too deep, and every
// row at the baseline level are sorted by their keys' digits instead. Ties
// share the mean of their ranks; infinities are values, -0 and 0 one value.
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

    // Levels of buckets within crowded buckets before these are sorted instead.
    static constexpr int kLevels = 6;

  private:
    // a crowded bucket of more than one value: its positions and range of keys
    struct Mixed {
        std::size_t first, n;
        std::uint64_t low, high;
    };

    std::uint32_t* level_counts(int level);
    std::uint32_t* digit_counts();
    void gather_items(std::size_t m);
    // Places values_[first, first + n) in buckets (bucket_of_ there, `counts`);
    // returns their number, or 0 when the range gives no usable width.
    std::size_t buckets_of_values(std::size_t first, std::size_t n, double least, double greatest,
                                  std::uint32_t* counts);
    std::size_t buckets_of_keys(int level, std::size_t first, std::size_t n, double least,
                                double greatest);
    static void tally(std::uint32_t* counts, const std::uint32_t* bucket_of, std::size_t n,
                      std::size_t buckets);
    void rank_by_sorting(std::size_t m, std::size_t buckets, double* out);
    void rank_level(int level, std::size_t first, std::size_t n, std::size_t buckets,
                    std::size_t total, double* out);

    // The row's non-NaN entries column by column, as the level's pass read them
    // (keys in set 0), then two sets of keys and tags (column, and bucket in the
    // high half) bucket by bucket: each level of buckets reads one set and
    // writes the other at the same positions.
    std::vector<std::uint64_t> keys_[2];
    std::vector<std::uint64_t> tags_[2];
    std::vector<std::uint32_t> row_columns_;
    std::vector<double> values_;
    std::vector<std::uint32_t> bucket_of_;  // at the positions of the items placed
    std::vector<Mixed> mixed_[kLevels];
    std::vector<Keyed> items_, sorted_;  // for sorting
    // each level's bucket starts and a copy spent scattering, then a block per
    // level of digit passes
    std::vector<std::uint32_t> counts_;
    rank_kernels::Kernels kernels_;
};

}  // namespace alvora::stats
