// Boundary helpers of the two portfolio analyses (quantile groups and factor returns):
// horizons, numeric panels and cumulative levels taken from pandas tables.
#include "study_bench/quantile_panels.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "alvora/portfolio/levels.hpp"
#include "common/arrays.hpp"
#include "study_bench/registry.hpp"
#include "study_bench/result_grids.hpp"
#include "study_bench/study_errors.hpp"
#include "study_bench/study_inputs.hpp"

namespace alvora::study_bench::portfolio_io {

using arrays::F64Array;

void require_frame(const py::object& df, const char* name) {
    py::object pd = module_globals()["pd"];
    if (!py::isinstance(df, pd.attr("DataFrame"))) {
        raise_py(PyExc_ValueError,
                 py::str("{}: expect pd.DataFrame, got {}").format(name, py::type::of(df)));
    }
}

std::vector<Horizon> parse_horizons(const py::object& periods) {
    py::list items;
    if (py::isinstance<py::tuple>(periods) || py::isinstance<py::list>(periods)) {
        items = py::list(periods);
    } else if (py::isinstance<py::int_>(periods)) {
        items.append(periods);  // a single horizon, as the pipeline would wrap it
    } else {
        raise_py(
            PyExc_ValueError,
            py::str("periods must be tuple/list/int, but got {}").format(py::type::of(periods)));
    }
    std::vector<Horizon> horizons;
    for (py::handle item : items) {
        py::object p = py::reinterpret_borrow<py::object>(item);
        // Whole numbers only: a float or a string would silently change the schedules.
        PyObject* as_int = PyNumber_Index(p.ptr());
        if (as_int == nullptr) {
            PyErr_Clear();
            raise_py(PyExc_ValueError,
                     py::str("Invalid period: {!r}, must be a positive integer").format(p));
        }
        py::int_ value = py::reinterpret_steal<py::int_>(as_int);
        if (py::int_(0).attr("__ge__")(value).cast<bool>()) {
            raise_py(PyExc_ValueError,
                     py::str("Invalid period: {!r}, must be a positive integer").format(p));
        }
        // Horizons beyond the address space behave like any horizon beyond the data.
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        std::size_t size =
            overflow != 0 ? static_cast<std::size_t>(-1) / 2 : static_cast<std::size_t>(v);
        horizons.push_back({p, size});
    }
    return horizons;
}

std::vector<Horizon> distinct(const std::vector<Horizon>& horizons) {
    std::vector<Horizon> out;
    for (const Horizon& h : horizons) {
        bool seen = false;
        for (const Horizon& o : out) seen = seen || o.value == h.value;
        if (!seen) out.push_back(h);
    }
    return out;
}

py::str column_name(const Horizon& h) {
    return py::str("P_{}").format(h.original);
}

Panel panel_of(const py::object& frame) {
    Panel p;
    p.array = arrays::as_f64(frame);
    if (p.array.ndim() != 2)
        raise_py(PyExc_ValueError, py::str("expected a two-dimensional table"));
    p.rows = static_cast<std::size_t>(p.array.shape(0));
    p.cols = static_cast<std::size_t>(p.array.shape(1));
    return p;
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::int64_t> positions_in(const py::object& axis, const py::object& labels) {
    auto found = arrays::I64Array::ensure(
        module_globals()["np"].attr("asarray")(axis.attr("get_indexer")(labels), "int64"));
    if (!found) throw py::error_already_set();
    return {found.data(), found.data() + found.size()};
}

bool same_axis(const py::object& a, const py::object& b) {
    return a.is(b) || a.attr("equals")(b).cast<bool>();
}

Panel compute_levels(const py::object& returns, const py::object& index,
                     const py::object& columns) {
    // The table's float64 cells read in place (usually a column-major view of the frame's
    // block); anything else as the contiguous copy panel_of makes.
    py::array cells = py::array::ensure(module_globals()["np"].attr("asarray")(returns, "float64"));
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    if (!cells || cells.ndim() != 2 || !cells.dtype().is(py::dtype::of<double>()) ||
        cells.strides(0) % item != 0 || cells.strides(1) % item != 0)
        cells = panel_of(returns).array;
    const stats::StridedRows daily{
        static_cast<const double*>(cells.data()), static_cast<std::size_t>(cells.shape(0)),
        static_cast<std::size_t>(cells.shape(1)), cells.strides(0) / item, cells.strides(1) / item};
    F64Array levels = fresh_rows(daily.rows, daily.cols);
    {
        py::gil_scoped_release release;
        portfolio::cumulative_levels(daily, arrays::mutable_span_of(levels));
    }
    py::object own_index = returns.attr("index"), own_columns = returns.attr("columns");
    if (same_axis(own_index, index) && same_axis(own_columns, columns))
        return {levels, daily.rows, daily.cols};
    // Levels are built over the return table's own dates, then brought onto the factor's
    // grid (NaN where the table has no such date or instrument). Repeated labels have no
    // single position: pandas' reindex says so.
    if (!own_index.attr("is_unique").cast<bool>() || !own_columns.attr("is_unique").cast<bool>()) {
        py::object frame = module_globals()["pd"].attr("DataFrame")(
            levels, py::arg("index") = own_index, py::arg("columns") = own_columns);
        return panel_of(
            frame.attr("reindex")(py::arg("index") = index, py::arg("columns") = columns));
    }
    const std::vector<std::int64_t> rows = positions_in(own_index, index);
    const std::vector<std::int64_t> cols = positions_in(own_columns, columns);
    F64Array placed({static_cast<py::ssize_t>(rows.size()), static_cast<py::ssize_t>(cols.size())});
    {
        py::gil_scoped_release release;
        const double* from = levels.data();
        double* to = placed.mutable_data();
        for (std::size_t t = 0; t < rows.size(); ++t) {
            double* out = to + t * cols.size();
            if (rows[t] < 0) {
                std::fill(out, out + cols.size(), kNaN);
                continue;
            }
            const double* row = from + static_cast<std::size_t>(rows[t]) * daily.cols;
            for (std::size_t i = 0; i < cols.size(); ++i)
                out[i] = cols[i] < 0 ? kNaN : row[cols[i]];
        }
    }
    return {placed, rows.size(), cols.size()};
}

// The last levels made, with what they were made from.
struct LevelsMemo {
    bool valid = false;
    py::object returns, index, columns;
    py::object study;  // weak reference to the study's client; None when kept for a scope
    Panel levels;

    void clear() {
        valid = false;
        returns = index = columns = study = py::object();
        levels = Panel();
    }
    bool serves(const py::object& r, const py::object& i, const py::object& c) const {
        if (!valid || !returns.is(r)) return false;
        const bool alive =
            study.is_none() ? StudyScope::open() : study().is(module_globals()["tessal"]);
        return alive && same_axis(index, i) && same_axis(columns, c);
    }
};
// On the heap and never destroyed: Python objects must not be released after the
// interpreter has gone.
LevelsMemo& g_levels = *new LevelsMemo();

void remember_levels(const py::object& returns, const py::object& index, const py::object& columns,
                     const Panel& levels) {
    py::object client = module_globals()["tessal"];
    const bool shared = in_shared_study(client);
    if (!shared && !StudyScope::open()) return;
    g_levels.clear();
    if (shared) {
        try {
            // Forget the levels as soon as the study's client is gone.
            py::cpp_function forget([](py::handle) { g_levels.clear(); });
            g_levels.study = py::weakref(client, forget);
        } catch (py::error_already_set&) {  // a client that cannot be watched: no reuse
            return;
        }
    } else {
        g_levels.study = py::none();
    }
    g_levels.valid = true;
    g_levels.returns = returns;
    g_levels.index = index;
    g_levels.columns = columns;
    g_levels.levels = levels;
}

}  // namespace

Panel levels_on(const py::object& returns, const py::object& index, const py::object& columns) {
    if (g_levels.serves(returns, index, columns)) return g_levels.levels;
    Panel levels = compute_levels(returns, index, columns);
    remember_levels(returns, index, columns, levels);
    return levels;
}

void forget_scope_levels() {
    if (g_levels.valid && g_levels.study.is_none()) g_levels.clear();
}

}  // namespace alvora::study_bench::portfolio_io
