// alvora.analysis.study_bench: the factor analysis pipeline and its steps.
#include <pybind11/pybind11.h>

#include "study_bench/registry.hpp"

namespace py = pybind11;
using namespace alvora::study_bench;

PYBIND11_MODULE(study_bench, m) {
    m.doc() = "因子分析流水线：预处理与分析步骤";
    m.attr("warnings") = py::module_::import("warnings");
    m.attr("defaultdict") = py::module_::import("collections").attr("defaultdict");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("np") = py::module_::import("numpy");
    m.attr("stats") = py::module_::import("scipy.stats");
    m.attr("OLS") = py::module_::import("statsmodels.api").attr("OLS");
    m.attr("tessal") = py::module_::import("tessal");
    m.attr("ttl_cache") = py::module_::import("tessal.decorators").attr("ttl_cache");
    m.attr("to_date_str") = py::module_::import("tessal.utils").attr("to_date_str");
    m.attr("WINSORIZE_METHODS") =
        py::module_::import("alvora.analysis.winsorize").attr("WINSORIZE_METHODS");
    auto results = py::module_::import("alvora.analysis.analysis_result");
    py::list public_names = py::hasattr(results, "__all__")
                                ? py::list(results.attr("__all__"))
                                : py::list();
    for (auto name : public_names) m.attr(name) = results.attr(name);

    register_pipeline(m);
    register_industry(m);
    register_ic(m);
    register_preprocess(m);
    register_quantile(m);
    register_factor_return(m);

    py::list all;
    for (const char* name : {"Winzorization", "Normalization", "Neutralization", "ICAnalysis",
                             "QuantileReturnAnalysis", "FactorReturnAnalysis", "FactorStudyBench"})
        all.append(name);
    m.attr("__all__") = all;
}
