#include <cmath>
#include <limits>

#include "alvora/portfolio/factor_portfolio.hpp"

namespace alvora::portfolio {

std::vector<double> previous_row_weights(PanelView factor, bool negate) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::size_t rows = factor.rows, cols = factor.cols;
    std::vector<double> weights(rows * cols, nan);
    for (std::size_t t = 1; t < rows; ++t) {
        const double* f = factor.row(t - 1);
        double* w = weights.data() + t * cols;
        double sum = 0.0, count = 0.0;
        for (std::size_t i = 0; i < cols; ++i) {
            if (std::isnan(f[i])) continue;
            sum += f[i];
            count += 1.0;
        }
        const double mean = count > 0 ? sum / count : nan;
        double gross = 0.0;
        for (std::size_t i = 0; i < cols; ++i) {
            w[i] = f[i] - mean;
            if (!std::isnan(w[i])) gross += std::fabs(w[i]);
        }
        // A flat or single-valued row has zero gross exposure: 0 / 0 leaves it without weights.
        for (std::size_t i = 0; i < cols; ++i) {
            w[i] /= gross;
            if (negate) w[i] = -w[i];
        }
    }
    return weights;
}

}  // namespace alvora::portfolio
