// Rows of a panel worked on a chunk at a time in row-major buffers: a row of a
// column-major panel has a cache line (and a page) per instrument, fetched again
// for every row when rows are read or written in place. Chunks are copied in and
// out a block of cells at a time, whose cells share lines and pages.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <new>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include "alvora/stats/cross_section.hpp"

namespace alvora::stats::panel_rows {

// Values per chunk of rows (each buffer of a chunk holds this many).
inline constexpr std::size_t kChunkValues = std::size_t{1} << 20;
inline constexpr std::size_t kBlock = 32;

// Rows per chunk of a panel of rows x cols (at least one).
inline std::size_t chunk_rows(std::size_t rows, std::size_t cols) {
    return std::max<std::size_t>(1, std::min(rows, kChunkValues / std::max<std::size_t>(cols, 1)));
}

// A row buffer of at least `values` cells kept by the calling thread between
// calls (`Slot` tells a call's buffers apart): a fresh 8 MB buffer per call
// costs its zeroing and page faults again every time. On huge pages where the
// system grants them: a block copied across the rows of a chunk touches a page
// per row, and with ordinary pages those misses in the address cache were half
// the cost of a rank.
template <class T, int Slot>
T* kept_buffer(std::size_t values) {
    struct Free {
        void operator()(T* p) const { std::free(p); }
    };
    thread_local std::unique_ptr<T[], Free> buffer;
    thread_local std::size_t capacity = 0;
    if (capacity < values) {
        constexpr std::size_t kHugePage = std::size_t{2} << 20;
        const std::size_t bytes = (values * sizeof(T) + kHugePage - 1) / kHugePage * kHugePage;
        buffer.reset(static_cast<T*>(std::aligned_alloc(kHugePage, bytes)));
        if (!buffer) {
            capacity = 0;
            throw std::bad_alloc();
        }
#ifdef MADV_HUGEPAGE
        madvise(buffer.get(), bytes, MADV_HUGEPAGE);  // advice only
#endif
        capacity = bytes / sizeof(T);
    }
    return buffer.get();
}

// Calls visit(r, c) for every cell of a rows x cols chunk, block by block.
template <class Visit>
void for_blocks(std::size_t rows, std::size_t cols, Visit&& visit) {
    for (std::size_t c0 = 0; c0 < cols; c0 += kBlock) {
        const std::size_t c1 = std::min(cols, c0 + kBlock);
        for (std::size_t r0 = 0; r0 < rows; r0 += kBlock) {
            const std::size_t r1 = std::min(rows, r0 + kBlock);
            for (std::size_t c = c0; c < c1; ++c)
                for (std::size_t r = r0; r < r1; ++r) visit(r, c);
        }
    }
}

// rows x cols cells of `in` from row r0 on into the row-major `buffer`.
template <class T>
void copy_in(PanelView<const T> in, std::size_t r0, std::size_t rows, T* buffer) {
    for_blocks(rows, in.cols,
               [&](std::size_t r, std::size_t c) { buffer[r * in.cols + c] = in.at(r0 + r, c); });
}

// The row-major `buffer` of rows x cols cells into `out` from row r0 on.
inline void copy_out(const double* buffer, std::size_t r0, std::size_t rows,
                     PanelView<double> out) {
    for_blocks(rows, out.cols,
               [&](std::size_t r, std::size_t c) { out.at(r0 + r, c) = buffer[r * out.cols + c]; });
}

}  // namespace alvora::stats::panel_rows
