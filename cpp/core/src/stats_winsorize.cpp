#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "alvora/stats/winsorize.hpp"

namespace alvora::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The values of ranks k and k + 1 (0-based, ascending; `with_next` false gives the
// rank-k value twice) of v. Long inputs are bracketed first: a sorted strided sample
// gives two bounds that hold rank k with high probability, one pass counts the values
// below the lower bound and collects those between, and only these are selected
// from. When the bracket misses, the whole input is selected from instead.
std::pair<double, double> order_statistics(std::vector<double>& v, std::size_t k, bool with_next,
                                           std::vector<double>& middle) {
    const std::size_t n = v.size();
    auto select = [&](std::vector<double>& w, std::size_t at, std::size_t size) {
        std::nth_element(w.begin(), w.begin() + at, w.begin() + size);
        const double a = w[at];
        const double b = with_next ? *std::min_element(w.begin() + at + 1, w.begin() + size) : a;
        return std::pair<double, double>{a, b};
    };
    if (n < 512) return select(v, k, n);
    const auto s = static_cast<std::size_t>(4.0 * std::sqrt(static_cast<double>(n)));
    std::vector<double>& sample = middle;
    sample.resize(s);
    for (std::size_t i = 0; i < s; ++i) sample[i] = v[i * n / s];
    const std::size_t at = k * s / n;
    const auto margin = static_cast<std::size_t>(1.5 * std::sqrt(static_cast<double>(s))) + 3;
    const double inf = std::numeric_limits<double>::infinity();
    // The sample's two order statistics, selected rather than sorted.
    double low = -inf, high = inf;
    auto rest = sample.begin();
    if (at > margin) {
        std::nth_element(sample.begin(), sample.begin() + (at - margin), sample.end());
        low = sample[at - margin];
        rest = sample.begin() + (at - margin) + 1;
    }
    if (at + margin + 1 < s) {
        std::nth_element(rest, sample.begin() + (at + margin + 1), sample.end());
        high = sample[at + margin + 1];
    }
    middle.resize(n);
    std::size_t below = 0, kept = 0;
    for (double x : v) {
        middle[kept] = x;
        kept += (x >= low) & (x <= high);
        below += x < low;
    }
    if (below <= k && k + (with_next ? 1 : 0) < below + kept)
        return select(middle, k - below, kept);
    return select(v, k, n);
}

double median(std::vector<double>& v, std::vector<double>& middle) {
    const std::size_t n = v.size();
    if (n % 2 == 1) return order_statistics(v, n / 2, false, middle).first;
    const auto [lower, upper] = order_statistics(v, n / 2 - 1, true, middle);
    return (lower + upper) / 2.0;
}

// The value at fraction q of the sorted values, interpolated linearly between the
// neighbouring order statistics.
double percentile(std::vector<double>& v, double percent, std::vector<double>& middle) {
    const std::size_t n = v.size();
    const double q = percent / 100.0;
    const double virtual_index = static_cast<double>(n) * q + (1.0 - q) - 1.0;
    const double floor_index = std::floor(virtual_index);
    const auto below =
        static_cast<std::size_t>(std::clamp(floor_index, 0.0, static_cast<double>(n - 1)));
    const auto [a, b] = order_statistics(v, below, below + 1 < n, middle);
    const double t = std::clamp(virtual_index - floor_index, 0.0, 1.0);
    const double diff = b - a;
    return t >= 0.5 ? b - diff * (1.0 - t) : a + diff * t;
}

// numpy's maximum/minimum: a NaN on either side gives NaN.
double clip(double x, double low, double high) {
    if (std::isnan(x) || std::isnan(low)) return kNaN;
    double y = x < low ? low : x;
    if (std::isnan(high)) return kNaN;
    return y > high ? high : y;
}

void bounds(std::vector<double>& x, const ClipSettings& s, double& low, double& high,
            std::vector<double>& middle) {
    const std::size_t n = x.size();
    switch (s.rule) {
        case ClipRule::mad: {
            const double center = median(x, middle);
            for (double& v : x) v = std::fabs(v - center);
            const double spread = s.n_deviations * s.mad_scale * median(x, middle);
            low = center - spread;
            high = center + spread;
            return;
        }
        case ClipRule::std: {
            double sum = 0.0;
            for (double v : x) sum += v;
            const double mean = sum / static_cast<double>(n);
            double spread = 0.0;
            if (n > 1) {
                double squares = 0.0;
                for (double v : x) squares += (v - mean) * (v - mean);
                spread = s.n_deviations * std::sqrt(squares / static_cast<double>(n - 1));
            }
            low = mean - spread;
            high = mean + spread;
            return;
        }
        case ClipRule::percentile:
            low = percentile(x, s.low_percent, middle);
            high = percentile(x, s.high_percent, middle);
            return;
    }
}

}  // namespace

void winsorize_rows(const StridedRows& in, const ClipSettings& settings, std::span<double> out,
                    std::vector<double>& scratch) {
    const std::size_t rows = in.rows, cols = in.cols;
    if (out.size() != rows * cols)
        throw std::invalid_argument("winsorize_rows: output size does not match rows * cols");
    // Copied a few rows at a time: a column-major input then reads whole cache lines.
    constexpr std::size_t kRowTile = 8;
    for (std::size_t r0 = 0; r0 < rows; r0 += kRowTile) {
        const std::size_t r1 = std::min(rows, r0 + kRowTile);
        for (std::size_t c = 0; c < cols; ++c) {
            const double* x = in.data + static_cast<std::ptrdiff_t>(c) * in.column_stride;
            for (std::size_t r = r0; r < r1; ++r)
                out[r * cols + c] = x[static_cast<std::ptrdiff_t>(r) * in.row_stride];
        }
    }
    std::vector<double> middle;
    for (std::size_t r = 0; r < rows; ++r) {
        double* y = out.data() + r * cols;
        scratch.clear();
        for (std::size_t c = 0; c < cols; ++c)
            if (std::isfinite(y[c])) scratch.push_back(y[c]);
        if (scratch.empty()) continue;
        double low = 0.0, high = 0.0;
        bounds(scratch, settings, low, high, middle);
        if (std::isnan(low) || std::isnan(high)) {
            for (std::size_t c = 0; c < cols; ++c) y[c] = clip(y[c], low, high);
            continue;
        }
        // NaN stays NaN through both comparisons.
        for (std::size_t c = 0; c < cols; ++c) {
            const double v = y[c] < low ? low : y[c];
            y[c] = v > high ? high : v;
        }
    }
}

}  // namespace alvora::stats
