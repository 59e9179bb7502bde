// A digest of every result of the core over fixed inputs: every rolling kernel at every
// instruction-set level the machine runs, the cross-sectional transforms, winsorizing,
// standardizing, correlations, residuals and forward returns, one line each. Two passes
// in one process must agree (no state carried between calls). With
// ALVORA_RESULTS_DUMP=<file> the lines are written there, so the dumps of two builds
// (GCC and Clang: scripts/test_clang.sh) can be compared line for line. NaN counts by
// position only: its sign and payload bits are not results.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "alvora/isa.hpp"
#include "alvora/ols/residuals.hpp"
#include "alvora/ols/standardize.hpp"
#include "alvora/rolling/kernels.hpp"
#include "alvora/stats/correlation.hpp"
#include "alvora/stats/cross_section.hpp"
#include "alvora/stats/forward_returns.hpp"
#include "alvora/stats/winsorize.hpp"

namespace rl = alvora::rolling;
namespace st = alvora::stats;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Inputs from raw generator bits and arithmetic only (no library distributions, whose
// algorithms differ between standard libraries): a level shift, NaNs, infinities, ties.
std::vector<double> series(std::uint64_t seed, std::size_t n) {
    std::uint64_t s = seed * 0x9E3779B97F4A7C15ull + 1;
    auto uniform = [&s] {
        s ^= s << 13, s ^= s >> 7, s ^= s << 17;  // xorshift64
        return static_cast<double>(s >> 11) * 0x1.0p-53;
    };
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        x[i] = (i < n / 2 ? 1.0 : 400.0) + (uniform() + uniform() + uniform() - 1.5);
        if (uniform() < 0.02) x[i] = kNaN;
        if (uniform() < 0.01) x[i] = std::round(x[i]);  // ties
    }
    if (n > 300) {
        x[n / 3] = std::numeric_limits<double>::infinity();
        x[2 * n / 3] = -std::numeric_limits<double>::infinity();
    }
    return x;
}

class Dump {
  public:
    const std::string& text() const { return text_; }

    void line(const std::string& what, std::span<const double> v) {
        std::uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a over the values' bits
        std::size_t nans = 0;
        for (double d : v) {
            std::uint64_t bits = 0x7ff8000000000000ull;
            if (std::isnan(d))
                ++nans;
            else
                std::memcpy(&bits, &d, sizeof bits);
            for (int k = 0; k < 8; ++k) h = (h ^ ((bits >> (8 * k)) & 0xff)) * 0x100000001b3ull;
        }
        char digest[96];
        std::snprintf(digest, sizeof digest, " size=%zu nan=%zu bits=%016llx\n", v.size(), nans,
                      static_cast<unsigned long long>(h));
        text_ += what + digest;
    }
    void line(const std::string& what, std::span<const std::int64_t> v) {
        std::vector<double> as_double(v.begin(), v.end());
        line(what, as_double);
    }

  private:
    std::string text_;
};

using FloatKernel = void (*)(std::span<const double>, std::size_t, std::span<double>);
using PairKernel = void (*)(std::span<const double>, std::span<const double>, std::size_t,
                            std::span<double>);

