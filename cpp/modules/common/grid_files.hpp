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
// A grid whose file has been named is never reused for another grid. With a
// recycling folder, a grid takes a free file from there first (see
// recycled_files.hpp): such a file has a name in the folder from the start,
// and naming it renames it.

#include <fcntl.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "common/recycled_files.hpp"

// Each extension module holds its own folder setting and registry: only the
// grids of the module whose `set_folder` a thread called go to files.

namespace alvora::grid_files {

namespace py = pybind11;

struct Mapping {
    double* data;
    int fd;
};

struct FileGrid {
    std::size_t bytes;
    int fd;
    bool linked;
    std::string claimed;  // a recycled file's path in the grid folder until named
};

struct Registry {
    std::mutex mutex;
    std::map<const char*, FileGrid> grids;  // by first byte
};
// Never destroyed: grids may be freed during the interpreter's shutdown.
inline Registry& registry() {
    static auto* r = new Registry();
    return *r;
}

// Each file grid holds a descriptor open (naming the file needs it); past this
// many, grids come from the heap and the process keeps descriptors for the rest.
inline constexpr std::size_t kMaxFileGrids = 256;

// Evaluation runs on the task's thread; another thread's grids stay on the heap.
inline thread_local int t_folder = -1;
inline thread_local std::string t_folder_path;
inline thread_local int t_recycle = -1;
inline thread_local std::size_t t_min_bytes = 0;

inline std::string plain_path(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos)
        throw py::value_error("not a usable path: " + py::repr(py::str(path)).cast<std::string>());
    return path;
}

// Grids of `bytes` come from a file in this
// thread's grid folder when it has one and `bytes` reaches its minimum; the
// space is reserved before the grid is mapped, so a full file system gives
// nullopt (the caller takes heap memory) and never a fault on first touch.
inline std::optional<Mapping> allocate(std::size_t bytes) {
    if (t_folder < 0 || bytes < t_min_bytes || bytes == 0) return std::nullopt;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.grids.size() >= kMaxFileGrids) return std::nullopt;
    }
    std::string claimed;
    int fd = -1;
    if (t_recycle >= 0) {
        const std::string name = recycled_files::unique_name(".claimed-");
        fd = recycled_files::claim(t_recycle, t_folder, name, bytes);
        if (fd >= 0) claimed = t_folder_path + "/" + name;
    }
    if (fd < 0) {
        fd = openat(t_folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd < 0) return std::nullopt;
        // Reserved and zeroed here: a mapping of a file past the space left would
        // kill the process on first touch instead of failing.
        if (posix_fallocate(fd, 0, static_cast<off_t>(bytes)) != 0) {
            close(fd);
            return std::nullopt;
        }
    }
    int flags = MAP_SHARED;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;  // all pages mapped at once, not one fault per page
#endif
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, fd, 0);
    if (data == MAP_FAILED) {
        close(fd);
        if (!claimed.empty()) unlink(claimed.c_str());
        return std::nullopt;
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.grids[static_cast<const char*>(data)] = FileGrid{bytes, fd, false, claimed};
    return Mapping{static_cast<double*>(data), fd};
}

// Unmaps a grid `allocate` gave and closes its file (a recycled file not named
// since is removed).
inline void release(double* data, std::size_t bytes, int fd) {
    std::string claimed;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.grids.find(reinterpret_cast<const char*>(data));
        if (it != r.grids.end()) {
            claimed = std::move(it->second.claimed);
            r.grids.erase(it);
        }
    }
    munmap(data, bytes);
    close(fd);
    if (!claimed.empty()) unlink(claimed.c_str());
}

// True when `data` (a grid `allocate` gave) has been named by `link`.
inline bool linked(const double* data) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.grids.find(reinterpret_cast<const char*>(data));
    return it != r.grids.end() && it->second.linked;
}

// Sets this thread's grid folder (None: none), the smallest grid in bytes that
// goes to a file and the folder of free files to take first (None, or one that
// cannot be opened: none); raises OSError when the grid folder cannot be opened.
inline void set_folder(py::object folder, std::size_t min_bytes, py::object recycle) {
    int fd = -1, recycle_fd = -1;
    std::string path;
    if (!folder.is_none()) {
        path = plain_path(py::str(folder).cast<std::string>());
        fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
            throw py::error_already_set();
        }
        if (!recycle.is_none()) {
            const std::string free_path = plain_path(py::str(recycle).cast<std::string>());
            recycle_fd = open(free_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        }
    }
    if (t_folder >= 0) close(t_folder);
    if (t_recycle >= 0) close(t_recycle);
    t_folder = fd;
    t_folder_path = path;
    t_recycle = recycle_fd;
    t_min_bytes = min_bytes;
}

// Names the file holding all of `values` at `path` (a new name in the same
// file system); returns the byte offset of values' first element in the file,
// or None when `values` does not lie in one file grid or the name cannot be made.
inline py::object link(py::array values, const std::string& path) {
    plain_path(path);
    if (values.size() == 0) return py::none();
    // the byte range the array spans
    const char* first = static_cast<const char*>(values.data());
    std::size_t span = static_cast<std::size_t>(values.itemsize());
    for (py::ssize_t d = 0; d < values.ndim(); ++d) {
        if (values.strides(d) < 0) return py::none();
        span += static_cast<std::size_t>(values.strides(d)) *
                static_cast<std::size_t>(values.shape(d) - 1);
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.grids.upper_bound(first);
    if (it == r.grids.begin()) return py::none();
    --it;
    const std::size_t offset = static_cast<std::size_t>(first - it->first);
    if (offset >= it->second.bytes || span > it->second.bytes - offset) return py::none();
    if (!it->second.claimed.empty()) {
        if (rename(it->second.claimed.c_str(), path.c_str()) != 0) return py::none();
        it->second.claimed.clear();
    } else {
        const std::string self = "/proc/self/fd/" + std::to_string(it->second.fd);
        if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0)
            return py::none();
    }
    it->second.linked = true;
    return py::int_(offset);
}

}  // namespace alvora::grid_files
