// Ranks of a row's values (see row_ranks.hpp).
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

#include "row_ranks.hpp"

namespace alvora::stats {

namespace {

constexpr std::size_t kInsertionSort = 16;
constexpr int kMaxDigitBits = 11;

// Insertion sort by key: the small buckets left by the digit passes.
void insertion_sort(Keyed* items, std::size_t n) {
    if (n == 2) {  // the usual bucket of two: one comparison, no loop
        const bool swap = items[1].key < items[0].key;
        const Keyed a = items[swap], b = items[!swap];
        items[0] = a;
        items[1] = b;
        return;
    }
    for (std::size_t i = 1; i < n; ++i) {
        if (items[i - 1].key <= items[i].key) continue;  // in place, the usual case
        const Keyed item = items[i];
        std::size_t j = i;
        do {
            items[j] = items[j - 1];
            --j;
        } while (j > 0 && items[j - 1].key > item.key);
        items[j] = item;
    }
}

// One digit pass of a most-significant-digit-first sort of items[0, n), whose
// keys lie in [low, high], low < high: scattered by the `bits` bits below the
// highest bit where the keys differ into `out`. Afterwards bucket b of `out`
// spans [counts[b-1], counts[b]) (bucket 0 from 0); returns the bucket count.
std::size_t digit_pass(const Keyed* items, Keyed* out, std::size_t n, std::uint64_t low,
                       std::uint64_t high, std::uint32_t* counts) {
    const int top = 63 - std::countl_zero(low ^ high);
    const int wanted = std::max(4, static_cast<int>(std::bit_width(n)) - 1);
    const int bits = std::min({kMaxDigitBits, top + 1, wanted});
    const int shift = top + 1 - bits;
    const std::size_t buckets = std::size_t{1} << bits;
    const std::uint64_t mask = buckets - 1;
    std::fill(counts, counts + buckets + 1, 0u);
    for (std::size_t i = 0; i < n; ++i) ++counts[((items[i].key >> shift) & mask) + 1];
    for (std::size_t b = 1; b <= buckets; ++b) counts[b] += counts[b - 1];
    for (std::size_t i = 0; i < n; ++i) out[counts[(items[i].key >> shift) & mask]++] = items[i];
    return buckets;
}

void sort_in_place(Keyed* items, Keyed* scratch, std::size_t n, std::uint32_t* counts);

// Sorts every bucket a digit pass left in `items`; `scratch` is as long.
void sort_buckets(Keyed* items, Keyed* scratch, std::size_t buckets, std::uint32_t* counts) {
    std::uint32_t begin = 0;
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::uint32_t end = counts[b];
        if (end - begin <= kInsertionSort)
            insertion_sort(items + begin, end - begin);
        else
            sort_in_place(items + begin, scratch + begin, end - begin, counts + buckets + 1);
        begin = end;
    }
}

// Sorts by key, most significant digit first, on the bits where the keys of the
// range differ: one pass spreads a row of well spread values over buckets of a
// couple of items, which insertion sort finishes; a crowded bucket (values of one
// magnitude, mostly) takes its own pass on its next bits. Equal keys end next to
// each other in no particular order: the ranks of ties are equal whatever their
// order. Each pass consumes at least one bit, so at most 64 levels (`counts`
// holds a block of digit counts per level).
void sort_in_place(Keyed* items, Keyed* scratch, std::size_t n, std::uint32_t* counts) {
    std::uint64_t low = items[0].key, high = low;
    for (std::size_t i = 1; i < n; ++i) {
        low = std::min(low, items[i].key);
        high = std::max(high, items[i].key);
    }
    if (low == high) return;  // one value
    const std::size_t buckets = digit_pass(items, scratch, n, low, high, counts);
    std::memcpy(items, scratch, n * sizeof(Keyed));
    sort_buckets(items, scratch, buckets, counts);
}

// About one value per bucket for rows of one magnitude: most buckets need no sorting.
constexpr std::size_t kValueBuckets = std::size_t{1} << 12;

static_assert(kInsertionSort == rank_kernels::kWindow,
              "a bucket is crowded when it is too large for insertion sort and for a window");

// Ranks the sorted items[0, n), which sit from position `offset` on in the order
// of a row of m values, with all the row's values equal to theirs: positions
// i..j-1 of equal keys share the mean of the 1-based ranks i+1..j.
void rank_sorted(const Keyed* sorted, std::size_t n, std::size_t offset, std::size_t m,
                 double* out) {
    const auto count = static_cast<double>(m);
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && sorted[j].key == sorted[i].key) ++j;
        const double rank = 0.5 * static_cast<double>(offset + i + 1 + offset + j) / count;
        for (std::size_t k = i; k < j; ++k) out[sorted[k].column] = rank;
        i = j;
    }
}

