// Covariance, correlation and regression slope of two series over sliding windows.
//
// Sums are taken of a - ca and b - cb, with (ca, cb) a pair of values inside
// the window (see blocks.hpp); the raw-moment expressions are the same after
// this shift and keep their accuracy when the series sit at a large level. A
// window whose first series is constant has exactly zero centred sums.
#include <cmath>
#include <limits>
#include <vector>

#include "alvora/rolling/blocks.hpp"
#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/rowwise.hpp"

namespace alvora::rolling {

namespace {

using detail::block_scan;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct PairSums {
    double a = 0, b = 0, aa = 0, bb = 0, ab = 0;
    double nan = 0;  // NaN values seen in either series
};

struct PairAnchor {
    double a, b;
};

// Window sums plus the window's own values (for the rare windows holding an
// infinity, which are evaluated as defined, value by value).
template <class Emit>
struct PairFold {
    using State = PairSums;
    const double* a;
    const double* b;
    Emit emit_fn;
    State zero() const { return {}; }
    PairAnchor anchor(size_t pos) const { return {a[pos], b[pos]}; }
    void add(State& s, size_t pos, const PairAnchor& c) const {
        const double ya = a[pos] - c.a, yb = b[pos] - c.b;
        s.a += ya;
        s.b += yb;
        s.aa += ya * ya;
        s.bb += yb * yb;
        s.ab += ya * yb;
        s.nan += (a[pos] != a[pos]) || (b[pos] != b[pos]) ? 1.0 : 0.0;
    }
    void add_tail(State& s, size_t pos, size_t, const PairAnchor& c) const { add(s, pos, c); }
    void add_head(State& s, size_t pos, size_t, const PairAnchor& c) const { add(s, pos, c); }
    void emit(size_t i, const State& t, const State& h, size_t) {
        PairSums s{t.a + h.a, t.b + h.b, t.aa + h.aa, t.bb + h.bb, t.ab + h.ab, t.nan + h.nan};
        emit_fn(i, s);
    }
};

template <class Emit>
void pair_scan(std::span<const double> a, std::span<const double> b, size_t n, Emit e) {
    PairFold<Emit> f{a.data(), b.data(), e};
    block_scan(a.size(), n, f);
}

// The products a * b and a * a of one window, formed as the definitions do.
struct Products {
    std::vector<double> ab, aa;
    Products(const double* a, const double* b, size_t n) : ab(n), aa(n) {
        for (size_t j = 0; j < n; ++j) {
            ab[j] = a[j] * b[j];
            aa[j] = a[j] * a[j];
        }
    }
};

}  // namespace

void covariance(std::span<const double> a, std::span<const double> b, size_t n,
                std::span<double> out) {
    const double nd = static_cast<double>(n);
    double* o = out.data();
    pair_scan(a, b, n, [&](size_t i, const PairSums& s) {
        if (s.nan > 0) {
            o[i] = kNaN;
        } else if (!std::isfinite(s.a) || !std::isfinite(s.b)) {
            Products p(a.data() + i, b.data() + i, n);
            o[i] = rowwise::covariance(a.data() + i, b.data() + i, p.ab.data(), n);
        } else {
            o[i] = s.ab / nd - (s.a / nd) * (s.b / nd);
        }
    });
}

void correlation(std::span<const double> a, std::span<const double> b, size_t n,
                 std::span<double> out) {
    const double nd = static_cast<double>(n);
    double* o = out.data();
    pair_scan(a, b, n, [&](size_t i, const PairSums& s) {
        if (s.nan > 0) {
            o[i] = kNaN;
        } else if (!std::isfinite(s.a) || !std::isfinite(s.b)) {
            Products p(a.data() + i, b.data() + i, n);
            o[i] = rowwise::correlation(a.data() + i, b.data() + i, p.ab.data(), n);
        } else {
            const double cov = s.ab / nd - (s.a / nd) * (s.b / nd);
            const double va = s.aa - s.a * (s.a / nd), vb = s.bb - s.b * (s.b / nd);
            const double sa = std::sqrt((va > 0.0 ? va : 0.0) / nd);
            const double sb = std::sqrt((vb > 0.0 ? vb : 0.0) / nd);
            o[i] = cov / (sa * sb);
        }
    });
}

void regression(std::span<const double> x, std::span<const double> y, size_t n,
                std::span<double> out) {
    const double nd = static_cast<double>(n);
    double* o = out.data();
    pair_scan(x, y, n, [&](size_t i, const PairSums& s) {
        if (s.nan > 0) {
            o[i] = kNaN;
        } else if (!std::isfinite(s.a) || !std::isfinite(s.b)) {
            Products p(x.data() + i, y.data() + i, n);
            o[i] = rowwise::regression(x.data() + i, y.data() + i, p.ab.data(), p.aa.data(), n);
        } else {
            const double v1 = s.ab - s.a * (s.b / nd);
            const double v2 = s.aa - s.a * (s.a / nd);
            o[i] = v1 / (v2 > 0.0 ? v2 : 0.0);
        }
    });
}

}  // namespace alvora::rolling
