// Window sums of per-value features, by block scans.
//
// The decomposition of blocks.hpp, specialised for plain sums: the scans add
// four values per dependent addition (the partial sums inside a group are off
// the chain), and each head is added onto the tail written just before. A
// feature is computed from a value and the anchor c of its block boundary:
// the last value of the block holding the window's start, a value inside
// every window that uses it (0 for unshifted sums).
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <vector>

#include "alvora/rolling/level.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

// Uninitialised storage: every entry read is written first.
struct Buffer {
    std::unique_ptr<double[]> p;
    void allocate(std::size_t n) { p.reset(new double[n]); }
    double* data() { return p.get(); }
    const double* data() const { return p.get(); }
    double& operator[](std::size_t i) { return p[i]; }
    double operator[](std::size_t i) const { return p[i]; }
};

template <int F>
struct WindowSums {
    std::array<Buffer, F> s;  // s[f][i]: sum over window i of feature f
    Buffer anchor;            // the block-boundary position of window i, as a double
};

// feat(pos, anchor_pos, double (&out)[F]) computes the features of one value.
template <int F, class Feat>
WindowSums<F> block_sums(std::size_t L, std::size_t n, Feat feat, bool keep_anchor) {
    const std::size_t m = L - n + 1;
    WindowSums<F> r;
    // n entries of slack: tail scans of the last block may write past m
    for (auto& v : r.s) v.allocate(m + n);
    if (keep_anchor) r.anchor.allocate(m + n);

    for (std::size_t b0 = 0; b0 < m; b0 += n) {
        const std::size_t cnt = std::min(n, m - b0);
        const std::size_t c = b0 + n - 1;
        // Tails [b0 + j, b0 + n), j from n - 1 down to 0.
        {
            std::array<double, F> acc{};
            std::size_t j = n;
            for (; j >= 4; j -= 4) {
                double v[4][F];
                for (int e = 0; e < 4; ++e) feat(b0 + j - 1 - e, c, v[e]);
                for (int f = 0; f < F; ++f) {
                    double* dst = r.s[f].data() + b0 + j - 4;
                    const double g2 = v[0][f] + v[1][f];
                    dst[3] = acc[f] + v[0][f];
                    dst[2] = acc[f] + g2;
                    dst[1] = acc[f] + (g2 + v[2][f]);
                    dst[0] = acc[f] = acc[f] + (g2 + (v[2][f] + v[3][f]));
                }
            }
            for (; j >= 1; --j) {
                double v[F];
                feat(b0 + j - 1, c, v);
                for (int f = 0; f < F; ++f) r.s[f][b0 + j - 1] = acc[f] = acc[f] + v[f];
            }
        }
        // Heads [b0 + n, b0 + n + t], t < cnt - 1, added to window b0 + t + 1
        // (whose tail was written just above).
        if (cnt > 1) {
            const std::size_t h = b0 + n;
            const std::size_t len = cnt - 1;
            std::array<double, F> acc{};
            std::size_t t = 0;
            for (; t + 4 <= len; t += 4) {
                double v[4][F];
                for (int e = 0; e < 4; ++e) feat(h + t + e, c, v[e]);
                for (int f = 0; f < F; ++f) {
                    double* dst = r.s[f].data() + b0 + 1 + t;
                    const double g2 = v[0][f] + v[1][f];
                    dst[0] += acc[f] + v[0][f];
                    dst[1] += acc[f] + g2;
                    dst[2] += acc[f] + (g2 + v[2][f]);
                    acc[f] = acc[f] + (g2 + (v[2][f] + v[3][f]));
                    dst[3] += acc[f];
                }
            }
            for (; t < len; ++t) {
                double v[F];
                feat(h + t, c, v);
                for (int f = 0; f < F; ++f) r.s[f][b0 + 1 + t] += (acc[f] = acc[f] + v[f]);
            }
        }
        if (keep_anchor)
            std::fill(r.anchor.data() + b0, r.anchor.data() + b0 + cnt, static_cast<double>(c));
    }
    return r;
}

template <int K>
struct PowerSums {
    std::array<Buffer, K> s;  // s[k][i]: sum over window i of y^(k+1), y = x - c
    Buffer anchor;            // c of window i (shifted sums only)
};

// want_anchor: fill PowerSums::anchor (costs a pass; shifted sums only).
template <int K>
PowerSums<K> power_sums(const double* x, std::size_t L, std::size_t n, bool shifted,
                        bool want_anchor = true) {
    auto powers = [](double y, double (&v)[K]) {
        double p = y;
        for (int k = 0; k < K; ++k) {
            v[k] = p;
            p *= y;
        }
    };
    auto shifted_feat = [x, powers](std::size_t pos, std::size_t c, double (&v)[K]) {
        powers(x[pos] - x[c], v);
    };
    auto plain_feat = [x, powers](std::size_t pos, std::size_t, double (&v)[K]) {
        powers(x[pos], v);
    };
    want_anchor = want_anchor && shifted;
    auto ws = shifted ? block_sums<K>(L, n, shifted_feat, want_anchor)
                      : block_sums<K>(L, n, plain_feat, false);
    PowerSums<K> r;
    r.s = std::move(ws.s);
    if (want_anchor) {
        // anchor positions -> anchor values
        r.anchor = std::move(ws.anchor);
        const std::size_t m = L - n + 1;
        for (std::size_t i = 0; i < m; ++i) r.anchor[i] = x[static_cast<std::size_t>(r.anchor[i])];
    }
    return r;
}

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
