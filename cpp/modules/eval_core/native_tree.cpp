#include "eval_core/native_tree.hpp"

#include <pybind11/numpy.h>
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "alvora/engine/program.hpp"
#include "common/grid_pool.hpp"

namespace alvora::eval_core {

namespace {

namespace en = alvora::engine;

// Nested expressions deeper than this (or than the interpreter's recursion limit)
// are left to the per-instrument path, which raises the interpreter's
// RecursionError for trees too deep to evaluate.
constexpr int kMaxDepth = 5000;
// Integer constants beyond this are not exactly representable as doubles.
constexpr double kMaxExactInt = 9007199254740992.0;  // 2^53

struct NativeOriginals {
    std::vector<std::pair<py::handle, en::Op>> ufuncs;  // numpy's elementwise functions
    std::vector<py::handle> unary_ufuncs;
    py::handle drop_oldest;
    py::handle left_fold;   // kernel class of long operator chains, where the package has one
    py::handle leaf_class;  // alvora.leaf._Factor
    py::handle leaf_base, cross_sectional, fixed;
    py::handle context_class, get_mask_for, get_factor_value;
    py::handle rolling_window;  // alvora.utils.rolling_window, which the kernels' module binds
    py::handle numpy_generic, numpy_floating, numpy_integer;
};
NativeOriginals nat;

py::handle keep(py::object obj) {
    return obj.release();
}

const std::pair<const char*, en::Op> kKernels[] = {
    {"sum", en::Op::Sum},
    {"product", en::Op::Product},
    {"ma", en::Op::Mean},
    {"ema", en::Op::Ema},
    {"wma", en::Op::Wma},
    {"slope", en::Op::Slope},
    {"var", en::Op::Var},
    {"std", en::Op::Std},
    {"zscore", en::Op::ZScore},
    {"skew", en::Op::Skew},
    {"kurt", en::Op::Kurt},
    {"avedev", en::Op::AveDev},
    {"ts_min", en::Op::Min},
    {"ts_max", en::Op::Max},
    {"ts_argmin", en::Op::ArgMin},
    {"ts_argmax", en::Op::ArgMax},
    {"ts_rank", en::Op::Rank},
    {"count", en::Op::Count},
    {"covariance", en::Op::Covariance},
    {"correlation", en::Op::Correlation},
    {"regression", en::Op::Regression},
};

bool is_pair(en::Op op) {
    return op == en::Op::Covariance || op == en::Op::Correlation || op == en::Op::Regression;
}

py::object dict_item(py::handle dict, py::handle key) {
    if (!PyDict_Check(dict.ptr())) return py::object();
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (v == nullptr) {
        PyErr_Clear();  // unhashable keys: the other path reports them
        return py::object();
    }
    return py::reinterpret_borrow<py::object>(v);
}

// A window or dropped count: a plain positive Python integer.
std::optional<std::size_t> plain_count(py::handle n, long long minimum) {
    if (!PyLong_CheckExact(n.ptr())) return std::nullopt;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow);
    if (overflow != 0 || v < minimum || v > (1LL << 40)) {
        PyErr_Clear();
        return std::nullopt;
    }
    return static_cast<std::size_t>(v);
}

// A kernel of the rolling module: one of its own fast-call functions, while the
// window helper its kernels consult is still the original.
std::optional<en::Op> kernel_op(py::handle func) {
    if (!PyCFunction_Check(func.ptr())) return std::nullopt;
    if (PyCFunction_GET_FLAGS(func.ptr()) != (METH_FASTCALL | METH_KEYWORDS)) return std::nullopt;
    PyObject* rolling = PyImport_GetModule(py::str("alvora.rolling").ptr());
    if (rolling == nullptr) {
        PyErr_Clear();
        return std::nullopt;
    }
    auto module = py::reinterpret_steal<py::object>(rolling);
    if (PyCFunction_GET_SELF(func.ptr()) != rolling) return std::nullopt;
    if (!py::getattr(module, "rolling_window", py::none()).is(nat.rolling_window))
        return std::nullopt;
    const char* name = reinterpret_cast<PyCFunctionObject*>(func.ptr())->m_ml->ml_name;
    for (const auto& [kernel, op] : kKernels)
        if (std::strcmp(name, kernel) == 0) return op;
    return std::nullopt;
}

// The operators module's kernels, taken from the module the first time a tree
// holds one of them (the engine does not import that module itself).
const std::pair<const char*, en::Op> kOperatorKernels[] = {
    {"delay", en::Op::Delay},
    {"delta", en::Op::Delta},
    {"returns", en::Op::Returns},
    {"absolute", en::Op::FloatAbs},
    {"sign", en::Op::Sign},
    {"log", en::Op::Log},
    {"signed_power", en::Op::SignedPower},
    {"if_else", en::Op::IfElse},
    {"minimum", en::Op::Minimum},
    {"maximum", en::Op::Maximum},
    {"divide", en::Op::FloatDivide},
};
std::vector<std::pair<py::handle, en::Op>>* operator_kernels = nullptr;

std::optional<en::Op> operator_op(py::handle func) {
    if (!PyFunction_Check(func.ptr())) return std::nullopt;
    if (operator_kernels == nullptr) {
        PyObject* found = PyImport_GetModule(py::str("alvora.operators.kernels").ptr());
        if (found == nullptr) {
            PyErr_Clear();
            return std::nullopt;
        }
        auto module = py::reinterpret_steal<py::object>(found);
        auto* table = new std::vector<std::pair<py::handle, en::Op>>();  // kept for the process
        for (const auto& [name, op] : kOperatorKernels) {
            py::object fn = py::getattr(module, name, py::none());
            if (PyFunction_Check(fn.ptr())) table->emplace_back(keep(fn), op);
        }
        operator_kernels = table;
    }
    for (const auto& [fn, op] : *operator_kernels)
        if (func.is(fn)) return op;
    return std::nullopt;
}

// Per-instrument facts of the execution context, read once per node.
struct ContextView {
    py::object fields, computed, computed_columns;
    std::vector<std::int64_t> leaf_column;  // column of each instrument in the loaded fields
    std::vector<py::object> ids;
    // Valid rows as row masks: a run reads a byte per row of them, where the
    // positions would cost eight.
    std::vector<en::RowMask> masks;
    std::vector<py::object> mask_arrays;  // held while the GIL is released
    std::size_t rows = 0;
};

std::optional<ContextView> view_context(py::handle ctx, py::handle order_book_ids,
                                        std::size_t rows) {
    if (!py::handle(reinterpret_cast<PyObject*>(Py_TYPE(ctx.ptr()))).is(nat.context_class))
        return std::nullopt;
    py::object cls = py::reinterpret_borrow<py::object>(nat.context_class);
    if (!py::object(cls.attr("get_mask_for")).is(nat.get_mask_for) ||
        !py::object(cls.attr("get_factor_value")).is(nat.get_factor_value))
        return std::nullopt;
    py::object state = py::getattr(ctx, "__dict__", py::none());
    if (dict_item(state, py::str("get_mask_for")) || dict_item(state, py::str("get_factor_value")))
        return std::nullopt;
    ContextView v;
    v.rows = rows;
    v.fields = dict_item(state, py::str("_fields"));
    v.computed = dict_item(state, py::str("_computed"));
    v.computed_columns = dict_item(state, py::str("_computed_columns"));
    py::object instruments = dict_item(state, py::str("_instruments"));
    if (!v.fields || !v.computed || !v.computed_columns || !instruments ||
        !PyDict_Check(v.fields.ptr()) || !PyDict_Check(v.computed.ptr()))
        return std::nullopt;
    for (py::handle oid : order_book_ids) {
        py::object entry = dict_item(instruments, oid);
        if (!entry || !PyTuple_CheckExact(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 3)
            return std::nullopt;
        py::handle column = PyTuple_GET_ITEM(entry.ptr(), 0);
        py::handle mask = PyTuple_GET_ITEM(entry.ptr(), 1);
        if (!py::isinstance<py::array_t<bool>>(mask)) return std::nullopt;
        auto arr = py::reinterpret_borrow<py::array>(mask);
        if (arr.ndim() != 1 || !(arr.flags() & py::array::c_style) ||
            static_cast<std::size_t>(arr.shape(0)) != rows)
            return std::nullopt;
        auto j = plain_count(column, 0);
        if (!j) return std::nullopt;
        v.leaf_column.push_back(static_cast<std::int64_t>(*j));
        v.masks.emplace_back(static_cast<const std::uint8_t*>(arr.data()), rows);
        v.ids.push_back(py::reinterpret_borrow<py::object>(oid));
        v.mask_arrays.push_back(arr);
    }
    return v;
}

// A float64 panel of the grid's rows, column-major (two dimensions) or a single series.
bool panel_of(py::handle values, std::size_t rows, en::Input& in) {
    if (!py::isinstance<py::array_t<double>>(values)) return false;
    auto arr = py::reinterpret_borrow<py::array>(values);
    if (arr.ndim() == 1 && (arr.flags() & py::array::c_style)) {
        in.cols = 1;
    } else if (arr.ndim() == 2 && (arr.flags() & py::array::f_style)) {
        in.cols = static_cast<std::size_t>(arr.shape(1));
    } else if (arr.ndim() == 2 && arr.strides(0) == sizeof(double) &&
               arr.strides(1) >= static_cast<py::ssize_t>(rows * sizeof(double)) &&
               arr.strides(1) % sizeof(double) == 0) {
        // the later rows of a column-major panel (a context's view from a date on)
        in.cols = static_cast<std::size_t>(arr.shape(1));
        in.stride = static_cast<std::size_t>(arr.strides(1)) / sizeof(double);
    } else {
        return false;
    }
    if (static_cast<std::size_t>(arr.shape(0)) != rows) return false;
    in.data = static_cast<const double*>(arr.data());
    in.rows = rows;
    return true;
}

bool package_node(py::handle factor);

using alvora::grid_pool::fresh_grid;

class Compiler {
  public:
    Compiler(const Names& names, const ContextView& ctx) : names_(names), ctx_(ctx) {}

    std::optional<en::Operand> compile(py::handle expr, int depth) {
        if (depth > kMaxDepth || depth > Py_GetRecursionLimit()) return std::nullopt;
        if (PyFloat_Check(expr.ptr()))
            return constant(PyFloat_AsDouble(expr.ptr()), en::Kind::Float);
        if (PyLong_Check(expr.ptr())) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(expr.ptr(), &overflow);
            if (overflow != 0 || std::abs(static_cast<double>(v)) > kMaxExactInt)
                return std::nullopt;
            return constant(static_cast<double>(v), en::Kind::Int);
        }
        if (isinstance_of(expr, nat.numpy_generic)) return numpy_scalar(expr);
        if (isinstance_of(expr, names_.terminal)) return terminal(expr);
        if (!PyTuple_CheckExact(expr.ptr()) || PyTuple_GET_SIZE(expr.ptr()) != 2)
            return std::nullopt;
        py::handle func = PyTuple_GET_ITEM(expr.ptr(), 0);
        py::handle args = PyTuple_GET_ITEM(expr.ptr(), 1);
        if (!PyTuple_CheckExact(args.ptr()) && !PyList_CheckExact(args.ptr())) return std::nullopt;
        py::sequence seq = py::reinterpret_borrow<py::sequence>(args);
        const std::size_t arity = seq.size();

        for (const auto& [ufunc, op] : nat.ufuncs) {
            if (!func.is(ufunc)) continue;
            const bool unary = op == en::Op::Negate || op == en::Op::Absolute || op == en::Op::Not;
            if (arity != (unary ? 1u : 2u)) return std::nullopt;
            auto a = compile(seq[0], depth + 1);
            if (!a) return std::nullopt;
            if (unary) return series(program.elementwise(op, *a));
            auto b = compile(seq[1], depth + 1);
            if (!b) return std::nullopt;
            return series(program.elementwise(op, *a, *b));
        }
        if (nat.left_fold &&
            py::handle(reinterpret_cast<PyObject*>(Py_TYPE(func.ptr()))).is(nat.left_fold))
            return left_fold(func, seq, depth);
        if (func.is(nat.drop_oldest)) {
            if (arity != 2) return std::nullopt;
            auto n = plain_count(seq[1], 0);
            auto a = compile(seq[0], depth + 1);
            if (!n || !a) return std::nullopt;
            if (a->is_constant()) return a;  // numbers pass through
            return series(program.drop_oldest(a->step, *n));
        }
        if (auto op = operator_op(func)) return operator_step(*op, seq, depth);
        auto op = kernel_op(func);
        if (!op) return std::nullopt;
        if (is_pair(*op)) {
            if (arity != 3) return std::nullopt;
            auto n = plain_count(seq[0], 1);
            auto a = compile(seq[1], depth + 1);
            auto b = a ? compile(seq[2], depth + 1) : std::nullopt;
            if (!n || !a || !b || a->is_constant() || b->is_constant()) return std::nullopt;
            return series(program.window(*op, *n, a->step, b->step));
        }
        if (arity != 2) return std::nullopt;
        auto n = plain_count(seq[1], 1);
        auto a = compile(seq[0], depth + 1);
        if (!n || !a || a->is_constant()) return std::nullopt;
        return series(program.window(*op, *n, a->step));
    }

    en::Program program;
    std::vector<en::Input> inputs;

  private:
    // A chain ((x0 op1 x1) op2 x2) ...: each operation on the running result and
    // the next value, as the nested form computes it.
    std::optional<en::Operand> left_fold(py::handle fold, const py::sequence& values, int depth) {
        py::object ops = py::getattr(fold, "ops", py::none());
        if (!PyTuple_CheckExact(ops.ptr())) return std::nullopt;
        const std::size_t n = PyTuple_GET_SIZE(ops.ptr());
        if (values.size() != n + 1) return std::nullopt;
        auto result = compile(values[0], depth + 1);
        for (std::size_t k = 0; result && k < n; ++k) {
            auto op = binary_ufunc(PyTuple_GET_ITEM(ops.ptr(), k));
            auto next = op ? compile(values[k + 1], depth + 1) : std::nullopt;
            if (!next) return std::nullopt;
            result = series(program.elementwise(*op, *result, *next));
        }
        return result;
    }

    // The operators module's kernels: they convert their inputs to float first.
    std::optional<en::Operand> operator_step(en::Op op, const py::sequence& args, int depth) {
        const std::size_t arity = args.size();
        std::vector<en::Operand> in;
        const std::size_t operands = op == en::Op::Delay || op == en::Op::Delta ? 1 : arity;
        for (std::size_t k = 0; k < operands; ++k) {
            auto operand = compile(args[k], depth + 1);
            if (!operand) return std::nullopt;
            in.push_back(*operand);
        }
        switch (op) {
            case en::Op::Delay:
            case en::Op::Delta: {
                auto n = arity == 2 ? plain_count(args[1], 0) : std::nullopt;
                if (!n || in[0].is_constant()) return std::nullopt;
                return series(program.lagged(op, in[0].step, *n));
            }
            case en::Op::Returns:
                if (arity != 1 || in[0].is_constant()) return std::nullopt;
                return series(program.lagged(op, in[0].step, 1));
            case en::Op::FloatAbs:
            case en::Op::Sign:
            case en::Op::Log:
                if (arity != 1 || in[0].is_constant()) return std::nullopt;
                return series(program.float_elementwise(op, in[0]));
            case en::Op::SignedPower:
                if (arity != 2 || in[0].is_constant() || !in[1].is_constant()) return std::nullopt;
                return series(program.float_elementwise(op, in[0], in[1]));
            case en::Op::IfElse:
                if (arity != 3) return std::nullopt;
                return series(program.if_else(in[0], in[1], in[2]));
            default:
                if (arity != 2) return std::nullopt;
                return series(program.float_elementwise(op, in[0], in[1]));
        }
    }

    static std::optional<en::Op> binary_ufunc(py::handle func) {
        for (const auto& [ufunc, op] : nat.ufuncs)
            if (func.is(ufunc) && op != en::Op::Negate && op != en::Op::Absolute &&
                op != en::Op::Not)
                return op;
        return std::nullopt;
    }

    static std::optional<en::Operand> constant(double v, en::Kind kind) {
        return en::Operand::of_constant(v, kind);
    }
    static std::optional<en::Operand> series(std::optional<int> step) {
        if (!step) return std::nullopt;
        return en::Operand::of_step(*step);
    }

    std::optional<en::Operand> numpy_scalar(py::handle x) {
        py::object dtype = x.attr("dtype");
        const auto itemsize = dtype.attr("itemsize").cast<std::size_t>();
        if (isinstance_of(x, nat.numpy_floating) && itemsize <= 8)
            return constant(py::float_(py::reinterpret_borrow<py::object>(x)).cast<double>(),
                            en::Kind::Float);
        if (isinstance_of(x, nat.numpy_integer)) {
            double v = py::float_(py::int_(py::reinterpret_borrow<py::object>(x))).cast<double>();
            if (std::abs(v) > kMaxExactInt) return std::nullopt;
            return constant(v, en::Kind::Int);
        }
        return std::nullopt;
    }

    // Values the execution context serves: what the engine stored for the node,
    // else the loaded leaf.
    std::optional<en::Operand> terminal(py::handle node) {
        for (const auto& [seen, step] : loaded_)
            if (node.is(seen)) return en::Operand::of_step(step);
        py::handle type(reinterpret_cast<PyObject*>(Py_TYPE(node.ptr())));
        // The package's own terminal classes (group operators derive from the
        // cross-sectional class); the context serves computed nodes without the
        // rows their windows consumed, leaves whole.
        const bool computed_node =
            isinstance_of(node, nat.cross_sectional) || isinstance_of(node, nat.fixed);
        if (!(type.is(nat.leaf_class) || (computed_node && package_node(node))))
            return std::nullopt;
        en::Input in;
        py::object stored = dict_item(ctx_.computed, node);
        if (stored) {
            if (!panel_of(stored, ctx_.rows, in)) return std::nullopt;  // numbers included
            if (in.cols == 1 && py::reinterpret_borrow<py::array>(stored).ndim() == 1) {
                in.column_of.assign(ctx_.ids.size(), 0);
            } else {
                py::object columns = dict_item(ctx_.computed_columns, node);
                if (!columns) return std::nullopt;
                for (const py::object& oid : ctx_.ids) {
                    py::object k = dict_item(columns, oid);
                    auto col = k ? plain_count(k, 0) : std::nullopt;
                    if (!col) return std::nullopt;
                    in.column_of.push_back(static_cast<std::int64_t>(*col));
                }
            }
        } else {
            if (computed_node) return std::nullopt;
            py::object field = dict_item(ctx_.fields, node);
            if (!field || !panel_of(field, ctx_.rows, in) ||
                py::reinterpret_borrow<py::array>(field).ndim() != 2)
                return std::nullopt;
            in.column_of = ctx_.leaf_column;
        }
        for (std::int64_t c : in.column_of)
            if (static_cast<std::size_t>(c) >= in.cols) return std::nullopt;
        // Computed nodes are served without the rows their own windows consumed.
        std::size_t consumed = 0;
        if (computed_node) {
            auto shift = plain_count(py::object(node.attr("shift")), 0);
            if (!shift) return std::nullopt;
            consumed = *shift;
        }
        keep_.push_back(stored ? stored : dict_item(ctx_.fields, node));
        inputs.push_back(std::move(in));
        auto step = program.load(inputs.size() - 1, consumed);
        loaded_.emplace_back(node, *step);
        return en::Operand::of_step(*step);
    }

    const Names& names_;
    const ContextView& ctx_;
    std::vector<std::pair<py::handle, int>> loaded_;
    std::vector<py::object> keep_;
};

// The module attributes the native path stands for still hold the originals.
bool names_are_original(const Names& names) {
    if (!names.real_is_original) return false;
    if (!globals["np"].is(originals.numpy)) return false;
    if (!globals["_exec_expr"].is(originals.exec_expr)) return false;
    return globals["LeafFactor"].is(nat.leaf_base) &&
           globals["CrossSectionalFactor"].is(nat.cross_sectional) &&
           globals["FixedFactor"].is(nat.fixed);
}

// The node's own class belongs to the package (user node classes keep the other path).
bool package_node(py::handle factor) {
    py::object module = py::getattr(py::type::handle_of(factor), "__module__", py::none());
    if (!PyUnicode_Check(module.ptr())) return false;
    std::string_view name = PyUnicode_AsUTF8(module.ptr());
    return name == "alvora" || name.rfind("alvora.", 0) == 0;
}

}  // namespace

