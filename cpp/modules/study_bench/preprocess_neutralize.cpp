// Neutralization: per-date least-squares residuals of the factor on style
// exposures, industry indicators and user factors.
#include <algorithm>
#include <cmath>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "alvora/ols/residuals.hpp"
#include "common/pyclass.hpp"
#include "study_bench/preprocess_exposure.hpp"
#include "study_bench/preprocess_parts.hpp"

namespace alvora::study_bench::preprocess {

namespace {

const char* const kNeutralizationDoc =
    R"doc(中性化：逐个交易日做截面最小二乘回归，以残差作为新的因子值。

回归变量为风格因子暴露、行业哑变量和自定义因子。

回归不另加截距项；启用行业中性化时，行业哑变量之和为 1，起到截距的作用。
因子值或任一回归变量缺失的股票不参与当日回归，结果为 NaN；当日没有可回归的股票时整行为 NaN。
分钟频率的因子表，每个时间点使用当日的风格因子暴露。
返回的因子表与输入的 index、columns 完全一致（未参与任何回归的股票为整列 NaN）。

:param industry: 行业分类来源，"citics_2019"（默认）或 "sws"；None 或空字符串表示不做行业中性化
:param style_factors: 风格因子名称列表；"all"（默认）表示全部风格因子；None 表示不做风格中性化
:param other_factors: 自定义因子表的 list 或 tuple，每个为以 (datetime, order_book_id)
    为索引的 DataFrame 或 Series，其列作为额外的回归变量；其他类型的值被忽略（并给出警告）
:raises ValueError: industry 不在 ``VALID_INDUSTRY_SOURCE`` 中，或三个参数全为 None

Example::

    bench = FactorStudyBench()
    bench.append(("neutralize", Neutralization(industry="sws", style_factors=["size", "beta"])))
    Neutralization(industry="citics_2019", style_factors=None,
                   other_factors=[my_factor_table]).process(factor_data)
)doc";

const char* const kProcessDoc = R"doc(对因子表逐日做中性化回归，返回残差。

:param factor_data: 因子表，index 为交易日或分钟时间点（DatetimeIndex，不重复），
    columns 为 order_book_id（不重复）
:return: 新的因子表（float），index 与 columns 与输入相同

Example::

    neutral = Neutralization(style_factors=None).process(factor_data)
)doc";

const char* const kNothingToDo =
    "Do not make any processing because no industry nor style factors nor other_factors "
    "specify.";

// statsmodels' OLS as bound at import; while the module still holds it, the
// regressions run natively. A replacement is called date by date.
PyObject* g_original_ols = nullptr;

void neutralization_init(py::object self, py::object industry, py::object style_factors,
                         py::object other_factors) {
    py::object valid = global("VALID_INDUSTRY_SOURCE");
    if (py::bool_(industry) && !py::bool_(valid.attr("__contains__")(industry))) {
        throw py::value_error(
            py::str("industry: expect one of {}, got {}").format(valid, industry));
    }
    if (industry.is_none() && style_factors.is_none() && other_factors.is_none()) {
        throw py::value_error(
            "Expect at least one of [industry, style_factors, other_factors] not None, but get "
            "both None.");
    }
    self.attr("industry") = industry;
    self.attr("style_neutralize") = py::bool_(style_factors);
    const bool all =
        py::isinstance<py::str>(style_factors) && style_factors.cast<std::string>() == "all";
    self.attr("style_factors") = all ? py::none() : style_factors;
    self.attr("other_factors") = other_factors;
}

void require_neutralizable(const py::object& factor_data) {
    require_frame(factor_data);
    py::object index = factor_data.attr("index");
    if (!py::isinstance(index, global("pd").attr("DatetimeIndex")))
        throw py::value_error(py::str("factor_data: expect index type=pd.DatetimeIndex, got {}")
                                  .format(py::type::of(index)));
    for (const char* axis : {"index", "columns"}) {
        py::object labels = factor_data.attr(axis);
        if (!py::bool_(labels.attr("is_unique")))
            throw py::value_error(
                py::str("factor_data: Neutralization needs unique labels, found duplicates in {}: "
                        "{}")
                    .format(axis, labels[labels.attr("duplicated")()].attr("unique")()));
    }
}

