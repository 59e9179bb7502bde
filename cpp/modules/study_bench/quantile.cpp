// QuantileReturnAnalysis: equal-weighted quantile groups held over staggered schedules.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "alvora/portfolio/group_returns.hpp"
#include "alvora/portfolio/levels.hpp"
#include "alvora/portfolio/quantile_labels.hpp"
#include "common/pyclass.hpp"
#include "study_bench/quantile_panels.hpp"
#include "study_bench/registry.hpp"
#include "study_bench/study_errors.hpp"

namespace alvora::study_bench {

namespace {

using namespace pybind11::literals;
using portfolio_io::Horizon;

const char* const kClassDoc = R"doc(分组收益分析：按前一交易日的因子值把股票等分为 quantile 组，
计算各组的等权买入持有收益、换手率以及第一组减最后一组的收益。

持有期为 P 个交易日时，同时运行 P 个错开起点的调仓计划（分别在第 1、1 + P、…，
第 2、2 + P、… 个交易日调仓），各计划的日收益取平均，以消除起始日的影响。
"q1" 为排名最靠前的一组：ascending 为 False 时是因子值最大的一组，为 True 时是最小的一组。

:param quantile: 分组数，默认 5
:param benchmark: 基准指数的 order_book_id（如 "000300.XSHG"）；不是指数时给出警告并忽略

Example::

    bench = FactorStudyBench()
    bench.append(("quantile", QuantileReturnAnalysis(quantile=10, benchmark="000300.XSHG")))
    result = bench.analysis(factor_data, "daily", periods=(1, 5, 20))["quantile"]
)doc";

const char* const kInitDoc = R"doc(创建分组收益分析步骤。

:param quantile: 分组数
:param benchmark: 基准指数的 order_book_id，或 None

Example::

    QuantileReturnAnalysis(quantile=5, benchmark="000300.XSHG")
)doc";

const char* const kAnalysisDoc = R"doc(计算分组收益、换手率、多空收益与分组明细。

:param factor_data: 因子表，index 为交易日，columns 为 order_book_id
:param returns: 日收益率表，行列布局与因子表相同
:param periods: 持有期（交易日数）的 tuple 或 list，须小于因子表的行数
:param ascending: 排序方向，True 表示因子值越小排名越靠前
:return: QuantileReturnAnalysisResult
:raises ValueError: 所有持有期都不小于因子表的行数

Example::

    result = QuantileReturnAnalysis(quantile=5).analysis(factor_data, returns, [1, 5])
)doc";

const char* const kBenchmarkDoc = R"doc(读取基准指数在给定日期上的累计收益。

:param index: 因子表的 DatetimeIndex
:return: 以基准 order_book_id 命名的累计收益 Series（首日为 0）；未设置基准或无行情时为 None

Example::

    step._load_benchmark_series(factor_data.index)
)doc";

py::object global(const char* name) { return module_globals()[name]; }

void warn(const py::str& message) { global("warnings").attr("warn")(message); }

bool truthy(const py::handle& obj) {
    int v = PyObject_IsTrue(obj.ptr());
    if (v < 0) throw py::error_already_set();
    return v != 0;
}

int group_count(const py::object& quantile) {
    // Stored unchecked at construction; a count that cannot label anything is refused here.
    PyObject* as_int = PyNumber_Index(quantile.ptr());
    if (as_int == nullptr) PyErr_Clear();
    py::object value = py::reinterpret_steal<py::object>(as_int);
    int overflow = 0;
    long long q = as_int ? PyLong_AsLongLongAndOverflow(as_int, &overflow) : 0;
    if (as_int == nullptr || overflow != 0 || q < 1 || q > 1000000) {
        raise_py(PyExc_ValueError,
                 py::str("quantile must be a positive integer, got {!r}").format(quantile));
    }
    return static_cast<int>(q);
}

void quantile_init(py::object self, py::object quantile, py::object benchmark) {
    self.attr("quantile") = quantile;
    self.attr("benchmark") = py::none();
    if (benchmark.is_none()) return;
    py::object info = global("tessal").attr("instruments")(benchmark);
    if (!info.is_none() && py::object(info.attr("type")).equal(py::str("INDX"))) {
        self.attr("benchmark") = benchmark;
        return;
    }
    warn(py::str("Invalid benchmark: {} is not INDX order_book_id.").format(benchmark));
}

