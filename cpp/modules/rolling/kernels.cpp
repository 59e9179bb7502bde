// The kernels as module functions: argument conversion, the native kernels
// with the GIL released, and the window-matrix path used when the module's
// rolling_window has been replaced.
#include "alvora/rolling/kernels.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "alvora/rolling/rowwise.hpp"
#include "rolling/rolling_module.hpp"

namespace alvora::rolling_module {

namespace core = alvora::rolling;
namespace rw = alvora::rolling::rowwise;

namespace {

using F64Kernel = void (*)(std::span<const double>, std::size_t, std::span<double>);
using F64Row = double (*)(const double*, std::size_t);

template <class T>
std::span<T> out_span(py::array_t<T>& a) {
    return {a.mutable_data(), static_cast<std::size_t>(a.size())};
}

template <class T>
const T* row_ptr(const py::array& r, std::size_t i) {
    return static_cast<const T*>(r.data()) + i * static_cast<std::size_t>(r.shape(1));
}

std::size_t rows_of(const py::array& r) {
    return static_cast<std::size_t>(r.shape(0));
}

py::dtype f64() {
    return py::dtype::of<double>();
}
py::dtype i64() {
    return py::dtype::of<std::int64_t>();
}

// A derived series (elementwise products) as a new float64 array.
template <class F>
py::array_t<double> elementwise(std::size_t len, F f) {
    auto out = new_array<double>(len);
    double* o = out.mutable_data();
    for (std::size_t i = 0; i < len; ++i) o[i] = f(i);
    return out;
}

// ---- float kernels of one series ----------------------------------------------

py::object float_kernel(py::handle x, py::handle n, F64Kernel kernel, F64Row row) {
    const Series s = to_series(x, Want::Float);
    const std::size_t w = to_window(n, s.size);
    // row is null for kernels that take the window-matrix path themselves
    if (row != nullptr && !native_windows()) {
        py::array r = call_rolling_window(s.arr, n, w, f64());
        auto out = new_array<double>(rows_of(r));
        for (std::size_t i = 0; i < rows_of(r); ++i)
            out.mutable_data()[i] = row(row_ptr<double>(r, i), w);
        return out;
    }
    auto out = new_array<double>(s.size - w + 1);
    auto in = s.span<double>();
    auto o = out_span(out);
    {
        py::gil_scoped_release nogil;
        kernel(in, w, o);
    }
    return out;
}

py::object zscore(py::handle x, py::handle n) {
    const Series s = to_series(x, Want::Float);
    const std::size_t w = to_window(n, s.size);
    if (!native_windows()) {
        py::array r = call_rolling_window(s.arr, n, w, f64());
        const std::size_t m = s.size - w + 1;
        if (rows_of(r) != m)
            throw py::value_error("rolling_window returned " + std::to_string(rows_of(r)) +
                                  " windows, expected " + std::to_string(m));
        auto out = new_array<double>(m);
        const double* xs = s.span<double>().data();
        for (std::size_t i = 0; i < m; ++i)
            out.mutable_data()[i] = rw::zscore(row_ptr<double>(r, i), w, xs[i + w - 1]);
        return out;
    }
    return float_kernel(s.arr, n, core::zscore, nullptr);
}

py::object skew(py::handle x, py::handle n) {
    const Series s = to_series(x, Want::Float);
    const std::size_t w = to_window(n, s.size);
    if (!native_windows()) {
        const double* xs = s.span<double>().data();
        auto s3 = elementwise(s.size, [xs](std::size_t i) { return xs[i] * xs[i] * xs[i]; });
        py::array r = call_rolling_window(s.arr, n, w, f64());
        py::array r3 = call_rolling_window(s3, n, w, f64());
        if (rows_of(r3) != rows_of(r))
            throw py::value_error("rolling_window returned matrices of different shapes");
        auto out = new_array<double>(rows_of(r));
        for (std::size_t i = 0; i < rows_of(r); ++i)
            out.mutable_data()[i] = rw::skew(row_ptr<double>(r, i), row_ptr<double>(r3, i), w);
        return out;
    }
    return float_kernel(s.arr, n, core::skew, nullptr);
}

py::object kurt(py::handle x, py::handle n) {
    const Series s = to_series(x, Want::Float);
    const std::size_t w = to_window(n, s.size);
    if (w <= 3) {
        // Fixed constants, one per complete window, whatever the values.
        auto out = new_array<double>(s.size - w + 1);
        core::kurt(s.span<double>(), w, out_span(out));
        return out;
    }
    return float_kernel(s.arr, n, core::kurt, rw::kurt);
}

// ---- kernels keeping integer results --------------------------------------------

template <class Core64, class CoreI, class RowF, class RowI>
py::object int_or_float(py::handle x, py::handle n, Core64 kf, CoreI ki, RowF rf, RowI ri) {
    const Series s = to_series(x, Want::IntOrFloat);
    const std::size_t w = to_window(n, s.size);
    const bool ints = s.kind == Kind::I64;
    if (!native_windows()) {
        py::array r = call_rolling_window(s.arr, n, w, ints ? i64() : f64());
        if (ints) {
            auto out = new_array<std::int64_t>(rows_of(r));
            for (std::size_t i = 0; i < rows_of(r); ++i)
                out.mutable_data()[i] = ri(row_ptr<std::int64_t>(r, i), w);
            return out;
        }
        auto out = new_array<double>(rows_of(r));
        for (std::size_t i = 0; i < rows_of(r); ++i)
            out.mutable_data()[i] = rf(row_ptr<double>(r, i), w);
        return out;
    }
    if (ints) {
        auto out = new_array<std::int64_t>(s.size - w + 1);
        auto in = s.span<std::int64_t>();
        auto o = out_span(out);
        {
            py::gil_scoped_release nogil;
            ki(in, w, o);
        }
        return out;
    }
    auto out = new_array<double>(s.size - w + 1);
    auto in = s.span<double>();
    auto o = out_span(out);
    {
        py::gil_scoped_release nogil;
        kf(in, w, o);
    }
    return out;
}

// ---- order kernels: results of the element type or float64 positions ----------

template <bool Max>
py::object extreme(py::handle x, py::handle n) {
    const Series s = to_series(x, Want::IntBoolOrFloat);
    const std::size_t w = to_window(n, s.size);
    auto run = [&](auto tag) -> py::object {
        using T = decltype(tag);
        using Out = std::conditional_t<std::is_same_v<T, core::Bool>, bool, T>;
        py::array r;
        const bool native = native_windows();
        if (!native) r = call_rolling_window(s.arr, n, w, s.arr.dtype());
        const std::size_t m = native ? s.size - w + 1 : rows_of(r);
        py::array_t<Out> out(static_cast<py::ssize_t>(m));
        std::span<T> o{reinterpret_cast<T*>(out.mutable_data()), m};
        if (!native) {
            for (std::size_t i = 0; i < m; ++i)
                o[i] = Max ? rw::max(row_ptr<T>(r, i), w) : rw::min(row_ptr<T>(r, i), w);
            return out;
        }
        auto in = s.span<T>();
        {
            py::gil_scoped_release nogil;
            if constexpr (Max)
                core::ts_max(in, w, o);
            else
                core::ts_min(in, w, o);
        }
        return out;
    };
    switch (s.kind) {
        case Kind::F64:
            return run(double{});
        case Kind::I64:
            return run(std::int64_t{});
        default:
            return run(core::Bool{});
    }
}

template <int Which>  // 0 argmin, 1 argmax, 2 rank
py::object position(py::handle x, py::handle n) {
    const Series s0 = to_series(x, Which == 2 ? Want::IntOrFloat : Want::IntBoolOrFloat);
    const std::size_t w = to_window(n, s0.size);
    const Series& s = s0;
    auto run = [&](auto tag) -> py::object {
        using T = decltype(tag);
        const bool native = native_windows();
        py::array r;
        if (!native) r = call_rolling_window(s.arr, n, w, s.arr.dtype());
        const std::size_t m = native ? s.size - w + 1 : rows_of(r);
        auto out = new_array<double>(m);
        auto o = out_span(out);
        if (!native) {
            for (std::size_t i = 0; i < m; ++i) {
                const T* p = row_ptr<T>(r, i);
                if constexpr (Which == 0)
                    o[i] = rw::argmin(p, w);
                else if constexpr (Which == 1)
                    o[i] = rw::argmax(p, w);
                else
                    o[i] = rw::rank(p, w);
            }
            return out;
        }
        auto in = s.span<T>();
        {
            py::gil_scoped_release nogil;
            if constexpr (Which == 0)
                core::ts_argmin(in, w, o);
            else if constexpr (Which == 1)
                core::ts_argmax(in, w, o);
            else
                core::ts_rank(in, w, o);
        }
        return out;
    };
    switch (s.kind) {
        case Kind::F64:
            return run(double{});
        case Kind::I64:
            return run(std::int64_t{});
        default:
            if constexpr (Which == 2)
                throw std::logic_error("booleans are ranked as integers");
            else
                return run(core::Bool{});
    }
}

py::object count(py::handle x, py::handle n) {
    const Series s = to_series(x, Want::IntBoolOrFloat);
    const std::size_t w = to_window(n, s.size);
    if (!native_windows()) {
        // The truth values as a boolean series (NaN is true), then its windows.
        py::array_t<bool> truth(static_cast<py::ssize_t>(s.size));
        bool* t = truth.mutable_data();
        for (std::size_t i = 0; i < s.size; ++i) {
            switch (s.kind) {
                case Kind::F64:
                    t[i] = s.span<double>()[i] != 0.0;
                    break;
                case Kind::I64:
                    t[i] = s.span<std::int64_t>()[i] != 0;
                    break;
                default:
                    t[i] = s.span<core::Bool>()[i] != 0;
            }
        }
        py::array r = call_rolling_window(truth, n, w, py::dtype("bool"));
        auto out = new_array<std::int64_t>(rows_of(r));
        for (std::size_t i = 0; i < rows_of(r); ++i)
            out.mutable_data()[i] = rw::count(row_ptr<core::Bool>(r, i), w);
        return out;
    }
    auto out = new_array<std::int64_t>(s.size - w + 1);
    auto o = out_span(out);
    {
        py::gil_scoped_release nogil;
        switch (s.kind) {
            case Kind::F64:
                core::count(s.span<double>(), w, o);
                break;
            case Kind::I64:
                core::count(s.span<std::int64_t>(), w, o);
                break;
            default:
                core::count(s.span<core::Bool>(), w, o);
        }
    }
    return out;
}

// ---- pairwise kernels ---------------------------------------------------------------

enum class Pair { Cov, Corr, Reg };

py::object pairwise(py::handle window, py::handle a, py::handle b, Pair which, const char* na,
                    const char* nb) {
    const Series sa = to_series(a, Want::Float);
    const Series sb = to_series(b, Want::Float);
    if (sa.size != sb.size)
        throw py::value_error(std::string(na) + " and " + nb + " must have the same length, got " +
                              std::to_string(sa.size) + " and " + std::to_string(sb.size));
    const std::size_t w = to_window(window, sa.size);
    if (!native_windows()) {
        const double* pa = sa.span<double>().data();
        const double* pb = sb.span<double>().data();
        auto ab = elementwise(sa.size, [=](std::size_t i) { return pa[i] * pb[i]; });
        py::array ra = call_rolling_window(sa.arr, window, w, f64());
        py::array rb = call_rolling_window(sb.arr, window, w, f64());
        py::array rab = call_rolling_window(ab, window, w, f64());
        py::array raa;
        if (which == Pair::Reg) {
            auto aa = elementwise(sa.size, [=](std::size_t i) { return pa[i] * pa[i]; });
            raa = call_rolling_window(aa, window, w, f64());
        }
        const std::size_t m = rows_of(ra);
        if (rows_of(rb) != m || rows_of(rab) != m || (which == Pair::Reg && rows_of(raa) != m))
            throw py::value_error("rolling_window returned matrices of different shapes");
        auto out = new_array<double>(m);
        for (std::size_t i = 0; i < m; ++i) {
            const double *x = row_ptr<double>(ra, i), *y = row_ptr<double>(rb, i),
                         *xy = row_ptr<double>(rab, i);
            out.mutable_data()[i] = which == Pair::Cov ? rw::covariance(x, y, xy, w)
                                    : which == Pair::Corr
                                        ? rw::correlation(x, y, xy, w)
                                        : rw::regression(x, y, xy, row_ptr<double>(raa, i), w);
        }
        return out;
    }
    auto out = new_array<double>(sa.size - w + 1);
    auto o = out_span(out);
    auto x = sa.span<double>(), y = sb.span<double>();
    {
        py::gil_scoped_release nogil;
        switch (which) {
            case Pair::Cov:
                core::covariance(x, y, w, o);
                break;
            case Pair::Corr:
                core::correlation(x, y, w, o);
                break;
            case Pair::Reg:
                core::regression(x, y, w, o);
                break;
        }
    }
    return out;
}

double sum_row(const double* r, std::size_t n) {
    return rw::sum(r, n);
}
std::int64_t sum_row_i(const std::int64_t* r, std::size_t n) {
    return rw::sum(r, n);
}
double prod_row(const double* r, std::size_t n) {
    return rw::product(r, n);
}
std::int64_t prod_row_i(const std::int64_t* r, std::size_t n) {
    return rw::product(r, n);
}

void sum_f(std::span<const double> x, std::size_t n, std::span<double> o) {
    core::sum(x, n, o);
}
void sum_i(std::span<const std::int64_t> x, std::size_t n, std::span<std::int64_t> o) {
    core::sum(x, n, o);
}
void prod_f(std::span<const double> x, std::size_t n, std::span<double> o) {
    core::product(x, n, o);
}
void prod_i(std::span<const std::int64_t> x, std::size_t n, std::span<std::int64_t> o) {
    core::product(x, n, o);
}

}  // namespace

namespace {

// ---- module functions ------------------------------------------------------------
//
// The kernels are plain interpreter functions taking their arguments in the
// interpreter's fast calling convention: they are called once per series, and
// the general binding machinery (an argument tuple per call, overload
// resolution) would cost a good part of a short series' work. Positional and
// keyword arguments are matched to the parameter names as for a function
// defined in Python.

struct KernelEntry {
    const char* name;
    const char* params[3];
    int nparams;
    std::function<py::object(PyObject* const*)> impl;
    std::string doc;  // "name(params)\n--\n\n" + summary: gives the signature
};

std::vector<KernelEntry>& entries() {
    static auto* table = new std::vector<KernelEntry>();  // lives as long as the process
    return *table;
}

[[noreturn]] void arg_error(const std::string& msg) {
    throw py::type_error(msg);
}

PyObject* call_entry(const KernelEntry& k, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    try {
        PyObject* bound[3] = {nullptr, nullptr, nullptr};
        const std::string fn = std::string(k.name) + "()";
        if (nargs > k.nparams)
            arg_error(fn + " takes " + std::to_string(k.nparams) + " positional arguments but " +
                      std::to_string(nargs) + " were given");
        for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
        const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < nkw; ++j) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, j);
            const char* kw = PyUnicode_AsUTF8(key);
            if (kw == nullptr) throw py::error_already_set();
            int slot = -1;
            for (int p = 0; p < k.nparams; ++p)
                if (std::strcmp(kw, k.params[p]) == 0) slot = p;
            if (slot < 0) arg_error(fn + " got an unexpected keyword argument '" + kw + "'");
            if (bound[slot] != nullptr)
                arg_error(fn + " got multiple values for argument '" + kw + "'");
            bound[slot] = args[nargs + j];
        }
        for (int p = 0; p < k.nparams; ++p)
            if (bound[p] == nullptr)
                arg_error(fn + " missing required argument '" + k.params[p] + "' (pos " +
                          std::to_string(p + 1) + ")");
        return k.impl(bound).release().ptr();
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

template <std::size_t I>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return call_entry(entries()[I], args, nargs, kwnames);
}

