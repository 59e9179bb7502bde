// ICAnalysis: information coefficient per date and horizon, its decay over date lags
// and its distribution over industries; and _get_ic_func, the correlation function.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <alvora/stats/correlation.hpp>
#include <alvora/stats/ic.hpp>
#include <alvora/stats/ic_panel.hpp>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

#include "common/pyclass.hpp"
#include "study_bench/ic_shared.hpp"
#include "study_bench/registry.hpp"
#include "study_bench/study_errors.hpp"
#include "study_bench/study_groups.hpp"
#include "study_bench/study_watch.hpp"

namespace alvora::study_bench {

namespace {

using stats::CorrelationMethod;

const char* const kConstantMessage =
    "An input array is constant; the correlation coefficient is not defined.";
const char* const kNearConstantMessage =
    "An input array is nearly constant; the computed correlation coefficient may be "
    "inaccurate.";

// The scipy objects the native statistics stand in for; kept for the process lifetime.
struct Originals {
    py::handle stats_module;
    py::handle spearmanr;
    py::handle pearsonr;
    py::handle ic_function_class;
};
Originals g_originals;

py::object global(const char* name) {
    return module_globals()[name];
}

const char* const kGetICFuncDoc = R"doc(构造 IC 相关系数函数。

返回的函数 ``wrapper(fs, rs)`` 先剔除任一方为 NaN 的样本；有效样本多于 1 个时返回
``stats.spearmanr``（rank_ic 为真）或 ``stats.pearsonr`` 的结果（系数, 双侧 p 值），否则返回 (0, 0)。

:param rank_ic: 为真时使用 Spearman 秩相关，否则使用 Pearson 线性相关
:return: 相关系数函数

Example::

    ic_func = _get_ic_func(rank_ic=True)
    coef, p_value = ic_func(returns_series, factor_series)
)doc";

const char* const kICAnalysisDoc = R"doc(IC 分析步骤：因子值与远期收益的截面相关系数。

对每个交易日、每个持有期计算因子值与远期收益的相关系数（默认 Spearman 秩相关）及其双侧 p 值；
可选计算 IC 衰减（远期收益起点推后 0 至 max_decay - 1 个交易日）与按行业汇总的 IC 分布。

:param rank_ic: 为真时计算秩相关 IC（Spearman），否则计算 Pearson IC
:param industry_classification: 行业分类：None、"citics_2019"、"sws"、dict（order_book_id → 行业名称）
    或 pd.Series（index 为 order_book_id）；映射中缺失的股票归入 "Unknown"
:param max_decay: IC 衰减的期数（正整数）；None 或 0 表示不计算

Example::

    bench = FactorStudyBench()
    bench.append(("ic", ICAnalysis(rank_ic=True, industry_classification="citics_2019", max_decay=10)))
    result = bench.analysis(factor_data, "daily", periods=(1, 5, 20))
    result["ic"].ic
)doc";

const char* const kAnalysisDoc = R"doc(执行 IC 分析。

:param factor_data: 因子表
:param returns: 日收益率表
:param periods: 持有期的 tuple 或 list
:param ascending: 为真表示因子值越小越好；秩相关 IC 时因子取相反数
:return: ICAnalysisResult（ic、ic_p_value、ic_decay、ic_industry_distribute、name）

Example::

    result = ICAnalysis().analysis(factor_data, returns, [1, 5], ascending=False)
)doc";

const char* const kCalcICDoc = R"doc(逐日计算各持有期的 IC 与 p 值。

:param factor_data: 长格式因子表（见 ``_format_factor_data``）
:return: (ic, ic_p_value) 两个 DataFrame，index 为日期（"datetime"），列为远期收益列

Example::

    ic, p_value = step._calc_ic(table)
)doc";

const char* const kCalcDecayDoc = R"doc(计算 IC 衰减：第 d 期使用 d 个交易日之后开始的远期收益。

每个滞后期只保留因子值与全部持有期收益均非缺失的股票。

:param factor_data: 长格式因子表
:param ic: ``_calc_ic`` 得到的 IC 表（作为第 0 期）
:return: index 为 ("datetime", "decay") 的 DataFrame；max_decay 为空时返回 None

Example::

    decay = step._calc_ic_decay(table, ic)
)doc";

const char* const kCalcIndustryDoc =
    R"doc(按行业汇总 IC：每个行业内全部日期、全部股票的样本合并计算一个相关系数。

:param factor_data: 长格式因子表
:return: index 为行业名称、列为远期收益列的 DataFrame；未设置行业分类时返回 None

Example::

    step._calc_ic_industry_distribute(table)
)doc";

