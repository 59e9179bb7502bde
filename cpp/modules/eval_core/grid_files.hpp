#pragma once

// Result grids in unnamed files that a worker can hand to another process
// without copying them.
//
// A thread that has a grid folder (a folder on a memory file system) gets
// its new result grids of at least the folder's minimum size mapped from
// unnamed files in that folder rather than from the heap. Once a grid is
// complete, `link` gives its file a name in the folder: another process maps
// that file and reads the very pages the grid was computed into, where
// writing the grid out would allocate every page a second time and copy it.
// A grid whose file has been named is never reused for another grid.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <optional>
#include <string>

namespace py = pybind11;

namespace alvora::eval_core::grid_files {

struct Mapping {
    double* data;
    int fd;
};

// Grids of `bytes` (a multiple of the page size) come from a file in this
// thread's grid folder when it has one and `bytes` reaches its minimum; the
// space is reserved before the grid is mapped, so a full file system gives
// nullopt (the caller takes heap memory) and never a fault on first touch.
std::optional<Mapping> allocate(std::size_t bytes);

// Unmaps a grid `allocate` gave and closes its file.
void release(double* data, std::size_t bytes, int fd);

// True when `data` (a grid `allocate` gave) has been named by `link`.
bool linked(const double* data);

// Sets this thread's grid folder (None: none) and the smallest grid in bytes
// that goes to a file; raises OSError when the folder cannot be opened.
void set_folder(py::object folder, std::size_t min_bytes);

// Names the file holding all of `values` at `path` (a new name in the same
// file system); returns the byte offset of values' first element in the file,
// or None when `values` does not lie in one file grid or the name cannot be made.
py::object link(py::array values, const std::string& path);

}  // namespace alvora::eval_core::grid_files
