#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "alvora/stats/cross_section.hpp"
#include "panel_rows.hpp"

namespace alvora::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Compensated (Neumaier) sum: row sums over thousands of instruments stay exact to
// a few units in the last place whatever the order of the values.
class Sum {
  public:
    void add(double x) {
        const double t = sum_ + x;
        if (std::isfinite(t)) {
            comp_ += std::abs(sum_) >= std::abs(x) ? (sum_ - t) + x : (x - t) + sum_;
        }
        sum_ = t;
    }
    double value() const { return std::isfinite(sum_) ? sum_ + comp_ : sum_; }

  private:
    double sum_ = 0.0;
    double comp_ = 0.0;
};

// A value's position in the order of doubles as an unsigned key (zeros of both
// signs share one key, so equal values have equal keys), and its column.
struct Keyed {
    std::uint64_t key;
    std::uint32_t column;
};

std::uint64_t order_key(double value) {
    value += 0.0;  // -0 + 0 is +0 and every other value is itself: no branch on the data
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x8000000000000000ull) ? ~bits : bits | 0x8000000000000000ull;
}

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

struct Scratch {
    std::vector<Keyed> items, sorted;
    std::vector<std::uint32_t> buckets;
    // the value pass's counts, then a block per level of digit passes under it
    std::vector<std::uint32_t> counts = std::vector<std::uint32_t>(
        kValueBuckets + 1 + 64 * ((std::size_t{1} << kMaxDigitBits) + 1));
};

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
void narrow_to_bulk(const Keyed* items, std::size_t m, double& least, double& greatest) {
    constexpr std::size_t kSample = 32;
    if (m < 8 * kSample) return;
    const double inf = std::numeric_limits<double>::infinity();
    double low1 = inf, low2 = inf, high1 = -inf, high2 = -inf;
    std::uint64_t keys[kSample];
    for (std::size_t k = 0; k < kSample; ++k) keys[k] = items[k * (m / kSample)].key;
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

// Buckets of equal width between the least and the greatest finite value (or
// the bulk's two ends, above): one pass spreads a row of one magnitude (returns, ranks, prices)
// where the digit passes need two (their first digit is mostly the exponent). The bucket of a value
// never decreases with the value (a rounded difference and product keep their order; infinities go
// to the end buckets), so buckets hold consecutive runs of the order; a crowded one (a long tail
// leaves most values in one) is sorted by the digit passes. Scatters items[0, m) into `sorted`,
// bucket by bucket; false, touching nothing, when the finite range gives no usable width.
bool value_pass(Scratch& s, std::size_t m, double least, double greatest) {
    narrow_to_bulk(s.items.data(), m, least, greatest);
    const std::size_t buckets = std::min<std::size_t>(kValueBuckets, m);
    const double width = greatest - least;
    const double scale = static_cast<double>(buckets) / width;
    if (!(width > 0.0) || !std::isfinite(width) || !std::isfinite(scale)) return false;
    const double top = static_cast<double>(buckets - 1);
    s.buckets.resize(m);
    std::uint32_t* counts = s.counts.data();
    std::fill(counts, counts + buckets + 1, 0u);
    for (std::size_t i = 0; i < m; ++i) {
        const double x = value_of(s.items[i].key);
        double t = (x - least) * scale;
        t = t > 0.0 ? t : 0.0;
        t = t < top ? t : top;
        const auto b = static_cast<std::uint32_t>(t);
        s.buckets[i] = b;
        ++counts[b + 1];
    }
    std::uint32_t crowded = 0;
    for (std::size_t b = 1; b <= buckets; ++b) {
        crowded = std::max(crowded, counts[b]);
        counts[b] += counts[b - 1];
    }
    Keyed* sorted = s.sorted.data();
    for (std::size_t i = 0; i < m; ++i) sorted[counts[s.buckets[i]]++] = s.items[i];
    if (crowded > kInsertionSort) {  // digit passes for the crowded buckets
        for (std::size_t b = 0, begin = 0; b < buckets; begin = counts[b++]) {
            if (counts[b] - begin > kInsertionSort)
                sort_in_place(sorted + begin, s.items.data() + begin, counts[b] - begin,
                              counts + buckets + 1);
        }
    }
    // Every value of a bucket is below every value of the next, so one insertion
    // sort over the whole row moves values within their buckets only: a pass
    // without a branch per bucket, most of which hold one value or none.
    insertion_sort(sorted, m);
    return true;
}

void rank_row(Scratch& s, std::span<const double> row, std::span<double> out) {
    const std::size_t cols = row.size();
    s.items.resize(cols);
    s.sorted.resize(cols);
    // the non-NaN values' keys, written without a branch on NaN; their range, and
    // the range of the finite ones
    std::size_t m = 0;
    std::uint64_t low = ~std::uint64_t{0}, high = 0;
    double least = std::numeric_limits<double>::infinity(), greatest = -least;
    for (std::size_t c = 0; c < cols; ++c) {
        out[c] = kNaN;
        const double x = row[c];
        const std::uint64_t key = order_key(x);
        s.items[m] = {key, static_cast<std::uint32_t>(c)};
        const bool usable = !std::isnan(x);
        low = usable ? std::min(low, key) : low;
        high = usable ? std::max(high, key) : high;
        const bool finite = std::isfinite(x);
        least = finite && x < least ? x : least;
        greatest = finite && x > greatest ? x : greatest;
        m += usable;
    }
    const Keyed* sorted = s.items.data();
    if (m > kInsertionSort && low != high) {
        if (!value_pass(s, m, least, greatest)) {
            // the first digit pass scatters into the second buffer, sorted there
            const std::size_t buckets =
                digit_pass(s.items.data(), s.sorted.data(), m, low, high, s.counts.data());
            sort_buckets(s.sorted.data(), s.items.data(), buckets, s.counts.data());
        }
        sorted = s.sorted.data();
    } else {
        insertion_sort(s.items.data(), m);
    }
    const auto count = static_cast<double>(m);
    for (std::size_t i = 0; i < m;) {
        std::size_t j = i + 1;
        while (j < m && sorted[j].key == sorted[i].key) ++j;
        // Positions i..j-1 share the mean of the 1-based ranks i+1..j.
        const double rank = 0.5 * static_cast<double>(i + 1 + j) / count;
        for (std::size_t k = i; k < j; ++k) out[sorted[k].column] = rank;
        i = j;
    }
}

// Mean of the finite entries and their number.
std::pair<double, std::size_t> finite_mean(std::span<const double> row) {
    Sum total;
    std::size_t count = 0;
    for (double x : row) {
        if (std::isfinite(x)) {
            total.add(x);
            ++count;
        }
    }
    return {count ? total.value() / static_cast<double>(count) : kNaN, count};
}

void zscore_row(std::span<const double> row, std::span<double> out) {
    const auto [mean, count] = finite_mean(row);
    double std_dev = kNaN;
    if (count >= 2) {
        Sum squares;
        for (double x : row) {
            if (std::isfinite(x)) squares.add((x - mean) * (x - mean));
        }
        std_dev = std::sqrt(squares.value() / static_cast<double>(count - 1));
        if (std_dev == 0.0) std_dev = kNaN;
    }
    for (std::size_t c = 0; c < row.size(); ++c)
        out[c] = std::isfinite(row[c]) ? (row[c] - mean) / std_dev : kNaN;
}

void demean_row(std::span<const double> row, std::span<double> out) {
    const double mean = finite_mean(row).first;
    for (std::size_t c = 0; c < row.size(); ++c)
        out[c] = std::isfinite(row[c]) ? row[c] - mean : kNaN;
}

void scale_row(std::span<const double> row, std::span<double> out) {
    Sum total;
    bool any = false;
    for (double x : row) {
        if (std::isfinite(x)) {
            total.add(std::abs(x));
            any = true;
        }
    }
    double divisor = any ? total.value() : kNaN;
    if (divisor == 0.0) divisor = kNaN;
    for (std::size_t c = 0; c < row.size(); ++c)
        out[c] = std::isfinite(row[c]) ? row[c] / divisor : kNaN;
}

}  // namespace

