// _format_factor_data: the long factor table of forward returns and factor values.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <alvora/stats/forward_returns.hpp>
#include <cstring>
#include <optional>
#include <vector>

#include "study_bench/ic_shared.hpp"
#include "study_bench/registry.hpp"
#include "study_bench/result_grids.hpp"
#include "study_bench/study_errors.hpp"
#include "study_bench/study_inputs.hpp"
#include "study_bench/study_watch.hpp"

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
    // Each distinct dtype once: a frame of a thousand columns holds one or two.
    for (py::handle dtype : py::set(frame.attr("dtypes"))) {
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

// Two axes with the same labels, dtype, names and (for dates) frequency: what the table
// built from one would take from the other.
bool same_labels(const py::object& a, const py::object& b) {
    if (a.is(b)) return true;
    if (!py::type::of(a).is(py::type::of(b)) || !a.attr("dtype").equal(b.attr("dtype")) ||
        !py::list(a.attr("names")).equal(py::list(b.attr("names"))))
        return false;
    if (!py::getattr(a, "freq", py::none()).equal(py::getattr(b, "freq", py::none()))) return false;
    return a.attr("equals")(b).cast<bool>();
}

// True when the matrix is row-major and the table's rows take all of its rows and columns in
// order: its values, read flat, are then the table's column.
bool is_whole_row_major(const stats::StridedMatrix& m, const std::vector<std::int64_t>& rows,
                        const std::vector<std::int64_t>& cols) {
    if (rows.size() != m.rows || cols.size() != m.cols || rows.empty() || cols.empty())
        return false;
    if (m.col_stride != 1 || m.row_stride != static_cast<std::ptrdiff_t>(m.cols)) return false;
    for (std::size_t r = 0; r < rows.size(); ++r)
        if (rows[r] != static_cast<std::int64_t>(r)) return false;
    for (std::size_t c = 0; c < cols.size(); ++c)
        if (cols[c] != static_cast<std::int64_t>(c)) return false;
    return true;
}

bool same_values(const stats::StridedMatrix& m, const std::vector<double>& kept) {
    if (m.rows * m.cols != kept.size()) return false;
    const double* k = kept.data();
    for (std::size_t r = 0; r < m.rows; ++r) {
        for (std::size_t c = 0; c < m.cols; ++c, ++k) {
            const double v = m.at(r, c);
            if (std::memcmp(&v, k, sizeof v) != 0) return false;  // bitwise: NaN equals NaN
        }
    }
    return true;
}

// While a study of many factors runs, every factor reads the same return table: the dates,
// their pairs with the instruments and the forward returns made for one factor serve the
// next one over the same dates, when the return values, axes and horizons are unchanged
// (the values are compared, so a table changed in place is never served stale).
struct ForwardMemo {
    py::object watch;             // weakref to the study's client; the memo goes with it
    std::vector<double> returns;  // the values it was made from, row by row
    std::size_t return_rows = 0, return_cols = 0;
    py::object return_index, return_columns, factor_index;
    std::vector<std::int64_t> horizons;
    py::object dates, index;  // the index is never handed out, only copies of it
    std::vector<std::int64_t> factor_rows;
    std::vector<double> forward;  // horizons x rows

    void clear() {
        watch = return_index = return_columns = factor_index = dates = index = py::object();
        returns = {};
        forward = {};
        horizons.clear();
        factor_rows.clear();
        return_rows = return_cols = 0;
    }
    bool serves(const py::object& client, const stats::StridedMatrix& values,
                const py::object& returns_table, const py::object& factor_axis,
                const std::vector<std::int64_t>& wanted) const {
        return watches(watch, client) && horizons == wanted && return_rows == values.rows &&
               return_cols == values.cols &&
               same_labels(return_index, returns_table.attr("index")) &&
               same_labels(return_columns, returns_table.attr("columns")) &&
               same_labels(factor_index, factor_axis) && same_values(values, returns);
    }
};
// On the heap and never destroyed: Python objects must not be released after the
// interpreter has gone.
ForwardMemo& g_forward = *new ForwardMemo();

void remember_forward(const py::object& client, const stats::StridedMatrix& values,
                      const py::object& returns, const py::object& factor_axis,
                      const std::vector<std::int64_t>& horizons, const py::object& dates,
                      const py::object& index, const std::vector<std::int64_t>& factor_rows,
                      const double* forward, std::size_t n_forward) {
    g_forward.clear();
    if (!watch_client(g_forward.watch, client, [] { g_forward.clear(); })) {
        g_forward.clear();
        return;
    }
    g_forward.returns.reserve(values.rows * values.cols);
    for (std::size_t r = 0; r < values.rows; ++r)
        for (std::size_t c = 0; c < values.cols; ++c) g_forward.returns.push_back(values.at(r, c));
    g_forward.return_rows = values.rows;
    g_forward.return_cols = values.cols;
    g_forward.return_index = returns.attr("index");
    g_forward.return_columns = returns.attr("columns");
    g_forward.factor_index = factor_axis;
    g_forward.horizons = horizons;
    g_forward.dates = dates;
    g_forward.index = index;
    g_forward.factor_rows = factor_rows;
    g_forward.forward.assign(forward, forward + n_forward);
}

py::object format_factor_data(py::object factor_data, py::object returns, py::object periods) {
    check_table(factor_data, "factor_data");
    check_table(returns, "returns");
    if (!factor_data.attr("columns").attr("is_unique").cast<bool>()) {
        raise_py(PyExc_ValueError, py::str("factor_data: columns hold duplicate instruments"));
    }
    py::object pd = global("pd");

    // Horizons in order, a repeated one kept once (its column would be the same).
    std::vector<std::int64_t> horizons;
    py::list keys;
    for (py::handle n : periods) {
        py::str key = py::str("P_{}").format(n);
        if (keys.contains(key)) continue;
        keys.append(key);
        horizons.push_back(py::module_::import("operator").attr("index")(n).cast<std::int64_t>());
    }

    MatrixView ret = matrix_of(returns);
    py::object factor_axis = factor_data.attr("index");
    py::object client = study_client();
    const bool reuse =
        !client.is_none() && g_forward.serves(client, ret.matrix, returns, factor_axis, horizons);

    py::object columns = returns.attr("columns");
    py::object dates =
        reuse ? g_forward.dates : factor_axis.attr("intersection")(returns.attr("index"));
    const std::vector<std::int64_t> factor_rows =
        reuse ? g_forward.factor_rows : int64_vector(factor_axis.attr("get_indexer")(dates));
    const std::vector<std::int64_t> factor_columns =
        int64_vector(factor_data.attr("columns").attr("get_indexer")(columns));

    const std::size_t n_rows = factor_rows.size() * static_cast<std::size_t>(py::len(columns));
    const std::size_t n_keys = horizons.size();
    const bool native_factor = is_numeric_frame(factor_data, true);
    std::optional<MatrixView> fac;
    if (native_factor) fac = matrix_of(factor_data);
    // Inside an analysis the factor frame is the pipeline's own (its steps only read it): when
    // its values are already the table's column (row-major, same dates and instruments in the
    // same order) the table reads them in place instead of holding a copy.
    const bool factor_in_place =
        fac && StudyScope::open() && is_whole_row_major(fac->matrix, factor_rows, factor_columns);
    const bool factor_in_block = native_factor && !factor_in_place;
    // One (columns x rows) block, handed to pandas transposed so no copy is made. In a study
    // each factor's table has the previous one's size: kept grid memory saves faulting it in.
    const std::size_t n_blocks = n_keys + (factor_in_block ? 1 : 0);
    py::array_t<double> block = client.is_none()
                                    ? py::array_t<double>({static_cast<py::ssize_t>(n_blocks),
                                                           static_cast<py::ssize_t>(n_rows)})
                                    : fresh_rows(n_blocks, n_rows);
    double* base = n_rows > 0 ? block.mutable_data() : nullptr;
    if (reuse) {
        if (base) std::memcpy(base, g_forward.forward.data(), n_keys * n_rows * sizeof(double));
    } else {
        const std::vector<std::int64_t> return_rows =
            int64_vector(returns.attr("index").attr("get_indexer")(dates));
        std::vector<double*> outputs;
        for (std::size_t k = 0; k < n_keys; ++k) outputs.push_back(base ? base + k * n_rows : base);
        py::gil_scoped_release release;
        if (n_rows > 0) stats::forward_returns(ret.matrix, return_rows, horizons, outputs);
    }
    if (factor_in_block && n_rows > 0) {
        py::gil_scoped_release release;
        stats::gather(fac->matrix, factor_rows, factor_columns, {base + n_keys * n_rows, n_rows});
    }

    py::object index = reuse ? g_forward.index
                             : pd.attr("MultiIndex")
                                   .attr("from_product")(py::make_tuple(dates, columns),
                                                         py::arg("names") = py::make_tuple(
                                                             "datetime", "order_book_id"));
    if (!client.is_none() && !reuse) {
        remember_forward(client, ret.matrix, returns, factor_axis, horizons, dates, index,
                         factor_rows, base, n_keys * n_rows);
    }
    // The kept index is shared by the tables of a study only through copies (same levels and
    // codes): a table whose index is renamed must not rename the others'.
    if (!client.is_none()) index = index.attr("copy")();
    py::list all_keys(keys);
    if (native_factor) all_keys.append("factor");
    py::object table;
    if (factor_in_place) {
        // Columns side by side without consolidating them into one block (which would copy).
        py::dict by_key;
        for (std::size_t k = 0; k < n_keys; ++k) by_key[keys[k]] = block[py::int_(k)];
        by_key["factor"] = py::array_t<double>({static_cast<py::ssize_t>(n_rows)},
                                               {static_cast<py::ssize_t>(sizeof(double))},
                                               fac->matrix.data, fac->array);
        table = pd.attr("DataFrame")(by_key, py::arg("index") = index,
                                     py::arg("columns") = pd.attr("Index")(all_keys),
                                     py::arg("copy") = false);
    } else {
        table = pd.attr("DataFrame")(block.attr("T"), py::arg("index") = index,
                                     py::arg("columns") = pd.attr("Index")(all_keys),
                                     py::arg("copy") = false);
    }
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
