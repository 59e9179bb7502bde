// FactorReturnAnalysis: the return of a dollar-neutral portfolio weighted by the factor.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "alvora/portfolio/factor_portfolio.hpp"
#include "alvora/portfolio/levels.hpp"
#include "common/pyclass.hpp"
#include "study_bench/quantile_panels.hpp"
#include "study_bench/registry.hpp"

namespace alvora::study_bench {

namespace {

using namespace pybind11::literals;
using portfolio_io::Horizon;

const char* const kClassDoc = R"doc(因子收益分析：以前一交易日因子值的截面离差为权重构建多空组合，
计算组合的累计收益。

权重为因子值减去当日截面均值，再除以离差绝对值之和：多头合计 +0.5，空头合计 −0.5。
ascending 为 True 时权重取反（因子值越小越做多）。持有期为 P 个交易日时，
同时运行 P 个错开起点的调仓计划，各计划在调仓日之间买入持有，日收益取平均后复利累计。

Example::

    bench = FactorStudyBench()
    bench.append(("factor_return", FactorReturnAnalysis()))
    result = bench.analysis(factor_data, "daily", periods=(1, 5))["factor_return"]
)doc";

const char* const kAnalysisDoc = R"doc(计算因子多空组合在各持有期下的累计收益。

:param factor_data: 因子表，index 为交易日，columns 为 order_book_id
:param returns: 日收益率表，行列布局与因子表相同
:param periods: 持有期（交易日数）的 tuple 或 list
:param ascending: 排序方向，True 表示因子值越小越做多
:return: FactorReturnAnalysisResult，其 factor_returns 的 index 为交易日（名为 "datetime"），
    每个持有期一列（"P_" 加持有期）

Example::

    result = FactorReturnAnalysis().analysis(factor_data, returns, [1, 5], ascending=False)
)doc";

py::object global(const char* name) { return module_globals()[name]; }

bool truthy(const py::handle& obj) {
    int v = PyObject_IsTrue(obj.ptr());
    if (v < 0) throw py::error_already_set();
    return v != 0;
}

py::object factor_return_analysis(py::object self, py::object factor_data, py::object returns,
                                  py::object periods, py::object ascending) {
    portfolio_io::require_frame(factor_data, "factor_data");
    portfolio_io::require_frame(returns, "returns");
    py::object index = factor_data.attr("index");
    py::object columns = factor_data.attr("columns");
    const std::vector<Horizon> horizons =
        portfolio_io::distinct(portfolio_io::parse_horizons(periods));
    const bool negate = truthy(ascending);

    portfolio_io::Panel factor = portfolio_io::panel_of(factor_data);
    portfolio_io::Panel levels = portfolio_io::levels_on(returns, index, columns);
    const std::size_t n = factor.rows, h_count = horizons.size();
    arrays::F64Array out({static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(h_count)});
    double* cells = out.mutable_data();
    {
        py::gil_scoped_release release;
        const std::vector<double> weights = portfolio::previous_row_weights(factor.view(), negate);
        const portfolio::PanelView weight_view{weights, n, factor.cols};
        std::vector<std::size_t> holding;
        for (const Horizon& h : horizons) holding.push_back(h.value);
        std::vector<std::vector<double>> series =
            portfolio::factor_portfolio_returns(weight_view, levels.view(), holding);
        for (std::size_t h = 0; h < h_count; ++h) {
            std::vector<double>& daily = series[h];
            for (double& x : daily) x = std::isnan(x) ? 0.0 : x;
            portfolio::compound_in_place(daily);
            for (std::size_t t = 0; t < n; ++t) cells[t * h_count + h] = daily[t];
        }
    }
    py::list names;
    for (const Horizon& h : horizons) names.append(portfolio_io::column_name(h));
    py::object factor_returns = global("pd").attr("DataFrame")(
        out, "index"_a = index.attr("rename")("datetime"), "columns"_a = names, "copy"_a = false);
    return global("FactorReturnAnalysisResult")("factor_returns"_a = factor_returns,
                                                "name"_a = self.attr("step_name"));
}

}  // namespace

void register_factor_return(py::module_& m) {
    py::object cls = pyclass::make_class(m, "FactorReturnAnalysis",
                                         py::make_tuple(m.attr("FactorAnalyser")), kClassDoc);
    pyclass::add_method(cls, "analysis", &factor_return_analysis, py::arg("factor_data"),
                        py::arg("returns"), py::arg("periods"), py::arg("ascending") = true,
                        py::doc(kAnalysisDoc));
}

}  // namespace alvora::study_bench
