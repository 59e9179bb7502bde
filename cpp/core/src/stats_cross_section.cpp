#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "alvora/stats/cross_section.hpp"
#include "alvora/stats/ranks.hpp"

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

struct Scratch {
    std::vector<double> row;
    std::vector<double> ranks;
    std::vector<std::uint8_t> usable;
    std::vector<std::uint32_t> order, tie;
    std::vector<std::uint64_t> keys;
};

void rank_row(Scratch& s, std::span<double> out) {
    const std::size_t n = s.row.size();
    sorted_order(s.row, s.order, s.keys);
    s.usable.assign(n, 1);
    s.ranks.assign(n, kNaN);
    masked_average_ranks(s.order, s.row, s.usable, s.ranks, s.tie);
    const auto count = static_cast<double>(s.order.size());
    for (std::size_t c = 0; c < n; ++c) out[c] = s.ranks[c] / count;  // NaN stays NaN
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
