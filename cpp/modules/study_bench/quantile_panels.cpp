// Boundary helpers of the two portfolio analyses (quantile groups and factor returns):
// horizons, numeric panels and cumulative levels taken from pandas tables.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "alvora/portfolio/levels.hpp"
#include "common/arrays.hpp"
#include "study_bench/quantile_panels.hpp"
#include "study_bench/registry.hpp"
#include "study_bench/study_errors.hpp"

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
        raise_py(PyExc_ValueError, py::str("periods must be tuple/list/int, but got {}")
                                       .format(py::type::of(periods)));
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
        std::size_t size = overflow != 0 ? static_cast<std::size_t>(-1) / 2
                                         : static_cast<std::size_t>(v);
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

py::str column_name(const Horizon& h) { return py::str("P_{}").format(h.original); }

Panel panel_of(const py::object& frame) {
    Panel p;
    p.array = arrays::as_f64(frame);
    if (p.array.ndim() != 2) raise_py(PyExc_ValueError, py::str("expected a two-dimensional table"));
    p.rows = static_cast<std::size_t>(p.array.shape(0));
    p.cols = static_cast<std::size_t>(p.array.shape(1));
    return p;
}

Panel levels_on(const py::object& returns, const py::object& index, const py::object& columns) {
    Panel daily = panel_of(returns);
    F64Array levels({static_cast<py::ssize_t>(daily.rows), static_cast<py::ssize_t>(daily.cols)});
    {
        py::gil_scoped_release release;
        portfolio::cumulative_levels(arrays::span_of(daily.array), daily.cols,
                                     arrays::mutable_span_of(levels));
    }
    const bool aligned = returns.attr("index").attr("equals")(index).cast<bool>() &&
                         returns.attr("columns").attr("equals")(columns).cast<bool>();
    if (aligned) return {levels, daily.rows, daily.cols};
    // Levels are built over the return table's own dates, then brought onto the factor's grid.
    py::object pd = module_globals()["pd"];
    py::object frame = pd.attr("DataFrame")(levels, py::arg("index") = returns.attr("index"),
                                            py::arg("columns") = returns.attr("columns"));
    return panel_of(frame.attr("reindex")(py::arg("index") = index, py::arg("columns") = columns));
}

}  // namespace alvora::study_bench::portfolio_io
