#include <algorithm>
#include <cmath>
#include <limits>

#include "alvora/stats/correlation.hpp"
#include "alvora/stats/incomplete_beta.hpp"
#include "alvora/stats/ranks.hpp"

namespace alvora::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool is_constant(std::span<const double> v) {
    return std::all_of(v.begin(), v.end(), [&](double value) { return value == v[0]; });
}

double mean_of(std::span<const double> v) {
    double sum = 0.0;
    for (double value : v) sum += value;
    return sum / static_cast<double>(v.size());
}

// Euclidean norm of v - mean, scaled by the largest deviation to avoid overflow.
double centred_norm(std::span<const double> v, double mean) {
    double largest = 0.0;
    for (double value : v) largest = std::max(largest, std::fabs(value - mean));
    if (!(largest > 0.0) || std::isinf(largest)) return largest * 1.0;
    double sum = 0.0;
    for (double value : v) {
        const double scaled = (value - mean) / largest;
        sum += scaled * scaled;
    }
    return largest * std::sqrt(sum);
}

}  // namespace

Correlation pearson(std::span<const double> x, std::span<const double> y) {
    const std::size_t n = x.size();
    if (is_constant(x) || is_constant(y)) return {kNaN, kNaN, CorrelationNote::constant_input};
    const double x_mean = mean_of(x);
    const double y_mean = mean_of(y);
    const double x_norm = centred_norm(x, x_mean);
    const double y_norm = centred_norm(y, y_mean);
    // Deviations this small against the mean lose their digits in the subtraction.
    const double threshold = std::pow(std::numeric_limits<double>::epsilon(), 0.75);
    const bool near_constant =
        x_norm < threshold * std::fabs(x_mean) || y_norm < threshold * std::fabs(y_mean);
    double r = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        r += ((x[i] - x_mean) / x_norm) * ((y[i] - y_mean) / y_norm);
    if (!std::isnan(r)) r = std::clamp(r, -1.0, 1.0);
    const CorrelationNote note =
        near_constant ? CorrelationNote::near_constant_input : CorrelationNote::none;
    if (n == 2) {
        if (std::isnan(r)) return {kNaN, kNaN, note};
        return {std::round(r), 1.0, note};
    }
    return {r, correlation_p_value(r, static_cast<double>(n) - 2.0), note};
}

Correlation spearman(std::span<const double> x, std::span<const double> y,
                     CorrelationWorkspace& ws) {
    const std::size_t n = x.size();
    if (is_constant(x) || is_constant(y)) return {kNaN, kNaN, CorrelationNote::constant_input};
    ws.x_ranks.resize(n);
    ws.y_ranks.resize(n);
    average_ranks(x, ws.x_ranks, ws.order);
    average_ranks(y, ws.y_ranks, ws.order);
    // Ranks average to (n + 1) / 2 exactly; the sums below are exact for realistic n.
    const double mean = 0.5 * (static_cast<double>(n) + 1.0);
    double sxy = 0.0;
    double sxx = 0.0;
    double syy = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double dx = ws.x_ranks[i] - mean;
        const double dy = ws.y_ranks[i] - mean;
        sxy += dx * dy;
        sxx += dx * dx;
        syy += dy * dy;
    }
    return rank_correlation(sxy, sxx, syy, n);
}

double rank_coefficient(double sxy, double sxx, double syy, std::size_t n) {
    // Same operation order as a covariance-matrix normalisation, so that perfectly
    // (anti-)monotone samples land on the same last bit as the usual tools.
    const double dof = static_cast<double>(n) - 1.0;
    double rho = sxy / dof;
    rho /= std::sqrt(sxx / dof);
    rho /= std::sqrt(syy / dof);
    return std::clamp(rho, -1.0, 1.0);
}

Correlation rank_correlation(double sxy, double sxx, double syy, std::size_t n) {
    const double rho = rank_coefficient(sxy, sxx, syy, n);
    return {rho, correlation_p_value(rho, static_cast<double>(n) - 2.0), CorrelationNote::none};
}

Correlation correlate(CorrelationMethod method, std::span<const double> x,
                      std::span<const double> y, CorrelationWorkspace& ws) {
    return method == CorrelationMethod::spearman ? spearman(x, y, ws) : pearson(x, y);
}

}  // namespace alvora::stats
