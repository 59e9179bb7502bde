// winsorize_rows against bounds computed from fully sorted rows: the selection it
// uses instead of sorting must find the very same order statistics.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "alvora/stats/winsorize.hpp"

namespace st = alvora::stats;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double sorted_median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

double sorted_percentile(std::vector<double> v, double percent) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    const double q = percent / 100.0;
    const double at = static_cast<double>(n) * q + (1.0 - q) - 1.0;
    const double floor_at = std::floor(at);
    const auto i = static_cast<std::size_t>(std::clamp(floor_at, 0.0, static_cast<double>(n - 1)));
    const double a = v[i], b = v[std::min(i + 1, n - 1)];
    const double t = std::clamp(at - floor_at, 0.0, 1.0);
    return t >= 0.5 ? b - (b - a) * (1.0 - t) : a + (b - a) * t;
}

// One row clipped with bounds from its sorted finite values.
std::vector<double> reference_row(const std::vector<double>& row, const st::ClipSettings& s) {
    std::vector<double> x;
    for (double v : row)
        if (std::isfinite(v)) x.push_back(v);
    if (x.empty()) return row;
    double low = 0.0, high = 0.0;
    if (s.rule == st::ClipRule::mad) {
        const double center = sorted_median(x);
        std::vector<double> deviations;
        for (double v : x) deviations.push_back(std::fabs(v - center));
        const double spread = s.n_deviations * s.mad_scale * sorted_median(deviations);
        low = center - spread;
        high = center + spread;
    } else if (s.rule == st::ClipRule::percentile) {
        low = sorted_percentile(x, s.low_percent);
        high = sorted_percentile(x, s.high_percent);
    } else {
        double sum = 0.0, squares = 0.0;
        for (double v : x) sum += v;
        const double mean = sum / static_cast<double>(x.size());
        for (double v : x) squares += (v - mean) * (v - mean);
        const double spread =
            x.size() > 1 ? s.n_deviations * std::sqrt(squares / static_cast<double>(x.size() - 1))
                         : 0.0;
        low = mean - spread;
        high = mean + spread;
    }
    std::vector<double> out(row);
    for (double& v : out) v = std::isnan(v) ? v : std::min(std::max(v, low), high);
    return out;
}

// Rows long enough for the bracketed selection and short ones, with the inputs that
// trouble a quickselect: ties, few distinct values, sorted runs, one repeated value.
std::vector<std::vector<double>> awkward_rows(std::size_t cols) {
    std::mt19937_64 gen(11);
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> unit;
    std::vector<std::vector<double>> rows;
    auto add = [&](auto value) {
        std::vector<double> row(cols);
        for (std::size_t c = 0; c < cols; ++c) row[c] = value(c);
        rows.push_back(row);
    };
    for (int k = 0; k < 6; ++k)
        add([&](std::size_t) { return unit(gen) < 0.05 ? kNaN : normal(gen) * std::exp(k); });
    add([&](std::size_t) { return std::round(normal(gen) * 2.0); });       // many ties
    add([&](std::size_t c) { return static_cast<double>(c % 3); });        // three values
    add([&](std::size_t c) { return static_cast<double>(c); });            // sorted
    add([&](std::size_t c) { return -static_cast<double>(c); });           // reversed
    add([&](std::size_t) { return 4.25; });                                // constant
    add([&](std::size_t c) { return c < cols / 2 ? 1.0 : normal(gen); });  // half tied
    add([&](std::size_t c) { return c % 2 ? kNaN : normal(gen); });        // even count
    add([&](std::size_t c) { return c < 300 ? normal(gen) : kNaN; });      // short
    add([&](std::size_t c) { return c == 5 ? kInf : c == 9 ? -kInf : normal(gen); });
    add([&](std::size_t c) { return c == 3 ? 7.0 : kNaN; });   // one value
    add([&](std::size_t c) { return c == 3 ? kInf : kNaN; });  // none finite
    add([&](std::size_t c) { return std::pow(normal(gen), 3) * (c % 7 == 0 ? 1e6 : 1.0); });
    return rows;
}

}  // namespace

TEST(Winsorize, EqualsBoundsOfSortedRowsForEveryRuleAndLayout) {
    const std::size_t cols = 1203;
    const auto rows = awkward_rows(cols);
    const std::size_t n_rows = rows.size();
    std::vector<double> row_major, column_major(n_rows * cols);
    for (const auto& row : rows) row_major.insert(row_major.end(), row.begin(), row.end());
    for (std::size_t r = 0; r < n_rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) column_major[c * n_rows + r] = rows[r][c];
    const st::StridedRows layouts[] = {
        {row_major.data(), n_rows, cols, static_cast<std::ptrdiff_t>(cols), 1},
        {column_major.data(), n_rows, cols, 1, static_cast<std::ptrdiff_t>(n_rows)}};

    std::vector<st::ClipSettings> settings(4);
    settings[1].rule = st::ClipRule::std;
    settings[2].rule = st::ClipRule::percentile;
    settings[3].rule = st::ClipRule::percentile;
    settings[3].low_percent = 0.0;
    settings[3].high_percent = 50.0;
    std::vector<double> out(n_rows * cols), scratch;
    for (const auto& s : settings) {
        for (const auto& in : layouts) {
            st::winsorize_rows(in, s, out, scratch);
            for (std::size_t r = 0; r < n_rows; ++r) {
                const auto expected = reference_row(rows[r], s);
                for (std::size_t c = 0; c < cols; ++c) {
                    const double got = out[r * cols + c];
                    ASSERT_TRUE(got == expected[c] || (std::isnan(got) && std::isnan(expected[c])))
                        << "rule " << static_cast<int>(s.rule) << " row " << r << " col " << c
                        << ": " << got << " vs " << expected[c];
                }
            }
        }
    }
}