const char* const kIndustryDataDoc = R"doc(取长格式因子表每一行对应的行业名称。

字符串分类从行情客户端加载（仅含上市期间、有分类记录的样本）；dict/Series 映射中缺失的股票记为 "Unknown"。

:param factor_data: 长格式因子表
:return: 行业名称 Series

Example::

    step._get_industry_data(table)
)doc";

// ---- correlation function ------------------------------------------------------------

void ic_function_init(py::object self, py::object func) {
    self.attr("func") = func;
}

py::object ic_function_call(py::object self, py::object fs, py::object rs) {
    py::object np = global("np");
    py::object mask =
        np.attr("isnan")(fs).attr("__or__")(np.attr("isnan")(rs)).attr("__invert__")();
    if (py::int_(np.attr("count_nonzero")(mask)).cast<long long>() > 1)
        return self.attr("func")(fs[mask], rs[mask]);
    return py::make_tuple(0, 0);
}

py::object get_ic_func(py::object rank_ic) {
    py::object stats = global("stats");
    py::object func = py::bool_(rank_ic) ? stats.attr("spearmanr") : stats.attr("pearsonr");
    return py::reinterpret_borrow<py::object>(g_originals.ic_function_class)(func);
}

// The native method equivalent to the step's correlation function, if there is one.
std::optional<CorrelationMethod> native_method(const py::object& self) {
    if (!global("stats").is(g_originals.stats_module)) return std::nullopt;
    py::object f = self.attr("ic_func");
    if (!py::type::of(f).is(g_originals.ic_function_class)) return std::nullopt;
    py::object func = py::getattr(f, "func", py::none());
    if (func.is(g_originals.spearmanr)) return CorrelationMethod::spearman;
    if (func.is(g_originals.pearsonr)) return CorrelationMethod::pearson;
    return std::nullopt;
}

void report_notes(const stats::CorrelationNotes& notes) {
    py::object stats = global("stats");
    py::object warn = global("warnings").attr("warn");
    if (notes.constant_inputs > 0)
        warn(stats.attr("ConstantInputWarning")(kConstantMessage), py::arg("stacklevel") = 2);
    if (notes.near_constant_inputs > 0)
        warn(stats.attr("NearConstantInputWarning")(kNearConstantMessage),
             py::arg("stacklevel") = 2);
}

// ---- shared plumbing -------------------------------------------------------------------

struct Columns {
    py::list fields;
    std::vector<py::array_t<double>> arrays;  // keeps the buffers alive
    std::vector<std::span<const double>> returns;
    py::array_t<double> factor_array;
    std::span<const double> factor;
};

// The return columns' sorted orders kept by a running study of many factors (rank IC
// only), or none.
std::span<const stats::DateOrders> study_orders(CorrelationMethod method, const Columns& c,
                                                const stats::RowGrid& grid,
                                                const std::shared_ptr<const TableGrid>& owner) {
    if (method != CorrelationMethod::spearman) return {};
    return study_date_orders({c.arrays, c.returns}, grid, owner);
}
const stats::ReturnOrders* study_orders(CorrelationMethod method, const Columns& c,
                                        const stats::GroupedRows& groups) {
    if (method != CorrelationMethod::spearman) return nullptr;
    return study_group_orders({c.arrays, c.returns}, groups);
}

Columns numeric_columns(const py::object& table, const py::list& fields) {
    Columns c;
    c.fields = fields;
    for (py::handle field : fields) {
        c.arrays.push_back(numeric_column(table, py::reinterpret_borrow<py::object>(field)));
        c.returns.emplace_back(c.arrays.back().data(),
                               static_cast<std::size_t>(c.arrays.back().size()));
    }
    c.factor_array = numeric_column(table, py::str("factor"));
    c.factor = {c.factor_array.data(), static_cast<std::size_t>(c.factor_array.size())};
    return c;
}

py::list return_fields(const py::object& table) {
    return py::list(global("_get_return_fields")(table.attr("columns")));
}

py::object frame(py::object values, py::object index, const py::list& fields) {
    return global("pd").attr("DataFrame")(values, py::arg("index") = index,
                                          py::arg("columns") = global("pd").attr("Index")(fields));
}

