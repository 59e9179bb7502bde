// Least-squares residuals of one cross-section against an independent
// projection: modified Gram-Schmidt, applied twice, over the used
// observations' group indicators and dense columns. Rows left out (a
// non-finite value or a negative label) must be NaN; the rest must match the
// reference. Designs where a column is neither clearly independent nor clearly
// dependent are skipped: there the numerical rank is a matter of tolerance.
#include <cstdint>
#include <stdexcept>

#include "alvora/ols/residuals.hpp"
#include "fuzz_support.hpp"

namespace ols = alvora::ols;

namespace {

[[noreturn]] void fail(const char* what, std::size_t i, double got, double want) {
    std::fprintf(stderr, "residuals: %s at %zu: got %.17g, expected %.17g\n", what, i, got, want);
    std::abort();
}

double dot(const std::vector<double>& a, const std::vector<double>& b) {
    long double s = 0;
    for (std::size_t i = 0; i < a.size(); ++i) s += a[i] * b[i];
    return double(s);
}

// Projects y off the span of `cols`; false when a column's independence is unclear.
bool project_out(std::vector<std::vector<double>> cols, std::vector<double>& y) {
    std::vector<std::vector<double>> basis;
    for (auto& c : cols) {
        const double norm0 = std::sqrt(dot(c, c));
        if (norm0 == 0.0) continue;
        for (int pass = 0; pass < 2; ++pass)
            for (const auto& q : basis) {
                const double d = dot(q, c);
                for (std::size_t i = 0; i < c.size(); ++i) c[i] -= d * q[i];
            }
        const double norm = std::sqrt(dot(c, c));
        if (norm <= 1e-11 * norm0) continue;  // dependent
        if (norm <= 1e-5 * norm0) return false;  // grey zone
        for (double& v : c) v /= norm;
        basis.push_back(c);
    }
    for (int pass = 0; pass < 2; ++pass)
        for (const auto& q : basis) {
            const double d = dot(q, y);
            for (std::size_t i = 0; i < y.size(); ++i) y[i] -= d * q[i];
        }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::size_t p = in.ConsumeIntegralInRange<std::size_t>(0, 4);
    const std::size_t groups = in.ConsumeIntegralInRange<std::size_t>(0, 5);
    fuzz::Case c;
    fuzz::read_case(in, false, c);
    const std::size_t n = std::min<std::size_t>(c.a.size(), 120);
    std::vector<double> y(c.a.begin(), c.a.begin() + n), x(n * p);
    std::vector<std::int64_t> label(groups ? n : 0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < p; ++j)
            x[i * p + j] = fuzz::decode_value(in.ConsumeIntegral<std::uint16_t>(), 0.0, true) / 8.0;
        if (groups) label[i] = in.ConsumeIntegralInRange<std::int64_t>(-1, groups - 1);
    }
    // A column copied or scaled from another now and then: exact rank deficiency.
    if (p >= 2 && in.ConsumeBool())
        for (std::size_t i = 0; i < n; ++i) x[i * p + 1] = 2.0 * x[i * p];

    ols::ResidualSolver solver;
    std::vector<double> out(n);
    const ols::FitInfo info = solver.residuals({y, x, p, label, groups}, out);

    std::vector<std::size_t> used;
    for (std::size_t i = 0; i < n; ++i) {
        bool ok = std::isfinite(y[i]) && (!groups || label[i] >= 0);
        for (std::size_t j = 0; j < p; ++j) ok = ok && std::isfinite(x[i * p + j]);
        if (ok) used.push_back(i);
        else if (!std::isnan(out[i])) fail("left-out row not NaN", i, out[i], NAN);
    }
    if (info.used != used.size()) fail("used count", 0, double(info.used), double(used.size()));

    std::vector<std::vector<double>> cols;
    for (std::size_t g = 0; g < groups; ++g) {
        std::vector<double> ind(used.size());
        for (std::size_t k = 0; k < used.size(); ++k) ind[k] = label[used[k]] == std::int64_t(g);
        cols.push_back(ind);
    }
    for (std::size_t j = 0; j < p; ++j) {
        std::vector<double> col(used.size());
        for (std::size_t k = 0; k < used.size(); ++k) col[k] = x[used[k] * p + j];
        cols.push_back(col);
    }
    std::vector<double> want(used.size());
    for (std::size_t k = 0; k < used.size(); ++k) want[k] = y[used[k]];
    const double ynorm = std::sqrt(dot(want, want)) + 1.0;
    if (!project_out(cols, want)) return 0;
    for (std::size_t k = 0; k < used.size(); ++k)
        if (!(std::fabs(out[used[k]] - want[k]) <= 1e-7 * ynorm))
            fail("residual", used[k], out[used[k]], want[k]);
    return 0;
}