// The value whose order key `key` is (order_key inverted; zeros come back as +0).
double value_of(std::uint64_t key) {
    const std::uint64_t bits = (key & 0x8000000000000000ull) ? key & ~0x8000000000000000ull : ~key;
    double x;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// A long tail (volumes, prices, their ratios) leaves most of a row in the lowest
// buckets of its whole range; those crowded buckets then cost digit passes. When
// the second least and second greatest of 32 values spread over the row lie within
// an eighth of the whole range, the buckets span those two instead: the tails past
// them fill the end buckets, and the bulk spreads over the rest.
void narrow_to_bulk(const std::uint64_t* item_keys, std::size_t m, double& least,
                    double& greatest) {
    constexpr std::size_t kSample = 32;
    if (m < 8 * kSample) return;
    const double inf = std::numeric_limits<double>::infinity();
    double low1 = inf, low2 = inf, high1 = -inf, high2 = -inf;
    std::uint64_t keys[kSample];
    for (std::size_t k = 0; k < kSample; ++k) keys[k] = item_keys[k * (m / kSample)];
    std::size_t repeats = 0;  // rows of few distinct values gain nothing
    for (std::size_t a = 0; a < kSample; ++a)
        for (std::size_t b = a + 1; b < kSample; ++b) repeats += keys[a] == keys[b];
    if (repeats > 2) return;
    for (std::size_t k = 0; k < kSample; ++k) {
        const double x = value_of(keys[k]);
        if (!std::isfinite(x)) continue;
        low2 = std::min(low2, std::max(low1, x));
        low1 = std::min(low1, x);
        high2 = std::max(high2, std::min(high1, x));
        high1 = std::max(high1, x);
    }
    if (high2 > low2 && (high2 - low2) * 8.0 < greatest - least) {
        least = low2;
        greatest = high2;
    }
}

// A level's bucket starts, ends and one more: the counts of each level of buckets
// (RowRanks::kLevels below crowded buckets before these are sorted instead).
constexpr std::size_t kLevelCounts = 2 * kValueBuckets + 1;

}  // namespace

RowRanks::RowRanks()
    : counts_(RowRanks::kLevels * kLevelCounts + 64 * ((std::size_t{1} << kMaxDigitBits) + 1)),
      kernels_(rank_kernels::kernels()) {}

