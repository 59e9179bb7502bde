// Result grids whose memory is kept for the next grid of about their size.
//
// The C allocator hands a large block straight back to the system, and the next
// one faults every page in afresh and has the kernel zero it: for a 100 MB
// (2500 x 5000) result that is 35-60 ms, as long as a winsorizing pass itself.
// Grids freed lately are kept with their pages instead, within a small budget
// (two such results: a study's peak memory grows by at most that); past it the
// oldest go back to the system. Each extension module has its own pool.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <vector>

namespace alvora::kept_grids {

namespace py = pybind11;

// Grids below this size come from the C allocator, whose heap keeps them anyway.
inline constexpr std::size_t kSmallest = std::size_t{1} << 20;
inline constexpr std::size_t kBudget = std::size_t{256} << 20;
inline constexpr std::size_t kCount = 4;
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

struct Block {
    double* data;
    std::size_t bytes;
};

struct Pool {
    std::mutex mutex;
    std::vector<Block> blocks;  // oldest first
    std::size_t bytes = 0;
};

// Never destroyed: grids may be freed during the interpreter's shutdown.
inline Pool& pool() {
    static auto* kept = new Pool();
    return *kept;
}

// A kept block of at least `bytes` and under an eighth more, if any.
inline std::optional<Block> take(std::size_t bytes) {
    Pool& p = pool();
    std::lock_guard<std::mutex> lock(p.mutex);
    for (auto it = p.blocks.begin(); it != p.blocks.end(); ++it) {
        if (it->bytes >= bytes && it->bytes - bytes <= bytes / 8) {
            const Block block = *it;
            p.blocks.erase(it);
            p.bytes -= block.bytes;
            return block;
        }
    }
    return std::nullopt;
}

inline void release(void* block_ptr) {
    std::unique_ptr<Block> block(static_cast<Block*>(block_ptr));
    if (block->bytes >= kSmallest && block->bytes <= kBudget) {
        Pool& p = pool();
        std::lock_guard<std::mutex> lock(p.mutex);
        // the oldest kept blocks make room for the newest
        while (!p.blocks.empty() &&
               (p.bytes + block->bytes > kBudget || p.blocks.size() >= kCount)) {
            p.bytes -= p.blocks.front().bytes;
            std::free(p.blocks.front().data);
            p.blocks.erase(p.blocks.begin());
        }
        p.blocks.push_back(*block);
        p.bytes += block->bytes;
        return;
    }
    std::free(block->data);
}

// A new uninitialised rows x cols float64 array (row-major, or column-major when
// asked), in a kept grid's memory where one fits. Large grids are aligned to and
// advised into huge pages, which the array library does for its own large arrays.
inline py::array_t<double> fresh(std::size_t rows, std::size_t cols, bool column_major = false) {
    const std::size_t cells = std::max<std::size_t>(rows * cols, 1);
    if (cols != 0 && rows * cols / cols != rows) throw std::bad_alloc();
    if (cells > (std::size_t{1} << 60) / sizeof(double)) throw std::bad_alloc();
    std::size_t bytes = cells * sizeof(double);
    auto block = std::make_unique<Block>(Block{nullptr, bytes});
    if (bytes >= kSmallest) bytes = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    if (auto kept = take(bytes)) {
        *block = *kept;
    } else if (bytes >= kSmallest) {
        block->bytes = bytes;
        block->data = static_cast<double*>(std::aligned_alloc(kHugePage, bytes));
#ifdef MADV_HUGEPAGE
        if (block->data != nullptr) madvise(block->data, bytes, MADV_HUGEPAGE);  // advice only
#endif
    } else {
        block->data = static_cast<double*>(std::malloc(bytes));
    }
    if (block->data == nullptr) throw std::bad_alloc();
    double* data = block->data;
    py::capsule owner;
    try {
        owner = py::capsule(block.get(), release);
    } catch (...) {
        release(block.release());
        throw;
    }
    block.release();
    const auto r = static_cast<py::ssize_t>(rows), c = static_cast<py::ssize_t>(cols);
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    if (column_major) return py::array_t<double>({r, c}, {item, item * r}, data, owner);
    return py::array_t<double>({r, c}, {item * c, item}, data, owner);
}

}  // namespace alvora::kept_grids
