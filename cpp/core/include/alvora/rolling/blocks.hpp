// Block decomposition of sliding windows.
//
// Cut the series into blocks of n values (block k = [k n, k n + n)). A window
// [i, i + n) starting inside block k is the tail of block k ([i, end of k])
// followed by the head of block k + 1 ([start of k + 1, i + n)). Running one
// backward scan (tails) and one forward scan (heads) per block gives every
// window from two partial aggregates in O(L), without ever removing a value
// from a running total: rounding does not accumulate along the series, and a
// NaN or infinity only reaches the windows that contain it.
//
// A policy P supplies
//   using State; State zero() const;
//   Anchor anchor(size_t pos) const;  // value shared by a tail and the next head
//   void add_tail(State&, size_t pos, size_t t, const Anchor&) const;  // t: back from block end
//   void add_head(State&, size_t pos, size_t t, const Anchor&) const;  // t: from block start
//   void emit(size_t i, const State& tail, const State& head, size_t head_len);
//   optionally void ahead(size_t b0, size_t n) const;  // called at each block start
// The anchor of a boundary is taken at the last position of the earlier block,
// a value that lies inside every window combining that tail and head.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "alvora/rolling/level.hpp"

namespace alvora::rolling::ALVORA_ISA_NS::detail {

template <class P>
void block_scan(std::size_t L, std::size_t n, P& p) {
    using State = typename P::State;
    const std::size_t m = L - n + 1;  // number of windows
    std::vector<State> cur(n), nxt(n);
    {
        const auto c = p.anchor(n - 1);
        State s = p.zero();
        for (std::size_t t = 0; t < n; ++t) {
            p.add_tail(s, n - 1 - t, t, c);
            cur[n - 1 - t] = s;
        }
    }
    const State empty = p.zero();
    for (std::size_t b0 = 0; b0 < m; b0 += n) {
        if constexpr (requires { p.ahead(b0, n); }) p.ahead(b0, n);  // see prefetch.hpp
        const std::size_t nb = b0 + n;                               // start of the next block
        const auto c = p.anchor(nb - 1);
        p.emit(b0, cur[0], empty, 0);
        State head = p.zero();
        if (nb < m) {
            // The next block is complete and holds window starts: scan its
            // head (for this block's windows) and its tails (for its own).
            const std::size_t last = nb + n - 1;
            const auto c_next = p.anchor(last);
            State tail = p.zero();
            for (std::size_t t = 0; t + 1 < n; ++t) {
                p.add_head(head, nb + t, t, c);
                p.add_tail(tail, last - t, t, c_next);
                nxt[n - 1 - t] = tail;
                p.emit(b0 + t + 1, cur[t + 1], head, t + 1);
            }
            p.add_tail(tail, nb, n - 1, c_next);
            nxt[0] = tail;
            std::swap(cur, nxt);
        } else {
            const std::size_t cnt = m - b0;
            for (std::size_t t = 0; t + 1 < cnt; ++t) {
                p.add_head(head, nb + t, t, c);
                p.emit(b0 + t + 1, cur[t + 1], head, t + 1);
            }
        }
    }
}

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