py::array_t<double> native_residuals(const ExposureGrid& g, const py::array_t<double>& y) {
    py::array_t<double> out(static_cast<py::ssize_t>(g.dates * g.instruments));
    const std::span<const double> values{y.data(), static_cast<std::size_t>(y.size())};
    const std::span<double> residuals{out.mutable_data(), static_cast<std::size_t>(out.size())};
    std::span<const std::int64_t> group;
    if (g.has_industry) group = {g.industry.data(), static_cast<std::size_t>(g.industry.size())};
    const std::size_t groups = g.has_industry ? g.industry_names.size() : 0;
    if (g.dense) {
        // The study's grid holds every date's rows already: read in place, no copy.
        ols::Panel panel{values,        *g.dense, group,  g.dates,
                         g.instruments, g.width,  groups, g.moments.get()};
        py::gil_scoped_release release;
        ols::panel_residuals(panel, residuals);
        return out;
    }
    ols::FilledPanel panel;
    panel.y = values;
    panel.fill = [&g](std::size_t first, std::size_t last, std::span<double> x) {
        g.fill(first, last, x);
    };
    panel.group = group;
    panel.groups = groups;
    panel.dates = g.dates;
    panel.instruments = g.instruments;
    panel.p = g.width;
    panel.kept_moments = g.moments.get();
    {
        py::gil_scoped_release release;
        ols::panel_residuals(panel, residuals);
    }
    return out;
}

// One date's regressors in the column order style, industry indicators, user
// factors; non-finite values become NaN so that missing="drop" leaves them out.
// Returns the number of complete rows alongside. `dense_rows` holds the date's
// dense regressors (instruments x width); scratch.
std::size_t date_design(const ExposureGrid& g, std::size_t d, const double* y,
                        std::vector<double>& dense_rows, py::array_t<double>& exog,
                        py::array_t<double>& x) {
    constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
    const std::size_t n = g.instruments;
    const std::size_t k = g.has_industry ? g.industry_names.size() : 0;
    const std::size_t width = g.width + k;
    exog = py::array_t<double>({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(width)});
    x = py::array_t<double>(static_cast<py::ssize_t>(n));
    double* e = exog.mutable_data();
    double* xs = x.mutable_data();
    dense_rows.resize(n * g.width);
    g.fill(d, d + 1, dense_rows);
    std::size_t complete = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double* dense = dense_rows.data() + i * g.width;
        double* row = e + i * width;
        for (std::size_t j = 0; j < g.style_width; ++j) row[j] = dense[j];
        const std::int64_t label = g.has_industry ? g.industry.data()[d * n + i] : 0;
        for (std::size_t j = 0; j < k; ++j)
            row[g.style_width + j] = label < 0 ? kNaN : (static_cast<std::size_t>(label) == j);
        for (std::size_t j = g.style_width; j < g.width; ++j) row[k + j] = dense[j];
        bool ok = std::isfinite(y[i]);
        xs[i] = ok ? y[i] : kNaN;
        for (std::size_t j = 0; j < width; ++j) {
            if (!std::isfinite(row[j])) {
                row[j] = kNaN;
                ok = false;
            }
        }
        complete += ok;
    }
    return complete;
}

