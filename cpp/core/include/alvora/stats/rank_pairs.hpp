// Rank correlations walked over sorted orders with integer ranks. A rank is kept doubled
// (an integer: average ranks are multiples of 1/2), so the centred sums of a rank
// correlation are integer sums, exact in any order; as doubles they equal the exact sums
// of the usual computation (ranks, then centred products) wherever those are exact.
//
// An order lists entries in ascending value; ties[2g] .. ties[2g + 1] (end excluded) are
// the positions of its g-th run of two or more equal values (see find_ties). `Acc` is
// std::int64_t up to kMostExactRanks entries ranked, double beyond.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace alvora::stats {

// Up to this many ranked entries the integer sums neither overflow nor pass 2^53.
inline constexpr std::size_t kMostExactRanks = std::size_t{1} << 17;

// Sums of squares up to k: 1 + 4 + ... + k^2.
template <typename Acc>
inline Acc squares_to(std::size_t k) {
    const Acc a = static_cast<Acc>(k);
    return a * (a + 1) * (2 * a + 1) / 6;
}

// The centred sum of squares of `count` doubled ranks: sum (2r - count - 1)^2, given
// sum (2r)^2 (doubled ranks average to count + 1).
template <typename Acc>
inline double centred_squares(Acc squares, std::size_t count) {
    const Acc c = static_cast<Acc>(count);
    return static_cast<double>(squares - c * (c + 1) * (c + 1)) * 0.25;
}

// Doubled average ranks (1-based) of the entries of `order` with usable[id], among those
// only, written to twice[id]; other entries of the run get any value.
template <typename Acc>
struct Ranked {
    std::size_t count = 0;
    std::size_t distinct = 0;
    Acc squares = 0;  // sum of the squared doubled ranks
};

template <typename Acc>
Ranked<Acc> rank_usable(std::span<const std::uint32_t> order, std::span<const std::uint32_t> ties,
                        const std::uint8_t* usable, std::int64_t* twice) {
    Ranked<Acc> out;
    std::size_t placed = 0;
    std::size_t tied_away = 0;  // usable entries sharing a value with an earlier one
    std::size_t j = 0;
    auto untied_up_to = [&](std::size_t end) {
        const std::size_t before = placed;
        for (; j < end; ++j) {
            const std::uint32_t id = order[j];
            placed += usable[id];
            twice[id] = static_cast<std::int64_t>(2 * placed);
        }
        out.squares += 4 * (squares_to<Acc>(placed) - squares_to<Acc>(before));
    };
    for (std::size_t g = 0; g < ties.size(); g += 2) {
        untied_up_to(ties[g]);
        const std::size_t end = ties[g + 1];
        std::size_t count = 0;
        for (std::size_t p = j; p < end; ++p) count += usable[order[p]];
        const std::size_t first = placed;
        placed += count;
        const auto rank = static_cast<std::int64_t>(first + 1 + placed);
        for (; j < end; ++j) twice[order[j]] = rank;
        out.squares += static_cast<Acc>(count) * static_cast<Acc>(rank) * static_cast<Acc>(rank);
        if (count > 1) tied_away += count - 1;
    }
    untied_up_to(order.size());
    out.count = placed;
    out.distinct = placed - tied_away;
    return out;
}

// The factor's doubled ranks packed with the walk's mask for walk_pairs, one load per
// entry: packed[id] = usable[id] ? 2 * (y_twice[id] - (count + 1)) + 1 : 0 (the low bit
// says usable, the rest is the centred rank).
inline void pack_ranks(const std::uint8_t* usable, const std::int64_t* y_twice, std::size_t n,
                       std::size_t count, std::int64_t* packed) {
    const auto centre = static_cast<std::int64_t>(count + 1);
    for (std::size_t id = 0; id < n; ++id)
        packed[id] = usable[id] ? 2 * (y_twice[id] - centre) + 1 : 0;
}

// The x run ranked among its usable entries (`count` of them) and paired with the
// factor's doubled ranks of the same entries (packed by pack_ranks): the centred sums of
// x*y and x*x.
template <typename Acc>
struct PairSums {
    Acc xy = 0;
    Acc xx_squares = 0;  // sum of the squared doubled x ranks
    std::size_t distinct = 0;
};

template <typename Acc>
PairSums<Acc> walk_pairs(std::span<const std::uint32_t> order, std::span<const std::uint32_t> ties,
                         const std::int64_t* packed, std::size_t count) {
    PairSums<Acc> out;
    const auto centre = static_cast<std::int64_t>(count + 1);
    std::size_t placed = 0;
    std::size_t tied_away = 0;
    std::size_t j = 0;
    auto untied_up_to = [&](std::size_t end) {
        const std::size_t before = placed;
        auto term = [&](std::uint32_t id) {
            const std::int64_t v = packed[id];
            placed += static_cast<std::size_t>(v & 1);
            const std::int64_t dx = static_cast<std::int64_t>(2 * placed) - centre;
            return static_cast<Acc>(dx) * static_cast<Acc>(v >> 1);  // 0 when not usable
        };
        // Two sums in turn, both in registers: the additions of one do not wait for the
        // other's.
        Acc sums[2] = {0, 0};
        for (; j + 2 <= end; j += 2) {
            sums[0] += term(order[j]);
            sums[1] += term(order[j + 1]);
        }
        if (j < end) sums[0] += term(order[j++]);
        out.xy += sums[0] + sums[1];
        out.xx_squares += 4 * (squares_to<Acc>(placed) - squares_to<Acc>(before));
    };
    for (std::size_t g = 0; g < ties.size(); g += 2) {
        untied_up_to(ties[g]);
        const std::size_t end = ties[g + 1];
        std::size_t n_usable = 0;
        Acc y_sum = 0;
        for (; j < end; ++j) {
            const std::int64_t v = packed[order[j]];
            n_usable += static_cast<std::size_t>(v & 1);
            y_sum += static_cast<Acc>(v >> 1);
        }
        const std::size_t first = placed;
        placed += n_usable;
        const auto rank = static_cast<std::int64_t>(first + 1 + placed);
        out.xy += static_cast<Acc>(rank - centre) * y_sum;
        out.xx_squares +=
            static_cast<Acc>(n_usable) * static_cast<Acc>(rank) * static_cast<Acc>(rank);
        if (n_usable > 1) tied_away += n_usable - 1;
    }
    untied_up_to(order.size());
    out.distinct = placed - tied_away;
    return out;
}

}  // namespace alvora::stats