py::object load_benchmark_series(py::object self, py::object index) {
    py::object benchmark = self.attr("benchmark");
    if (benchmark.is_none()) return py::none();
    py::object freq = global("_get_datetime_freq")(index);
    py::str field = freq.equal(py::str("tick")) ? py::str("last") : py::str("close");
    py::list fields;
    fields.append(field);
    py::object first = index[py::int_(0)];
    py::object last = index[py::int_(-1)];
    py::object price = global("tessal").attr("get_price")(
        benchmark, "start_date"_a = first, "end_date"_a = last, "frequency"_a = freq,
        "fields"_a = fields, "expect_df"_a = true);
    if (price.is_none()) {
        py::object text = py::str("No price data for benchmark [{}] from %s to %s").format(benchmark);
        warn(text.attr("__mod__")(py::make_tuple(first, last)));
        return py::none();
    }
    py::object close = price[field].attr("droplevel")("order_book_id");
    // Prices padded onto the factor dates, so the first date's return is 0 and gaps are flat.
    py::object padded = close.attr("reindex")(index).attr("ffill")();
    py::object r = padded.attr("__truediv__")(padded.attr("shift")(1)).attr("__sub__")(1);
    r = r.attr("fillna")(0);
    r.attr("name") = benchmark;
    return r.attr("add")(1).attr("cumprod")().attr("sub")(1);
}