template <std::size_t... I>
constexpr std::array<PyCFunctionWithKeywords, sizeof...(I)> entry_table(std::index_sequence<I...>) {
    return {reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(&entry<I>))...};
}

constexpr std::size_t kMaxKernels = 24;

void def_kernel(py::module_& m, const char* name, std::initializer_list<const char*> params,
                std::function<py::object(PyObject* const*)> impl, const char* summary) {
    static const auto table = entry_table(std::make_index_sequence<kMaxKernels>{});
    auto& list = entries();
    if (list.size() == kMaxKernels) throw std::logic_error("too many kernels");
    KernelEntry k{name, {nullptr, nullptr, nullptr}, 0, std::move(impl), {}};
    std::string sig;
    for (const char* p : params) {
        k.params[k.nparams++] = p;
        sig += (sig.empty() ? "" : ", ") + std::string(p);
    }
    k.doc = std::string(name) + "(" + sig + ")\n--\n\n" + summary;
    const std::size_t index = list.size();
    list.push_back(std::move(k));
    // Kept for the life of the process, like the function object using it.
    auto* def = new PyMethodDef{
        list.back().name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(table[index])),
        METH_FASTCALL | METH_KEYWORDS, list.back().doc.c_str()};
    // Bound to the module, so the functions pickle by name like Python ones.
    py::object fn = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(def, m.ptr(), m.attr("__name__").ptr()));
    if (!fn) throw py::error_already_set();
    m.attr(name) = fn;
}

}  // namespace