void RowRanks::rank(std::span<const double> row, std::span<double> out) {
    const std::size_t cols = row.size();
    const std::size_t room = cols + rank_kernels::kSlack;
    for (int set = 0; set < 2; ++set) {
        keys_[set].resize(room);
        tags_[set].resize(room);
    }
    values_.resize(room);
    bucket_of_.resize(room);
    row_columns_.resize(room);
    items_.resize(cols);
    sorted_.resize(cols);
    const rank_kernels::RowKeys found = kernels_.keys(row.data(), cols, out.data(), keys_[0].data(),
                                                      row_columns_.data(), values_.data());
    const std::size_t m = found.m;
    if (m <= kInsertionSort || found.low == found.high) {
        gather_items(m);
        insertion_sort(items_.data(), m);
        rank_sorted(items_.data(), m, 0, m, out.data());
        return;
    }
    double least = found.least, greatest = found.greatest;
    narrow_to_bulk(keys_[0].data(), m, least, greatest);
    const std::size_t buckets = buckets_of_values(0, m, least, greatest, level_counts(0));
    if (buckets == 0) {
        // the first digit pass scatters into the second buffer, sorted there
        gather_items(m);
        const std::size_t digits =
            digit_pass(items_.data(), sorted_.data(), m, found.low, found.high, digit_counts());
        sort_buckets(sorted_.data(), items_.data(), digits, digit_counts());
        rank_sorted(sorted_.data(), m, 0, m, out.data());
    } else if (kernels_.count == nullptr) {
        rank_by_sorting(m, buckets, out.data());
    } else {
        rank_level(0, 0, m, buckets, m, out.data());
    }
}

std::uint32_t* RowRanks::level_counts(int level) {
    return counts_.data() + static_cast<std::size_t>(level) * kLevelCounts;
}

std::uint32_t* RowRanks::digit_counts() {
    return counts_.data() + RowRanks::kLevels * kLevelCounts;
}

void RowRanks::gather_items(std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) items_[i] = {keys_[0][i], row_columns_[i]};
}

// Buckets of equal width between the least and the greatest finite value (or
// the bulk's two ends, above): one pass spreads a row of one magnitude (returns,
// ranks, prices) where the digit passes need two (their first digit is mostly
// the exponent). The bucket of a value never decreases with the value (a rounded
// difference and product keep their order; infinities go to the end buckets), so
// buckets hold consecutive runs of the order.
std::size_t RowRanks::buckets_of_values(std::size_t first, std::size_t n, double least,
                                        double greatest, std::uint32_t* counts) {
    const std::size_t buckets = std::min<std::size_t>(kValueBuckets, n);
    const double width = greatest - least;
    const double scale = static_cast<double>(buckets) / width;
    if (!(width > 0.0) || !std::isfinite(width) || !std::isfinite(scale)) return 0;
    std::uint32_t* bucket_of = bucket_of_.data() + first;
    kernels_.buckets(values_.data() + first, n, least, scale, static_cast<double>(buckets - 1),
                     bucket_of);
    tally(counts, bucket_of, n, buckets);
    return buckets;
}

// The same within a crowded bucket of values from least to greatest, read from
// their keys at positions [first, first + n) of the level's set (the row's
// values are no longer needed there).
std::size_t RowRanks::buckets_of_keys(int level, std::size_t first, std::size_t n, double least,
                                      double greatest) {
    const std::uint64_t* keys = keys_[level & 1].data() + first;
    double* values = values_.data() + first;
    for (std::size_t i = 0; i < n; ++i) values[i] = value_of(keys[i]);
    return buckets_of_values(first, n, least, greatest, level_counts(level));
}

// counts[b] becomes the first position of bucket b, counts[buckets] = n.
void RowRanks::tally(std::uint32_t* counts, const std::uint32_t* bucket_of, std::size_t n,
                     std::size_t buckets) {
    std::fill(counts, counts + buckets + 1, 0u);
    for (std::size_t i = 0; i < n; ++i) ++counts[bucket_of[i] + 1];
    for (std::size_t b = 1; b <= buckets; ++b) counts[b] += counts[b - 1];
}

