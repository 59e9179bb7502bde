// alvora.engine_v2.eval_core: execution of factor expression trees.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include "common/grid_file_functions.hpp"
#include "common/grid_pool.hpp"
#include "common/recycled_files.hpp"
#include "eval_core/fast_calls.hpp"
#include "eval_core/names.hpp"
#include "eval_core/native_tree.hpp"

namespace py = pybind11;
namespace ec = alvora::eval_core;

namespace {

// Docstrings start with the call signature followed by "--", which gives the
// functions an inspectable signature (parameter names and defaults).
constexpr const char* kExecuteFactorDoc =
    "execute_factor(factor, order_book_ids, start_date, end_date, universe=None, "
    "exec_context_class=None)\n--\n\n"
    "计算因子在给定股票和日期区间上的取值。\n\n"
    "按因子的回看期（shift，需要时加 126 个交易日的预热）向前多取数据，"
    "将结束日期限制在有成交量数据的最新交易日，创建执行上下文，逐只股票计算表达式树，"
    "最后按股票池掩码过滤并截取 start_date 到 end_date（含两端）的行。"
    "按名称存储的因子直接从行情客户端读取。\n\n"
    ":param factor: 因子表达式树\n"
    ":param order_book_ids: 股票代码列表（list）\n"
    ":param start_date: 开始日期\n"
    ":param end_date: 结束日期\n"
    ":param universe: 股票池，None 表示不限制\n"
    ":param exec_context_class: 执行上下文类，None 表示 ThreadingExecContext\n"
    ":return: pandas.DataFrame，行为交易日，列为股票代码\n";

constexpr const char* kEnsureEndDateDoc =
    "ensure_end_date(end_date)\n--\n\n"
    "返回可用的结束日期。\n\n"
    "end_date 早于最新交易日时原样返回；否则返回最新交易日（pandas.Timestamp），"
    "若该日成交量数据尚不可用则返回前一交易日，并给出警告。\n\n"
    ":param end_date: 结束日期\n"
    ":return: 实际使用的结束日期\n";

constexpr const char* kExecFactorDoc =
    "_exec_factor(factor, order_book_ids, exec_context)\n--\n\n"
    "在执行上下文的交易日网格上计算一个因子节点，返回日期 × 股票的 DataFrame。";

constexpr const char* kExecExprDoc =
    "_exec_expr(expr, order_book_id, exec_context)\n--\n\n"
    "对单只股票计算一个表达式：数值原样返回，叶子/截面/固定节点取上下文中的值，"
    "(kernel, args) 元组先计算参数再调用 kernel。";

constexpr const char* kExecCrossSectionalDoc =
    "_exec_cross_sectional(factor, order_book_ids, exec_context)\n--\n\n"
    "计算截面因子：子因子逐个计算为整张表，按股票池掩码过滤后传给 factor.execute。";

constexpr const char* kExecFixedDoc =
    "_exec_fixed(factor, order_book_ids, exec_context)\n--\n\n"
    "计算固定股票因子：返回内部因子在固定股票上的取值。";

constexpr const char* kExecNativeManyDoc =
    "_exec_native_many(factors, order_book_ids, exec_context)\n--\n\n"
    "用一个原生程序在执行上下文上同时计算多个因子（相同子表达式只算一次）："
    "每个因子返回日期 × 股票的 float64 数组，不能原生计算的因子返回 None。"
    "因子依赖的截面、固定节点须已存入上下文。";

// Unpacking done by the interpreter itself, so malformed expression tuples and
// nonzero() results fail with its own messages on every Python version.
constexpr const char* kUnpackSource =
    "def unpack_pair(e):\n"
    "    a, b = e\n"
    "    return a, b\n"
    "def unpack_one(e):\n"
    "    (a,) = e\n"
    "    return a\n";

void bind_outside_names(py::module_& m) {
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
    for (const char* name :
         {"get_leaves", "use_dma", "is_cross_sectional", "get_fixed_order_book_ids"})
        m.attr(name) = utils.attr(name);
    auto ctx = py::module_::import("alvora.engine_v2.exec_context");
    for (const char* name : {"PRICING_FACTORS", "ThreadingExecContext", "get_universe_mask"})
        m.attr(name) = ctx.attr(name);
}

// Kept for the life of the process (the module is never unloaded).
py::handle keep(py::object obj) {
    return obj.release();
}

}  // namespace

