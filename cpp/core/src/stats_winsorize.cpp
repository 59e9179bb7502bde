#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

#include "alvora/stats/winsorize.hpp"

namespace alvora::stats {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A row's n finite values (only read) and room for n values twice: the values
// selected from in full, and the candidates of a bracketed selection.
struct Selection {
    const double* values;
    double* all;
    double* candidates;
    std::size_t n;
};

// Rearranges w[0..size) so that w[k] holds the value of rank k, the values before it
// are no greater and those after it no smaller. Quickselect with a branch-free
// partition: the comparisons of random data are unpredictable, and a mispredicted
// branch per value costs more than the moves. Ties with the pivot are split off when
// a pass leaves nothing below it; after a few more passes than a balanced run
// needs, the library's introselect finishes the range.
void select_rank(double* w, std::size_t k, std::size_t size) {
    std::size_t lo = 0, hi = size;
    int passes = 8;
    for (std::size_t n = size; n > 1; n >>= 1) passes += 2;
    while (hi - lo > 24) {
        if (--passes < 0) {
            std::nth_element(w + lo, w + k, w + hi);
            return;
        }
        double* v = w + lo;
        const std::size_t n = hi - lo;
        double a = v[0], b = v[n / 2], c = v[n - 1];
        if (b < a) std::swap(a, b);
        if (c < b) b = c < a ? a : c;
        const double pivot = b;
        std::size_t j = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double x = v[i];
            v[i] = v[j];
            v[j] = x;
            j += x < pivot;
        }
        if (k < lo + j) {
            hi = lo + j;
            continue;
        }
        if (j > 0) {
            lo += j;
            continue;
        }
        // Nothing below the pivot: the values equal to it go first.
        for (std::size_t i = 0; i < n; ++i) {
            const double x = v[i];
            v[i] = v[j];
            v[j] = x;
            j += x <= pivot;
        }
        if (k < lo + j) return;  // w[lo..lo + j) all equal the pivot
        lo += j;
    }
    std::sort(w + lo, w + hi);
}

std::pair<double, double> select_in(double* w, std::size_t at, std::size_t size, bool with_next) {
    select_rank(w, at, size);
    const double a = w[at];
    const double b = with_next ? *std::min_element(w + at + 1, w + size) : a;
    return {a, b};
}

// The values of ranks k and k + 1 (0-based, ascending; `with_next` false gives the
// rank-k value twice) of value(0..n-1). Long inputs are bracketed first: a sorted
// strided sample gives two bounds that hold rank k with high probability, one pass
// counts the values below the lower bound and collects those between, and only
// these are selected from. When the bracket misses, every value is materialised in
// `all` and selected from. Any exact selection gives the same two values.
template <class Value>
std::pair<double, double> order_statistics(Value value, std::size_t n, std::size_t k,
                                           bool with_next, double* all, double* candidates) {
    auto materialise = [&] {
        for (std::size_t i = 0; i < n; ++i) all[i] = value(i);
        return select_in(all, k, n, with_next);
    };
    if (n < 512) return materialise();
    const auto s = static_cast<std::size_t>(4.0 * std::sqrt(static_cast<double>(n)));
    double* sample = candidates;
    for (std::size_t i = 0; i < s; ++i) sample[i] = value(i * n / s);
    const std::size_t at = k * s / n;
    const auto margin = static_cast<std::size_t>(1.5 * std::sqrt(static_cast<double>(s))) + 3;
    // The sample's two order statistics, selected rather than sorted.
    double low = -kInf, high = kInf;
    double* rest = sample;
    if (at > margin) {
        select_rank(sample, at - margin, s);
        low = sample[at - margin];
        rest = sample + (at - margin) + 1;
    }
    if (at + margin + 1 < s) {
        select_rank(rest, static_cast<std::size_t>(sample + (at + margin + 1) - rest),
                    static_cast<std::size_t>(sample + s - rest));
        high = sample[at + margin + 1];
    }
    std::size_t below = 0, kept = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double x = value(i);
        candidates[kept] = x;
        kept += (x >= low) & (x <= high);
        below += x < low;
    }
    if (below <= k && k + (with_next ? 1 : 0) < below + kept)
        return select_in(candidates, k - below, kept, with_next);
    return materialise();
}

