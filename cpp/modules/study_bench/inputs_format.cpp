// _format_factor_data: the long factor table of forward returns and factor values.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <alvora/stats/forward_returns.hpp>
#include <vector>

#include "study_bench/registry.hpp"
#include "study_bench/study_errors.hpp"
#include "study_bench/study_inputs.hpp"

namespace alvora::study_bench {

namespace {

const char* const kFormatDoc = R"doc(构造长格式因子表：每个持有期一列远期收益，最后一列为因子值。

远期收益由日收益率的累计净值计算：缺失的日收益按 0 处理，首个有效收益之前为 NaN；
持有期按收益率表的行数（交易日）计数，末尾不足持有期的行为 NaN。

:param factor_data: 因子表，index 为交易日，columns 为 order_book_id
:param returns: 日收益率表，布局同因子表
:param periods: 持有期的 tuple 或 list
:return: DataFrame，index 为 ("datetime", "order_book_id") 的 MultiIndex（日期与收益率表各列的笛卡尔积），
    列依次为 "P_<n>"（按 periods 顺序，重复的持有期只保留一列）与 "factor"

Example::

    table = _format_factor_data(factor_data, returns, [1, 5])
    list(table.columns)  # ["P_1", "P_5", "factor"]
)doc";

py::object global(const char* name) {
    return module_globals()[name];
}

bool is_numeric_frame(const py::object& frame, bool float64_only) {
    for (py::handle dtype : frame.attr("dtypes")) {
        const std::string kind = py::str(dtype.attr("kind"));
        if (float64_only) {
            if (!(kind == "f" && dtype.attr("itemsize").cast<int>() == 8)) return false;
        } else if (kind.size() != 1 || std::string("biuf").find(kind[0]) == std::string::npos) {
            return false;
        }
    }
    return true;
}

void check_table(const py::object& frame, const char* name) {
    py::object pd = global("pd");
    if (!py::isinstance(frame, pd.attr("DataFrame"))) {
        raise_py(PyExc_ValueError,
                 py::str("{}: expect pd.DataFrame, got {}").format(name, py::type::of(frame)));
    }
    if (!is_numeric_frame(frame, false)) {
        raise_py(PyExc_ValueError,
                 py::str("{}: expect numeric columns, got dtypes {}")
                     .format(name, frame.attr("dtypes").attr("unique")().attr("tolist")()));
    }
    if (!frame.attr("index").attr("is_unique").cast<bool>()) {
        raise_py(PyExc_ValueError, py::str("{}: index holds duplicate dates").format(name));
    }
}

// A strided float64 view of a frame's values (no copy for a single float64 block).
struct MatrixView {
    py::array array;
    stats::StridedMatrix matrix;
};

MatrixView matrix_of(const py::object& frame) {
    py::array arr = py::array::ensure(frame.attr("to_numpy")(py::arg("dtype") = "float64"));
    if (!arr || arr.ndim() != 2 || !arr.dtype().is(py::dtype::of<double>())) {
        raise_py(PyExc_ValueError, py::str("cannot read the values of the table as float64"));
    }
    const auto item = static_cast<py::ssize_t>(sizeof(double));
    if (arr.strides(0) % item != 0 || arr.strides(1) % item != 0) {
        arr = py::array::ensure(global("np").attr("ascontiguousarray")(arr));
    }
    stats::StridedMatrix m{
        static_cast<const double*>(arr.data()), static_cast<std::size_t>(arr.shape(0)),
        static_cast<std::size_t>(arr.shape(1)), arr.strides(0) / item, arr.strides(1) / item};
    return {arr, m};
}

std::vector<std::int64_t> int64_vector(const py::object& values) {
    auto arr = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>::ensure(
        global("np").attr("asarray")(values, "int64"));
    return {arr.data(), arr.data() + arr.size()};
}

py::object format_factor_data(py::object factor_data, py::object returns, py::object periods) {
    check_table(factor_data, "factor_data");
    check_table(returns, "returns");
    if (!factor_data.attr("columns").attr("is_unique").cast<bool>()) {
        raise_py(PyExc_ValueError, py::str("factor_data: columns hold duplicate instruments"));
    }
    py::object pd = global("pd");
    py::object np = global("np");

    // Horizons in order, a repeated one kept once (its column would be the same).
    std::vector<std::int64_t> horizons;
    py::list keys;
    for (py::handle n : periods) {
        py::str key = py::str("P_{}").format(n);
        if (keys.contains(key)) continue;
        keys.append(key);
        horizons.push_back(py::module_::import("operator").attr("index")(n).cast<std::int64_t>());
    }

    py::object dates = factor_data.attr("index").attr("intersection")(returns.attr("index"));
    py::object columns = returns.attr("columns");
    const std::vector<std::int64_t> return_rows =
        int64_vector(returns.attr("index").attr("get_indexer")(dates));
    const std::vector<std::int64_t> factor_rows =
        int64_vector(factor_data.attr("index").attr("get_indexer")(dates));
    const std::vector<std::int64_t> factor_columns =
        int64_vector(factor_data.attr("columns").attr("get_indexer")(columns));

    const std::size_t n_rows = return_rows.size() * static_cast<std::size_t>(py::len(columns));
    const std::size_t n_keys = horizons.size();
    const bool native_factor = is_numeric_frame(factor_data, true);
    // One (columns x rows) block, handed to pandas transposed so no copy is made.
    py::array_t<double> block({static_cast<py::ssize_t>(n_keys + (native_factor ? 1 : 0)),
                               static_cast<py::ssize_t>(n_rows)});
    {
        MatrixView ret = matrix_of(returns);
        std::vector<double*> outputs;
        double* base = n_rows > 0 ? block.mutable_data() : nullptr;
        for (std::size_t k = 0; k < n_keys; ++k) outputs.push_back(base ? base + k * n_rows : base);
        MatrixView fac = native_factor ? matrix_of(factor_data) : MatrixView{};
        py::gil_scoped_release release;
        if (n_rows > 0) stats::forward_returns(ret.matrix, return_rows, horizons, outputs);
        if (native_factor && n_rows > 0) {
            stats::gather(fac.matrix, factor_rows, factor_columns,
                          {base + n_keys * n_rows, n_rows});
        }
    }

    py::object index =
        pd.attr("MultiIndex")
            .attr("from_product")(py::make_tuple(dates, columns),
                                  py::arg("names") = py::make_tuple("datetime", "order_book_id"));
    py::list all_keys(keys);
    if (native_factor) all_keys.append("factor");
    py::object table = pd.attr("DataFrame")(block.attr("T"), py::arg("index") = index,
                                            py::arg("columns") = pd.attr("Index")(all_keys),
                                            py::arg("copy") = false);
    if (!native_factor) {
        // Other numeric dtypes keep pandas' own reindexing (and its dtype rules).
        py::object values =
            factor_data.attr("reindex")(py::arg("index") = dates, py::arg("columns") = columns)
                .attr("to_numpy")()
                .attr("ravel")();
        table.attr("__setitem__")("factor", values);
    }
    table.attr("index").attr("names") = py::make_tuple("datetime", "order_book_id");
    return table;
}

}  // namespace

void register_inputs_format(py::module_& m) {
    m.def("_format_factor_data", &format_factor_data, py::arg("factor_data"), py::arg("returns"),
          py::arg("periods"), kFormatDoc);
}

}  // namespace alvora::study_bench
