// The public operators, bound from the operator table: each builds a node over
// a kernel, both looked up on the module when the operator is called.
#include <string>

#include "rolling/operator_table.hpp"
#include "rolling/rolling_module.hpp"

namespace alvora::rolling_module {

namespace {

constexpr const char* kFactorEntry = "    因子\n";
constexpr const char* kWindowEntry = "window : int\n    窗口大小\n";

std::string docstring(const RollingOperator& op) {
    std::string d = std::string(op.doc) + "\n\nParameters\n----------\n";
    const char* returns = "alvora.rolling.RollingWindowFactor";
    switch (op.shape) {
        case Shape::Single:
        case Shape::SingleN:
            d += std::string("factor : alvora.interface.AbstractFactor\n") + kFactorEntry;
            break;
        case Shape::Every:
            d += std::string("factor : alvora.interface.AbstractFactor\n") + kFactorEntry;
            returns = "alvora.interface.BinaryCombinedFactor";
            break;
        case Shape::Pair:
            d += std::string("a : alvora.interface.AbstractFactor\n") + kFactorEntry +
                 "b : alvora.interface.AbstractFactor\n" + kFactorEntry;
            returns = "alvora.rolling.CombinedRollingWindowFactor";
            break;
        case Shape::Regression:
            d += std::string("Y : alvora.interface.AbstractFactor\n    被解释变量\n") +
                 "X : alvora.interface.AbstractFactor\n    解释变量\n";
            returns = "alvora.rolling.CombinedRollingWindowFactor";
            break;
    }
    d += kWindowEntry;
    d += std::string("\nReturns\n-------\n") + returns + "\n";
    if (op.see_also != nullptr) d += std::string("\nSee also\n--------\n") + op.see_also + "\n";
    return d;
}

py::object rolling_node(const char* kernel, py::handle factor, py::handle window) {
    return G["RollingWindowFactor"](G[kernel], window, factor);
}

py::object combined_node(const char* kernel, py::handle window, py::handle first,
                         py::handle second) {
    return G["CombinedRollingWindowFactor"](G[kernel], window, first, second);
}

void define(py::module_& m, const RollingOperator& op) {
    const std::string doc = docstring(op);
    const char* k = op.kernel;
    switch (op.shape) {
        case Shape::Single:
            m.def(
                op.name,
                [k](py::handle factor, py::handle window) {
                    return rolling_node(k, factor, window);
                },
                py::arg("factor"), py::arg("window"), doc.c_str());
            break;
        case Shape::SingleN:
            m.def(
                op.name,
                [k](py::handle factor, py::handle n) { return rolling_node(k, factor, n); },
                py::arg("factor"), py::arg("n"), doc.c_str());
            break;
        case Shape::Pair:
            m.def(
                op.name,
                [k](py::handle a, py::handle b, py::handle window) {
                    return combined_node(k, window, a, b);
                },
                py::arg("a"), py::arg("b"), py::arg("window"), doc.c_str());
            break;
        case Shape::Regression:
            // The regressor X goes first, so the kernel sees x = X and y = Y.
            m.def(
                op.name,
                [k](py::handle Y, py::handle X, py::handle window) {
                    return combined_node(k, window, X, Y);
                },
                py::arg("Y"), py::arg("X"), py::arg("window"), doc.c_str());
            break;
        case Shape::Every:
            // Windows whose count of true values is the window itself.
            m.def(
                op.name,
                [](py::handle factor, py::handle window) {
                    py::object counted = G["COUNT"](factor, window);
                    return G["BinaryCombinedFactor"](G["np"].attr("equal"), counted, window);
                },
                py::arg("factor"), py::arg("window"), doc.c_str());
            break;
    }
}

}  // namespace

void register_operators(py::module_& m) {
    py::list all;
    for (const RollingOperator& op : kRollingOperators) {
        if (op.alias_of == nullptr) define(m, op);
        all.append(op.name);
    }
    for (const RollingOperator& op : kRollingOperators) {
        if (op.alias_of != nullptr) m.attr(op.name) = m.attr(op.alias_of);
    }
    m.attr("__all__") = all;
}

}  // namespace alvora::rolling_module
