// Sums, products and weighted averages over sliding windows (block scans).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "alvora/rolling/blocks.hpp"
#include "alvora/rolling/kernels.hpp"
#include "alvora/rolling/power_sums.hpp"

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

// Sum and position-weighted sum: weighted = sum over the window of (p - i + 1) x_p
// for the window starting at i. Tails: A[i] = A[i + 1] + S[i]; heads keep the
// plain sum P and Q = sum (t + 1) x at head offset t, and the window adds
// Q + (distance from i to the head) * P.
struct Weighted {
    double s = 0.0;  // plain sum
    double w = 0.0;  // weighted sum
};

template <class Emit>
struct WeightedFold {
    using State = Weighted;
    const double* x;
    size_t n;
    bool shifted;  // subtract the boundary value (slope) or not (wma)
    Emit emit_fn;
    State zero() const { return {}; }
    double anchor(size_t pos) const { return shifted ? x[pos] : 0.0; }
    void add_tail(State& st, size_t pos, size_t, double c) const {
        st.s += x[pos] - c;
        st.w += st.s;
    }
    void add_head(State& st, size_t pos, size_t t, double c) const {
        const double y = x[pos] - c;
        st.s += y;
        st.w += static_cast<double>(t + 1) * y;
    }
    void emit(size_t i, const State& tail, const State& head, size_t head_len) {
        const double s = tail.s + head.s;
        const double w = tail.w + head.w + static_cast<double>(n - head_len) * head.s;
        emit_fn(i, s, w);
    }
};

template <class Emit>
WeightedFold<Emit> weighted_fold(const double* x, size_t n, bool shifted, Emit e) {
    return WeightedFold<Emit>{x, n, shifted, e};
}

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
    const auto ps = detail::power_sums<1>(x.data(), x.size(), n, false);
    const double nd = static_cast<double>(n);
    const double* s = ps.s[0].data();
    for (size_t i = 0; i < out.size(); ++i) out[i] = s[i] / nd;
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
    const double nd = static_cast<double>(n);
    const double scale = 2.0 / (nd * (nd + 1.0));
    double* o = out.data();
    auto f = weighted_fold(x.data(), n, false, [o, scale](size_t i, double, double w) {
        o[i] = w * scale;
    });
    block_scan(x.size(), n, f);
}

void slope(std::span<const double> y, size_t n, std::span<double> out) {
    // Positions t = 0 .. n - 1; sums of t and t^2 in closed form.
    const double nd = static_cast<double>(n);
    const double sumx = nd * (nd - 1.0) / 2.0;
    const double sumxsqr = nd * (nd - 1.0) * (2.0 * nd - 1.0) / 6.0;
    const double divisor = sumx * sumx - nd * sumxsqr;
    double* o = out.data();
    // Values are taken relative to a value inside the window: the slope does
    // not change, and a large level does not swamp the numerator.
    auto f = weighted_fold(y.data(), n, true, [=](size_t i, double s, double w) {
        const double st = w - s;  // sum of t * y
        o[i] = std::isfinite(s) ? (s * sumx - nd * st) / divisor
                                : std::numeric_limits<double>::quiet_NaN();
    });
    block_scan(y.size(), n, f);
}

}  // namespace alvora::rolling
