#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "alvora/portfolio/levels.hpp"

namespace alvora::portfolio {

void cumulative_levels(std::span<const double> returns, std::size_t cols, std::span<double> out) {
    if (out.size() != returns.size()) throw std::invalid_argument("levels: output size mismatch");
    if (cols == 0) return;
    if (returns.size() % cols != 0) throw std::invalid_argument("levels: ragged panel");
    const auto stride = static_cast<std::ptrdiff_t>(cols);
    cumulative_levels(stats::StridedRows{returns.data(), returns.size() / cols, cols, stride, 1},
                      out);
}

void cumulative_levels(const stats::StridedRows& returns, std::span<double> out) {
    const std::size_t rows = returns.rows, cols = returns.cols;
    if (out.size() != rows * cols) throw std::invalid_argument("levels: output size mismatch");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Running product skips missing returns; the output carries the last defined level forward.
    std::vector<double> product(cols, 1.0);
    std::vector<double> last(cols, nan);
    // The returns of a few rows are copied into their output rows and turned into levels
    // there, while those rows are in cache.
    for (std::size_t r0 = 0; r0 < rows; r0 += stats::kRowTile) {
        const std::size_t r1 = std::min(rows, r0 + stats::kRowTile);
        stats::copy_rows(returns, r0, r1, out.data());
        for (std::size_t t = r0; t < r1; ++t) {
            double* o = out.data() + t * cols;
            for (std::size_t i = 0; i < cols; ++i) {
                const double r = o[i];
                if (!std::isnan(r)) {
                    product[i] *= 1.0 + r;
                    if (!std::isnan(product[i])) last[i] = product[i];
                }
                o[i] = last[i];
            }
        }
    }
}

void compound_in_place(std::span<double> daily) {
    double level = 1.0;
    for (double& x : daily) {
        level *= 1.0 + x;
        x = level - 1.0;
    }
}

}  // namespace alvora::portfolio
