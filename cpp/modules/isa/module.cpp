// alvora._isa: the instruction-set level of the vectorised kernels.
#include <pybind11/pybind11.h>

#include "alvora/isa.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_isa, m) {
    m.doc() = "The instruction-set level the vectorised kernels run at.";
    m.def("isa", [] { return std::string(alvora::isa_name(alvora::isa())); },
          "The level in use: 'baseline', 'avx2' or 'avx512'.");
    m.def("best_isa", [] { return std::string(alvora::isa_name(alvora::best_isa())); },
          "The highest level this build and this machine can run.");
}
