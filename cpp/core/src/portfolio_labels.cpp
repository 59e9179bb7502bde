#include <algorithm>
#include <cmath>
#include <cstdint>
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

// The bucket label_by_buckets gives a value: monotone in the value, equal values alike.
std::uint32_t bucket_of(const Keyed& e, double lo, double scale, std::uint32_t last) {
    const double x = (e.key - lo) * scale;
    return x >= static_cast<double>(last) ? last : static_cast<std::uint32_t>(x);
}

// Scratch reused across rows.
struct RowScratch {
    std::vector<Keyed> order;
    std::vector<std::int32_t> groups_by_rank;  // for the labelled count it was made for
    std::vector<std::size_t> cuts;             // ranks where the group changes
    std::vector<std::uint32_t> bucket;         // bucket of each entry of `order`
    std::vector<std::uint32_t> start;          // first rank of each bucket
    std::vector<Keyed> straddling;             // entries of buckets holding several groups
};

// Labels the entries of `order` (the row's non-missing values) from their ranks by a full
// rank selection.
void label_by_selection(std::vector<Keyed>& order, const RowScratch& s, std::int32_t* out) {
    const std::size_t count = order.size();
    partition_at(order.data(), order.data() + count, s.cuts.data(), s.cuts.data() + s.cuts.size(),
                 0);
    for (std::size_t j = 0; j < count; ++j) out[order[j].column] = s.groups_by_rank[j];
}

// The same labels, found by bucketing the values on a linear scale first: the bucket of a
// value never decreases with the value and equal values share one, so a bucket's entries
// take a known run of ranks. Entries of buckets inside one group are labelled at once; only
// the few buckets holding a group boundary are ranked. False when the values' range does not
// allow a scale (infinite values); nothing is written then.
bool label_by_buckets(const std::vector<Keyed>& order, RowScratch& s, std::int32_t* out) {
    const std::size_t count = order.size();
    double lo = order[0].key, hi = order[0].key;
    for (const Keyed& e : order) {
        lo = std::min(lo, e.key);
        hi = std::max(hi, e.key);
    }
    const double scale = static_cast<double>(count) / (hi - lo);
    if (!std::isfinite(lo) || !std::isfinite(hi) || !(scale > 0.0) || !std::isfinite(scale))
        return false;
    const auto last = static_cast<std::uint32_t>(count - 1);
    s.bucket.resize(count);
    s.start.assign(count + 1, 0);
    for (std::size_t j = 0; j < count; ++j) {
        const std::uint32_t b = bucket_of(order[j], lo, scale, last);
        s.bucket[j] = b;
        ++s.start[b + 1];
    }
    for (std::size_t b = 0; b < count; ++b) s.start[b + 1] += s.start[b];
    // A bucket's label, or kNoLabel when its ranks span a group boundary.
    auto uniform = [&](std::uint32_t b) {
        const std::int32_t first = s.groups_by_rank[s.start[b]];
        return s.groups_by_rank[s.start[b + 1] - 1] == first ? first : kNoLabel;
    };
    s.straddling.clear();
    for (std::size_t j = 0; j < count; ++j) {
        const std::int32_t label = uniform(s.bucket[j]);
        if (label != kNoLabel) {
            out[order[j].column] = label;
        } else {
            s.straddling.push_back(order[j]);
        }
    }
    if (s.straddling.empty()) return true;
    // The straddling entries grouped by bucket, then each bucket ranked on its own.
    std::sort(s.straddling.begin(), s.straddling.end(), [&](const Keyed& a, const Keyed& b) {
        return bucket_of(a, lo, scale, last) < bucket_of(b, lo, scale, last);
    });
    for (std::size_t first = 0; first < s.straddling.size();) {
        const std::uint32_t b = bucket_of(s.straddling[first], lo, scale, last);
        const std::size_t size = s.start[b + 1] - s.start[b];
        Keyed* run = s.straddling.data() + first;
        const std::size_t rank = s.start[b];
        // The group boundaries inside the bucket's ranks.
        const std::size_t* cuts_begin = s.cuts.data();
        const std::size_t* cuts_end = cuts_begin + s.cuts.size();
        const std::size_t* cut_first = std::upper_bound(cuts_begin, cuts_end, rank);
        const std::size_t* cut_last = std::lower_bound(cut_first, cuts_end, rank + size);
        partition_at(run, run + size, cut_first, cut_last, rank);
        for (std::size_t j = 0; j < size; ++j) out[run[j].column] = s.groups_by_rank[rank + j];
        first += size;
    }
    return true;
}

// Ranks the row and writes labels.  Ordering (value, column) pairs with the column as
// tie-break gives the ranks of a stable sort by value; scratch is reused across rows.
void label_row_into(const double* values, std::size_t cols, int groups, bool ascending,
                    std::int32_t* out, RowScratch& s) {
    s.order.clear();
    for (std::size_t i = 0; i < cols; ++i) {
        out[i] = kNoLabel;
        // Negation keeps ties (0.0 and -0.0 included) and reverses the order for descending.
        if (!std::isnan(values[i]))
            s.order.push_back({ascending ? values[i] : -values[i], static_cast<std::uint32_t>(i)});
    }
    if (s.order.empty()) return;
    const std::size_t count = s.order.size();
    // Rows usually share their labelled count, so the rank -> group table is reused.
    if (s.groups_by_rank.size() != count) {
        s.groups_by_rank = group_of_rank(count, groups);
        s.cuts.clear();
        for (std::size_t j = 1; j < count; ++j)
            if (s.groups_by_rank[j] != s.groups_by_rank[j - 1]) s.cuts.push_back(j);
    }
    constexpr std::size_t kFewValues = 64;  // below this, selection is as quick
    if (count >= kFewValues && !s.cuts.empty() && label_by_buckets(s.order, s, out)) return;
    label_by_selection(s.order, s, out);
}

}  // namespace

void label_row(std::span<const double> values, int groups, bool ascending,
               std::span<std::int32_t> out) {
    if (out.size() != values.size()) throw std::invalid_argument("labels: output size mismatch");
    if (groups < 1) throw std::invalid_argument("quantile groups must be at least 1");
    if (values.size() > UINT32_MAX) throw std::invalid_argument("too many instruments");
    RowScratch scratch;
    label_row_into(values.data(), values.size(), groups, ascending, out.data(), scratch);
}

std::vector<std::int32_t> previous_row_labels(PanelView factor, int groups, bool ascending) {
    if (groups < 1) throw std::invalid_argument("quantile groups must be at least 1");
    std::vector<std::int32_t> labels(factor.rows * factor.cols, kNoLabel);
    if (factor.cols > UINT32_MAX) throw std::invalid_argument("too many instruments");
    RowScratch scratch;
    scratch.order.reserve(factor.cols);
    for (std::size_t t = 1; t < factor.rows; ++t) {
        label_row_into(factor.row(t - 1), factor.cols, groups, ascending,
                       labels.data() + t * factor.cols, scratch);
    }
    return labels;
}

}  // namespace alvora::portfolio
