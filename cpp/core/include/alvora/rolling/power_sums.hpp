// Window sums of y, y^2, ..., y^K with y = x - c, by block scans.
//
// The same decomposition as blocks.hpp, specialised for plain sums so the
// scans run two elements per dependent addition and the combination is a
// separate vectorisable pass. c is the last value of the block holding the
// window's start (a value inside the window), or 0 when unshifted.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <vector>

namespace alvora::rolling::detail {

// Uninitialised storage: every entry read is written first.
struct Buffer {
    std::unique_ptr<double[]> p;
    void allocate(std::size_t n) { p.reset(new double[n]); }
    double* data() { return p.get(); }
    const double* data() const { return p.get(); }
    double& operator[](std::size_t i) { return p[i]; }
    double operator[](std::size_t i) const { return p[i]; }
};

template <int K>
struct PowerSums {
    std::array<Buffer, K> s;  // s[k][i]: sum over window i of y^(k+1)
    Buffer anchor;            // c of window i (shifted sums only)
};

template <int K>
PowerSums<K> power_sums(const double* x, std::size_t L, std::size_t n, bool shifted) {
    const std::size_t m = L - n + 1;
    PowerSums<K> r;
    // n entries of slack: tail scans of the last block may write past m
    for (auto& v : r.s) v.allocate(m + n);
    if (shifted) r.anchor.allocate(m + n);
    std::array<std::vector<double>, K> head;
    for (auto& v : head) v.resize(n);

    for (std::size_t b0 = 0; b0 < m; b0 += n) {
        const std::size_t cnt = std::min(n, m - b0);
        const double c = shifted ? x[b0 + n - 1] : 0.0;
        // Tails [b0 + j, b0 + n), j from n - 1 down to 0.
        {
            std::array<double, K> acc{};
            std::size_t j = n;
            for (; j >= 2; j -= 2) {
                const double y1 = x[b0 + j - 1] - c, y2 = x[b0 + j - 2] - c;
                double p1 = y1, p2 = y2;
                for (int k = 0; k < K; ++k) {
                    const double a1 = acc[k] + p1;
                    const double a2 = acc[k] + (p1 + p2);
                    r.s[k][b0 + j - 1] = a1;
                    r.s[k][b0 + j - 2] = a2;
                    acc[k] = a2;
                    p1 *= y1;
                    p2 *= y2;
                }
            }
            if (j == 1) {
                const double y = x[b0] - c;
                double p = y;
                for (int k = 0; k < K; ++k) {
                    r.s[k][b0] = acc[k] + p;
                    p *= y;
                }
            }
        }
        // Heads [b0 + n, b0 + n + t], t < cnt - 1, added to window b0 + t + 1.
        if (cnt > 1) {
            const double* h = x + b0 + n;
            const std::size_t len = cnt - 1;
            std::array<double, K> acc{};
            std::size_t t = 0;
            for (; t + 2 <= len; t += 2) {
                const double y1 = h[t] - c, y2 = h[t + 1] - c;
                double p1 = y1, p2 = y2;
                for (int k = 0; k < K; ++k) {
                    head[k][t] = acc[k] + p1;
                    acc[k] = acc[k] + (p1 + p2);
                    head[k][t + 1] = acc[k];
                    p1 *= y1;
                    p2 *= y2;
                }
            }
            if (t < len) {
                const double y = h[t] - c;
                double p = y;
                for (int k = 0; k < K; ++k) {
                    head[k][t] = acc[k] + p;
                    p *= y;
                }
            }
            for (int k = 0; k < K; ++k) {
                double* dst = r.s[k].data() + b0 + 1;
                const double* src = head[k].data();
                for (std::size_t q = 0; q < len; ++q) dst[q] += src[q];
            }
        }
        if (shifted) std::fill(r.anchor.data() + b0, r.anchor.data() + b0 + cnt, c);
    }
    return r;
}

}  // namespace alvora::rolling::detail
