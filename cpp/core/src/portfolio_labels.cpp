#include <algorithm>
#include <cstdint>
#include <cmath>
#include <numeric>
#include <stdexcept>

#include "alvora/portfolio/quantile_labels.hpp"

namespace alvora::portfolio {

std::vector<double> quantile_bin_edges(std::size_t count, int groups) {
    if (groups < 1) throw std::invalid_argument("quantile groups must be at least 1");
    if (count == 0) throw std::invalid_argument("quantile edges need at least one value");
    const std::size_t n_edges = static_cast<std::size_t>(groups) + 1;
    const double step = 1.0 / groups;
    const double last = static_cast<double>(count - 1);
    std::vector<double> edges(n_edges);
    for (std::size_t j = 0; j < n_edges; ++j) {
        // Same arithmetic as an evenly spaced grid on [0, 1] whose last point is exactly 1.
        const double level = (j + 1 == n_edges) ? 1.0 : static_cast<double>(j) * step;
        const double idx = level * last;
        const double fraction = std::fmod(idx, 1.0);
        const auto pos = static_cast<std::size_t>(idx);
        // Order statistics of ranks 1..count; the one after the largest wraps to the smallest
        // (its weight is then 0).
        const double a = static_cast<double>(pos + 1);
        const double b = static_cast<double>((pos + 1) % count + 1);
        edges[j] = a + (b - a) * fraction;
    }
    edges[0] -= 1.0;
    return edges;
}

std::vector<std::int32_t> group_of_rank(std::size_t count, int groups) {
    std::vector<std::int32_t> result(count);
    if (count == 0) return result;
    const std::vector<double> edges = quantile_bin_edges(count, groups);
    for (std::size_t r = 1; r <= count; ++r) {
        // Number of edges strictly below r, minus one: right-closed bins.
        const auto below = std::lower_bound(edges.begin(), edges.end(), static_cast<double>(r));
        const auto k = static_cast<std::int32_t>(below - edges.begin()) - 1;
        result[r - 1] = std::clamp<std::int32_t>(k, 0, groups - 1);
    }
    return result;
}

namespace {

struct Keyed {
    double key;
    std::uint32_t column;
};

bool before(const Keyed& a, const Keyed& b) {
    return a.key < b.key || (a.key == b.key && a.column < b.column);
}

// Puts every element into its rank range: positions `cuts` (ascending, relative to `first`)
// end up holding the elements of those ranks with smaller ranks before them.  Only the group
// of each rank matters, so this selection costs O(n log groups) instead of a full sort.
void partition_at(Keyed* first, Keyed* last, const std::size_t* cut_first,
                  const std::size_t* cut_last, std::size_t offset) {
    if (cut_first == cut_last || last - first < 2) return;
    const std::size_t* mid = cut_first + (cut_last - cut_first) / 2;
    Keyed* nth = first + (*mid - offset);
    std::nth_element(first, nth, last, before);
    partition_at(first, nth, cut_first, mid, offset);
    partition_at(nth, last, mid + 1, cut_last, *mid);
}

// Ranks the row and writes labels.  Ordering (value, column) pairs with the column as
// tie-break gives the ranks of a stable sort by value; scratch vectors are reused across rows.
void label_row_into(const double* values, std::size_t cols, int groups, bool ascending,
                    std::int32_t* out, std::vector<Keyed>& order,
                    std::vector<std::int32_t>& groups_by_rank, std::vector<std::size_t>& cuts) {
    order.clear();
    for (std::size_t i = 0; i < cols; ++i) {
        out[i] = kNoLabel;
        // Negation keeps ties (0.0 and -0.0 included) and reverses the order for descending.
        if (!std::isnan(values[i]))
            order.push_back({ascending ? values[i] : -values[i], static_cast<std::uint32_t>(i)});
    }
    if (order.empty()) return;
    const std::size_t count = order.size();
    // Rows usually share their labelled count, so the rank -> group table is reused.
    if (groups_by_rank.size() != count) {
        groups_by_rank = group_of_rank(count, groups);
        cuts.clear();
        for (std::size_t j = 1; j < count; ++j)
            if (groups_by_rank[j] != groups_by_rank[j - 1]) cuts.push_back(j);
    }
    partition_at(order.data(), order.data() + count, cuts.data(), cuts.data() + cuts.size(), 0);
    for (std::size_t j = 0; j < count; ++j) out[order[j].column] = groups_by_rank[j];
}

}  // namespace

void label_row(std::span<const double> values, int groups, bool ascending,
               std::span<std::int32_t> out) {
    if (out.size() != values.size()) throw std::invalid_argument("labels: output size mismatch");
    if (groups < 1) throw std::invalid_argument("quantile groups must be at least 1");
    if (values.size() > UINT32_MAX) throw std::invalid_argument("too many instruments");
    std::vector<Keyed> order;
    std::vector<std::int32_t> cache;
    std::vector<std::size_t> cuts;
    label_row_into(values.data(), values.size(), groups, ascending, out.data(), order, cache, cuts);
}

std::vector<std::int32_t> previous_row_labels(PanelView factor, int groups, bool ascending) {
    if (groups < 1) throw std::invalid_argument("quantile groups must be at least 1");
    std::vector<std::int32_t> labels(factor.rows * factor.cols, kNoLabel);
    if (factor.cols > UINT32_MAX) throw std::invalid_argument("too many instruments");
    std::vector<Keyed> order;
    order.reserve(factor.cols);
    std::vector<std::int32_t> cache;
    std::vector<std::size_t> cuts;
    for (std::size_t t = 1; t < factor.rows; ++t) {
        label_row_into(factor.row(t - 1), factor.cols, groups, ascending,
                       labels.data() + t * factor.cols, order, cache, cuts);
    }
    return labels;
}

}  // namespace alvora::portfolio
