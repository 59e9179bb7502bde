// The public operators: each builds a node over a kernel, both looked up on
// the module when the operator is called.
#include <string>

#include "rolling/rolling_module.hpp"

namespace alvora::rolling_module {

namespace {

enum class Shape { Single, SingleN, Pair, Regression };

struct Operator {
    const char* name;
    const char* kernel;
    const char* summary;
    Shape shape;
    const char* see_also;  // or nullptr
};

constexpr Operator kOperators[] = {
    {"COUNT", "count", "滑动真值计数", Shape::Single, nullptr},
    {"TS_RANK", "ts_rank", "滑动排序（在时间序列上）", Shape::Single, nullptr},
    {"PRODUCT", "product", "滑动乘积", Shape::Single, nullptr},
    {"COVARIANCE", "covariance", "滑动协方差", Shape::Pair, nullptr},
    {"TS_REGRESSION", "regression", "滑动拟合回归", Shape::Regression, nullptr},
    {"TS_ZSCORE", "zscore", "滑动z分数", Shape::Single, nullptr},
    {"TS_SKEW", "skew", "滑动偏度", Shape::Single, nullptr},
    {"TS_KURT", "kurt", "滑动峰度", Shape::Single, nullptr},
    {"AVEDEV", "avedev", "滑动平均绝对离差", Shape::Single, nullptr},
    {"TS_ARGMAX", "ts_argmax", "滑动最大值索引", Shape::SingleN, "TS_ARGMIN: vice versa"},
    {"TS_ARGMIN", "ts_argmin", "滑动最小值索引", Shape::SingleN, "TS_ARGMAX: vice versa"},
    {"CORRELATION", "correlation", "滑动皮尔逊相关系数", Shape::Pair, nullptr},
    {"MA", "ma", "简单移动平均", Shape::Single, nullptr},
    {"EMA", "ema", "指数移动平均 (平滑系数=2)", Shape::Single, nullptr},
    {"WMA", "wma", "加权移动平均", Shape::Single, nullptr},
    {"STD", "std", "移动标准差", Shape::Single, nullptr},
    {"VAR", "var", "移动方差", Shape::Single, nullptr},
    {"SLOPE", "slope", "滑动线性拟合斜率", Shape::Single, nullptr},
    {"SUM", "sum", "滑动求和", Shape::Single, nullptr},
    {"TS_MIN", "ts_min", "滑动最小值", Shape::Single, nullptr},
    {"TS_MAX", "ts_max", "滑动最大值", Shape::Single, nullptr},
};

constexpr const char* kFactorEntry = "    因子\n";
constexpr const char* kWindowEntry = "window : int\n    窗口大小\n";

std::string docstring(const Operator& op) {
    std::string d = std::string(op.summary) + "\n\nParameters\n----------\n";
    const char* returns = "alvora.rolling.RollingWindowFactor";
    switch (op.shape) {
        case Shape::Single:
        case Shape::SingleN:
            d += std::string("factor : alvora.interface.AbstractFactor\n") + kFactorEntry;
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

void define(py::module_& m, const Operator& op) {
    const std::string doc = docstring(op);
    const char* k = op.kernel;
    switch (op.shape) {
        case Shape::Single:
            m.def(op.name, [k](py::handle factor, py::handle window) {
                return rolling_node(k, factor, window);
            }, py::arg("factor"), py::arg("window"), doc.c_str());
            break;
        case Shape::SingleN:
            m.def(op.name, [k](py::handle factor, py::handle n) {
                return rolling_node(k, factor, n);
            }, py::arg("factor"), py::arg("n"), doc.c_str());
            break;
        case Shape::Pair:
            m.def(op.name, [k](py::handle a, py::handle b, py::handle window) {
                return combined_node(k, window, a, b);
            }, py::arg("a"), py::arg("b"), py::arg("window"), doc.c_str());
            break;
        case Shape::Regression:
            // The regressor X goes first, so the kernel sees x = X and y = Y.
            m.def(op.name, [k](py::handle Y, py::handle X, py::handle window) {
                return combined_node(k, window, X, Y);
            }, py::arg("Y"), py::arg("X"), py::arg("window"), doc.c_str());
            break;
    }
}

constexpr const char* kEveryDoc = R"(滑动计数全部为真

Parameters
----------
factor : alvora.interface.AbstractFactor
    因子
window : int
    窗口大小

Returns
-------
alvora.interface.BinaryCombinedFactor
)";

}  // namespace

void register_operators(py::module_& m) {
    for (const Operator& op : kOperators) define(m, op);
    m.def("EVERY", [](py::handle factor, py::handle window) {
        py::object counted = G["COUNT"](factor, window);
        return G["BinaryCombinedFactor"](G["np"].attr("equal"), counted, window);
    }, py::arg("factor"), py::arg("window"), kEveryDoc);

    m.attr("COV") = m.attr("COVARIANCE");
    m.attr("CORR") = m.attr("CORRELATION");
    m.attr("SMA") = m.attr("MA");
    m.attr("DECAY_LINEAR") = m.attr("WMA");
    m.attr("STDDEV") = m.attr("STD");
    m.attr("HHV") = m.attr("TS_MAX");
    m.attr("LLV") = m.attr("TS_MIN");

    py::list all;
    for (const char* name :
         {"COUNT", "TS_RANK", "EVERY", "PRODUCT", "COV", "COVARIANCE", "TS_REGRESSION",
          "TS_ZSCORE", "TS_SKEW", "TS_KURT", "AVEDEV", "TS_ARGMAX", "TS_ARGMIN", "CORR",
          "CORRELATION", "MA", "EMA", "WMA", "SMA", "STD", "STDDEV", "VAR", "DECAY_LINEAR",
          "SLOPE", "SUM", "TS_MIN", "TS_MAX", "HHV", "LLV"})
        all.append(name);
    m.attr("__all__") = all;
}

}  // namespace alvora::rolling_module