void dump_kernels(Dump& dump, const std::string& level) {
    const std::vector<std::pair<const char*, FloatKernel>> single = {
        {"sum", rl::sum},
        {"product", rl::product},
        {"ma", rl::ma},
        {"ema", rl::ema},
        {"wma", rl::wma},
        {"slope", rl::slope},
        {"var", rl::var},
        {"std", rl::stddev},
        {"zscore", rl::zscore},
        {"skew", rl::skew},
        {"kurt", rl::kurt},
        {"avedev", rl::avedev},
        {"ts_min", rl::ts_min},
        {"ts_max", rl::ts_max},
        {"ts_argmin", rl::ts_argmin},
        {"ts_argmax", rl::ts_argmax},
        {"ts_rank", rl::ts_rank},
    };
    const std::vector<std::pair<const char*, PairKernel>> pairs = {
        {"covariance", rl::covariance},
        {"correlation", rl::correlation},
        {"regression", rl::regression},
    };
    const auto x = series(1, 2500), y = series(2, 2500);
    std::vector<std::int64_t> xi(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        xi[i] = static_cast<std::int64_t>(i * 7919 % 113) - 50;
    for (std::size_t n : {1, 2, 3, 5, 9, 17, 20, 60, 250}) {
        const std::string w = " n=" + std::to_string(n);
        std::vector<double> out(x.size() - n + 1);
        std::vector<std::int64_t> counts(out.size());
        for (const auto& [name, kernel] : single) {
            kernel(x, n, out);
            dump.line(level + " " + name + w, out);
        }
        for (const auto& [name, kernel] : pairs) {
            kernel(x, y, n, out);
            dump.line(level + " " + name + w, out);
        }
        rl::count(x, n, counts);
        dump.line(level + " count" + w, counts);
        rl::ts_rank(xi, n, out);
        dump.line(level + " ts_rank_i64" + w, out);
    }
}

void dump_cross_sections(Dump& dump) {
    const std::size_t rows = 40, cols = 60;
    const auto panel = series(3, rows * cols);
    std::vector<double> out(panel.size());
    const st::PanelView<const double> in{panel.data(), rows, cols, cols, 1};
    const st::PanelView<double> to{out.data(), rows, cols, cols, 1};
    const std::pair<const char*, st::CrossSection> ops[] = {{"rank", st::CrossSection::Rank},
                                                            {"zscore", st::CrossSection::ZScore},
                                                            {"demean", st::CrossSection::Demean},
                                                            {"scale", st::CrossSection::Scale}};
    for (const auto& [name, op] : ops) {
        st::cross_section(op, in, to);
        dump.line(std::string("cross_section ") + name, out);
    }

    // Finite rows for the preprocessing steps (NaN stays as missing values).
    std::vector<double> finite(panel);
    for (double& v : finite)
        if (std::isinf(v)) v = kNaN;
    const st::StridedRows strided{finite.data(), rows, cols, static_cast<std::ptrdiff_t>(cols), 1};
    std::vector<double> scratch;
    const std::pair<const char*, st::ClipRule> rules[] = {{"mad", st::ClipRule::mad},
                                                          {"std", st::ClipRule::std},
                                                          {"percentile", st::ClipRule::percentile}};
    for (const auto& [name, rule] : rules) {
        st::ClipSettings settings;
        settings.rule = rule;
        st::winsorize_rows(strided, settings, out, scratch);
        dump.line(std::string("winsorize ") + name, out);
    }
    alvora::ols::standardize_rows(finite, rows, cols, out);
    dump.line("standardize", out);

    // Residuals of each date on two dense regressors and five groups.
    const auto x = series(4, rows * cols * 2);
    std::vector<std::int64_t> group(rows * cols);
    for (std::size_t i = 0; i < group.size(); ++i)
        group[i] = i % 11 == 0 ? -1 : static_cast<std::int64_t>(i * 31 % 5);
    std::vector<double> regressors(x);
    for (double& v : regressors)
        if (!std::isfinite(v)) v = 0.5;
    alvora::ols::panel_residuals({finite, regressors, group, rows, cols, 2, 5}, out);
    dump.line("panel_residuals", out);

    // Correlations of each date's factor with the next date's values.
    st::CorrelationWorkspace ws;
    std::vector<double> coefficients, p_values;
    for (std::size_t r = 0; r + 1 < rows; ++r) {
        std::vector<double> a, b;
        for (std::size_t c = 0; c < cols; ++c) {
            const double u = finite[r * cols + c], v = finite[(r + 1) * cols + c];
            if (!std::isnan(u) && !std::isnan(v)) a.push_back(u), b.push_back(v);
        }
        for (auto method : {st::CorrelationMethod::pearson, st::CorrelationMethod::spearman}) {
            const st::Correlation c = st::correlate(method, a, b, ws);
            coefficients.push_back(c.coefficient);
            p_values.push_back(c.p_value);
        }
    }
    dump.line("correlation coefficients", coefficients);
    dump.line("correlation p_values", p_values);

    // Compounded forward returns over 1, 5 and 20 dates.
    const st::StridedMatrix returns{finite.data(), rows, cols, static_cast<std::ptrdiff_t>(cols),
                                    1};
    std::vector<std::int64_t> all_rows(rows);
    for (std::size_t r = 0; r < rows; ++r) all_rows[r] = static_cast<std::int64_t>(r);
    const std::vector<std::int64_t> horizons = {1, 5, 20};
    std::vector<double> forward(horizons.size() * rows * cols);
    std::vector<double*> outputs;
    for (std::size_t k = 0; k < horizons.size(); ++k)
        outputs.push_back(forward.data() + k * rows * cols);
    st::forward_returns(returns, all_rows, horizons, outputs);
    dump.line("forward_returns", forward);
}

std::string digest_of_everything() {
    Dump dump;
    for (const alvora::Isa level : alvora::supported_isas()) {
        const alvora::ScopedIsa at(level);
        dump_kernels(dump, alvora::isa_name(level));
    }
    dump_cross_sections(dump);
    return dump.text();
}

}  // namespace

TEST(CompilerResults, RepeatableAndWrittenWhenAsked) {
    const std::string first = digest_of_everything();
    EXPECT_EQ(digest_of_everything(), first);
    const char* path = std::getenv("ALVORA_RESULTS_DUMP");
    if (!path || !*path) return;
    std::FILE* file = std::fopen(path, "w");
    ASSERT_NE(file, nullptr) << "cannot write " << path;
    const bool written = std::fwrite(first.data(), 1, first.size(), file) == first.size();
    EXPECT_TRUE(std::fclose(file) == 0 && written) << "cannot write " << path;
}
