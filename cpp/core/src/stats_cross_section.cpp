#include <algorithm>
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
    if (value == 0.0) value = 0.0;
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return (bits & 0x8000000000000000ull) ? ~bits : bits | 0x8000000000000000ull;
}

struct Scratch {
    std::vector<double> row;
    std::vector<Keyed> items, sorted;
    std::vector<std::uint32_t> bucket, start;
};

void insertion_sort(Keyed* first, Keyed* last) {
    for (Keyed* i = first + 1; i < last; ++i) {
        const Keyed item = *i;
        Keyed* j = i;
        for (; j > first && (j - 1)->key > item.key; --j) *j = *(j - 1);
        *j = item;
    }
}

// Sorts by key: values are spread over about one bucket per item by their key's
// place between the smallest and largest key (order-preserving), then each
// bucket is sorted on its own; crowded buckets fall back to a comparison sort.
void sort_by_key(Scratch& s) {
    std::vector<Keyed>& items = s.items;
    const std::size_t m = items.size();
    auto by_key = [](const Keyed& a, const Keyed& b) { return a.key < b.key; };
    if (m < 64) {
        std::sort(items.begin(), items.end(), by_key);
        return;
    }
    std::uint64_t lo = items[0].key, hi = items[0].key;
    for (const Keyed& k : items) {
        lo = std::min(lo, k.key);
        hi = std::max(hi, k.key);
    }
    if (lo == hi) return;
    const std::size_t buckets = m;
    const double scale = static_cast<double>(buckets) / (static_cast<double>(hi - lo) + 1.0);
    s.bucket.resize(m);
    s.start.assign(buckets + 1, 0);
    for (std::size_t i = 0; i < m; ++i) {
        auto b = static_cast<std::size_t>(static_cast<double>(items[i].key - lo) * scale);
        b = std::min(b, buckets - 1);
        s.bucket[i] = static_cast<std::uint32_t>(b);
        ++s.start[b + 1];
    }
    for (std::size_t b = 0; b < buckets; ++b) s.start[b + 1] += s.start[b];
    s.sorted.resize(m);
    std::vector<std::uint32_t>& next = s.bucket;  // reused: each item's slot
    {
        std::vector<std::uint32_t> fill(s.start.begin(), s.start.end() - 1);
        for (std::size_t i = 0; i < m; ++i) s.sorted[fill[next[i]]++] = items[i];
    }
    for (std::size_t b = 0; b < buckets; ++b) {
        Keyed* first = s.sorted.data() + s.start[b];
        Keyed* last = s.sorted.data() + s.start[b + 1];
        if (last - first <= 16)
            insertion_sort(first, last);
        else
            std::sort(first, last, by_key);
    }
    items.swap(s.sorted);
}

void rank_row(Scratch& s, std::span<double> out) {
    s.items.clear();
    for (std::size_t c = 0; c < s.row.size(); ++c) {
        out[c] = kNaN;
        if (!std::isnan(s.row[c]))
            s.items.push_back({order_key(s.row[c]), static_cast<std::uint32_t>(c)});
    }
    sort_by_key(s);
    const std::size_t m = s.items.size();
    const auto count = static_cast<double>(m);
    for (std::size_t i = 0; i < m;) {
        std::size_t j = i + 1;
        while (j < m && s.items[j].key == s.items[i].key) ++j;
        // Positions i..j-1 share the mean of the 1-based ranks i+1..j.
        const double rank = 0.5 * static_cast<double>(i + 1 + j) / count;
        for (std::size_t k = i; k < j; ++k) out[s.items[k].column] = rank;
        i = j;
    }
}

// Mean of the finite entries and their number.
std::pair<double, std::size_t> finite_mean(const std::vector<double>& row) {
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

void zscore_row(const std::vector<double>& row, std::span<double> out) {
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

void demean_row(const std::vector<double>& row, std::span<double> out) {
    const double mean = finite_mean(row).first;
    for (std::size_t c = 0; c < row.size(); ++c)
        out[c] = std::isfinite(row[c]) ? row[c] - mean : kNaN;
}

void scale_row(const std::vector<double>& row, std::span<double> out) {
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
    Scratch s;
    s.row.resize(in.cols);
    std::vector<double> result(in.cols);
    for (std::size_t r = 0; r < in.rows; ++r) {
        for (std::size_t c = 0; c < in.cols; ++c) s.row[c] = in.at(r, c);
        switch (op) {
            case CrossSection::Rank:
                rank_row(s, result);
                break;
            case CrossSection::ZScore:
                zscore_row(s.row, result);
                break;
            case CrossSection::Demean:
                demean_row(s.row, result);
                break;
            case CrossSection::Scale:
                scale_row(s.row, result);
                break;
        }
        for (std::size_t c = 0; c < in.cols; ++c) out.at(r, c) = result[c];
    }
}

}  // namespace alvora::stats
