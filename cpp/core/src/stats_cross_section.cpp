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

constexpr std::size_t kShortRow = 256;
// Rows from this many values on take 11-bit digits (six passes at most);
// shorter ones bytes (eight at most), whose counts are quicker to clear.
constexpr std::size_t kLongRow = 1536;

struct Scratch {
    std::vector<double> row;
    std::vector<Keyed> items, sorted;
    std::vector<std::uint32_t> start;  // digit counts, then each digit's next slot
};

// Sorts by key: a least-significant-digit radix sort. All digits' counts come
// from one read of the keys, and a digit every key shares (sign and exponent
// bits of values of one magnitude, mostly) needs no pass.
template <int DigitBits>
void radix_sort(Scratch& s) {
    constexpr int kDigits = (64 + DigitBits - 1) / DigitBits;
    constexpr std::size_t kRadix = std::size_t{1} << DigitBits;
    constexpr std::uint64_t kMask = kRadix - 1;
    std::vector<Keyed>& items = s.items;
    const std::size_t m = items.size();
    s.start.assign(kDigits * kRadix, 0);
    std::uint32_t* counts = s.start.data();
    for (const Keyed& k : items)
        for (int d = 0; d < kDigits; ++d)
            ++counts[d * kRadix + ((k.key >> (DigitBits * d)) & kMask)];
    s.sorted.resize(m);
    for (int d = 0; d < kDigits; ++d) {
        std::uint32_t* slot = counts + d * kRadix;
        const int shift = DigitBits * d;
        if (slot[(items[0].key >> shift) & kMask] == m) continue;  // one digit for all
        std::uint32_t total = 0;
        for (std::size_t b = 0; b < kRadix; ++b) {
            const std::uint32_t here = slot[b];
            slot[b] = total;
            total += here;
        }
        for (const Keyed& k : items) s.sorted[slot[(k.key >> shift) & kMask]++] = k;
        items.swap(s.sorted);
    }
}

// Rows too short to repay clearing the digits' counts take a comparison sort.
void sort_by_key(Scratch& s) {
    const std::size_t m = s.items.size();
    if (m < kShortRow)
        std::sort(s.items.begin(), s.items.end(),
                  [](const Keyed& a, const Keyed& b) { return a.key < b.key; });
    else if (m < kLongRow)
        radix_sort<8>(s);
    else
        radix_sort<11>(s);
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
