// The pieces of alvora.analysis.study_bench, registered in this order at import.
#pragma once

#include <pybind11/pybind11.h>

namespace alvora::study_bench {

namespace py = pybind11;

void register_pipeline(py::module_& m);       // base classes, FactorStudyBench, input helpers
void register_industry(py::module_& m);       // industry data and listing masks
void register_ic(py::module_& m);             // ICAnalysis
void register_preprocess(py::module_& m);     // Winzorization, Normalization, Neutralization
void register_quantile(py::module_& m);       // QuantileReturnAnalysis
void register_factor_return(py::module_& m);  // FactorReturnAnalysis

}  // namespace alvora::study_bench
