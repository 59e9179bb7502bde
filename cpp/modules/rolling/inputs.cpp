// Conversion of value series and validation of windows for the kernels.
#include <algorithm>
#include <bit>
#include <string>

#include "alvora/rolling/prefetch.hpp"
#include "rolling/rolling_module.hpp"

namespace alvora::rolling_module {

namespace {

// Cached at first use: these never change and must not cost a lookup per call.
struct Cache {
    py::object asarray;
    py::object integer_type;  // numpy.integer
    py::object rolling_window;
    py::dtype f64, i64, boolean;
};

Cache& cache() {
    static Cache* c = [] {
        auto np = py::module_::import("numpy");
        auto* made = new Cache{np.attr("asarray"),
                               np.attr("integer"),
                               G["rolling_window"],
                               py::dtype::of<double>(),
                               py::dtype::of<std::int64_t>(),
                               py::dtype("bool")};
        return made;  // kept for the life of the process
    }();
    return *c;
}

py::array ensure(const py::array& a, const py::dtype& dt) {
    const bool contiguous = (a.flags() & py::array::c_style) != 0;
    if (contiguous && a.dtype().is(dt)) return a;
    if (contiguous && a.dtype().equal(dt)) return a;
    return py::array::ensure(a.attr("astype")(dt), py::array::c_style);
}

[[noreturn]] void type_error(const std::string& msg) {
    throw py::type_error(msg);
}
[[noreturn]] void value_error(const std::string& msg) {
    throw py::value_error(msg);
}

}  // namespace

void init_inputs() {
    cache();
}

// A one-dimensional, aligned, C-contiguous, native-order array of the wanted
// element type is used as it is; anything else goes through astype.
bool usable_as_is(const py::array& arr, int type_num) {
    namespace d = py::detail;
    const auto* a = d::array_proxy(arr.ptr());
    const auto* descr = d::array_descriptor_proxy(a->descr);
    constexpr int kFlags = d::npy_api::NPY_ARRAY_C_CONTIGUOUS_ | d::npy_api::NPY_ARRAY_ALIGNED_;
    const char order = descr->byteorder;
    return descr->type_num == type_num && (a->flags & kFlags) == kFlags &&
           (order == '=' || order == '|' ||
            (order == '<' && std::endian::native == std::endian::little));
}

namespace {

// Asks for the first cache lines of the series before the kernel runs; the
// kernels' block scans ask for the rest as they go (prefetch.hpp).
void prefetch(const void* data, std::size_t bytes) {
    constexpr std::size_t kLine = 64;
    const char* p = static_cast<const char*>(data);
    for (std::size_t off = 0; off < bytes; off += kLine) __builtin_prefetch(p + off);
}

}  // namespace

Series to_series(py::handle x, Want want) {
    namespace d = py::detail;
    py::array arr = py::isinstance<py::array>(x)
                        ? py::reinterpret_borrow<py::array>(x)
                        : py::reinterpret_borrow<py::array>(cache().asarray(x));
    const auto* proxy = d::array_proxy(arr.ptr());
    if (proxy->nd != 1)
        value_error("expect a one-dimensional series, got " + std::to_string(proxy->nd) +
                    " dimensions");
    const auto* descr = d::array_descriptor_proxy(proxy->descr);
    const char k = descr->kind;
    const auto item = arr.itemsize();
    Kind kind;
    switch (k) {
        case 'f':
            kind = Kind::F64;
            break;
        case 'b':
            kind = want == Want::IntBoolOrFloat ? Kind::Bool
                   : want == Want::IntOrFloat   ? Kind::I64
                                                : Kind::F64;
            break;
        case 'i':
            kind = want == Want::Float ? Kind::F64 : Kind::I64;
            break;
        case 'u':
            // uint64 does not fit int64: counted in float64 instead of wrapping
            kind = want == Want::Float || item >= 8 ? Kind::F64 : Kind::I64;
            break;
        default:
            type_error("expect a numeric series, got dtype " +
                       py::str(arr.dtype()).cast<std::string>());
    }
    const int type_num = kind == Kind::F64   ? d::npy_api::NPY_DOUBLE_
                         : kind == Kind::I64 ? static_cast<int>(d::npy_api::NPY_INT64_)
                                             : d::npy_api::NPY_BOOL_;
    if (!usable_as_is(arr, type_num)) {
        const py::dtype& dt = kind == Kind::F64   ? cache().f64
                              : kind == Kind::I64 ? cache().i64
                                                  : cache().boolean;
        arr = py::array::ensure(arr.attr("astype")(dt), py::array::c_style);
    }
    Series s{arr, kind, static_cast<std::size_t>(arr.shape(0))};
    prefetch(arr.data(),
             std::min(s.size, rolling::detail::kLead) * static_cast<std::size_t>(arr.itemsize()));
    return s;
}

Series as_float(const Series& s) {
    if (s.kind == Kind::F64) return s;
    return Series{ensure(s.arr, cache().f64), Kind::F64, s.size};
}

std::size_t to_window(py::handle n, std::size_t len) {
    long long v = 0;
    bool huge = false;
    PyObject* p = n.ptr();
    if (PyLong_CheckExact(p)) {
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (overflow > 0) huge = true;
        if (overflow < 0) v = -1;
    } else if (!PyBool_Check(p) &&
               (PyLong_Check(p) || PyObject_IsInstance(p, cache().integer_type.ptr()) == 1)) {
        py::object idx = py::reinterpret_steal<py::object>(PyNumber_Index(p));
        if (!idx) throw py::error_already_set();
        int overflow = 0;
        v = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
        if (overflow > 0) huge = true;
        if (overflow < 0) v = -1;
    } else {
        type_error("window must be an integer, got " +
                   py::str(py::type::handle_of(n).attr("__name__")).cast<std::string>());
    }
    auto shown = [&] { return py::str(n).cast<std::string>(); };
    if (!huge && v < 1) value_error("window must be at least 1, got " + shown());
    if (huge || static_cast<unsigned long long>(v) > len)
        value_error("window " + shown() + " is longer than the series (" + std::to_string(len) +
                    " values)");
    return static_cast<std::size_t>(v);
}

bool native_windows() {
    // Kept for the life of the process (no destructor running after the interpreter).
    static PyObject* name = PyUnicode_InternFromString("rolling_window");
    // A module attribute is an entry of the module's dictionary: looked up
    // there directly (once per kernel call); the general lookup only when
    // the entry is gone, for its error or a module-level __getattr__.
    static PyObject* dict = PyModule_GetDict(G.module().ptr());  // the module keeps it
    PyObject* cur = PyDict_GetItemWithError(dict, name);         // borrowed
    if (cur == nullptr) {
        if (PyErr_Occurred()) throw py::error_already_set();
        cur = PyObject_GetAttr(G.module().ptr(), name);
        if (cur == nullptr) throw py::error_already_set();
        Py_DECREF(cur);  // only compared by identity
    }
    return cur == cache().rolling_window.ptr();
}

py::array call_rolling_window(const py::array& series, py::handle n, std::size_t cols,
                              py::dtype dtype) {
    py::array r =
        py::reinterpret_borrow<py::array>(cache().asarray(G["rolling_window"](series, n)));
    if (r.ndim() != 2)
        value_error("rolling_window returned " + std::to_string(r.ndim()) +
                    " dimensions, expected 2");
    if (static_cast<std::size_t>(r.shape(1)) != cols)
        value_error("rolling_window returned windows of " + std::to_string(r.shape(1)) +
                    " values, expected " + std::to_string(cols));
    return ensure(r, dtype);
}

}  // namespace alvora::rolling_module
