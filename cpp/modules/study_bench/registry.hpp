// The pieces of alvora.analysis.study_bench, registered in this order at import.
//
// Step classes derive from the Python base classes created by register_pipeline;
// fetch them from the module when registering, e.g.
//     py::object base = m.attr("FactorAnalyser");
//     py::object cls = pyclass::make_class(m, "MyStep", py::make_tuple(base), doc);
// Outside names (pd, np, tessal, stats, warnings, …) and the module-level helpers
// (_get_datetime_freq, _is_date_frequency_index, _load_industry_data, …) are looked
// up at the moment of use through module_globals(), so tests can replace them.
// Note: pybind11 treats a cpp_function *named* "__init__" as a constructor of a
// pybind11 type and corrupts memory on a heap type; build it under another name
// and setattr it as "__init__" (see FactorStudyBench in pipeline.cpp).
#pragma once

#include <pybind11/pybind11.h>

#include "common/pyclass.hpp"

namespace alvora::study_bench {

namespace py = pybind11;

void register_pipeline(py::module_& m);       // base classes, FactorStudyBench, input helpers
void register_industry(py::module_& m);       // industry data and listing masks
void register_ic(py::module_& m);             // ICAnalysis
void register_preprocess(py::module_& m);     // Winzorization, Normalization, Neutralization
void register_quantile(py::module_& m);       // QuantileReturnAnalysis
void register_factor_return(py::module_& m);  // FactorReturnAnalysis

// The module's attributes, bound by register_pipeline (defined in pipeline.cpp):
// module_globals()["pd"], module_globals()["_get_datetime_freq"](index), …
const pyclass::ModuleGlobals& module_globals();

}  // namespace alvora::study_bench
