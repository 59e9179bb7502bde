// The rolling operators, declared once. alvora.rolling binds its operators from
// this table (in this order, which is its __all__), and the private module
// alvora._operator_table serves the same rows to the operator registry, from
// which the catalogue, the parser's names and the documented list are built.
#pragma once

#include <span>
#include <string_view>

namespace alvora::rolling_module {

// The arguments an operator takes, in order.
enum class Shape {
    Single,      // (factor, window)
    SingleN,     // (factor, n)
    Pair,        // (a, b, window)
    Regression,  // (Y, X, window)
    Every,       // (factor, window), built from COUNT
};

struct Param {
    const char* name;
    bool is_factor;  // a factor node, or else a window length
};

constexpr Param kSingle[] = {{"factor", true}, {"window", false}};
constexpr Param kSingleN[] = {{"factor", true}, {"n", false}};
constexpr Param kPair[] = {{"a", true}, {"b", true}, {"window", false}};
constexpr Param kRegression[] = {{"Y", true}, {"X", true}, {"window", false}};

constexpr std::span<const Param> params_of(Shape shape) {
    switch (shape) {
        case Shape::SingleN:
            return kSingleN;
        case Shape::Pair:
            return kPair;
        case Shape::Regression:
            return kRegression;
        default:
            return kSingle;
    }
}

struct RollingOperator {
    const char* name;
    const char* kernel;    // the module's kernel, or nullptr (an alias; EVERY)
    const char* alias_of;  // the operator this name is bound to, or nullptr
    Shape shape;           // of an alias: its operator's
    const char* doc;       // the docstring's summary line
    const char* meaning;   // the catalogue's one line
    const char* example;   // an example expression, or nullptr
    const char* see_also;  // or nullptr
};

constexpr RollingOperator kRollingOperators[] = {
    {"COUNT", "count", nullptr, Shape::Single, "滑动真值计数",
     "number of true values in the window", nullptr, nullptr},
    {"TS_RANK", "ts_rank", nullptr, Shape::Single, "滑动排序（在时间序列上）",
     "rank of the newest value in its window", nullptr, nullptr},
    {"EVERY", nullptr, nullptr, Shape::Every, "滑动计数全部为真",
     "true when every value of the window is true", nullptr, nullptr},
    {"PRODUCT", "product", nullptr, Shape::Single, "滑动乘积", "rolling product", nullptr, nullptr},
    {"COV", nullptr, "COVARIANCE", Shape::Pair, nullptr, "alias of COVARIANCE", nullptr, nullptr},
    {"COVARIANCE", "covariance", nullptr, Shape::Pair, "滑动协方差", "rolling covariance", nullptr,
     nullptr},
    {"TS_REGRESSION", "regression", nullptr, Shape::Regression, "滑动拟合回归",
     "rolling regression slope of Y on X", nullptr, nullptr},
    {"TS_ZSCORE", "zscore", nullptr, Shape::Single, "滑动z分数",
     "rolling z-score of the newest value", nullptr, nullptr},
    {"TS_SKEW", "skew", nullptr, Shape::Single, "滑动偏度", "rolling skewness", nullptr, nullptr},
    {"TS_KURT", "kurt", nullptr, Shape::Single, "滑动峰度", "rolling kurtosis", nullptr, nullptr},
    {"AVEDEV", "avedev", nullptr, Shape::Single, "滑动平均绝对离差",
     "rolling mean absolute deviation", nullptr, nullptr},
    {"TS_ARGMAX", "ts_argmax", nullptr, Shape::SingleN, "滑动最大值索引",
     "position of the maximum in the window", nullptr, "TS_ARGMIN: vice versa"},
    {"TS_ARGMIN", "ts_argmin", nullptr, Shape::SingleN, "滑动最小值索引",
     "position of the minimum in the window", nullptr, "TS_ARGMAX: vice versa"},
    {"CORR", nullptr, "CORRELATION", Shape::Pair, nullptr, "alias of CORRELATION", nullptr,
     nullptr},
    {"CORRELATION", "correlation", nullptr, Shape::Pair, "滑动皮尔逊相关系数",
     "rolling Pearson correlation", "CORRELATION(close, volume, 10)", nullptr},
    {"MA", "ma", nullptr, Shape::Single, "简单移动平均", "simple moving average", "MA(close, 20)",
     nullptr},
    {"EMA", "ema", nullptr, Shape::Single, "指数移动平均 (平滑系数=2)",
     "exponential moving average (smoothing 2 / (window + 1))", nullptr, nullptr},
    {"WMA", "wma", nullptr, Shape::Single, "加权移动平均",
     "linearly weighted moving average, newest weighted most", nullptr, nullptr},
    {"SMA", nullptr, "MA", Shape::Single, nullptr, "alias of MA", nullptr, nullptr},
    {"STD", "std", nullptr, Shape::Single, "移动标准差", "rolling standard deviation", nullptr,
     nullptr},
    {"STDDEV", nullptr, "STD", Shape::Single, nullptr, "alias of STD", nullptr, nullptr},
    {"VAR", "var", nullptr, Shape::Single, "移动方差", "rolling variance", nullptr, nullptr},
    {"DECAY_LINEAR", nullptr, "WMA", Shape::Single, nullptr, "alias of WMA (linear decay weights)",
     "DECAY_LINEAR(close, 10)", nullptr},
    {"SLOPE", "slope", nullptr, Shape::Single, "滑动线性拟合斜率",
     "slope of a linear fit against time", nullptr, nullptr},
    {"SUM", "sum", nullptr, Shape::Single, "滑动求和", "rolling sum", nullptr, nullptr},
    {"TS_MIN", "ts_min", nullptr, Shape::Single, "滑动最小值", "rolling minimum", nullptr, nullptr},
    {"TS_MAX", "ts_max", nullptr, Shape::Single, "滑动最大值", "rolling maximum", nullptr, nullptr},
    {"HHV", nullptr, "TS_MAX", Shape::Single, nullptr, "alias of TS_MAX", nullptr, nullptr},
    {"LLV", nullptr, "TS_MIN", Shape::Single, nullptr, "alias of TS_MIN", nullptr, nullptr},
};

// The row of `name`, or nullptr.
constexpr const RollingOperator* find_rolling_operator(std::string_view name) {
    for (const RollingOperator& op : kRollingOperators)
        if (name == op.name) return &op;
    return nullptr;
}

// Every alias names an operator that is not itself an alias, of the same shape.
constexpr bool aliases_resolve() {
    for (const RollingOperator& op : kRollingOperators) {
        if (op.alias_of == nullptr) continue;
        const RollingOperator* target = find_rolling_operator(op.alias_of);
        if (target == nullptr || target->alias_of != nullptr || target->shape != op.shape)
            return false;
    }
    return true;
}
static_assert(aliases_resolve(), "a rolling alias names no operator of its shape");

}  // namespace alvora::rolling_module
