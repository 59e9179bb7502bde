#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>
#include <utility>

#include "alvora/stats/ranks.hpp"

namespace alvora::stats {

void average_ranks(std::span<const double> values, std::span<double> ranks,
                   std::vector<std::uint32_t>& order) {
    const std::size_t n = values.size();
    order.resize(n);
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return values[a] < values[b] || (values[a] == values[b] && a < b);
    });
    std::size_t start = 0;
    while (start < n) {
        std::size_t end = start + 1;
        while (end < n && values[order[end]] == values[order[start]]) ++end;
        // Positions start..end-1 share the mean of the 1-based ranks start+1..end.
        const double rank = 0.5 * static_cast<double>(start + 1 + end);
        for (std::size_t k = start; k < end; ++k) ranks[order[k]] = rank;
        start = end;
    }
}

}  // namespace alvora::stats

namespace alvora::stats {

namespace {

// Maps a double to an unsigned key with the same order (negative values flipped).
std::uint64_t order_key(double value) {
    // -0.0 and +0.0 are equal: one key, so ties between them go by index as
    // in the comparison sort used for short series.
    if (value == 0.0) value = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x8000000000000000ull) ? ~bits : bits | 0x8000000000000000ull;
}

// LSD radix sort of (key, index) pairs on the key bits from `low_bit` up: stable, so
// pairs agreeing on those bits stay in index order. Every digit's counts come from one
// read of the keys; a digit shared by all keys needs no pass. Narrow digits suit short
// inputs (the bucket sweeps dominate there), wide ones long inputs (fewer passes).
template <int DigitBits>
void radix_sort(std::vector<std::uint32_t>& order, std::vector<std::uint64_t>& keys, int low_bit) {
    constexpr std::size_t kBuckets = std::size_t{1} << DigitBits;
    const int passes = (64 - low_bit + DigitBits - 1) / DigitBits;
    const std::size_t n = order.size();
    std::vector<std::uint32_t> counts(static_cast<std::size_t>(passes) * kBuckets, 0);
    for (std::uint64_t key : keys)
        for (int pass = 0; pass < passes; ++pass)
            ++counts[pass * kBuckets + ((key >> (low_bit + pass * DigitBits)) & (kBuckets - 1))];
    std::vector<std::uint64_t> key_buffer(n);
    std::vector<std::uint32_t> id_buffer(n);
    for (int pass = 0; pass < passes; ++pass) {
        const int shift = low_bit + pass * DigitBits;
        std::uint32_t* slots = counts.data() + pass * kBuckets;
        if (slots[(keys[0] >> shift) & (kBuckets - 1)] == n) continue;  // digit all equal
        std::uint32_t total = 0;
        for (std::size_t b = 0; b < kBuckets; ++b) {
            const std::uint32_t here = slots[b];
            slots[b] = total;
            total += here;
        }
        for (std::size_t k = 0; k < n; ++k) {
            const std::uint32_t slot = slots[(keys[k] >> shift) & (kBuckets - 1)]++;
            key_buffer[slot] = keys[k];
            id_buffer[slot] = order[k];
        }
        keys.swap(key_buffer);
        order.swap(id_buffer);
    }
}

// After a sort on the key bits from `low_bit` up: orders each run of pairs agreeing on
// those bits by the full key, then index. Runs are rare and short for spread-out values;
// a run of one repeated value is already in index order.
void order_runs_by_full_key(std::vector<std::uint32_t>& order, std::vector<std::uint64_t>& keys,
                            int low_bit) {
    const std::size_t n = keys.size();
    std::vector<std::pair<std::uint64_t, std::uint32_t>> run;
    std::size_t j = 0;
    while (j < n) {
        const std::uint64_t high = keys[j] >> low_bit;
        std::size_t end = j + 1;
        bool one_value = true;
        for (; end < n && (keys[end] >> low_bit) == high; ++end) one_value &= keys[end] == keys[j];
        if (!one_value) {
            run.clear();
            for (std::size_t k = j; k < end; ++k) run.emplace_back(keys[k], order[k]);
            std::sort(run.begin(), run.end());
            for (std::size_t k = j; k < end; ++k) {
                keys[k] = run[k - j].first;
                order[k] = run[k - j].second;
            }
        }
        j = end;
    }
}

// Below this length 8-bit digits (256 buckets) beat 11-bit ones (2048 buckets).
constexpr std::size_t kWideDigitsFrom = 4096;

}  // namespace