void init_native_originals(py::module_& m) {
    py::module_ np = py::module_::import("numpy");
    const std::pair<const char*, en::Op> ufuncs[] = {
        {"add", en::Op::Add},
        {"subtract", en::Op::Subtract},
        {"multiply", en::Op::Multiply},
        {"true_divide", en::Op::Divide},
        {"power", en::Op::Power},
        {"less", en::Op::Less},
        {"less_equal", en::Op::LessEqual},
        {"greater", en::Op::Greater},
        {"greater_equal", en::Op::GreaterEqual},
        {"equal", en::Op::Equal},
        {"not_equal", en::Op::NotEqual},
        {"logical_and", en::Op::And},
        {"logical_or", en::Op::Or},
        {"negative", en::Op::Negate},
        {"absolute", en::Op::Absolute},
        {"logical_not", en::Op::Not},
    };
    for (const auto& [name, op] : ufuncs) nat.ufuncs.emplace_back(keep(np.attr(name)), op);
    nat.numpy_generic = keep(np.attr("generic"));
    nat.numpy_floating = keep(np.attr("floating"));
    nat.numpy_integer = keep(np.attr("integer"));
    py::module_ interface = py::module_::import("alvora.interface");
    nat.drop_oldest = keep(interface.attr("drop_oldest"));
    nat.left_fold = keep(py::getattr(interface, "_LeftFold", py::none()));
    if (nat.left_fold.is_none()) nat.left_fold = py::handle();
    nat.leaf_class = keep(m.attr("_Factor"));
    nat.leaf_base = keep(m.attr("LeafFactor"));
    nat.cross_sectional = keep(m.attr("CrossSectionalFactor"));
    nat.fixed = keep(m.attr("FixedFactor"));
    py::object cls = m.attr("ThreadingExecContext");
    nat.context_class = keep(cls);
    nat.get_mask_for = keep(cls.attr("get_mask_for"));
    nat.get_factor_value = keep(cls.attr("get_factor_value"));
    nat.rolling_window = keep(py::module_::import("alvora.utils").attr("rolling_window"));
}

