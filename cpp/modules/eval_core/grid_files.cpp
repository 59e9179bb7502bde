#include "eval_core/grid_files.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <map>
#include <mutex>

namespace alvora::eval_core::grid_files {

namespace {

struct FileGrid {
    std::size_t bytes;
    int fd;
    bool linked;
};

struct Registry {
    std::mutex mutex;
    std::map<const char*, FileGrid> grids;  // by first byte
};
// Never destroyed: grids may be freed during the interpreter's shutdown.
Registry& registry() {
    static auto* r = new Registry();
    return *r;
}

// Each file grid holds a descriptor open (naming the file needs it); past this
// many, grids come from the heap and the process keeps descriptors for the rest.
constexpr std::size_t kMaxFileGrids = 256;

// Evaluation runs on the task's thread; another thread's grids stay on the heap.
thread_local int t_folder = -1;
thread_local std::size_t t_min_bytes = 0;

std::string plain_path(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos)
        throw py::value_error("not a usable path: " + py::repr(py::str(path)).cast<std::string>());
    return path;
}

}  // namespace

std::optional<Mapping> allocate(std::size_t bytes) {
    if (t_folder < 0 || bytes < t_min_bytes || bytes == 0) return std::nullopt;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        if (r.grids.size() >= kMaxFileGrids) return std::nullopt;
    }
    const int fd = openat(t_folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) return std::nullopt;
    // Reserved and zeroed here: a mapping of a file past the space left would
    // kill the process on first touch instead of failing.
    if (posix_fallocate(fd, 0, static_cast<off_t>(bytes)) != 0) {
        close(fd);
        return std::nullopt;
    }
    int flags = MAP_SHARED;
#ifdef MAP_POPULATE
    flags |= MAP_POPULATE;  // all pages mapped at once, not one fault per page
#endif
    void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, fd, 0);
    if (data == MAP_FAILED) {
        close(fd);
        return std::nullopt;
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.grids[static_cast<const char*>(data)] = FileGrid{bytes, fd, false};
    return Mapping{static_cast<double*>(data), fd};
}

void release(double* data, std::size_t bytes, int fd) {
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        r.grids.erase(reinterpret_cast<const char*>(data));
    }
    munmap(data, bytes);
    close(fd);
}

bool linked(const double* data) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.grids.find(reinterpret_cast<const char*>(data));
    return it != r.grids.end() && it->second.linked;
}

void set_folder(py::object folder, std::size_t min_bytes) {
    int fd = -1;
    if (!folder.is_none()) {
        const std::string path = plain_path(py::str(folder).cast<std::string>());
        fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) {
            PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
            throw py::error_already_set();
        }
    }
    if (t_folder >= 0) close(t_folder);
    t_folder = fd;
    t_min_bytes = min_bytes;
}

py::object link(py::array values, const std::string& path) {
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
    const std::string self = "/proc/self/fd/" + std::to_string(it->second.fd);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0)
        return py::none();
    it->second.linked = true;
    return py::int_(offset);
}

}  // namespace alvora::eval_core::grid_files