void cross_section(CrossSection op, PanelView<const double> in, PanelView<double> out) {
    if (in.rows != out.rows || in.cols != out.cols) {
        throw std::invalid_argument("cross-section: input is " + std::to_string(in.rows) + " x " +
                                    std::to_string(in.cols) + " but output is " +
                                    std::to_string(out.rows) + " x " + std::to_string(out.cols));
    }
    if (in.cols > std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("cross-section: too many instruments");
    const std::size_t cols = in.cols;
    const std::size_t chunk = panel_rows::chunk_rows(in.rows, cols);
    double* rows = panel_rows::kept_buffer<double, 0>(chunk * cols);
    double* results = panel_rows::kept_buffer<double, 1>(chunk * cols);
    Scratch s;
    const std::size_t skipped = panel_rows::leading_nan_rows(in);
    panel_rows::fill_nan_rows(out, skipped);
    for (std::size_t r0 = skipped; r0 < in.rows; r0 += chunk) {
        const std::size_t n = std::min(chunk, in.rows - r0);
        panel_rows::copy_in(in, r0, n, rows);
        for (std::size_t t = 0; t < n; ++t) {
            const std::span<const double> row(rows + t * cols, cols);
            const std::span<double> result(results + t * cols, cols);
            switch (op) {
                case CrossSection::Rank:
                    rank_row(s, row, result);
                    break;
                case CrossSection::ZScore:
                    zscore_row(row, result);
                    break;
                case CrossSection::Demean:
                    demean_row(row, result);
                    break;
                case CrossSection::Scale:
                    scale_row(row, result);
                    break;
            }
        }
        panel_rows::copy_out(results, r0, n, out);
    }
}

std::size_t rank_kept(PanelView<const double> ranks, PanelView<const std::uint8_t> valid,
                      std::size_t first_row, std::size_t consumed, PanelView<double> out) {
    if (valid.rows != ranks.rows || valid.cols != ranks.cols || out.rows != ranks.rows ||
        out.cols != ranks.cols || first_row > ranks.rows) {
        throw std::invalid_argument(
            "kept ranks: ranks are " + std::to_string(ranks.rows) + " x " +
            std::to_string(ranks.cols) + ", valid rows " + std::to_string(valid.rows) + " x " +
            std::to_string(valid.cols) + ", output " + std::to_string(out.rows) + " x " +
            std::to_string(out.cols) + ", first row " + std::to_string(first_row));
    }
    if (ranks.cols > std::numeric_limits<std::uint32_t>::max())
        throw std::invalid_argument("kept ranks: too many instruments");
    const std::size_t cols = ranks.cols;
    panel_rows::fill_nan_rows(out, first_row);
    const std::size_t chunk = panel_rows::chunk_rows(ranks.rows, cols);
    double* rows = panel_rows::kept_buffer<double, 0>(chunk * cols);
    double* results = panel_rows::kept_buffer<double, 1>(chunk * cols);
    auto* flags = panel_rows::kept_buffer<std::uint8_t, 0>(chunk * cols);
    std::vector<std::size_t> counts(cols, 0);  // valid rows since first_row, per column
    Scratch s;
    std::size_t reranked = 0;
    for (std::size_t r0 = first_row; r0 < ranks.rows; r0 += chunk) {
        const std::size_t n = std::min(chunk, ranks.rows - r0);
        panel_rows::copy_in(ranks, r0, n, rows);
        panel_rows::copy_in(valid, r0, n, flags);
        for (std::size_t t = 0; t < n; ++t) {
            double* row = rows + t * cols;
            const std::uint8_t* flag = flags + t * cols;
            bool lost = false;
            for (std::size_t c = 0; c < cols; ++c) {
                counts[c] += flag[c] != 0;
                const bool drop = counts[c] <= consumed && !std::isnan(row[c]);
                lost |= drop;
                row[c] = drop ? kNaN : row[c];
            }
            const std::span<double> result(results + t * cols, cols);
            if (lost) {
                rank_row(s, std::span<const double>(row, cols), result);
                ++reranked;
            } else {
                std::memcpy(result.data(), row, cols * sizeof(double));
            }
        }
        panel_rows::copy_out(results, r0, n, out);
    }
    return reranked;
}

}  // namespace alvora::stats