bool native_candidate(const Names& names, py::handle factor, py::handle ctx) {
    return names_are_original(names) && package_node(factor) &&
           py::handle(reinterpret_cast<PyObject*>(Py_TYPE(ctx.ptr()))).is(nat.context_class);
}

py::object run_native(const Names& names, py::handle expr, py::handle shift,
                      py::handle order_book_ids, py::handle ctx, std::size_t rows) {
    auto skip = plain_count(shift, 0);
    if (!skip) return py::none();
    auto view = view_context(ctx, order_book_ids, rows);
    if (!view) return py::none();
    Compiler compiler(names, *view);
    auto result = compiler.compile(expr, 0);
    if (!result || result->is_constant()) return py::none();
    if (compiler.program.shift(result->step) > *skip) return py::none();
    const std::size_t cols = view->ids.size();
    py::array_t<double> grid = fresh_grid(rows, cols);
    std::span<double> cells(grid.mutable_data(), rows * cols);
    {
        py::gil_scoped_release nogil;
        const en::Target target{result->step, *skip, cells};
        compiler.program.run_many(std::span<const en::Target>(&target, 1), compiler.inputs,
                                  view->masks, rows, /*fill_rest=*/true);
    }
    return grid;
}

py::list run_native_many(py::handle factors, py::handle order_book_ids, py::handle ctx,
                         std::size_t rows) {
    const Names names = Names::resolve();
    py::list out;
    std::vector<py::object> items;
    for (py::handle f : factors) items.push_back(py::reinterpret_borrow<py::object>(f));
    for (std::size_t k = 0; k < items.size(); ++k) out.append(py::none());
    if (items.empty() || !names_are_original(names) ||
        !py::handle(reinterpret_cast<PyObject*>(Py_TYPE(ctx.ptr()))).is(nat.context_class))
        return out;
    auto view = view_context(ctx, order_book_ids, rows);
    if (!view) return out;
    // One program for all factors: identical steps are merged, so sub-trees the
    // factors share run once per instrument.
    Compiler compiler(names, *view);
    const std::size_t cols = view->ids.size();
    std::vector<en::Target> targets;
    for (std::size_t k = 0; k < items.size(); ++k) {
        if (!package_node(items[k])) continue;
        std::optional<std::size_t> skip;
        std::optional<en::Operand> result;
        try {  // errors are the per-instrument path's to report
            skip = plain_count(py::object(items[k].attr("shift")), 0);
            if (skip) result = compiler.compile(py::object(items[k].attr("expr")), 0);
        } catch (py::error_already_set&) {
            continue;
        }
        if (!skip) continue;
        if (!result || result->is_constant() || compiler.program.shift(result->step) > *skip)
            continue;
        py::array_t<double> grid = fresh_grid(rows, cols);
        targets.push_back(
            {result->step, *skip, std::span<double>(grid.mutable_data(), rows * cols)});
        out[k] = grid;
    }
    if (targets.empty()) return out;
    {
        py::gil_scoped_release nogil;
        compiler.program.run_many(targets, compiler.inputs, view->masks, rows,
                                  /*fill_rest=*/true);
    }
    return out;
}

}  // namespace alvora::eval_core
