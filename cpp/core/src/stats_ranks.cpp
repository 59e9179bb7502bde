#include <algorithm>
#include <numeric>

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