// Label strings ("q1"...) and NaN as an object array laid out like the factor frame.
py::object label_table(const std::vector<std::int32_t>& labels, std::size_t rows,
                       std::size_t cols, const py::list& tag_strings) {
    // Allocated without numpy's None fill (object arrays start zeroed): every cell is set below.
    if (labels.size() != rows * cols) throw std::logic_error("labels and frame differ in shape");
    py::array arr(py::dtype("O"), {static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
    auto** cells = static_cast<PyObject**>(arr.mutable_data());
    py::object nan = global("np").attr("nan");
    std::vector<PyObject*> tags;
    for (py::handle t : tag_strings) tags.push_back(t.ptr());
    for (std::size_t j = 0; j < labels.size(); ++j) {
        PyObject* value = labels[j] == portfolio::kNoLabel ? nan.ptr() : tags[labels[j]];
        Py_INCREF(value);
        Py_XDECREF(cells[j]);
        cells[j] = value;
    }
    return arr;
}

struct HorizonCheck {
    std::vector<Horizon> working;
    py::list unavailable;
};

HorizonCheck check_horizons(const py::object& periods, std::size_t rows) {
    HorizonCheck check;
    for (const Horizon& h : portfolio_io::parse_horizons(periods)) {
        if (h.value >= rows) {
            check.unavailable.append(h.original);
        } else {
            check.working.push_back(h);
        }
    }
    if (check.working.empty() && rows < 2) {
        // Horizons count dates of the factor frame: with one date there is none to hold to.
        raise_py(PyExc_ValueError,
                 py::str("Invalid periods, must be less than {}: factor_data has {} date{}, and "
                         "quantile returns need at least two (groups are formed on one date and "
                         "held to a later one)")
                     .format(rows, rows, rows == 1 ? "" : "s"));
    }
    if (check.working.empty())
        raise_py(PyExc_ValueError, py::str("Invalid periods, must be less than {}").format(rows));
    if (py::len(check.unavailable) > 0)
        warn(py::str("Invalid periods found: {}, will ignore.").format(check.unavailable));
    return check;
}

py::object quantile_analysis(py::object self, py::object factor_data, py::object returns,
                             py::object periods, py::object ascending) {
    portfolio_io::require_frame(factor_data, "factor_data");
    portfolio_io::require_frame(returns, "returns");
    py::object index = factor_data.attr("index");
    py::object columns = factor_data.attr("columns");
    HorizonCheck check = check_horizons(periods, py::len(index));
    const int groups = group_count(self.attr("quantile"));
    const auto instruments = static_cast<long long>(py::len(columns));
    if (groups > instruments) {
        // More groups than instruments leaves groups that can never hold anything, and the
        // result tables (groups x dates) would grow without limit.
        raise_py(PyExc_ValueError,
                 py::str("quantile={} groups but factor_data has only {} instrument{}: use at "
                         "most one group per instrument")
                     .format(groups, instruments, instruments == 1 ? "" : "s"));
    }
    const bool asc = truthy(ascending);

    portfolio_io::Panel factor = portfolio_io::panel_of(factor_data);
    portfolio_io::Panel levels = portfolio_io::levels_on(returns, index, columns);
    const std::size_t n = factor.rows, g = static_cast<std::size_t>(groups);
    std::vector<std::int32_t> labels;
    {
        py::gil_scoped_release release;
        labels = portfolio::previous_row_labels(factor.view(), groups, asc);
    }

    const std::vector<Horizon> horizons = portfolio_io::distinct(check.working);
    const std::size_t h_count = horizons.size();
    // Row-major (group, date) x horizon tables; long-short is date x horizon.
    std::vector<double> daily(g * n * h_count), turnover(g * n * h_count), spread(n * h_count);
    std::vector<std::size_t> holding;
    for (const Horizon& h : horizons) holding.push_back(h.value);
    std::vector<portfolio::GroupSeries> series;
    {
        py::gil_scoped_release release;
        series = portfolio::quantile_group_series(labels, levels.view(), groups, holding);
    }
    for (std::size_t h = 0; h < h_count; ++h) {
        const portfolio::GroupSeries& s = series[h];
        for (std::size_t j = 0; j < g * n; ++j) {
            daily[j * h_count + h] = std::isnan(s.returns[j]) ? 0.0 : s.returns[j];
            turnover[j * h_count + h] = s.turnover[j];
        }
        std::vector<double> column(n), cumulative(n);
        for (std::size_t t = 0; t < n; ++t)
            column[t] = daily[t * h_count + h] - daily[((g - 1) * n + t) * h_count + h];
        portfolio::compound_in_place(column);
        for (std::size_t t = 0; t < n; ++t) spread[t * h_count + h] = column[t];
        for (std::size_t k = 0; k < g; ++k) {
            for (std::size_t t = 0; t < n; ++t) cumulative[t] = daily[(k * n + t) * h_count + h];
            portfolio::compound_in_place(cumulative);
            for (std::size_t t = 0; t < n; ++t) daily[(k * n + t) * h_count + h] = cumulative[t];
        }
    }

    py::object pd = global("pd");
    py::object np = global("np");
    py::list tag_strings, names;
    for (int k = 1; k <= groups; ++k) tag_strings.append(py::str("q{}").format(k));
    for (const Horizon& h : horizons) names.append(portfolio_io::column_name(h));
    py::object tags = np.attr("array")(tag_strings);
    py::object group_index = pd.attr("MultiIndex").attr("from_product")(
        py::make_tuple(tags, index), "names"_a = py::make_tuple("tag", "datetime"));
    auto table = [&](const std::vector<double>& values, std::size_t rows, py::object idx) {
        arrays::F64Array arr({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(h_count)});
        std::copy(values.begin(), values.end(), arr.mutable_data());
        return pd.attr("DataFrame")(arr, "index"_a = idx, "columns"_a = names, "copy"_a = false);
    };
    py::object quantile_returns = table(daily, g * n, group_index);
    py::object quantile_turnover = table(turnover, g * n, group_index.attr("copy")());
    py::object long_short = table(spread, n, index.attr("rename")("datetime"));
    py::object benchmark_returns = self.attr("_load_benchmark_series")(index);
    // Labels stay objects (pandas 3 would infer its string dtype).
    py::object detail =
        pd.attr("DataFrame")(label_table(labels, n, factor.cols, tag_strings), "index"_a = index,
                             "columns"_a = columns, "dtype"_a = "object", "copy"_a = false);
    return global("QuantileReturnAnalysisResult")(
        "quantile_turnover"_a = quantile_turnover, "quantile_returns"_a = quantile_returns,
        "quantile_detail"_a = detail, "benchmark_return"_a = benchmark_returns,
        "top_minus_bottom_returns"_a = long_short, "name"_a = self.attr("step_name"));
}

}  // namespace

void register_quantile(py::module_& m) {
    py::object cls = pyclass::make_class(m, "QuantileReturnAnalysis",
                                         py::make_tuple(m.attr("FactorAnalyser")), kClassDoc);
    // Built under another name: pybind11 treats a function named __init__ as its own constructor.
    py::setattr(cls, "__init__",
                py::cpp_function(&quantile_init, py::name("_init_quantile"), py::is_method(cls),
                                 py::arg("quantile") = 5, py::arg("benchmark") = py::none(),
                                 py::doc(kInitDoc)));
    pyclass::add_method(cls, "analysis", &quantile_analysis, py::arg("factor_data"),
                        py::arg("returns"), py::arg("periods"), py::arg("ascending") = true,
                        py::doc(kAnalysisDoc));
    pyclass::add_method(cls, "_load_benchmark_series", &load_benchmark_series, py::arg("index"),
                        py::doc(kBenchmarkDoc));
}

}  // namespace alvora::study_bench
