#include <cmath>
#include <limits>
#include <stdexcept>

#include "alvora/portfolio/factor_portfolio.hpp"
#include "alvora/portfolio/schedule.hpp"

namespace alvora::portfolio {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Return since the rebalance of the portfolio held on row t: weights of row s applied to each
// instrument's growth since the close of row s - 1; products that are undefined are left out.
double return_since_rebalance(PanelView weights, PanelView levels, std::size_t t,
                              std::size_t s) {
    const double* w = weights.row(s);
    const double* now = levels.row(t);
    const double* base = levels.row(s - 1);
    double total = 0.0;
    for (std::size_t i = 0; i < levels.cols; ++i) {
        const double contribution = w[i] * (now[i] / base[i] - 1.0);
        if (!std::isnan(contribution)) total += contribution;
    }
    return total;
}

}  // namespace

std::vector<double> factor_portfolio_returns(PanelView weights, PanelView levels,
                                             std::size_t period) {
    if (period < 1) throw std::invalid_argument("holding period must be at least 1");
    if (weights.rows != levels.rows || weights.cols != levels.cols)
        throw std::invalid_argument("weights and levels differ in shape");
    const std::size_t rows = levels.rows;
    std::vector<double> sum(rows, 0.0), count(rows, 0.0);
    auto add = [&](std::size_t t, double v) {
        if (std::isnan(v)) return;
        sum[t] += v;
        count[t] += 1.0;
    };
    const std::size_t active = rows == 0 ? 0 : std::min(period, rows - 1);
    for (std::size_t offset = 1; offset <= active; ++offset) {
        double previous = kNaN;  // value of 1 + return, padded forward
        for (std::size_t t = 0; t < rows; ++t) {
            double since = 0.0;
            bool rebalance = false;
            if (t >= offset) {
                const std::size_t s = rebalance_row(t, offset, period);
                rebalance = (t == s);
                since = return_since_rebalance(weights, levels, t, s);
            }
            const double value = 1.0 + since;
            const double current = std::isnan(value) ? previous : value;
            add(t, rebalance ? since : current / previous - 1.0);
            previous = current;
        }
    }
    // Schedules whose first rebalance lies beyond the data hold nothing: a zero return on every
    // row after the first.
    const double idle = static_cast<double>(period - active);
    for (std::size_t t = 1; t < rows && idle > 0; ++t) count[t] += idle;
    std::vector<double> out(rows);
    for (std::size_t t = 0; t < rows; ++t) out[t] = count[t] > 0 ? sum[t] / count[t] : kNaN;
    return out;
}

}  // namespace alvora::portfolio
