#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "alvora/stats/forward_returns.hpp"

namespace alvora::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Instruments processed together, so the writes into the row-major outputs stay local.
constexpr std::size_t kBlock = 64;

}  // namespace

void forward_returns(const StridedMatrix& returns, std::span<const std::int64_t> rows,
                     std::span<const std::int64_t> horizons, std::span<double* const> out) {
    const std::size_t n_rows = returns.rows;
    const std::size_t n_cols = returns.cols;
    std::vector<double> growth(n_rows * kBlock);
    for (std::size_t c0 = 0; c0 < n_cols; c0 += kBlock) {
        const std::size_t width = std::min(kBlock, n_cols - c0);
        // Cumulative growth of each column of the block, stored row-major (row * kBlock + b).
        for (std::size_t b = 0; b < width; ++b) {
            double running = kNaN;
            for (std::size_t r = 0; r < n_rows; ++r) {
                const double value = returns.at(r, c0 + b);
                if (!std::isnan(value))
                    running = std::isnan(running) ? 1.0 + value : running * (1.0 + value);
                growth[r * kBlock + b] = running;
            }
        }
        for (std::size_t k = 0; k < horizons.size(); ++k) {
            const std::int64_t horizon = horizons[k];
            double* dest = out[k];
            for (std::size_t j = 0; j < rows.size(); ++j) {
                const std::int64_t start = rows[j];
                const std::int64_t target = start + horizon;
                double* line = dest + j * n_cols + c0;
                // A negative horizon looks back; either way the target row must exist.
                if (start < 0 || target < 0 || target >= static_cast<std::int64_t>(n_rows)) {
                    std::fill(line, line + width, kNaN);
                    continue;
                }
                const double* base = &growth[static_cast<std::size_t>(start) * kBlock];
                const double* ahead = &growth[static_cast<std::size_t>(target) * kBlock];
                for (std::size_t b = 0; b < width; ++b) line[b] = ahead[b] / base[b] - 1.0;
            }
        }
    }
}

void gather(const StridedMatrix& source, std::span<const std::int64_t> rows,
            std::span<const std::int64_t> columns, std::span<double> out) {
    const std::size_t n_cols = columns.size();
    for (std::size_t j = 0; j < rows.size(); ++j) {
        double* line = out.data() + j * n_cols;
        if (rows[j] < 0) {
            std::fill(line, line + n_cols, kNaN);
            continue;
        }
        const auto r = static_cast<std::size_t>(rows[j]);
        for (std::size_t i = 0; i < n_cols; ++i)
            line[i] = columns[i] < 0 ? kNaN : source.at(r, static_cast<std::size_t>(columns[i]));
    }
}

}  // namespace alvora::stats
