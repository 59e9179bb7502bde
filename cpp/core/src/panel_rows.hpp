// Rows of a panel worked on a chunk at a time in row-major buffers: a row of a
// column-major panel has a cache line (and a page) per instrument, fetched again
// for every row when rows are read or written in place. Chunks are copied in and
// out a block of cells at a time, whose cells share lines and pages.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "alvora/stats/cross_section.hpp"

namespace alvora::stats::panel_rows {

// Values per chunk of rows (each buffer of a chunk holds this many).
inline constexpr std::size_t kChunkValues = std::size_t{1} << 19;
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

#if defined(__SSE2__)
// column[r] = value(r) for r < n, whole cache lines stored past the caches: a
// result grid is not read again soon, and a store that misses the caches would
// first read its line from memory. A fence must follow before the values are
// handed on.
template <class Value>
void stream_column(double* column, std::size_t n, Value&& value) {
    constexpr std::uintptr_t kLine = 64;
    std::size_t r = 0;
    for (; r < n && reinterpret_cast<std::uintptr_t>(column + r) % kLine != 0; ++r)
        column[r] = value(r);
    for (; r + 8 <= n; r += 8)
        for (std::size_t k = 0; k < 8; k += 2)
            _mm_stream_pd(column + r + k, _mm_set_pd(value(r + k + 1), value(r + k)));
    for (; r < n; ++r) column[r] = value(r);
}
#endif

// column[r] = value(r) for r < n, streamed where the machine can (see
// stream_column); end_writes() must follow before the values are handed on.
template <class Value>
void write_column(double* column, std::size_t n, Value&& value) {
#if defined(__SSE2__)
    stream_column(column, n, value);
#else
    for (std::size_t r = 0; r < n; ++r) column[r] = value(r);
#endif
}

inline void end_writes() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// The number of leading rows of `in` that are NaN in every column. Such rows
// give NaN whatever the statistic, and a factor's look-back leaves hundreds at
// the top of its grid: they are filled, not copied and worked row by row.
inline std::size_t leading_nan_rows(PanelView<const double> in) {
    std::size_t first = in.rows;
    for (std::size_t c = 0; c < in.cols && first > 0; ++c) {
        std::size_t r = 0;
        if (in.row_stride == 1) {  // a column's run, eight values per test
            const double* column = &in.at(0, c);
            for (; r + 8 <= first; r += 8) {
                bool all = true;
                for (std::size_t k = 0; k < 8; ++k) all &= column[r + k] != column[r + k];
                if (!all) break;
            }
        }
        while (r < first && std::isnan(in.at(r, c))) ++r;
        first = r;
    }
    return in.cols == 0 ? 0 : first;
}

// NaN in the first `rows` rows of `out`.
inline void fill_nan_rows(PanelView<double> out, std::size_t rows) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
#if defined(__SSE2__)
    if (out.row_stride == 1) {  // whole cache lines streamed, as results are (below)
        for (std::size_t c = 0; c < out.cols; ++c)
            stream_column(&out.at(0, c), rows, [nan](std::size_t) { return nan; });
        _mm_sfence();
        return;
    }
#endif
    for (std::size_t c = 0; c < out.cols; ++c)
        for (std::size_t r = 0; r < rows; ++r) out.at(r, c) = nan;
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

// Calls visit(r, c, rows, cols) for each block of a rows x cols chunk.
template <class Visit>
void for_tiles(std::size_t rows, std::size_t cols, Visit&& visit) {
    for (std::size_t c0 = 0; c0 < cols; c0 += kBlock)
        for (std::size_t r0 = 0; r0 < rows; r0 += kBlock)
            visit(r0, c0, std::min(kBlock, rows - r0), std::min(kBlock, cols - c0));
}

// Two cells side by side, moved as one (the compiler's vector extension: SSE2 or NEON).
#if defined(__GNUC__)
#define ALVORA_PAIRS 1
using Pair = double __attribute__((vector_size(16)));
inline Pair load_pair(const double* p) {
    Pair v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
inline void store_pair(double* p, Pair v) {
    std::memcpy(p, &v, sizeof v);
}
#endif

// Transposes a rows x cols block of `from` (element (i, j) at from[i * from_ld + j]) into
// `to` (element (i, j) at to[j * to_ld + i]), 2 x 2 cells at a time: half the loads and
// stores of moving cells one by one.
inline void transpose_block(const double* from, std::size_t from_ld, double* to, std::size_t to_ld,
                            std::size_t rows, std::size_t cols) {
    std::size_t i = 0;
#ifdef ALVORA_PAIRS
    for (; i + 2 <= rows; i += 2) {
        std::size_t j = 0;
        for (; j + 2 <= cols; j += 2) {
            const Pair a = load_pair(from + i * from_ld + j);
            const Pair b = load_pair(from + (i + 1) * from_ld + j);
            store_pair(to + j * to_ld + i, __builtin_shufflevector(a, b, 0, 2));
            store_pair(to + (j + 1) * to_ld + i, __builtin_shufflevector(a, b, 1, 3));
        }
        for (; j < cols; ++j) {
            to[j * to_ld + i] = from[i * from_ld + j];
            to[j * to_ld + i + 1] = from[(i + 1) * from_ld + j];
        }
    }
#endif
    for (; i < rows; ++i)
        for (std::size_t j = 0; j < cols; ++j) to[j * to_ld + i] = from[i * from_ld + j];
}

// Asks for the cells of a block of columns from c0 on over rows r0 .. r0 + rows - 1
// of a column-major panel, ahead of their copy: each column's stretch of a chunk
// is a dozen lines, too short for the processor to fetch them ahead by itself,
// and the copy of a chunk waited on memory.
inline void prefetch_columns(PanelView<const double> in, std::size_t r0, std::size_t rows,
                             std::size_t c0) {
    constexpr std::size_t kLine = 64 / sizeof(double);
    for (std::size_t c = c0; c < std::min(in.cols, c0 + kBlock); ++c)
        for (std::size_t r = 0; r < rows; r += kLine) __builtin_prefetch(&in.at(r0 + r, c));
}

// rows x cols cells of `in` from row r0 on into the row-major `buffer`.
template <class T>
void copy_in(PanelView<const T> in, std::size_t r0, std::size_t rows, T* buffer) {
    if constexpr (std::is_same_v<T, double>) {
        if (in.row_stride == 1) {  // column-major: columns of `in` are rows of the transpose
            for (std::size_t c0 = 0; c0 < in.cols; c0 += kBlock) {
                prefetch_columns(in, r0, rows, c0 + kBlock);
                const std::size_t nc = std::min(kBlock, in.cols - c0);
                for (std::size_t r = 0; r < rows; r += kBlock)
                    transpose_block(&in.at(r0 + r, c0), in.col_stride, buffer + r * in.cols + c0,
                                    in.cols, nc, std::min(kBlock, rows - r));
            }
            return;
        }
    }
    if (in.col_stride == 1) {  // row-major already (industry codes): row by row
        for (std::size_t r = 0; r < rows && in.cols > 0; ++r)
            std::memcpy(buffer + r * in.cols, &in.at(r0 + r, 0), in.cols * sizeof(T));
        return;
    }
    for_blocks(rows, in.cols,
               [&](std::size_t r, std::size_t c) { buffer[r * in.cols + c] = in.at(r0 + r, c); });
}

#if defined(__SSE2__)
// A column-major `out` written column by column over the chunk's rows (see
// stream_column). The buffer's few lines under a column stay in the
// first-level cache for the columns beside it.
inline void stream_out(const double* buffer, std::size_t r0, std::size_t rows,
                       PanelView<double> out) {
    const std::size_t cols = out.cols;
    for (std::size_t c = 0; c < cols; ++c) {
        const double* from = buffer + c;
        stream_column(&out.at(r0, c), rows, [from, cols](std::size_t r) { return from[r * cols]; });
    }
    _mm_sfence();  // the streamed stores are seen before the grid is handed on
}
#endif

// The row-major `buffer` of rows x cols cells into `out` from row r0 on.
inline void copy_out(const double* buffer, std::size_t r0, std::size_t rows,
                     PanelView<double> out) {
#if defined(__SSE2__)
    if (out.row_stride == 1) {
        stream_out(buffer, r0, rows, out);
        return;
    }
#endif
    if (out.row_stride == 1) {
        for_tiles(rows, out.cols,
                  [&](std::size_t r, std::size_t c, std::size_t nr, std::size_t nc) {
                      transpose_block(buffer + r * out.cols + c, out.cols, &out.at(r0 + r, c),
                                      out.col_stride, nr, nc);
                  });
        return;
    }
    for_blocks(rows, out.cols,
               [&](std::size_t r, std::size_t c) { out.at(r0 + r, c) = buffer[r * out.cols + c]; });
}

// A panel's rows written a chunk at a time, top to bottom: its leading NaN rows,
// then row-major chunks of results. A column-major panel is written column by
// column in whole cache lines stored past the caches (see stream_column), and
// the part of a line a chunk ends in waits for the next chunk's rows: each
// column's stretch of a chunk starts and ends inside a line, and storing such a
// part first read the rest of its line from memory (a rank of 2751 rows took
// a tenth longer than one of 2752, whose stretches all start on a line).
// finish() writes what still waits.
class ChunkWriter {
  public:
    explicit ChunkWriter(PanelView<double> out)
        : out_(out),
          streamed_(out.row_stride == 1 && kStreams),
          held_(streamed_ ? new double[out.cols * kLine] : nullptr),
          count_(streamed_ ? out.cols : 0, 0),
          line_(streamed_ ? out.cols : 0, 0) {}
    ChunkWriter(const ChunkWriter&) = delete;
    ChunkWriter& operator=(const ChunkWriter&) = delete;
    ~ChunkWriter() { finish(); }

    // Rows 0 .. rows - 1 NaN.
    void nan_rows(std::size_t rows) {
        if (!streamed_) return fill_nan_rows(out_, rows);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t c = 0; c < out_.cols; ++c)
            write(c, 0, rows, [nan](std::size_t) { return nan; });
    }

    // Rows r0 .. r0 + rows - 1 from the row-major `buffer` of rows x cols cells.
    void rows(const double* buffer, std::size_t r0, std::size_t rows) {
        if (!streamed_) return copy_out(buffer, r0, rows, out_);
        const std::size_t cols = out_.cols;
        for (std::size_t c = 0; c < cols; ++c) {
            const double* from = buffer + c;
            write(c, r0, rows, [from, cols](std::size_t r) { return from[r * cols]; });
        }
    }

    // Writes the parts of lines still waiting; the values are then seen by others.
    void finish() {
        for (std::size_t c = 0; c < count_.size(); ++c) {
            if (count_[c] == 0) continue;
            std::memcpy(&out_.at(line_[c], c), held_.get() + c * kLine, count_[c] * sizeof(double));
            count_[c] = 0;
        }
        if (streamed_) end_writes();
    }

  private:
    static constexpr std::size_t kLine = 64 / sizeof(double);
#if defined(__SSE2__)
    static constexpr bool kStreams = true;
#else
    static constexpr bool kStreams = false;
#endif

    // Rows r0 .. r0 + n - 1 of column c, value(t) on row r0 + t; a column's rows
    // come in order.
    template <class Value>
    void write(std::size_t c, std::size_t r0, std::size_t n, Value&& value) {
#if defined(__SSE2__)
        double* column = &out_.at(0, c);
        double* held = held_.get() + c * kLine;
        const std::size_t end = r0 + n;
        std::size_t r = r0, k = count_[c];
        if (k > 0) {  // rows line_[c] .. r0 - 1 wait for the rest of their line
            while (k < kLine && r < end) held[k++] = value(r++ - r0);
            if (k < kLine && end < out_.rows) {
                count_[c] = static_cast<std::uint8_t>(k);
                return;
            }
            store_line(column + line_[c], held, k);
            k = 0;
        }
        // a column's first rows, up to its first whole line
        for (; r < end && reinterpret_cast<std::uintptr_t>(column + r) % 64 != 0; ++r)
            column[r] = value(r - r0);
        for (; r + kLine <= end; r += kLine)
            for (std::size_t j = 0; j < kLine; j += 2)
                _mm_stream_pd(column + r + j, _mm_set_pd(value(r + j + 1 - r0), value(r + j - r0)));
        if (end == out_.rows) {
            for (; r < end; ++r) column[r] = value(r - r0);
        } else {
            line_[c] = r;
            for (; r < end; ++r) held[k++] = value(r - r0);
        }
        count_[c] = static_cast<std::uint8_t>(k);
#else
        (void)c, (void)r0, (void)n, (void)value;
#endif
    }

#if defined(__SSE2__)
    // k values from `held` at `to`: a whole line streamed, a column's last part stored.
    static void store_line(double* to, const double* held, std::size_t k) {
        if (k < kLine) {
            std::memcpy(to, held, k * sizeof(double));
            return;
        }
        for (std::size_t j = 0; j < kLine; j += 2) _mm_stream_pd(to + j, _mm_loadu_pd(held + j));
    }
#endif

    PanelView<double> out_;
    bool streamed_;
    std::unique_ptr<double[]> held_;   // per column, the part of a line waiting
    std::vector<std::uint8_t> count_;  // values waiting, per column
    std::vector<std::size_t> line_;    // the row they start on
};

}  // namespace alvora::stats::panel_rows
