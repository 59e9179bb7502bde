#include <algorithm>
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
double return_since_rebalance(PanelView weights, PanelView levels, std::size_t t, std::size_t s) {
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

// The returns since several rebalance rows at once (rows[q] in force on row t), each summed
// exactly as return_since_rebalance sums it: its products first (a vectorized loop per row),
// then the sums of a few rows side by side, so that no sum waits on its own previous
// addition. Adding 0.0 for an undefined product leaves a sum as it is (a sum starting at
// +0.0 never becomes -0.0).
void returns_since_rebalances(PanelView weights, PanelView levels, std::size_t t,
                              std::span<const std::size_t> rows, std::vector<double>& scratch,
                              double* out) {
    const std::size_t cols = levels.cols;
    scratch.resize(rows.size() * cols);
    const double* now = levels.row(t);
    for (std::size_t q = 0; q < rows.size(); ++q) {
        const double* w = weights.row(rows[q]);
        const double* base = levels.row(rows[q] - 1);
        double* x = scratch.data() + q * cols;
        for (std::size_t i = 0; i < cols; ++i) x[i] = w[i] * (now[i] / base[i] - 1.0);
    }
    constexpr std::size_t kSide = 4;
    std::size_t q = 0;
    for (; q + kSide <= rows.size(); q += kSide) {
        const double* x = scratch.data() + q * cols;
        double total[kSide] = {};
        for (std::size_t i = 0; i < cols; ++i) {
            for (std::size_t k = 0; k < kSide; ++k) {
                const double v = x[k * cols + i];
                total[k] += std::isnan(v) ? 0.0 : v;
            }
        }
        for (std::size_t k = 0; k < kSide; ++k) out[q + k] = total[k];
    }
    for (; q < rows.size(); ++q) {
        const double* x = scratch.data() + q * cols;
        double total = 0.0;
        for (std::size_t i = 0; i < cols; ++i)
            if (!std::isnan(x[i])) total += x[i];
        out[q] = total;
    }
}

void check_shapes(PanelView weights, PanelView levels) {
    if (weights.rows != levels.rows || weights.cols != levels.cols)
        throw std::invalid_argument("weights and levels differ in shape");
}

// Mean over the schedules from the running sums; `idle` schedules count as zeros on every
// row after the first.
std::vector<double> schedule_mean(const std::vector<double>& sum, std::vector<double>& count,
                                  double idle) {
    const std::size_t rows = sum.size();
    for (std::size_t t = 1; t < rows && idle > 0; ++t) count[t] += idle;
    std::vector<double> out(rows);
    for (std::size_t t = 0; t < rows; ++t) out[t] = count[t] > 0 ? sum[t] / count[t] : kNaN;
    return out;
}

}  // namespace

std::vector<double> factor_portfolio_returns(PanelView weights, PanelView levels,
                                             std::size_t period) {
    if (period < 1) throw std::invalid_argument("holding period must be at least 1");
    check_shapes(weights, levels);
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
    return schedule_mean(sum, count, static_cast<double>(period - active));
}

std::vector<std::vector<double>> factor_portfolio_returns(PanelView weights, PanelView levels,
                                                          std::span<const std::size_t> periods) {
    for (std::size_t p : periods)
        if (p < 1) throw std::invalid_argument("holding period must be at least 1");
    check_shapes(weights, levels);
    const std::size_t rows = levels.rows;
    struct Horizon {
        std::size_t period, active;
        std::vector<double> sum, count;
        std::vector<double> previous;  // per schedule: value of 1 + return, padded forward
    };
    std::vector<Horizon> horizons;
    horizons.reserve(periods.size());
    std::size_t window = 0;  // distances t - s a rebalance row s in force on row t can have
    for (std::size_t p : periods) {
        const std::size_t active = rows == 0 ? 0 : std::min(p, rows - 1);
        window = std::max(window, std::min(p, rows));
        horizons.push_back({p, active, std::vector<double>(rows, 0.0),
                            std::vector<double>(rows, 0.0), std::vector<double>(active, kNaN)});
    }
    // Return since each rebalance row in force on the current row, by distance back; `ready`
    // holds the row (plus one) it was computed for. All of a row's are computed together.
    std::vector<double> since_by_distance(window), scratch, since_rows;
    std::vector<std::size_t> ready(window, 0), slots, rebalance_rows;
    for (std::size_t t = 0; t < rows; ++t) {
        slots.clear();
        rebalance_rows.clear();
        for (const Horizon& h : horizons) {
            for (std::size_t offset = 1; offset <= h.active && offset <= t; ++offset) {
                const std::size_t s = rebalance_row(t, offset, h.period);
                if (ready[t - s] == t + 1) continue;
                ready[t - s] = t + 1;
                slots.push_back(t - s);
                rebalance_rows.push_back(s);
            }
        }
        since_rows.resize(slots.size());
        returns_since_rebalances(weights, levels, t, rebalance_rows, scratch, since_rows.data());
        for (std::size_t k = 0; k < slots.size(); ++k) since_by_distance[slots[k]] = since_rows[k];
        for (Horizon& h : horizons) {
            for (std::size_t offset = 1; offset <= h.active; ++offset) {
                double since = 0.0;
                bool rebalance = false;
                if (t >= offset) {
                    const std::size_t s = rebalance_row(t, offset, h.period);
                    rebalance = (t == s);
                    since = since_by_distance[t - s];
                }
                const double value = 1.0 + since;
                double& previous = h.previous[offset - 1];
                const double current = std::isnan(value) ? previous : value;
                const double v = rebalance ? since : current / previous - 1.0;
                if (!std::isnan(v)) {
                    h.sum[t] += v;
                    h.count[t] += 1.0;
                }
                previous = current;
            }
        }
    }
    std::vector<std::vector<double>> out;
    out.reserve(horizons.size());
    for (Horizon& h : horizons)
        out.push_back(schedule_mean(h.sum, h.count, static_cast<double>(h.period - h.active)));
    return out;
}

}  // namespace alvora::portfolio
