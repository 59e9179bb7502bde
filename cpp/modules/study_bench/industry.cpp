#include "study_bench/registry.hpp"

namespace alvora::study_bench {

void register_industry(py::module_& m) {}

}  // namespace alvora::study_bench
