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

}  // namespace

RowRanks::RowRanks()
    : counts_(2 * kValueBuckets + 1 + 64 * ((std::size_t{1} << kMaxDigitBits) + 1)),
      kernels_(rank_kernels::kernels()) {}

void RowRanks::rank(std::span<const double> row, std::span<double> out) {
    const std::size_t cols = row.size();
    const std::size_t room = cols + rank_kernels::kSlack;
    keys_.resize(room);
    columns_.resize(room);
    values_.resize(room);
    bucket_of_.resize(room);
    bucketed_.resize(room);
    bucketed_columns_.resize(room);
    items_.resize(cols);
    sorted_.resize(cols);
    const rank_kernels::RowKeys found =
        kernels_.keys(row.data(), cols, out.data(), keys_.data(), columns_.data(), values_.data());
    const std::size_t m = found.m;
    if (m > kInsertionSort && found.low != found.high) {
        std::size_t in_crowded = 0;
        const std::size_t buckets = place_in_buckets(m, found.least, found.greatest, in_crowded);
        if (buckets != 0) {
            rank_in_buckets(m, buckets, in_crowded, out.data());
            return;
        }
        // the first digit pass scatters into the second buffer, sorted there
        gather_items(m);
        const std::size_t digits =
            digit_pass(items_.data(), sorted_.data(), m, found.low, found.high, counts_.data());
        sort_buckets(sorted_.data(), items_.data(), digits, counts_.data());
        rank_sorted(sorted_.data(), m, 0, m, out.data());
    } else {
        gather_items(m);
        insertion_sort(items_.data(), m);
        rank_sorted(items_.data(), m, 0, m, out.data());
    }
}

void RowRanks::gather_items(std::size_t m) {
    for (std::size_t i = 0; i < m; ++i) items_[i] = {keys_[i], columns_[i]};
}

// Buckets of equal width between the least and the greatest finite value (or
// the bulk's two ends, above): one pass spreads a row of one magnitude (returns,
// ranks, prices) where the digit passes need two (their first digit is mostly
// the exponent). The bucket of a value never decreases with the value (a rounded
// difference and product keep their order; infinities go to the end buckets), so
// buckets hold consecutive runs of the order.
std::size_t RowRanks::place_in_buckets(std::size_t m, double least, double greatest,
                                       std::size_t& in_crowded) {
    narrow_to_bulk(keys_.data(), m, least, greatest);
    const std::size_t buckets = std::min<std::size_t>(kValueBuckets, m);
    const double width = greatest - least;
    const double scale = static_cast<double>(buckets) / width;
    if (!(width > 0.0) || !std::isfinite(width) || !std::isfinite(scale)) return 0;
    kernels_.buckets(values_.data(), m, least, scale, static_cast<double>(buckets - 1),
                     bucket_of_.data());
    std::uint32_t* counts = counts_.data();
    std::fill(counts, counts + buckets + 1, 0u);
    for (std::size_t i = 0; i < m; ++i) ++counts[bucket_of_[i] + 1];
    in_crowded = 0;
    for (std::size_t b = 1; b <= buckets; ++b) {
        in_crowded += counts[b] > kInsertionSort ? counts[b] : 0;
        counts[b] += counts[b - 1];
    }
    return buckets;
}

void RowRanks::sort_crowded(std::size_t m, std::size_t buckets, std::size_t in_crowded) {
    const std::uint32_t* begin = counts_.data();
    std::uint32_t* ends = counts_.data() + buckets + 1;
    std::copy(begin, begin + buckets, ends);
    Keyed* sorted = sorted_.data();
    for (std::size_t i = 0; i < m; ++i) sorted[ends[bucket_of_[i]]++] = {keys_[i], columns_[i]};
    for (std::size_t b = 0; in_crowded != 0 && b < buckets; ++b) {
        if (begin[b + 1] - begin[b] > kInsertionSort)
            sort_in_place(sorted + begin[b], items_.data() + begin[b], begin[b + 1] - begin[b],
                          ends + buckets);
    }
}

void RowRanks::rank_in_buckets(std::size_t m, std::size_t buckets, std::size_t in_crowded,
                               double* out) {
    const std::uint32_t* begin = counts_.data();
    if (kernels_.count == nullptr) {
        sort_crowded(m, buckets, in_crowded);
        // Every value of a bucket is below every value of the next, so one insertion
        // sort over the whole row moves values within their buckets only: a pass
        // without a branch per bucket, most of which hold one value or none.
        insertion_sort(sorted_.data(), m);
        rank_sorted(sorted_.data(), m, 0, m, out);
        return;
    }
    std::uint64_t* bucketed = bucketed_.data();
    std::uint32_t* bucketed_columns = bucketed_columns_.data();
    std::fill(bucketed + m, bucketed + m + rank_kernels::kWindow, ~std::uint64_t{0});
    std::uint32_t* ends = counts_.data() + buckets + 1;
    std::copy(begin, begin + buckets, ends);
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint32_t at = ends[bucket_of_[i]]++;
        bucketed[at] = keys_[i];
        bucketed_columns[at] = columns_[i];
    }
    // Crowded buckets of one value (ticks of a price, a spike at zero) are
    // counted right; the others need sorting.
    mixed_.clear();
    std::size_t in_mixed = 0;
    for (std::size_t b = 0; in_crowded != 0 && b < buckets; ++b) {
        const std::size_t first = begin[b], n = begin[b + 1] - first;
        if (n <= kInsertionSort) continue;
        in_crowded -= n;
        const std::uint64_t* keys = bucketed + first;
        std::uint64_t low = keys[0], high = keys[0];
        for (std::size_t k = 1; k < n; ++k) {
            low = std::min(low, keys[k]);
            high = std::max(high, keys[k]);
        }
        if (low == high) continue;
        mixed_.push_back(static_cast<std::uint32_t>(b));
        in_mixed += n;
    }
    Keyed* sorted = sorted_.data();
    if (4 * in_mixed > m) {  // mostly sorting: the whole row is sorted, then ranked in order
        for (std::size_t k = 0; k < m; ++k) sorted[k] = {bucketed[k], bucketed_columns[k]};
        for (const std::uint32_t b : mixed_)
            sort_in_place(sorted + begin[b], items_.data(), begin[b + 1] - begin[b],
                          ends + buckets);
        insertion_sort(sorted, m);
        rank_sorted(sorted, m, 0, m, out);
        return;
    }
    kernels_.count(keys_.data(), columns_.data(), bucket_of_.data(), begin, bucketed, m, out);
    for (const std::uint32_t b : mixed_) {  // their items ranked again
        const std::size_t first = begin[b], n = begin[b + 1] - first;
        for (std::size_t k = 0; k < n; ++k)
            sorted[k] = {bucketed[first + k], bucketed_columns[first + k]};
        sort_in_place(sorted, items_.data(), n, ends + buckets);
        rank_sorted(sorted, n, first, m, out);
    }
}

}  // namespace alvora::stats
