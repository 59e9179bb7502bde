// Block scans of eight consecutive blocks side by side, one block per lane of
// a 512-bit vector.
//
// Each lane runs the plain sequential scan of blocks.hpp over its own block
// (tails from the block end, heads through the next block), so every step is
// one vertical operation per feature with no shuffles along the scan; the
// values come into the lanes, and the results go back to the series order,
// through 8 x 8 transposes. Included by the AVX-512 kernels only (see
// level.hpp), and everything here has internal linkage besides.
#pragma once

#include <immintrin.h>

#include <cstddef>

#include "alvora/rolling/level.hpp"
#include "alvora/rolling/prefetch.hpp"

#if ALVORA_ISA_LEVEL < 2
#error "lanes.hpp holds AVX-512 code: include it from the AVX-512 kernels only"
#endif

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
// GCC 12 takes the placeholder operand inside the shuffle intrinsics for an
// uninitialised read.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace alvora::rolling::ALVORA_ISA_NS::detail::lanes {

namespace {

// c[j] = column j of the 8 x 8 matrix whose rows are r[0..8).
inline void transpose8(const __m512d* r, __m512d* c) {
    __m512d t[8], u[8];
    for (int k = 0; k < 4; ++k) {
        t[2 * k] = _mm512_unpacklo_pd(r[2 * k], r[2 * k + 1]);
        t[2 * k + 1] = _mm512_unpackhi_pd(r[2 * k], r[2 * k + 1]);
    }
    for (int h = 0; h < 2; ++h) {
        const __m512d* q = t + 4 * h;
        __m512d* o = u + 4 * h;
        o[0] = _mm512_shuffle_f64x2(q[0], q[2], 0x88);  // columns 0 | 4
        o[1] = _mm512_shuffle_f64x2(q[0], q[2], 0xDD);  // columns 2 | 6
        o[2] = _mm512_shuffle_f64x2(q[1], q[3], 0x88);  // columns 1 | 5
        o[3] = _mm512_shuffle_f64x2(q[1], q[3], 0xDD);  // columns 3 | 7
    }
    c[0] = _mm512_shuffle_f64x2(u[0], u[4], 0x88);
    c[4] = _mm512_shuffle_f64x2(u[0], u[4], 0xDD);
    c[2] = _mm512_shuffle_f64x2(u[1], u[5], 0x88);
    c[6] = _mm512_shuffle_f64x2(u[1], u[5], 0xDD);
    c[1] = _mm512_shuffle_f64x2(u[2], u[6], 0x88);
    c[5] = _mm512_shuffle_f64x2(u[2], u[6], 0xDD);
    c[3] = _mm512_shuffle_f64x2(u[3], u[7], 0x88);
    c[7] = _mm512_shuffle_f64x2(u[3], u[7], 0xDD);
}

// The values p[0], p[n], ..., p[7 n]: one per lane.
inline __m512d column(const double* p, std::size_t n) {
    return _mm512_set_pd(p[7 * n], p[6 * n], p[5 * n], p[4 * n], p[3 * n], p[2 * n], p[n], p[0]);
}

// The offsets 0, n, ..., 7 n of the lanes' blocks, as doubles.
inline __m512d block_offsets(std::size_t n) {
    const double d = static_cast<double>(n);
    return _mm512_set_pd(7 * d, 6 * d, 5 * d, 4 * d, 3 * d, 2 * d, d, 0.0);
}

// Results res[u 8 + lane] of window u of each lane's block back to the
// series order: out[lane n + u].
inline void store_results(const double* res, std::size_t n, double* out) {
    std::size_t w = 0;
    for (; w + 8 <= n; w += 8) {
        __m512d r[8], c[8];
        for (std::size_t j = 0; j < 8; ++j) r[j] = _mm512_loadu_pd(res + (w + j) * 8);
        transpose8(r, c);
        for (std::size_t l = 0; l < 8; ++l) _mm512_storeu_pd(out + l * n + w, c[l]);
    }
    if (w < n) {  // the last k < 8 windows of each block: one transpose, masked stores
        const std::size_t k = n - w;
        const __mmask8 first_k = static_cast<__mmask8>((1u << k) - 1u);
        __m512d r[8], c[8];
        for (std::size_t j = 0; j < 8; ++j)
            r[j] = j < k ? _mm512_loadu_pd(res + (w + j) * 8) : _mm512_setzero_pd();
        transpose8(r, c);
        for (std::size_t l = 0; l < 8; ++l) _mm512_mask_storeu_pd(out + l * n + w, first_k, c[l]);
    }
}

// The summing operation of most scans; policies derive from it.
struct Plus {
    static __m512d identity() { return _mm512_setzero_pd(); }
    static __m512d combine(__m512d a, __m512d b) { return _mm512_add_pd(a, b); }
};

// Window sums of F features per value, finished into one result per window.
// P supplies, all on vectors of the eight lanes:
//   static constexpr int F;
//   void start(const double* block, std::size_t n);   first lane's block; once per group
//   void tail(__m512d v, std::size_t u, __m512d* f);  features of the value at offset u
//                                                       of the lanes' blocks
//   void head(__m512d v, std::size_t q, __m512d* f);  features of the value at offset q
//                                                       of the next blocks (it joins window q + 1)
//   __m512d finish(const __m512d* s, std::size_t u);  result of window u from its F sums
//   __m512d identity(); __m512d combine(__m512d, __m512d);  the summing operation
//                                                       (addition in Plus)
// Handles the windows of whole groups of eight blocks whose next blocks are
// complete; returns how many windows that is (the caller does the rest).
// buf holds (F + 1) * 8 * n doubles.
template <class P>
std::size_t block_sums(const double* x, std::size_t L, std::size_t n, double* buf, double* out,
                       P& p) {
    constexpr int F = P::F;
    double* tails = buf;            // feature k, window u: tails[(k n + u) 8 + lane]
    double* res = buf + F * 8 * n;  // window u: res[u 8 + lane]
    std::size_t b = 0;              // first block of the group
    for (; (b + 9) * n <= L; b += 8) {
        const double* base = x + b * n;
        prefetch_ahead(x, L, b * n, 9 * n);
        p.start(base, n);
        __m512d acc[F];
        for (int k = 0; k < F; ++k) acc[k] = p.identity();
        auto tail_step = [&](__m512d v, std::size_t u) {
            __m512d f[F];
            p.tail(v, u, f);
            for (int k = 0; k < F; ++k) {
                acc[k] = p.combine(acc[k], f[k]);
                _mm512_storeu_pd(tails + (k * n + u) * 8, acc[k]);
            }
        };
        std::size_t u = n;
        for (; u >= 8; u -= 8) {
            __m512d r[8], c[8];
            for (std::size_t l = 0; l < 8; ++l) r[l] = _mm512_loadu_pd(base + l * n + u - 8);
            transpose8(r, c);
            for (int j = 7; j >= 0; --j) tail_step(c[j], u - 8 + static_cast<std::size_t>(j));
        }
        for (; u > 0; --u) tail_step(column(base + u - 1, n), u - 1);
        for (int k = 0; k < F; ++k) acc[k] = p.identity();
        auto finish = [&](std::size_t w) {
            __m512d s[F];
            for (int k = 0; k < F; ++k)
                s[k] = p.combine(_mm512_loadu_pd(tails + (k * n + w) * 8), acc[k]);
            _mm512_storeu_pd(res + w * 8, p.finish(s, w));
        };
        auto head_step = [&](__m512d v, std::size_t q) {
            __m512d f[F];
            p.head(v, q, f);
            for (int k = 0; k < F; ++k) acc[k] = p.combine(acc[k], f[k]);
            finish(q + 1);
        };
        finish(0);
        const double* next = base + n;
        std::size_t q = 0;
        for (; q + 8 <= n - 1; q += 8) {
            __m512d r[8], c[8];
            for (std::size_t l = 0; l < 8; ++l) r[l] = _mm512_loadu_pd(next + l * n + q);
            transpose8(r, c);
            for (std::size_t j = 0; j < 8; ++j) head_step(c[j], q + j);
        }
        for (; q < n - 1; ++q) head_step(column(next + q, n), q);
        store_results(res, n, out + b * n);
    }
    return b * n;
}

// The same over two series of equal length: P's tail and head take the
// values of both, tail(va, vb, u, f) and head(va, vb, q, f); start(a, b, n)
// gets both first blocks. buf holds (F + 1) * 8 * n doubles.
template <class P>
std::size_t block_sums2(const double* xa, const double* xb, std::size_t L, std::size_t n,
                        double* buf, double* out, P& p) {
    constexpr int F = P::F;
    double* tails = buf;
    double* res = buf + F * 8 * n;
    std::size_t b = 0;
    for (; (b + 9) * n <= L; b += 8) {
        const double* base_a = xa + b * n;
        const double* base_b = xb + b * n;
        prefetch_ahead(xa, L, b * n, 9 * n);
        prefetch_ahead(xb, L, b * n, 9 * n);
        p.start(base_a, base_b, n);
        __m512d acc[F];
        for (int k = 0; k < F; ++k) acc[k] = p.identity();
        auto tail_step = [&](__m512d va, __m512d vb, std::size_t u) {
            __m512d f[F];
            p.tail(va, vb, u, f);
            for (int k = 0; k < F; ++k) {
                acc[k] = p.combine(acc[k], f[k]);
                _mm512_storeu_pd(tails + (k * n + u) * 8, acc[k]);
            }
        };
        std::size_t u = n;
        for (; u >= 8; u -= 8) {
            __m512d r[8], ca[8], cb[8];
            for (std::size_t l = 0; l < 8; ++l) r[l] = _mm512_loadu_pd(base_a + l * n + u - 8);
            transpose8(r, ca);
            for (std::size_t l = 0; l < 8; ++l) r[l] = _mm512_loadu_pd(base_b + l * n + u - 8);
            transpose8(r, cb);
            for (int j = 7; j >= 0; --j)
                tail_step(ca[j], cb[j], u - 8 + static_cast<std::size_t>(j));
        }
        for (; u > 0; --u) tail_step(column(base_a + u - 1, n), column(base_b + u - 1, n), u - 1);
        for (int k = 0; k < F; ++k) acc[k] = p.identity();
        auto finish = [&](std::size_t w) {
            __m512d s[F];
            for (int k = 0; k < F; ++k)
                s[k] = p.combine(_mm512_loadu_pd(tails + (k * n + w) * 8), acc[k]);
            _mm512_storeu_pd(res + w * 8, p.finish(s, w));
        };
        auto head_step = [&](__m512d va, __m512d vb, std::size_t q) {
            __m512d f[F];
            p.head(va, vb, q, f);
            for (int k = 0; k < F; ++k) acc[k] = p.combine(acc[k], f[k]);
            finish(q + 1);
        };
        finish(0);
        const double* next_a = base_a + n;
        const double* next_b = base_b + n;
        std::size_t q = 0;
        for (; q + 8 <= n - 1; q += 8) {
            __m512d r[8], ca[8], cb[8];
            for (std::size_t l = 0; l < 8; ++l) r[l] = _mm512_loadu_pd(next_a + l * n + q);
            transpose8(r, ca);
            for (std::size_t l = 0; l < 8; ++l) r[l] = _mm512_loadu_pd(next_b + l * n + q);
            transpose8(r, cb);
            for (std::size_t j = 0; j < 8; ++j) head_step(ca[j], cb[j], q + j);
        }
        for (; q < n - 1; ++q) head_step(column(next_a + q, n), column(next_b + q, n), q);
        store_results(res, n, out + b * n);
    }
    return b * n;
}

}  // namespace

}  // namespace alvora::rolling::ALVORA_ISA_NS::detail::lanes

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
