#pragma once

// Result files recycled between runs on one machine.
//
// A client maps each result file a worker named (see grid_files.hpp) and, once
// the frame over it is freed and the mapping gone, renames the file into its
// recycling folder as `free-<bytes>-<unique>`. A worker of a later run claims
// such a file for a new result grid by renaming it into the run's folder: the
// file's pages are allocated already, where a fresh file's pages are zeroed on
// first touch (a fifth of a worker's time on a library of 40 factors). Only
// the client renames a file into the folder, and only after its last mapping
// of the file is gone, so no process still reads a file a worker writes.

#include <dirent.h>
#include <fcntl.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace alvora::recycled_files {

namespace py = pybind11;

inline constexpr const char* kFreePrefix = "free-";

// The byte count a free file's name gives, if it is one.
inline std::optional<std::size_t> free_file_bytes(const char* name) {
    const std::string prefix(kFreePrefix);
    if (std::string(name).rfind(prefix, 0) != 0) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const unsigned long long bytes = std::strtoull(name + prefix.size(), &end, 10);
    if (errno != 0 || end == name + prefix.size() || *end != '-') return std::nullopt;
    return static_cast<std::size_t>(bytes);
}

// A name no other file of this machine's runs takes: process and counter.
inline std::string unique_name(const char* prefix) {
    static std::atomic<unsigned long long> counter{0};
    return std::string(prefix) + std::to_string(getpid()) + "-" +
           std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
}

// Calls `visit(name, bytes)` for every free file in `folder` until it returns true.
template <class Visit>
void for_free_files(int folder, Visit visit) {
    const int listing = dup(folder);
    if (listing < 0) return;
    DIR* dir = fdopendir(listing);
    if (dir == nullptr) {
        close(listing);
        return;
    }
    rewinddir(dir);  // a duplicate shares the position the last listing left at the end
    while (const dirent* entry = readdir(dir)) {
        const auto bytes = free_file_bytes(entry->d_name);
        if (bytes && visit(entry->d_name, *bytes)) break;
    }
    closedir(dir);
}

// Claims a free file of between 7/8 and 9/8 of `bytes` from the folder
// `recycle`, renamed to `name` in the folder `target` and sized to `bytes`
// with its space reserved: the open file, or -1 when none could be claimed.
// Another worker may claim the same file first; the rename decides.
inline int claim(int recycle, int target, const std::string& name, std::size_t bytes) {
    int fd = -1;
    for_free_files(recycle, [&](const char* free_name, std::size_t size) {
        if (size < bytes - bytes / 8 || size > bytes + bytes / 8) return false;
        if (renameat(recycle, free_name, target, name.c_str()) != 0) return false;
        fd = openat(target, name.c_str(), O_RDWR | O_CLOEXEC);
        struct stat st {};
        const bool usable = fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                            (static_cast<std::size_t>(st.st_size) == bytes ||
                             ftruncate(fd, static_cast<off_t>(bytes)) == 0) &&
                            posix_fallocate(fd, 0, static_cast<off_t>(bytes)) == 0;
        if (!usable) {
            if (fd >= 0) close(fd);
            fd = -1;
            unlinkat(target, name.c_str(), 0);
        }
        return true;
    });
    return fd;
}

// Bytes held by the free files of `folder`.
inline std::size_t free_bytes(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return 0;
    std::size_t total = 0;
    for_free_files(fd, [&](const char*, std::size_t size) {
        total += size;
        return false;
    });
    close(fd);
    return total;
}

// A client's mapping of a result file it was lent; when it goes, the file goes
// to the free files while they stay within `budget` bytes, else is removed.
struct Lent {
    void* data;
    std::size_t bytes;
    std::string path;
    std::string recycle;  // empty: removed
    std::size_t budget;
};

inline void give_back(void* lent_ptr) {
    std::unique_ptr<Lent> lent(static_cast<Lent*>(lent_ptr));
    munmap(lent->data, lent->bytes);  // first: nothing here reads the file once a worker may
    if (!lent->recycle.empty() && free_bytes(lent->recycle) + lent->bytes <= lent->budget) {
        const std::string prefix = kFreePrefix + std::to_string(lent->bytes) + "-";
        const std::string free_path = lent->recycle + "/" + unique_name(prefix.c_str());
        if (rename(lent->path.c_str(), free_path.c_str()) == 0) return;
    }
    unlink(lent->path.c_str());
}

// The rows x cols float64 frame values in the result file at `path`, column j
// starting `step` cells after column j-1 and the first at byte `offset`, mapped
// copy-on-write. When the array and every view of it are gone the file goes to
// the free files of `recycle` (None: it is removed).
inline py::array_t<double> map_lent(const std::string& path, std::size_t offset, std::size_t rows,
                                    std::size_t cols, std::size_t step, py::object recycle,
                                    std::size_t budget) {
    std::string recycle_path;  // before anything is mapped: a conversion may raise
    if (!recycle.is_none()) recycle_path = py::str(recycle).cast<std::string>();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        throw py::value_error("spool file " + path + " is not a regular file");
    }
    const auto bytes = static_cast<std::size_t>(st.st_size);
    const std::size_t cells = bytes / sizeof(double);
    const std::size_t first = offset / sizeof(double);
    const bool fits = offset % sizeof(double) == 0 && rows > 0 && cols > 0 && step >= rows &&
                      first < cells && rows <= cells - first &&
                      cols - 1 <= (cells - first - rows) / step;
    if (!fits) {
        close(fd);
        throw py::value_error("spool file " + path + " holds " + std::to_string(cells) +
                              " cells, too few for a " + std::to_string(rows) + " x " +
                              std::to_string(cols) + " frame at offset " + std::to_string(offset) +
                              " with columns " + std::to_string(step) + " cells apart");
    }
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    close(fd);
    if (data == MAP_FAILED) {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    auto lent = std::make_unique<Lent>(Lent{data, bytes, path, recycle_path, budget});
    py::capsule owner;
    try {
        owner = py::capsule(lent.get(), give_back);
    } catch (...) {
        give_back(lent.release());
        throw;
    }
    lent.release();
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    return py::array_t<double>(
        {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)},
        {item, item * static_cast<py::ssize_t>(step)},
        reinterpret_cast<const double*>(static_cast<const char*>(data) + offset), owner);
}

}  // namespace alvora::recycled_files