py::array_t<double> called_residuals(const ExposureGrid& g, const py::array_t<double>& y,
                                     const py::object& index, const py::object& columns,
                                     const py::object& ols) {
    py::object pd = global("pd");
    py::list names;
    for (std::size_t j = 0; j < g.style_width; ++j) names.append(g.style_names[j]);
    if (g.has_industry)
        for (auto name : g.industry_names) names.append(name);
    for (auto name : g.other_names) names.append(name);
    py::list dates(index);

    const std::size_t n = g.instruments;
    py::array_t<double> out(static_cast<py::ssize_t>(g.dates * n));
    double* o = out.mutable_data();
    std::fill(o, o + out.size(), std::numeric_limits<double>::quiet_NaN());
    std::vector<double> dense_rows;
    for (std::size_t d = 0; d < g.dates; ++d) {
        py::array_t<double> exog, x;
        // nothing to fit
        if (date_design(g, d, y.data() + d * n, dense_rows, exog, x) == 0) continue;
        py::object series =
            pd.attr("Series")(x, py::arg("index") = columns, py::arg("name") = dates[d]);
        py::object frame =
            pd.attr("DataFrame")(exog, py::arg("index") = columns, py::arg("columns") = names);
        py::object resid =
            ols(series, frame, py::arg("hasconst") = false, py::arg("missing") = "drop")
                .attr("fit")()
                .attr("resid");
        if (!py::isinstance(resid, pd.attr("Series")))
            throw py::value_error(py::str("OLS(...).fit().resid: expect a pd.Series indexed by "
                                          "order_book_id, got {}")
                                      .format(py::type::of(resid)));
        py::object aligned = resid.attr("reindex")(columns).attr("to_numpy")(
            py::arg("dtype") = "float64", py::arg("na_value") = global("np").attr("nan"));
        using F64 = py::array_t<double, py::array::c_style | py::array::forcecast>;
        auto values = aligned.cast<F64>();
        std::copy(values.data(), values.data() + n, o + d * n);
    }
    return out;
}

py::object neutralization_process(py::object self, py::object factor_data) {
    py::object other = self.attr("other_factors");
    const bool other_is_list = py::isinstance<py::list>(other) || py::isinstance<py::tuple>(other);
    if (!other.is_none() && !other_is_list)
        warn(py::str("other_factors: expect a list or tuple of tables, got {}; it is ignored.")
                 .format(py::type::of(other)));
    // Only a non-empty list or tuple of tables switches user factors on; the
    // truth value of anything else (a bare table has none) is never asked.
    const bool use_other = other_is_list && py::len(other) > 0;
    const bool use_style = py::bool_(self.attr("style_neutralize"));
    py::object industry = self.attr("industry");
    const bool use_industry = py::bool_(industry);
    if (!use_style && !use_industry && !use_other) {
        warn(py::str(kNothingToDo));
        return factor_data;
    }

    require_neutralizable(factor_data);
    py::object index = factor_data.attr("index");
    py::object columns = factor_data.attr("columns");
    py::array_t<double> y = frame_values_to_read(factor_data);
    if (y.size() == 0) return make_frame(frame_values(factor_data), index, columns);

    ExposureRequest request;
    request.index = index;
    request.columns = columns;
    request.style = use_style;
    request.style_factors = self.attr("style_factors");
    request.industry = use_industry ? industry : py::none();
    if (use_other) request.other = py::list(other);
    ExposureGrid grid = build_exposures(request);

    py::object ols = global("OLS");
    py::array_t<double> out = ols.ptr() == g_original_ols
                                  ? native_residuals(grid, y)
                                  : called_residuals(grid, y, index, columns, ols);
    py::array_t<double> table = out.reshape(
        {static_cast<py::ssize_t>(grid.dates), static_cast<py::ssize_t>(grid.instruments)});
    return make_frame(table, index, columns);
}

}  // namespace

void register_neutralization(py::module_& m, py::object base) {
    py::object ols = m.attr("OLS");
    g_original_ols = ols.release().ptr();  // kept for the life of the process
    py::object cls =
        pyclass::make_class(m, "Neutralization", py::make_tuple(base), kNeutralizationDoc);
    // Not named __init__: pybind11 would treat it as a constructor of a pybind11 type.
    py::setattr(
        cls, "__init__",
        py::cpp_function(&neutralization_init, py::name("_init_neutralization"), py::is_method(cls),
                         py::arg("industry") = "citics_2019", py::arg("style_factors") = "all",
                         py::arg("other_factors") = py::none()));
    pyclass::add_method(cls, "process", &neutralization_process, py::arg("factor_data"),
                        py::doc(kProcessDoc));
}

}  // namespace alvora::study_bench::preprocess