void sorted_order(std::span<const double> values, std::vector<std::uint32_t>& order,
                  std::vector<std::uint64_t>& keys) {
    order.clear();
    keys.clear();
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (std::isnan(values[i])) continue;
        order.push_back(static_cast<std::uint32_t>(i));
        keys.push_back(order_key(values[i]));
    }
    const std::size_t n = order.size();
    if (n < 64) {
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return values[a] < values[b] || (values[a] == values[b] && a < b);
        });
        return;
    }
    // The radix passes cover the sign, the exponent and the leading 20 or 21 mantissa
    // bits (4 digits of 8 bits, or 3 of 11): values closer than that are rare, and are
    // ordered afterwards.
    const bool narrow = n < kWideDigitsFrom;
    const int low_bit = narrow ? 32 : 31;
    if (narrow)
        radix_sort<8>(order, keys, low_bit);
    else
        radix_sort<11>(order, keys, low_bit);
    order_runs_by_full_key(order, keys, low_bit);
}

std::size_t masked_average_ranks(std::span<const std::uint32_t> order,
                                 std::span<const double> values,
                                 std::span<const std::uint8_t> usable, std::span<double> ranks,
                                 std::vector<std::uint32_t>& tie) {
    std::size_t placed = 0;
    std::size_t distinct = 0;
    std::size_t j = 0;
    const std::size_t m = order.size();
    while (j < m) {
        if (!usable[order[j]]) {
            ++j;
            continue;
        }
        const double value = values[order[j]];
        tie.clear();
        for (; j < m && values[order[j]] == value; ++j)
            if (usable[order[j]]) tie.push_back(order[j]);
        const std::size_t first = placed;
        placed += tie.size();
        const double rank = 0.5 * static_cast<double>(first + 1 + placed);
        for (std::uint32_t id : tie) ranks[id] = rank;
        ++distinct;
    }
    return distinct;
}

std::size_t masked_average_ranks_sorted(std::span<const std::uint32_t> order,
                                        std::span<const double> sorted,
                                        std::span<const std::uint8_t> usable,
                                        std::span<double> ranks, std::vector<std::uint32_t>& tie) {
    std::size_t placed = 0;
    std::size_t distinct = 0;
    std::size_t j = 0;
    const std::size_t m = order.size();
    while (j < m) {
        const std::uint32_t id = order[j];
        if (!usable[id]) {
            ++j;
            continue;
        }
        const double value = sorted[j];
        if (j + 1 == m || sorted[j + 1] != value) {
            // No equal neighbour: the usual case, a rank of its own.
            ranks[id] = static_cast<double>(++placed);
            ++distinct;
            ++j;
            continue;
        }
        tie.clear();
        for (; j < m && sorted[j] == value; ++j)
            if (usable[order[j]]) tie.push_back(order[j]);
        const std::size_t first = placed;
        placed += tie.size();
        const double rank = 0.5 * static_cast<double>(first + 1 + placed);
        for (std::uint32_t t : tie) ranks[t] = rank;
        ++distinct;
    }
    return distinct;
}

bool has_ties(std::span<const double> sorted) {
    bool tied = false;
    for (std::size_t j = 1; j < sorted.size(); ++j) tied |= sorted[j] == sorted[j - 1];
    return tied;
}

std::size_t masked_ranks_untied(std::span<const std::uint32_t> order,
                                std::span<const std::uint8_t> usable, std::span<double> ranks) {
    std::size_t placed = 0;
    for (const std::uint32_t id : order) {
        placed += usable[id];
        ranks[id] = static_cast<double>(placed);
    }
    return placed;
}

void values_in_order(std::span<const std::uint32_t> order, std::span<const double> values,
                     std::vector<double>& sorted) {
    sorted.resize(order.size());
    for (std::size_t j = 0; j < order.size(); ++j) sorted[j] = values[order[j]];
}

}  // namespace alvora::stats
