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
    const std::size_t rows = returns.size() / cols;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Running product skips missing returns; the output carries the last defined level forward.
    std::vector<double> product(cols, 1.0);
    std::vector<double> last(cols, nan);
    for (std::size_t t = 0; t < rows; ++t) {
        const double* r = returns.data() + t * cols;
        double* o = out.data() + t * cols;
        for (std::size_t i = 0; i < cols; ++i) {
            if (!std::isnan(r[i])) {
                product[i] *= 1.0 + r[i];
                if (!std::isnan(product[i])) last[i] = product[i];
            }
            o[i] = last[i];
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
