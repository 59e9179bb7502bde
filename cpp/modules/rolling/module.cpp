// alvora.rolling: rolling-window factor nodes, their kernels and the operators.
#include "rolling/rolling_module.hpp"

namespace alvora::rolling_module {
pyclass::ModuleGlobals G;
}

namespace py = pybind11;

PYBIND11_MODULE(rolling, m) {
    using namespace alvora::rolling_module;
    // Docstrings start with their summary line, not a generated signature.
    py::options options;
    options.disable_function_signatures();

    m.doc() = "滑动窗口（时间序列）算子";
    m.attr("chain") = py::module_::import("itertools").attr("chain");
    m.attr("np") = py::module_::import("numpy");
    auto interface = py::module_::import("alvora.interface");
    m.attr("AbstractFactor") = interface.attr("AbstractFactor");
    m.attr("ShiftedFactor") = interface.attr("ShiftedFactor");
    m.attr("BinaryCombinedFactor") = interface.attr("BinaryCombinedFactor");
    m.attr("rolling_window") = py::module_::import("alvora.utils").attr("rolling_window");
    G.bind(m);
    init_inputs();

    register_nodes(m);
    register_kernels(m);
    register_operators(m);
}
