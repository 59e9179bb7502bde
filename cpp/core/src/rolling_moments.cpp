// Variance, deviation, z-score, skewness, kurtosis and mean absolute deviation.
//
// Each window's power sums are taken of y = x - c, where c is a value of the
// window itself (the block boundary value, see blocks.hpp). Central moments
// follow without cancelling large levels, and a window of equal values gives
// y = 0 throughout: its variance is exactly 0 and 0/0 stays NaN downstream.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <vector>

#include "alvora/rolling/blocks.hpp"
#include "alvora/rolling/kernels.hpp"

namespace alvora::rolling {

namespace {

using detail::block_scan;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Sums of y^1 .. y^K of one window, with the anchor c.
template <int K>
struct Moments {
    std::array<double, K> s;
    double c;
};

template <int K, class Emit>
struct PowerFold {
    using State = std::array<double, K>;
    const double* x;
    Emit emit_fn;
    State zero() const { return State{}; }
    double anchor(size_t pos) const { return x[pos]; }
    void add(State& st, size_t pos, double c) const {
        const double y = x[pos] - c;
        double p = y;
        st[0] += p;
        for (int k = 1; k < K; ++k) {
            p *= y;
            st[k] += p;
        }
    }
    void add_tail(State& st, size_t pos, size_t, double c) const { add(st, pos, c); }
    void add_head(State& st, size_t pos, size_t, double c) const { add(st, pos, c); }
    void emit(size_t i, const State& tail, const State& head, size_t head_len) {
        Moments<K> m;
        for (int k = 0; k < K; ++k) m.s[k] = tail[k] + head[k];
        // The anchor of this window: the last value of the block holding its start.
        m.c = cur_anchor(i, head_len);
        emit_fn(i, m);
    }
    size_t n;
    double cur_anchor(size_t i, size_t head_len) const {
        // The window [i, i + n) splits at i + n - head_len; the anchor sits just before.
        return x[i + n - head_len - 1];
    }
};

template <int K, class Emit>
void power_scan(std::span<const double> x, size_t n, Emit e) {
    PowerFold<K, Emit> f{x.data(), e, n};
    block_scan(x.size(), n, f);
}

// Sum of squared deviations from the window mean, never negative.
inline double m2_of(double s1, double s2, double nd) {
    const double m2 = s2 - s1 * (s1 / nd);
    return m2 > 0.0 ? m2 : 0.0;
}

// The same with a precomputed 1 / n (no division in the scan loop).
inline double m2_inv(double s1, double s2, double inv_n) {
    const double m2 = s2 - s1 * s1 * inv_n;
    return m2 > 0.0 ? m2 : 0.0;
}

}  // namespace

void var(std::span<const double> x, size_t n, std::span<double> out) {
    const double inv_n = 1.0 / static_cast<double>(n);
    double* o = out.data();
    power_scan<2>(x, n, [=](size_t i, const Moments<2>& m) {
        o[i] = std::isfinite(m.s[0]) ? m2_inv(m.s[0], m.s[1], inv_n) * inv_n : kNaN;
    });
}

void stddev(std::span<const double> x, size_t n, std::span<double> out) {
    var(x, n, out);
    for (double& v : out) v = std::sqrt(v);
}

void zscore(std::span<const double> x, size_t n, std::span<double> out) {
    const double nd = static_cast<double>(n);
    double* o = out.data();
    const double* xs = x.data();
    power_scan<2>(x, n, [=](size_t i, const Moments<2>& m) {
        if (!std::isfinite(m.s[0])) {
            o[i] = kNaN;
            return;
        }
        const double sd = std::sqrt(m2_of(m.s[0], m.s[1], nd) / nd);
        const double newest = xs[i + n - 1] - m.c;
        o[i] = (newest - m.s[0] / nd) / sd;
    });
}

void skew(std::span<const double> x, size_t n, std::span<double> out) {
    const double nd = static_cast<double>(n);
    const double k = n > 2 ? std::sqrt(nd * (nd - 1.0)) / (nd - 2.0) : 1.0;
    double* o = out.data();
    power_scan<3>(x, n, [=](size_t i, const Moments<3>& m) {
        const auto& s = m.s;
        if (!std::isfinite(s[0])) {
            o[i] = kNaN;
            return;
        }
        // Raw moments of the window, then the raw-moment expression as defined.
        const double c = m.c;
        const double u = c + s[0] / nd;
        const double u3 = c * c * c + (3.0 * c * c * s[0] + 3.0 * c * s[1] + s[2]) / nd;
        const double sd = std::sqrt(m2_of(s[0], s[1], nd) / nd);
        const double g = (u3 - 3.0 * u * sd * sd - u * u * u) / (sd * sd * sd);
        o[i] = n > 2 ? k * g : g;
    });
}

void kurt(std::span<const double> x, size_t n, std::span<double> out) {
    if (n <= 3) {
        const double value = n == 1 ? -3.0 : (n == 2 ? -2.0 : -1.5);
        std::fill(out.begin(), out.end(), value);
        return;
    }
    const double nd = static_cast<double>(n);
    const double lead = 1.0 / ((nd - 2.0) * (nd - 3.0));
    double* o = out.data();
    power_scan<4>(x, n, [=](size_t i, const Moments<4>& m) {
        const auto& s = m.s;
        if (!std::isfinite(s[0])) {
            o[i] = kNaN;
            return;
        }
        const double d = s[0] / nd;  // mean - c
        const double m2 = m2_of(s[0], s[1], nd) / nd;
        double m4 = (s[3] - 4.0 * d * s[2] + 6.0 * d * d * s[1] - 3.0 * nd * d * d * d * d) / nd;
        if (m4 < 0.0) m4 = 0.0;  // rounding below zero
        o[i] = lead * ((nd * nd - 1.0) * m4 / (m2 * m2) - 3.0 * (nd - 1.0) * (nd - 1.0));
    });
}

namespace {

// acc[i] += |x[i + j] - mean[i]| over j, windows in the inner loop so the
// compiler can vectorise across windows.
__attribute__((target_clones("avx2", "default"))) void abs_deviation_sums(
    const double* x, const double* mean, double* acc, size_t count, size_t n) {
    for (size_t j = 0; j < n; ++j) {
        const double* xj = x + j;
        for (size_t i = 0; i < count; ++i) acc[i] += std::fabs(xj[i] - mean[i]);
    }
}

}  // namespace

void avedev(std::span<const double> x, size_t n, std::span<double> out) {
    const double nd = static_cast<double>(n);
    std::vector<double> mean(out.size());
    double* mp = mean.data();
    power_scan<1>(x, n, [=](size_t i, const Moments<1>& m) {
        mp[i] = std::isfinite(m.s[0]) ? m.c + m.s[0] / nd : kNaN;
    });
    // Chunks of windows keep the accumulators in the first-level cache.
    constexpr size_t kChunk = 512;
    std::fill(out.begin(), out.end(), 0.0);
    for (size_t i0 = 0; i0 < out.size(); i0 += kChunk) {
        const size_t cnt = std::min(kChunk, out.size() - i0);
        abs_deviation_sums(x.data() + i0, mp + i0, out.data() + i0, cnt, n);
    }
    for (double& v : out) v /= nd;
}

}  // namespace alvora::rolling