PYBIND11_MODULE(eval_core, m) {
    m.doc() = "因子表达式树的执行引擎";
    bind_outside_names(m);
    ec::globals.bind(m);
    ec::intern_hot_names();
    // a library of factors frees its intermediate grids a batch at a time
    alvora::grid_pool::keep_up_to(std::size_t{2} << 30, 32);

    py::options options;
    options.disable_function_signatures();
    m.def("execute_factor", &ec::execute_factor, kExecuteFactorDoc, py::arg("factor"),
          py::arg("order_book_ids"), py::arg("start_date"), py::arg("end_date"),
          py::arg("universe") = py::none(), py::arg("exec_context_class") = py::none());
    m.def("ensure_end_date", &ec::ensure_end_date, kEnsureEndDateDoc, py::arg("end_date"));
    m.def(
        "_exec_factor",
        [](py::object factor, py::object order_book_ids, py::object exec_context) {
            return ec::exec_factor(factor, order_book_ids, exec_context);
        },
        kExecFactorDoc, py::arg("factor"), py::arg("order_book_ids"), py::arg("exec_context"));
    m.def(
        "_exec_expr",
        [](py::object expr, py::object order_book_id, py::object exec_context) {
            return ec::exec_expr(ec::Names::resolve(), expr, order_book_id, exec_context);
        },
        kExecExprDoc, py::arg("expr"), py::arg("order_book_id"), py::arg("exec_context"));
    m.def(
        "_exec_cross_sectional",
        [](py::object factor, py::object order_book_ids, py::object exec_context) {
            return ec::exec_cross_sectional(factor, order_book_ids, exec_context);
        },
        kExecCrossSectionalDoc, py::arg("factor"), py::arg("order_book_ids"),
        py::arg("exec_context"));
    m.def(
        "_exec_fixed",
        [](py::object factor, py::object order_book_ids, py::object exec_context) {
            return ec::exec_fixed(factor, order_book_ids, exec_context);
        },
        kExecFixedDoc, py::arg("factor"), py::arg("order_book_ids"), py::arg("exec_context"));
    m.def(
        "_exec_native_many",
        [](py::object factors, py::object order_book_ids, py::object exec_context) {
            const auto rows = py::int_(exec_context.attr("ndays")).cast<py::ssize_t>();
            if (rows < 0) throw py::value_error("the execution context has a negative ndays");
            return ec::run_native_many(factors, order_book_ids, exec_context,
                                       static_cast<std::size_t>(rows));
        },
        kExecNativeManyDoc, py::arg("factors"), py::arg("order_book_ids"), py::arg("exec_context"));
    alvora::grid_files::add_grid_file_functions(m);
    m.def("_map_lent_file", &alvora::recycled_files::map_lent,
          "_map_lent_file(path, offset, rows, cols, step, recycle, budget)\n--\n\n"
          "The rows x cols frame values in the result file at path, mapped copy-on-write; "
          "once they are freed the file goes to the free files of recycle while those stay "
          "within budget bytes, else it is removed.",
          py::arg("path"), py::arg("offset"), py::arg("rows"), py::arg("cols"), py::arg("step"),
          py::arg("recycle"), py::arg("budget"));

    py::dict helpers;
    helpers["__builtins__"] = py::module_::import("builtins");
    py::exec(kUnpackSource, helpers);
    ec::originals.numpy = keep(m.attr("np"));
    ec::originals.numbers_real = keep(m.attr("numbers").attr("Real"));
    ec::originals.exec_factor = keep(m.attr("_exec_factor"));
    ec::originals.exec_expr = keep(m.attr("_exec_expr"));
    ec::originals.exec_cross_sectional = keep(m.attr("_exec_cross_sectional"));
    ec::originals.exec_fixed = keep(m.attr("_exec_fixed"));
    ec::originals.unpack_pair = keep(helpers["unpack_pair"]);
    ec::originals.unpack_one = keep(helpers["unpack_one"]);
    ec::init_native_originals(m);
}