// Without counting: the items scattered into sorted_ bucket by bucket, the
// crowded buckets sorted by digits, and then one insertion sort over the whole
// row, which moves values within their buckets only (every value of a bucket
// is below every value of the next): a pass without a branch per bucket, most
// of which hold one value or none.
void RowRanks::rank_by_sorting(std::size_t m, std::size_t buckets, double* out) {
    const std::uint32_t* begin = level_counts(0);
    std::uint32_t* ends = level_counts(0) + buckets + 1;
    std::copy(begin, begin + buckets, ends);
    Keyed* sorted = sorted_.data();
    for (std::size_t i = 0; i < m; ++i)
        sorted[ends[bucket_of_[i]]++] = {keys_[0][i], row_columns_[i]};
    for (std::size_t b = 0; b < buckets; ++b) {
        if (begin[b + 1] - begin[b] > kInsertionSort)
            sort_in_place(sorted + begin[b], items_.data() + begin[b], begin[b + 1] - begin[b],
                          digit_counts());
    }
    insertion_sort(sorted, m);
    rank_sorted(sorted, m, 0, m, out);
}

// Ranks the n items at positions [first, first + n) of the level's set, in
// buckets (bucket_of_ there, the level's counts), which sit from position
// `first` on in the order of a row of `total` values. The items go into the
// other set bucket by bucket, the kernel counts each rank within its bucket,
// and a crowded bucket of more than one value is ranked again a level down.
void RowRanks::rank_level(int level, std::size_t first, std::size_t n, std::size_t buckets,
                          std::size_t total, double* out) {
    const std::uint64_t* in_keys = keys_[level & 1].data() + first;
    std::uint64_t* keys = keys_[(level + 1) & 1].data() + first;
    std::uint64_t* tags = tags_[(level + 1) & 1].data() + first;
    const std::uint32_t* bucket_of = bucket_of_.data() + first;
    const std::uint32_t* begin = level_counts(level);
    std::uint32_t* ends = level_counts(level) + buckets + 1;
    std::copy(begin, begin + buckets, ends);
    auto place = [&](auto column_of) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t b = bucket_of[i];
            const std::uint32_t at = ends[b]++;
            keys[at] = in_keys[i];
            tags[at] = column_of(i) | std::uint64_t{b} << 32;
        }
    };
    if (level == 0) {
        place([&](std::size_t i) { return std::uint64_t{row_columns_[i]}; });
    } else {
        const std::uint64_t* in_tags = tags_[level & 1].data() + first;
        place([&](std::size_t i) { return in_tags[i] & 0xffffffffu; });
    }
    // Crowded buckets of one value (ticks of a price, a spike at zero) are
    // counted right; the others need another level.
    std::vector<Mixed>& mixed = mixed_[level];
    mixed.clear();
    for (std::size_t b = 0; b < buckets; ++b) {
        const std::size_t at = begin[b], size = begin[b + 1] - at;
        if (size <= kInsertionSort) continue;
        std::uint64_t differ = 0;  // without a branch or a comparison: vector instructions
        for (std::size_t k = at + 1; k < at + size; ++k) differ |= keys[k] ^ keys[at];
        if (differ == 0) continue;
        std::uint64_t low = keys[at], high = keys[at];
        for (std::size_t k = at + 1; k < at + size; ++k) {
            low = std::min(low, keys[k]);
            high = std::max(high, keys[k]);
        }
        mixed.push_back({first + at, size, low, high});
    }
    kernels_.count(keys, tags, begin, n, first, total, out);
    for (const Mixed& x : mixed) {
        const std::size_t sub =
            level + 1 < RowRanks::kLevels
                ? buckets_of_keys(level + 1, x.first, x.n, value_of(x.low), value_of(x.high))
                : 0;
        if (sub != 0) {
            rank_level(level + 1, x.first, x.n, sub, total, out);
            continue;
        }
        Keyed* sorted = sorted_.data() + x.first;
        const std::uint64_t* sub_keys = keys_[(level + 1) & 1].data() + x.first;
        const std::uint64_t* sub_tags = tags_[(level + 1) & 1].data() + x.first;
        for (std::size_t k = 0; k < x.n; ++k)
            sorted[k] = {sub_keys[k], static_cast<std::uint32_t>(sub_tags[k])};
        sort_in_place(sorted, items_.data() + x.first, x.n, digit_counts());
        rank_sorted(sorted, x.n, x.first, total, out);
    }
}

}  // namespace alvora::stats
