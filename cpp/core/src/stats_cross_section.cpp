#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "alvora/stats/cross_section.hpp"
#include "panel_rows.hpp"
#include "row_ranks.hpp"

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
    RowRanks ranker;
    const std::size_t skipped = panel_rows::leading_nan_rows(in);
    panel_rows::ChunkWriter writer(out);
    writer.nan_rows(skipped);
    for (std::size_t r0 = skipped; r0 < in.rows; r0 += chunk) {
        const std::size_t n = std::min(chunk, in.rows - r0);
        panel_rows::copy_in(in, r0, n, rows);
        for (std::size_t t = 0; t < n; ++t) {
            const std::span<const double> row(rows + t * cols, cols);
            const std::span<double> result(results + t * cols, cols);
            switch (op) {
                case CrossSection::Rank:
                    ranker.rank(row, result);
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
        writer.rows(results, r0, n);
    }
}

}  // namespace alvora::stats
