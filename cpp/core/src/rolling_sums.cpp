// Sums, products and weighted averages over sliding windows (block scans).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "alvora/rolling/blocks.hpp"
#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/power_sums.hpp"
#include "alvora/rolling/rowwise.hpp"
#include "alvora/rolling/short.hpp"

namespace alvora::rolling {

namespace {

using detail::block_scan;

// Plain sums (or products) of the window values; T is the accumulator type.
template <class In, class Acc, bool Multiply>
struct Fold {
    using State = Acc;
    const In* x;
    Acc* out;
    State zero() const { return Multiply ? Acc(1) : Acc(0); }
    int anchor(size_t) const { return 0; }
    void add(State& s, size_t pos) const {
        if constexpr (Multiply)
            s *= static_cast<Acc>(x[pos]);
        else
            s += static_cast<Acc>(x[pos]);
    }
    void add_tail(State& s, size_t pos, size_t, int) const { add(s, pos); }
    void add_head(State& s, size_t pos, size_t, int) const { add(s, pos); }
    void emit(size_t i, const State& tail, const State& head, size_t) {
        if constexpr (Multiply)
            out[i] = tail * head;
        else
            out[i] = tail + head;
    }
};

// Exponential weights beta^(e - p) relative to the window end e: tails are
// weighted relative to their block end, heads by the recursion V = beta V + x.
struct EmaFold {
    using State = double;
    const double* x;
    const double* powers;  // powers[t] = beta^t, t < n
    double alpha;
    double beta;
    double* out;
    State zero() const { return 0.0; }
    int anchor(size_t) const { return 0; }
    void add_tail(State& s, size_t pos, size_t t, int) const { s += powers[t] * x[pos]; }
    void add_head(State& s, size_t pos, size_t, int) const { s = beta * s + x[pos]; }
    void emit(size_t i, const State& tail, const State& head, size_t head_len) {
        out[i] = alpha * (powers[head_len] * tail + head);
    }
};

}  // namespace

void sum(std::span<const double> x, size_t n, std::span<double> out) {
    if (n <= detail::kShortWindow) return detail::short_sum(x.data(), n, out.data(), out.size());
    const auto ps = detail::power_sums<1>(x.data(), x.size(), n, false);
    std::copy(ps.s[0].data(), ps.s[0].data() + out.size(),
              out.begin());
}

void sum(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    // Unsigned arithmetic wraps modulo 2^64 like numpy's int64 sums.
    std::vector<std::uint64_t> tmp(out.size());
    Fold<std::int64_t, std::uint64_t, false> f{x.data(), tmp.data()};
    block_scan(x.size(), n, f);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::int64_t>(tmp[i]);
}

void product(std::span<const double> x, size_t n, std::span<double> out) {
    Fold<double, double, true> f{x.data(), out.data()};
    block_scan(x.size(), n, f);
}

void product(std::span<const std::int64_t> x, size_t n, std::span<std::int64_t> out) {
    std::vector<std::uint64_t> tmp(out.size());
    Fold<std::int64_t, std::uint64_t, true> f{x.data(), tmp.data()};
    block_scan(x.size(), n, f);
    for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::int64_t>(tmp[i]);
}

void ma(std::span<const double> x, size_t n, std::span<double> out) {
    if (n <= detail::kShortWindow) return detail::short_mean(x.data(), n, out.data(), out.size());
    const auto ps = detail::power_sums<1>(x.data(), x.size(), n, false);
    detail::divide(ps.s[0].data(), static_cast<double>(n), out.data(), out.size());
}

void ema(std::span<const double> x, size_t n, std::span<double> out) {
    const double alpha = 2.0 / (static_cast<double>(n) + 1.0);
    const double beta = 1.0 - alpha;
    std::vector<double> powers(n);
    for (size_t t = 0; t < n; ++t) powers[t] = std::pow(beta, static_cast<double>(t));
    EmaFold f{x.data(), powers.data(), alpha, beta, out.data()};
    block_scan(x.size(), n, f);
}

void wma(std::span<const double> x, size_t n, std::span<double> out) {
    // sum over the window of (p - i + 1) x_p = sum (p - c) x_p + (c - i + 1) sum x_p,
    // with c the window's block boundary: both sums are plain window sums.
    const double nd = static_cast<double>(n);
    const double scale = 2.0 / (nd * (nd + 1.0));
    // Windows holding an infinity are weighted value by value, as defined
    // (the split weights could meet inf * 0).
    const double* xs = x.data();
    auto feat = [xs](size_t pos, size_t c, double (&v)[3]) {
        v[0] = xs[pos];
        v[1] = (static_cast<double>(pos) - static_cast<double>(c)) * xs[pos];
        v[2] = xs[pos] != xs[pos] ? 1.0 : 0.0;
    };
    const auto ws = detail::block_sums<3>(x.size(), n, feat, true);
    const double *s0 = ws.s[0].data(), *s1 = ws.s[1].data(), *nan = ws.s[2].data(),
                 *c = ws.anchor.data();
    for (size_t i = 0; i < out.size(); ++i) {
        if (nan[i] > 0.0)
            out[i] = std::numeric_limits<double>::quiet_NaN();
        else if (s0[i] - s0[i] != 0.0)
            out[i] = rowwise::wma(xs + i, n);
        else
            out[i] = (s1[i] + (c[i] - static_cast<double>(i) + 1.0) * s0[i]) * scale;
    }
}

void slope(std::span<const double> y, size_t n, std::span<double> out) {
    // Positions t = 0 .. n - 1; sums of t and t^2 in closed form.
    const double nd = static_cast<double>(n);
    const double sumx = nd * (nd - 1.0) / 2.0;
    const double sumxsqr = nd * (nd - 1.0) * (2.0 * nd - 1.0) / 6.0;
    const double divisor = sumx * sumx - nd * sumxsqr;
    // Values are taken relative to a value inside the window: the slope does
    // not change, and a large level does not swamp the numerator.
    const double* ys = y.data();
    auto feat = [ys](size_t pos, size_t c, double (&v)[2]) {
        const double d = ys[pos] - ys[c];
        v[0] = d;
        v[1] = (static_cast<double>(pos) - static_cast<double>(c)) * d;
    };
    const auto ws = detail::block_sums<2>(y.size(), n, feat, true);
    const double *s0 = ws.s[0].data(), *s1 = ws.s[1].data(), *c = ws.anchor.data();
    for (size_t i = 0; i < out.size(); ++i) {
        const double st = s1[i] + (c[i] - static_cast<double>(i)) * s0[i];  // sum of t * y
        out[i] = s0[i] - s0[i] == 0.0 ? (s0[i] * sumx - nd * st) / divisor
                                      : std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace alvora::rolling