void register_kernels(py::module_& m) {
    entries().reserve(kMaxKernels);  // the method definitions point into the entries
    auto f = [](F64Kernel k, F64Row r) {
        return [k, r](PyObject* const* a) { return float_kernel(a[0], a[1], k, r); };
    };
    auto two = [](py::object (*fn)(py::handle, py::handle)) {
        return [fn](PyObject* const* a) { return fn(a[0], a[1]); };
    };
    def_kernel(
        m, "sum", {"x", "n"},
        [](PyObject* const* a) {
            return int_or_float(a[0], a[1], sum_f, sum_i, sum_row, sum_row_i);
        },
        "滑动求和（整数或布尔序列得到整数）");
    def_kernel(m, "ma", {"x", "n"}, f(core::ma, rw::mean), "滑动算术平均");
    def_kernel(m, "ema", {"x", "n"}, f(core::ema, rw::ema),
               "滑动指数加权和，平滑系数 2/(n+1)，权重不归一化");
    def_kernel(m, "wma", {"x", "n"}, f(core::wma, rw::wma), "滑动线性加权平均，最新值权重最大");
    def_kernel(m, "std", {"x", "n"}, f(core::stddev, rw::stddev), "滑动总体标准差（除以 n）");
    def_kernel(m, "var", {"x", "n"}, f(core::var, rw::var), "滑动总体方差（除以 n）");
    def_kernel(m, "zscore", {"s", "window"}, two(&zscore), "最新值相对窗口的 z 分数");
    def_kernel(m, "skew", {"s", "n"}, two(&skew),
               "滑动样本偏度（n > 2 时做调整的 Fisher-Pearson 修正）");
    def_kernel(m, "kurt", {"s", "n"}, two(&kurt),
               "滑动样本超额峰度（无偏形式）；n 为 1、2、3 时为常数");
    def_kernel(m, "avedev", {"s", "window"}, f(core::avedev, rw::avedev), "滑动平均绝对离差");
    def_kernel(
        m, "product", {"s", "window"},
        [](PyObject* const* a) {
            return int_or_float(a[0], a[1], prod_f, prod_i, prod_row, prod_row_i);
        },
        "滑动乘积（整数或布尔序列得到整数）");
    def_kernel(m, "ts_rank", {"x", "window"}, two(&position<2>),
               "最新值在窗口内的排名除以窗口长度");
    def_kernel(m, "ts_min", {"x", "n"}, two(&extreme<false>), "滑动最小值");
    def_kernel(m, "ts_max", {"x", "n"}, two(&extreme<true>), "滑动最大值");
    def_kernel(m, "ts_argmin", {"x", "n"}, two(&position<0>),
               "窗口内第一个最小值的位置（最旧为 0）");
    def_kernel(m, "ts_argmax", {"x", "n"}, two(&position<1>),
               "窗口内第一个最大值的位置（最旧为 0）");
    def_kernel(m, "count", {"x", "window"}, two(&count), "滑动真值计数（非零或 NaN 为真）");
    def_kernel(
        m, "covariance", {"window", "a", "b"},
        [](PyObject* const* a) { return pairwise(a[0], a[1], a[2], Pair::Cov, "a", "b"); },
        "滑动总体协方差");
    def_kernel(
        m, "correlation", {"window", "a", "b"},
        [](PyObject* const* a) { return pairwise(a[0], a[1], a[2], Pair::Corr, "a", "b"); },
        "滑动皮尔逊相关系数");
    def_kernel(
        m, "regression", {"window", "x", "y"},
        [](PyObject* const* a) { return pairwise(a[0], a[1], a[2], Pair::Reg, "x", "y"); },
        "y 对 x 的滑动最小二乘斜率（含截距）");
    def_kernel(m, "slope", {"y", "n"}, f(core::slope, rw::slope),
               "值对窗口内位置的滑动最小二乘斜率");
}

}  // namespace alvora::rolling_module
