// Column-major float64 grids for results, from memory kept for reuse where
// possible: first touching fresh pages is a large part of a library's cost.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

#include "common/grid_files.hpp"

namespace alvora::grid_pool {

namespace py = pybind11;

// Bytes of grids (live or kept for reuse) that asked for huge pages. Huge pages halve the
// page-fault cost of a lone grid (a window mean over 5000 x 2500 runs twice as fast), but where
// free memory is fragmented the kernel compacts it on first touch: a library's fifteen 150 MB grids
// then cost 4-6 s of system time against 1.7 s in ordinary pages (bench/bench_library.py --market
// large). Past this budget grids take ordinary pages.
inline std::atomic<std::size_t> g_huge_page_bytes{0};
constexpr std::size_t kHugePageBudget = std::size_t{256} << 20;
// Grids up to this size come from the C allocator's heap.
constexpr std::size_t kHeapLimit = std::size_t{32} << 20;

struct GridBlock {
    double* data;
    std::size_t bytes;    // allocated (rounded to huge pages for large grids)
    std::size_t advised;  // bytes counted in g_huge_page_bytes
    int fd = -1;          // the grid's file, for grids in files (see grid_files.hpp)
};

// Grids freed lately, kept with their pages for the next grid of about their
// size. The C allocator hands a large block straight back to the system, and
// the next one faults in every page afresh: a cross-sectional node's operand
// grid, freed once ranked, cost its 100 MB of page faults again for every such
// node. A heap-sized grid's pages go back too when it ends the heap (zeroing a
// 9 MB grid is a tenth of an elementwise factor's cost). Bounded; past the
// budget the oldest kept grids go back to the system. A library of factors over
// 5000 instruments x 2750 dates frees its intermediate grids (110 MB each) a batch
// at a time: a budget of four of them sent most back to the system, and each batch
// faulted a dozen in again (a third of the library's page faults). Each module sets
// its own bound (see keep_up_to): the evaluation engine keeps a library's batch,
// the study steps keep less, since a study's peak memory counts.
inline std::atomic<std::size_t> g_reuse_budget{std::size_t{512} << 20};
inline std::atomic<std::size_t> g_reuse_count{16};
// Smaller grids the heap serves from memory it keeps anyway.
constexpr std::size_t kReuseSmallest = std::size_t{1} << 20;
struct ReusePool {
    std::mutex mutex;
    std::vector<GridBlock> blocks;  // oldest first
    std::size_t bytes = 0;
};
// Never destroyed: grids may be freed during the interpreter's shutdown.
inline ReusePool& reuse_pool() {
    static auto* pool = new ReusePool();
    return *pool;
}

// This module's bound on kept grids: at most `count` grids and `bytes` in all.
inline void keep_up_to(std::size_t bytes, std::size_t count) {
    g_reuse_budget.store(bytes, std::memory_order_relaxed);
    g_reuse_count.store(count, std::memory_order_relaxed);
}

inline void free_block(const GridBlock& block) {
    g_huge_page_bytes.fetch_sub(block.advised, std::memory_order_relaxed);
    if (block.fd >= 0) {
        grid_files::release(block.data, block.bytes, block.fd);
    } else {
        std::free(block.data);
    }
}

// A grid in a file another process can map, when this thread asks for such grids.
inline std::optional<GridBlock> file_block(std::size_t bytes) {
    auto mapped = grid_files::allocate(bytes);
    if (!mapped) return std::nullopt;
    return GridBlock{mapped->data, bytes, 0, mapped->fd};
}

// A kept block of at least `bytes` and under an eighth more, if any.
inline std::optional<GridBlock> reuse_block(std::size_t bytes) {
    ReusePool& pool = reuse_pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    for (auto it = pool.blocks.begin(); it != pool.blocks.end(); ++it) {
        if (it->bytes >= bytes && it->bytes - bytes <= bytes / 8) {
            GridBlock block = *it;
            pool.blocks.erase(it);
            pool.bytes -= block.bytes;
            return block;
        }
    }
    return std::nullopt;
}

inline void release_grid(void* block_ptr) {
    std::unique_ptr<GridBlock> block(static_cast<GridBlock*>(block_ptr));
    // a grid handed to another process through its file is that process's now
    const bool handed_over = block->fd >= 0 && grid_files::linked(block->data);
    const std::size_t budget = g_reuse_budget.load(std::memory_order_relaxed);
    const std::size_t count = g_reuse_count.load(std::memory_order_relaxed);
    if (!handed_over && count > 0 && block->bytes >= kReuseSmallest && block->bytes <= budget) {
        ReusePool& pool = reuse_pool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        // the oldest kept blocks make room for the newest
        while (!pool.blocks.empty() &&
               (pool.bytes + block->bytes > budget || pool.blocks.size() >= count)) {
            pool.bytes -= pool.blocks.front().bytes;
            free_block(pool.blocks.front());
            pool.blocks.erase(pool.blocks.begin());
        }
        if (pool.bytes + block->bytes <= budget) {
            pool.blocks.push_back(*block);
            pool.bytes += block->bytes;
            return;
        }
    }
    free_block(*block);
}

// Fault a fresh mapping's pages in with one call before the grid is written. On
// virtual machines a page faulted on first write costs far more than one
// populated in a batch: 11 GB of 110 MB mappings took a third to a half less
// system time populated than touched one page at a time (the same pages, zeroed
// either way); the alpha library at 2500 dates 3-6 s less. Advice only: kernels
// without it fault the pages on first write as before.
inline void prefault(void* data, std::size_t bytes) {
#ifdef MADV_POPULATE_WRITE
    constexpr std::size_t kPage = 4096;
    madvise(data, (bytes + kPage - 1) / kPage * kPage, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)bytes;
#endif
}

// A new column-major rows x cols float64 array, uninitialised, in a kept grid's
// memory where one fits. Otherwise grids up to 32 MiB come from the C
// allocator's heap, and larger ones are fresh mappings; within the budget above
// those get huge pages, as the array library gives its large arrays, and fault
// 2 MiB at a time instead of 4 KiB.
inline py::array_t<double> fresh_grid(std::size_t rows, std::size_t cols) {
    const std::size_t cells = rows * cols;
    if (cols != 0 && cells / cols != rows) throw std::bad_alloc();
    const std::size_t bytes = std::max<std::size_t>(cells, 1) * sizeof(double);
    if (bytes / sizeof(double) != std::max<std::size_t>(cells, 1)) throw std::bad_alloc();
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    auto block = std::make_unique<GridBlock>(GridBlock{nullptr, bytes, 0});
    if (bytes > kHeapLimit) {
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        if (auto kept = reuse_block(rounded)) {
            *block = *kept;
        } else if (auto file = file_block(rounded)) {
            *block = *file;
        } else {
            block->bytes = rounded;
            block->data = static_cast<double*>(std::aligned_alloc(kHugePage, rounded));
#ifdef MADV_HUGEPAGE
            const std::size_t before =
                g_huge_page_bytes.fetch_add(rounded, std::memory_order_relaxed);
            if (block->data != nullptr && before + rounded <= kHugePageBudget) {
                madvise(block->data, rounded, MADV_HUGEPAGE);  // advice only
                block->advised = rounded;
            } else {
                g_huge_page_bytes.fetch_sub(rounded, std::memory_order_relaxed);
            }
#endif
            if (block->data != nullptr) prefault(block->data, bytes);
        }
    } else {
        if (auto kept = reuse_block(bytes)) {
            *block = *kept;
        } else if (auto file = file_block(bytes)) {
            *block = *file;
        } else {
            block->data = static_cast<double*>(std::malloc(bytes));
        }
    }
    if (block->data == nullptr) throw std::bad_alloc();
    double* data = block->data;
    py::capsule owner;
    try {
        owner = py::capsule(block.get(), release_grid);
    } catch (...) {
        release_grid(block.release());
        throw;
    }
    block.release();
    const auto r = static_cast<py::ssize_t>(rows), c = static_cast<py::ssize_t>(cols);
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    return py::array_t<double>({r, c}, {item, item * r}, data, owner);
}

}  // namespace alvora::grid_pool
