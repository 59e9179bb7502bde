// Streaming a series into the cache ahead of a block scan.
//
// The block scans read a series block by block, each block backwards and
// then forwards, a pattern the processor's own stream detection follows
// poorly. The bindings ask for the first kLead values before a kernel starts;
// each block then asks for the values kLead further on, so memory arrives
// while the scan works instead of every block waiting for it. (Asking for a
// whole long series up front stalls: the processor tracks only a few dozen
// outstanding lines.)
#pragma once

#include <algorithm>
#include <cstddef>

#include "alvora/rolling/level.hpp"

namespace alvora::rolling::detail {

inline constexpr std::size_t kLead = 512;  // values (4 KiB of doubles)

}  // namespace alvora::rolling::detail

namespace alvora::rolling::ALVORA_ISA_NS::detail {

using rolling::detail::kLead;

// Requests the cache lines of x[from + kLead, from + kLead + count) that lie
// inside the series (L values).
template <class T>
[[gnu::always_inline]] inline void prefetch_ahead(const T* x, std::size_t L, std::size_t from,
                                                  std::size_t count) {
    const std::size_t lo = from + kLead;
    if (lo >= L) return;
    const std::size_t hi = std::min(L, lo + count);
    constexpr std::size_t kStep = 64 / sizeof(T);
    for (std::size_t p = lo; p < hi; p += kStep) __builtin_prefetch(x + p);
}

// Block-start hooks for the scans: one series, or two of equal length.
struct Ahead1 {
    const double* x;
    std::size_t L;
    [[gnu::always_inline]] void operator()(std::size_t b, std::size_t n) const {
        prefetch_ahead(x, L, b, n);
    }
};

struct Ahead2 {
    const double* a;
    const double* b;
    std::size_t L;
    [[gnu::always_inline]] void operator()(std::size_t from, std::size_t n) const {
        prefetch_ahead(a, L, from, n);
        prefetch_ahead(b, L, from, n);
    }
};

// Prefetches nothing (scans over data already in the cache).
struct NoPrefetch {
    void operator()(std::size_t, std::size_t) const {}
};

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail
