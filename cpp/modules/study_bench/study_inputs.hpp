// Input preparation shared inside study_bench: the helpers of inputs*.cpp.
#pragma once

#include <pybind11/pybind11.h>

namespace alvora::study_bench {

namespace py = pybind11;

// Binds _validate_data_frame, _get_datetime_freq, _is_date_frequency_index,
// _format_factor_data and _get_return_fields on the module.
void register_inputs(py::module_& m);
void register_inputs_format(py::module_& m);  // _format_factor_data

// The checks and conversions FactorStudyBench.analysis runs before any step:
// horizon type check, factor frame check, resolution of `returns` ("daily" is
// fetched through tessal), wrapping of a single horizon, naming of both tables' axes.
struct PreparedInputs {
    py::object factor_data;
    py::object returns;
    py::object periods;
};
PreparedInputs prepare_inputs(py::object factor_data, py::object returns, py::object periods);

// While a scope is open (one FactorStudyBench.analysis, its steps included), industry data
// loaded through the module's own loader is kept and served once more for the same request;
// dropped when the outermost scope closes. Needs the GIL.
class StudyScope {
  public:
    static bool open();  // inside any scope
    StudyScope();
    ~StudyScope();
    StudyScope(const StudyScope&) = delete;
    StudyScope& operator=(const StudyScope&) = delete;
};

// True while `client` is the memoizing client of a study of many factors (it carries the
// `_alvora_study_scope` marker): its factors may reuse what the previous factor built.
bool in_shared_study(const py::object& client);

}  // namespace alvora::study_bench