double median_of(auto value, std::size_t n, double* all, double* candidates) {
    if (n % 2 == 1) return order_statistics(value, n, n / 2, false, all, candidates).first;
    const auto [lower, upper] = order_statistics(value, n, n / 2 - 1, true, all, candidates);
    return (lower + upper) / 2.0;
}

// The value at fraction q of the sorted values, interpolated linearly between the
// neighbouring order statistics.
double percentile(const Selection& x, double percent) {
    const std::size_t n = x.n;
    const double q = percent / 100.0;
    const double virtual_index = static_cast<double>(n) * q + (1.0 - q) - 1.0;
    const double floor_index = std::floor(virtual_index);
    const auto below =
        static_cast<std::size_t>(std::clamp(floor_index, 0.0, static_cast<double>(n - 1)));
    const double* v = x.values;
    const auto [a, b] = order_statistics([v](std::size_t i) { return v[i]; }, n, below,
                                         below + 1 < n, x.all, x.candidates);
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

// The bounds of a row from its finite values.
void bounds(const Selection& x, const ClipSettings& s, double& low, double& high) {
    const std::size_t n = x.n;
    const double* v = x.values;
    switch (s.rule) {
        case ClipRule::mad: {
            // The deviations are taken as they are needed, not stored.
            const double center =
                median_of([v](std::size_t i) { return v[i]; }, n, x.all, x.candidates);
            const double deviation =
                median_of([v, center](std::size_t i) { return std::fabs(v[i] - center); }, n, x.all,
                          x.candidates);
            const double spread = s.n_deviations * s.mad_scale * deviation;
            low = center - spread;
            high = center + spread;
            return;
        }
        case ClipRule::std: {
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) sum += v[i];
            const double mean = sum / static_cast<double>(n);
            double spread = 0.0;
            if (n > 1) {
                double squares = 0.0;
                for (std::size_t i = 0; i < n; ++i) squares += (v[i] - mean) * (v[i] - mean);
                spread = s.n_deviations * std::sqrt(squares / static_cast<double>(n - 1));
            }
            low = mean - spread;
            high = mean + spread;
            return;
        }
        case ClipRule::percentile:
            low = percentile(x, s.low_percent);
            high = percentile(x, s.high_percent);
            return;
    }
}

void clip_row(double* y, std::size_t cols, double low, double high) {
    if (std::isnan(low) || std::isnan(high)) {
        for (std::size_t c = 0; c < cols; ++c) y[c] = clip(y[c], low, high);
        return;
    }
    // NaN stays NaN through both comparisons.
    for (std::size_t c = 0; c < cols; ++c) {
        const double v = y[c] < low ? low : y[c];
        y[c] = v > high ? high : v;
    }
}

}  // namespace

void winsorize_rows(const StridedRows& in, const ClipSettings& settings, std::span<double> out,
                    std::vector<double>& scratch) {
    const std::size_t rows = in.rows, cols = in.cols;
    if (out.size() != rows * cols)
        throw std::invalid_argument("winsorize_rows: output size does not match rows * cols");
    // A row's finite values, room for a reordered copy of them, and the candidates.
    scratch.resize(3 * cols);
    for (std::size_t r0 = 0; r0 < rows; r0 += kRowTile) {
        const std::size_t r1 = std::min(rows, r0 + kRowTile);
        copy_rows(in, r0, r1, out.data());
        for (std::size_t r = r0; r < r1; ++r) {
            double* y = out.data() + r * cols;
            double* finite = scratch.data();
            std::size_t n = 0;
            for (std::size_t c = 0; c < cols; ++c) {
                finite[n] = y[c];
                n += std::fabs(y[c]) <= std::numeric_limits<double>::max();
            }
            if (n == 0) continue;
            double low = 0.0, high = 0.0;
            bounds({finite, scratch.data() + cols, scratch.data() + 2 * cols, n}, settings, low,
                   high);
            clip_row(y, cols, low, high);
        }
    }
}

}  // namespace alvora::stats
