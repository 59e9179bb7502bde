// alvora.engine_v2.eval_core: execution of factor expression trees.
#include <pybind11/pybind11.h>

namespace py = pybind11;

PYBIND11_MODULE(eval_core, m) {
    m.doc() = "因子表达式树的执行引擎";
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("numbers") = py::module_::import("numbers");
    m.attr("warnings") = py::module_::import("warnings");
    m.attr("tessal") = py::module_::import("tessal");
    m.attr("LeafFactor") = py::module_::import("alvora.interface").attr("LeafFactor");
    m.attr("CrossSectionalFactor") =
        py::module_::import("alvora.cross_sectional").attr("CrossSectionalFactor");
    m.attr("FixedFactor") = py::module_::import("alvora.fix").attr("FixedFactor");
    m.attr("_Factor") = py::module_::import("alvora.leaf").attr("_Factor");
    auto utils = py::module_::import("alvora.utils");
    for (const char* name : {"get_leaves", "use_dma", "is_cross_sectional", "get_fixed_order_book_ids"})
        m.attr(name) = utils.attr(name);
    auto ctx = py::module_::import("alvora.engine_v2.exec_context");
    for (const char* name : {"PRICING_FACTORS", "ThreadingExecContext", "get_universe_mask"})
        m.attr(name) = ctx.attr(name);
}