py::array_t<double> matrix(const std::vector<double>& values, std::size_t rows, std::size_t cols) {
    py::array_t<double> out({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

py::array_t<std::int64_t> int64_array(const std::vector<std::int64_t>& values) {
    py::array_t<std::int64_t> out(static_cast<py::ssize_t>(values.size()));
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

// Calls the step's correlation function on pandas series of the chosen rows.
py::object call_ic_func(const py::object& self, const py::object& x_series,
                        const py::object& f_series, const std::vector<std::int64_t>& x_rows,
                        const std::vector<std::int64_t>& f_rows) {
    py::object x = x_series.attr("iloc")[int64_array(x_rows)];
    py::object f = f_series.attr("iloc")[int64_array(f_rows)];
    if (!x_rows.empty() && x_rows != f_rows) {
        // Pair by position, as the aligned columns of one shifted table would.
        x = x.attr("reset_index")(py::arg("drop") = true);
        f = f.attr("reset_index")(py::arg("drop") = true);
    }
    return self.attr("ic_func")(x, f);
}

// Coefficient (and p-value) per group through the step's own correlation function.
void python_grouped_ic(const py::object& self, const py::object& table, const py::list& fields,
                       const stats::GroupedRows& groups, py::list& coef_rows, py::list& p_rows) {
    py::object factor = table["factor"];
    const std::size_t n_groups = groups.offsets.size() - 1;
    for (std::size_t g = 0; g < n_groups; ++g) {
        std::vector<std::int64_t> rows(groups.rows.begin() + groups.offsets[g],
                                       groups.rows.begin() + groups.offsets[g + 1]);  // widened
        py::list coef;
        py::list p;
        for (py::handle field : fields) {
            py::object result = call_ic_func(self, table[field], factor, rows, rows);
            coef.append(result[py::int_(0)]);
            p.append(result[py::int_(1)]);
        }
        coef_rows.append(coef);
        p_rows.append(p);
    }
}

// ---- ICAnalysis ------------------------------------------------------------------------

// While ICAnalysis.analysis runs, the decay is computed in the same walk over the dates as
// the per-date IC (each date sorted once) and handed to _calc_ic_decay for the same table.
struct PendingDecay {
    PyObject* table = nullptr;  // identity only; set while analysis runs
    long long lags = 0;
    bool ready = false;
    CorrelationMethod method = CorrelationMethod::spearman;
    std::size_t n_lags = 0;
    std::vector<stats::DecayLag> result;
    long long n_dates = 0;  // of the walk's grid, and its date labels
    py::object dates;

    void clear() {
        table = nullptr;
        ready = false;
        result.clear();
        dates = py::object();
    }
};
PendingDecay g_pending;

struct PendingScope {
    PendingScope(const py::object& table, long long lags) {
        g_pending.clear();
        g_pending.table = table.ptr();
        g_pending.lags = lags;
    }
    ~PendingScope() { g_pending.clear(); }
};

long long requested_lags(const py::object& self) {
    py::object max_decay = self.attr("max_decay");
    PyObject* as_int = PyNumber_Index(max_decay.ptr());
    if (as_int == nullptr) {
        PyErr_Clear();
        return 0;
    }
    py::object value = py::reinterpret_steal<py::object>(as_int);
    int overflow = 0;
    const long long lags = PyLong_AsLongLongAndOverflow(as_int, &overflow);
    return overflow != 0 ? 0 : lags;
}

void ic_analysis_init(py::object self, py::object rank_ic, py::object industry,
                      py::object max_decay) {
    py::object pd = global("pd");
    if (!industry.is_none() && !py::isinstance<py::str>(industry) &&
        !py::isinstance<py::dict>(industry) && !py::isinstance(industry, pd.attr("Series"))) {
        raise_py(PyExc_ValueError,
                 py::str("Unsupported industry_classification type, expect one of "
                         "None/str/pd.Series/dict, got type={}")
                     .format(py::type::of(industry)));
    }
    py::object sources = global("VALID_INDUSTRY_SOURCE");
    if (py::isinstance<py::str>(industry) && !sources.contains(industry)) {
        raise_py(
            PyExc_ValueError,
            py::str("industry_classification: expect one of {}, got {}").format(sources, industry));
    }
    self.attr("rank_ic") = rank_ic;
    self.attr("ic_func") = global("_get_ic_func")(rank_ic);
    self.attr("industry") = industry;
    self.attr("max_decay") = max_decay;
}

py::object ic_analysis(py::object self, py::object factor_data, py::object returns,
                       py::object periods, py::object ascending) {
    py::object table = global("_format_factor_data")(factor_data, returns, periods);
    if (py::bool_(self.attr("rank_ic")) && py::bool_(ascending)) {
        // With ascending order smaller values rank first: flip so a positive IC means the
        // better-ranked instruments earned more. A new column, never a write through a
        // view: whether a column's array is the frame's own storage depends on the pandas
        // version (copy-on-write hands out read-only views).
        table.attr("__setitem__")("factor", table["factor"].attr("__mul__")(-1));
    }
    py::object ic, ic_p_value, ic_decay;
    {
        PendingScope pending(table, requested_lags(self));
        py::tuple ic_pair = self.attr("_calc_ic")(table);
        ic = ic_pair[0];
        ic_p_value = ic_pair[1];
        ic_decay = self.attr("_calc_ic_decay")(table, ic);
    }
    py::object distribute = self.attr("_calc_ic_industry_distribute")(table);
    return global("ICAnalysisResult")(
        py::arg("ic") = ic, py::arg("ic_p_value") = ic_p_value, py::arg("ic_decay") = ic_decay,
        py::arg("ic_industry_distribute") = distribute, py::arg("name") = self.attr("step_name"));
}

py::tuple calc_ic(py::object self, py::object table) {
    py::list fields = return_fields(table);
    const auto method = native_method(self);
    if (method) {
        // One (date, instrument) pair per row: the grid walk sorts each date once.
        if (std::shared_ptr<const TableGrid> grid = study_grid_of_table(table.attr("index"))) {
            Columns c = numeric_columns(table, fields);
            const stats::RowGrid rows{grid->dates.size(), grid->instruments.size(), grid->rows};
            stats::GroupedIC result;
            const long long lags =
                std::min<long long>(g_pending.table == table.ptr() ? g_pending.lags : 0,
                                    static_cast<long long>(rows.n_dates));
            const std::span<const stats::DateOrders> shared = study_orders(*method, c, rows, grid);
            if (lags > 1) {
                stats::PanelICWithDecay both;
                {
                    py::gil_scoped_release release;
                    both = stats::panel_ic_with_decay(*method, c.factor, c.returns, rows,
                                                      static_cast<std::size_t>(lags), shared);
                }
                result = std::move(both.ic);
                g_pending.result = std::move(both.lags);
                g_pending.method = *method;
                g_pending.n_lags = static_cast<std::size_t>(lags);
                g_pending.n_dates = static_cast<long long>(rows.n_dates);
                g_pending.dates = grid->dates.labels;
                g_pending.ready = true;
            } else {
                py::gil_scoped_release release;
                result = stats::panel_ic(*method, c.factor, c.returns, rows, shared);
            }
            report_notes(result.notes);
            py::object index = grid->dates.labels.attr("rename")("datetime");
            return py::make_tuple(
                frame(matrix(result.coefficient, rows.n_dates, fields.size()), index, fields),
                frame(matrix(result.p_value, rows.n_dates, fields.size()), index, fields));
        }
    }
    RowGroups dates = groups_of_level(table.attr("index"), "datetime");
    stats::GroupedRows groups = stats::group_rows(dates.codes, dates.size());
    py::object index = dates.labels.attr("rename")("datetime");
    const std::size_t n_groups = dates.size();
    const std::size_t n_fields = fields.size();

    if (method) {
        Columns c = numeric_columns(table, fields);
        stats::GroupedIC result;
        {
            py::gil_scoped_release release;
            result = stats::grouped_ic(*method, c.factor, c.returns, groups);
        }
        report_notes(result.notes);
        return py::make_tuple(frame(matrix(result.coefficient, n_groups, n_fields), index, fields),
                              frame(matrix(result.p_value, n_groups, n_fields), index, fields));
    }
    py::list coef_rows;
    py::list p_rows;
    python_grouped_ic(self, table, fields, groups, coef_rows, p_rows);
    if (n_groups == 0) {
        return py::make_tuple(frame(py::none(), index, fields), frame(py::none(), index, fields));
    }
    return py::make_tuple(frame(coef_rows, index, fields), frame(p_rows, index, fields));
}

// Coefficients at lag d through the step's own correlation function, same selection as
// the native computation.
py::object python_decay_lag(const py::object& self, const py::object& table, const py::list& fields,
                            const TableGrid& grid, std::size_t lag,
                            std::vector<std::int64_t>& dates) {
    Columns c = numeric_columns(table, fields);
    stats::RowGrid rows{grid.dates.size(), grid.instruments.size(), grid.rows};
    py::object factor = table["factor"];
    py::list coef_rows;
    for (std::size_t t = 0; t + lag < rows.n_dates; ++t) {
        std::vector<std::int64_t> now;
        std::vector<std::int64_t> ahead;
        for (std::size_t i = 0; i < rows.n_instruments; ++i) {
            const std::int64_t a = rows.row(t, i);
            const std::int64_t b = rows.row(t + lag, i);
            if (a < 0 || b < 0 || std::isnan(c.factor[a])) continue;
            bool complete = true;
            for (auto& column : c.returns) complete = complete && !std::isnan(column[b]);
            if (!complete) continue;
            now.push_back(a);
            ahead.push_back(b);
        }
        if (now.empty()) continue;
        dates.push_back(static_cast<std::int64_t>(t));
        py::list coef;
        for (py::handle field : fields) {
            py::object result = now.size() > 1
                                    ? call_ic_func(self, table[field], factor, ahead, now)
                                    : py::object(py::make_tuple(0, 0));
            coef.append(result[py::int_(0)]);
        }
        coef_rows.append(coef);
    }
    return coef_rows;
}

// Lags 1 .. of the native decay as one frame, rows in the order one frame per lag would
// be joined (lag by lag, dates ascending): joined after lag 0 and sorted, it gives the same
// table as one frame per lag.
py::object native_lags_frame(const py::object& dates, std::vector<stats::DecayLag>& lags,
                             const py::list& fields) {
    const std::size_t n_fields = fields.size();
    std::size_t n_rows = 0;
    for (const stats::DecayLag& lag : lags) n_rows += lag.dates.size();
    py::array_t<std::int64_t> date_rows(static_cast<py::ssize_t>(n_rows));
    py::array_t<std::int64_t> lag_of(static_cast<py::ssize_t>(n_rows));
    py::array_t<double> values(
        {static_cast<py::ssize_t>(n_rows), static_cast<py::ssize_t>(n_fields)});
    std::int64_t* date_out = date_rows.mutable_data();
    std::int64_t* lag_out = lag_of.mutable_data();
    double* out = values.mutable_data();
    for (std::size_t d = 0; d < lags.size(); ++d) {
        const stats::DecayLag& lag = lags[d];
        std::copy(lag.dates.begin(), lag.dates.end(), date_out);
        std::fill_n(lag_out, lag.dates.size(), static_cast<std::int64_t>(d + 1));
        std::copy(lag.coefficient.begin(), lag.coefficient.end(), out);
        date_out += lag.dates.size();
        lag_out += lag.dates.size();
        out += lag.coefficient.size();
    }
    py::object index =
        global("pd")
            .attr("MultiIndex")
            .attr("from_arrays")(py::make_tuple(dates.attr("take")(date_rows), lag_of),
                                 py::arg("names") = py::make_tuple("datetime", "decay"));
    return frame(values, index, fields);
}

py::object calc_ic_decay(py::object self, py::object table, py::object ic) {
    py::object max_decay = self.attr("max_decay");
    if (!py::bool_(max_decay)) return py::none();
    py::object pd = global("pd");
    py::object np = global("np");
    py::list fields = return_fields(table);
    const long long lags =
        py::module_::import("operator").attr("index")(max_decay).cast<long long>();

    py::object lag0 = ic.attr("copy")();
    lag0.attr("__setitem__")("decay", 0);
    lag0 = lag0.attr("set_index")("decay", py::arg("append") = true);
    py::list frames;
    frames.append(lag0);

    if (lags > 1) {
        const auto method = native_method(self);
        std::optional<TableGrid> grid;
        py::object dates;  // the table's dates, ascending
        long long last = 0;
        std::vector<stats::DecayLag> native;
        if (method && g_pending.ready && g_pending.table == table.ptr() &&
            g_pending.method == *method &&
            g_pending.n_lags == static_cast<std::size_t>(std::min(lags, g_pending.n_dates))) {
            // The walk of _calc_ic over this very table made the lags: its grid is known.
            dates = g_pending.dates;
            last = static_cast<long long>(g_pending.n_lags);
            native = std::move(g_pending.result);
            g_pending.ready = false;
        } else {
            grid = grid_of_table(table.attr("index"));
            dates = grid->dates.labels;
            // Lags at or beyond the number of dates have no rows.
            last = std::min(lags, static_cast<long long>(grid->dates.size()));
            if (method && last > 1) {
                Columns c = numeric_columns(table, fields);
                const stats::RowGrid rows{grid->dates.size(), grid->instruments.size(), grid->rows};
                const std::span<const stats::DateOrders> shared =
                    study_orders(*method, c, rows, nullptr);
                py::gil_scoped_release release;
                native = stats::panel_ic_decay(*method, c.factor, c.returns, rows,
                                               static_cast<std::size_t>(last), shared);
            }
        }
        if (method && last > 1) {
            for (const stats::DecayLag& lag : native) report_notes(lag.notes);
            frames.append(native_lags_frame(dates, native, fields));
        }
        for (long long d = 1; d < last && !method; ++d) {
            std::vector<std::int64_t> rows;
            py::object values =
                python_decay_lag(self, table, fields, *grid, static_cast<std::size_t>(d), rows);
            if (rows.empty()) values = py::none();
            py::object index =
                pd.attr("MultiIndex")
                    .attr("from_arrays")(
                        py::make_tuple(dates.attr("take")(int64_array(rows)),
                                       np.attr("full")(rows.size(), d, py::arg("dtype") = "int64")),
                        py::arg("names") = py::make_tuple("datetime", "decay"));
            frames.append(frame(values, index, fields));
        }
    }
    return pd.attr("concat")(frames).attr("sort_index")();
}

// index.unique(level=name): the level's labels in order of first appearance. Read from
// the level's codes when the index is a MultiIndex with no missing label there (pandas
// would hash every row's code).
py::object level_unique(const py::object& index, const char* name) {
    if (py::isinstance(index, global("pd").attr("MultiIndex"))) {
        py::list names(index.attr("names"));
        long position = -1;
        for (std::size_t k = 0; k < names.size(); ++k) {
            if (!py::object(names[k]).equal(py::str(name))) continue;
            position = position < 0 ? static_cast<long>(k) : -2;  // a second match: pandas' call
        }
        if (position >= 0) {
            py::object level = index.attr("levels")[py::int_(position)];
            const CodeView codes = code_view(index.attr("codes")[py::int_(position)]);
            const std::size_t n_labels = py::len(level);
            std::vector<std::uint8_t> seen(n_labels, 0);
            std::vector<std::int64_t> order;
            bool missing = false;
            for (std::size_t r = 0; r < codes.size; ++r) {
                const std::int64_t code = codes[r];
                if (code < 0 || static_cast<std::size_t>(code) >= n_labels) {
                    missing = true;
                    break;
                }
                if (!seen[static_cast<std::size_t>(code)]) {
                    seen[static_cast<std::size_t>(code)] = 1;
                    order.push_back(code);
                }
            }
            if (!missing) return level.attr("take")(int64_array(order)).attr("rename")(name);
        }
    }
    return index.attr("unique")(py::arg("level") = name);
}

py::object get_industry_data(py::object self, py::object table) {
    py::object pd = global("pd");
    py::object np = global("np");
    py::object industry = self.attr("industry");
    py::object index = table.attr("index");
    if (py::isinstance<py::str>(industry)) {
        // Within a study the factors' tables mostly share their pairs: their instruments
        // and dates are read from the codes once.
        py::object ids = study_index_labels(index, "order_book_id",
                                            [&] { return level_unique(index, "order_book_id"); });
        py::object dates =
            study_index_labels(index, "datetime", [&] { return level_unique(index, "datetime"); });
        return global("_load_industry_data")(py::arg("order_book_ids") = ids,
                                             py::arg("dates") = dates,
                                             py::arg("source") = industry);
    }
    py::object mapping;
    if (py::isinstance<py::dict>(industry)) {
        // object dtype: an empty dict's Series is float64 before pandas 2, object from 2 on
        mapping = pd.attr("Series")(industry, py::arg("dtype") = "object");
    } else if (py::isinstance(industry, pd.attr("Series"))) {
        mapping = industry.attr("copy")();
        // Categorical labels as plain ones: "Unknown" below is no category of theirs, and
        // only the industries present make groups, whatever the categories list.
        if (py::isinstance(mapping.attr("dtype"), pd.attr("CategoricalDtype")))
            mapping = mapping.attr("astype")("object");
    } else {
        raise_py(PyExc_RuntimeError,
                 py::str("Invalid industry type, expect str/dict/pd.Series, go {} ")
                     .format(py::type::of(industry)));
    }
    // Look the names up once per distinct instrument, then spread them over the rows.
    py::object ids = index.attr("unique")(py::arg("level") = "order_book_id");
    mapping = mapping.attr("reindex")(ids).attr("fillna")("Unknown");
    RowGroups rows = groups_of_level(index, "order_book_id");  // codes index rows.labels
    py::object names =
        mapping.attr("reindex")(rows.labels).attr("to_numpy")(py::arg("dtype") = "object");
    names = np.attr("append")(names, py::make_tuple("Unknown"));  // a row without id
    py::array_t<std::int64_t> codes(static_cast<py::ssize_t>(rows.codes.size()));
    const auto last = static_cast<std::int64_t>(rows.size());
    for (std::size_t r = 0; r < rows.codes.size(); ++r)
        codes.mutable_data()[r] = rows.codes[r] < 0 ? last : rows.codes[r];
    return pd.attr("Series")(names.attr("take")(codes), py::arg("index") = index);
}

// The table's rows grouped by industry, and the industry labels of the groups (only those
// owning a row, ascending).
struct IndustryGroups {
    stats::GroupedRows groups;
    py::object labels;
};

IndustryGroups group_by_industry(py::object industry, const py::object& index) {
    const std::size_t n_rows = py::len(index);

    // Group of every table row: the industry series aligned on the table's labels.
    py::object industry_index = industry.attr("index");
    const bool aligned = industry_index.is(index) || same_pairs(industry_index, index);
    const bool categorical =
        py::isinstance(industry.attr("dtype"), global("pd").attr("CategoricalDtype"));
    stats::GroupedRows groups;
    py::object labels;
    std::int32_t next = 0;
    if (aligned && categorical) {
        // Category codes are read in place: no per-row copy of names or codes.
        py::object values = industry.attr("array");
        const CodeView view = code_view(values.attr("codes"));
        RowGroups by_code = groups_of_codes(view, values.attr("categories"));
        next = static_cast<std::int32_t>(by_code.size());
        labels = by_code.labels;
        groups.offsets.assign(static_cast<std::size_t>(next) + 1, 0);
        auto group_of = [&](std::size_t r) {
            const std::int64_t code = view[r];
            return code >= 0 && static_cast<std::size_t>(code) < by_code.rank_of.size()
                       ? by_code.rank_of[code]
                       : -1;
        };
        for (std::size_t r = 0; r < view.size; ++r)
            if (const std::int32_t g = group_of(r); g >= 0) ++groups.offsets[g + 1];
        for (std::int32_t g = 0; g < next; ++g) groups.offsets[g + 1] += groups.offsets[g];
        groups.rows.resize(static_cast<std::size_t>(groups.offsets[next]));
        const bool coded = view.size <= stats::kMostCodedRows;
        if (coded) groups.codes.resize(view.size);
        std::vector<std::int64_t> fill(groups.offsets.begin(), groups.offsets.end() - 1);
        for (std::size_t r = 0; r < view.size; ++r) {
            const std::int32_t g = group_of(r);
            if (coded) groups.codes[r] = g;
            if (g >= 0)
                groups.rows[static_cast<std::size_t>(fill[g]++)] = static_cast<std::uint32_t>(r);
        }
    } else {
        RowGroups by_value = groups_of_values(industry);
        std::vector<std::int32_t> codes;
        if (aligned) {
            codes = std::move(by_value.codes);
        } else {
            TableGrid grid = grid_of_table(index);
            const std::vector<std::int64_t> rows = align_rows(grid, industry_index);
            codes.assign(n_rows, -1);
            for (std::size_t j = 0; j < rows.size(); ++j)
                if (rows[j] >= 0) codes[static_cast<std::size_t>(rows[j])] = by_value.codes[j];
        }
        // Keep only industries that own at least one table row, renumbered in label order.
        std::vector<std::int32_t> renumber(by_value.size(), -1);
        for (std::int32_t code : codes)
            if (code >= 0) renumber[code] = 0;
        py::list kept;
        for (std::size_t g = 0; g < renumber.size(); ++g)
            if (renumber[g] == 0) {
                renumber[g] = next++;
                kept.append(g);
            }
        for (std::int32_t& code : codes)
            if (code >= 0) code = renumber[code];
        labels = by_value.labels.attr("take")(global("np").attr("asarray")(kept, "int64"));
        groups = stats::group_rows(codes, static_cast<std::size_t>(next));
    }
    labels = labels.attr("rename")(industry.attr("name"));
    return {std::move(groups), labels};
}

// The industry groups made in the running study of many factors: its factors share one
// industry series (the study serves the same request once) and, mostly, one table grid.
struct IndustryGroupsMemo {
    py::object watch;  // weakref to the study's client; the memo goes with it
    py::object industry;
    std::shared_ptr<const TableGrid> grid;
    std::shared_ptr<const IndustryGroups> groups;

    void clear() {
        watch = industry = py::object();
        grid.reset();
        groups.reset();
    }
};
// On the heap and never destroyed: Python objects must not be released after the
// interpreter has gone.
IndustryGroupsMemo& g_industry_groups = *new IndustryGroupsMemo();

bool same_table_grid(const TableGrid& a, const TableGrid& b) {
    return a.rows == b.rows && py::bool_(a.dates.labels.attr("equals")(b.dates.labels)) &&
           py::bool_(a.instruments.labels.attr("equals")(b.instruments.labels));
}

// The groups of `industry` over the table's rows; inside a study, served again to the next
// factor whose table has the same grid, with the same industry series object.
std::shared_ptr<const IndustryGroups> industry_groups(const py::object& industry,
                                                      const py::object& index) {
    py::object client = study_client();
    std::shared_ptr<const TableGrid> grid;
    if (!client.is_none()) grid = study_grid_of_table(index);
    if (!grid) {
        g_industry_groups.clear();
        return std::make_shared<const IndustryGroups>(group_by_industry(industry, index));
    }
    IndustryGroupsMemo& memo = g_industry_groups;
    if (memo.groups && watches(memo.watch, client) && memo.industry.is(industry) &&
        (memo.grid == grid || same_table_grid(*memo.grid, *grid)))
        return memo.groups;
    memo.clear();
    auto groups = std::make_shared<const IndustryGroups>(group_by_industry(industry, index));
    if (!watch_client(memo.watch, client, [] { g_industry_groups.clear(); })) return groups;
    memo.industry = industry;
    memo.grid = grid;
    memo.groups = groups;
    return groups;
}

py::object calc_ic_industry_distribute(py::object self, py::object table) {
    if (self.attr("industry").is_none()) return py::none();
    py::object industry = self.attr("_get_industry_data")(table);
    py::list fields = return_fields(table);
    std::shared_ptr<const IndustryGroups> grouped = industry_groups(industry, table.attr("index"));
    const stats::GroupedRows& groups = grouped->groups;
    // A copy per result: renaming one result's index must not rename another's.
    py::object labels = grouped->labels.attr("copy")();
    // The groups hold the row numbers now; release the labels before the heavy part.
    industry = py::none();

    const std::size_t n_groups = groups.offsets.size() - 1;
    if (auto method = native_method(self)) {
        Columns c = numeric_columns(table, fields);
        const stats::ReturnOrders* shared = study_orders(*method, c, groups);
        stats::GroupedIC result;
        {
            py::gil_scoped_release release;
            result = stats::grouped_ic(*method, c.factor, c.returns, groups, shared);
        }
        report_notes(result.notes);
        return frame(matrix(result.coefficient, n_groups, fields.size()), labels, fields);
    }
    py::list coef_rows;
    py::list p_rows;
    python_grouped_ic(self, table, fields, groups, coef_rows, p_rows);
    return frame(n_groups == 0 ? py::object(py::none()) : py::object(coef_rows), labels, fields);
}

}  // namespace

void register_ic(py::module_& m) {
    using pyclass::add_method;
    py::object scipy_stats = m.attr("stats");
    // Owned references released on purpose: they must outlive every call.
    g_originals.stats_module = py::object(scipy_stats).release();
    g_originals.spearmanr = py::object(scipy_stats.attr("spearmanr")).release();
    g_originals.pearsonr = py::object(scipy_stats.attr("pearsonr")).release();

    py::tuple no_bases = py::make_tuple(
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    py::object ic_function =
        pyclass::make_class(m, "_ICFunction", no_bases,
                            "IC 相关系数函数：剔除缺失值后调用 func，样本不足两个时返回 (0, 0)。");
    py::setattr(ic_function, "__init__",
                py::cpp_function(&ic_function_init, py::name("_init_ic_function"),
                                 py::is_method(ic_function), py::arg("func")));
    add_method(ic_function, "__call__", &ic_function_call, py::arg("fs"), py::arg("rs"));
    g_originals.ic_function_class = py::object(ic_function).release();

    m.def("_get_ic_func", &get_ic_func, py::arg("rank_ic") = false, kGetICFuncDoc);

    py::object analyser = m.attr("FactorAnalyser");
    py::object cls = pyclass::make_class(m, "ICAnalysis", py::make_tuple(analyser), kICAnalysisDoc);
    py::setattr(
        cls, "__init__",
        py::cpp_function(&ic_analysis_init, py::name("_init_ic_analysis"), py::is_method(cls),
                         py::arg("rank_ic") = true, py::arg("industry_classification") = py::none(),
                         py::arg("max_decay") = py::none()));
    add_method(cls, "analysis", &ic_analysis, py::arg("factor_data"), py::arg("returns"),
               py::arg("periods"), py::arg("ascending") = true, py::doc(kAnalysisDoc));
    add_method(cls, "_calc_ic", &calc_ic, py::arg("factor_data"), py::doc(kCalcICDoc));
    add_method(cls, "_calc_ic_decay", &calc_ic_decay, py::arg("factor_data"), py::arg("ic"),
               py::doc(kCalcDecayDoc));
    add_method(cls, "_calc_ic_industry_distribute", &calc_ic_industry_distribute,
               py::arg("factor_data"), py::doc(kCalcIndustryDoc));
    add_method(cls, "_get_industry_data", &get_industry_data, py::arg("factor_data"),
               py::doc(kIndustryDataDoc));
}

}  // namespace alvora::study_bench
