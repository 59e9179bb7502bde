// Row-wise (per date) standardization with NaN skipped.
#include <cmath>
#include <limits>
#include <stdexcept>

#include "alvora/ols/standardize.hpp"

namespace alvora::ols {

void standardize_rows(std::span<const double> in, std::size_t rows, std::size_t cols,
                      std::span<double> out) {
    if (in.size() != rows * cols || out.size() != rows * cols)
        throw std::invalid_argument("standardize_rows: buffer size does not match rows * cols");
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t r = 0; r < rows; ++r) {
        const double* x = in.data() + r * cols;
        double* y = out.data() + r * cols;
        double sum = 0.0;
        std::size_t count = 0;
        for (std::size_t c = 0; c < cols; ++c) {
            if (std::isnan(x[c])) continue;
            sum += x[c];
            ++count;
        }
        // Two passes: the mean first, then the squared deviations from it.
        const double mean = count > 0 ? sum / static_cast<double>(count) : kNaN;
        double ss = 0.0;
        for (std::size_t c = 0; c < cols; ++c) {
            if (std::isnan(x[c])) continue;
            const double d = x[c] - mean;
            ss += d * d;
        }
        const double sd = count > 1 ? std::sqrt(ss / static_cast<double>(count - 1)) : kNaN;
        for (std::size_t c = 0; c < cols; ++c) {
            const double z = (x[c] - mean) / sd;
            y[c] = std::isinf(z) ? 0.0 : z;
        }
    }
}

}  // namespace alvora::ols
