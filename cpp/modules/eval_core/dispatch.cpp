// Evaluation of factor nodes: whole nodes instrument by instrument, single
// expressions for one instrument, cross-sectional and fixed-instrument nodes.
#include <string>
#include <vector>

#include "eval_core/fast_calls.hpp"
#include "eval_core/names.hpp"
#include "eval_core/native_tree.hpp"
#include "eval_core/recursion_guard.hpp"
#include "eval_core/result_grid.hpp"

namespace alvora::eval_core {

namespace {

// Stores the values of the cross-sectional and fixed nodes among the node's
// dependencies in the context, each distinct node once.
void exec_dependencies(const Names& names, py::handle factor, py::handle order_book_ids,
                       py::handle ctx) {
    py::object deps = factor.attr("dependencies");
    auto distinct = py::reinterpret_steal<py::object>(PySet_New(deps.ptr()));
    if (!distinct) throw py::error_already_set();
    for (py::handle f : distinct) {
        if (isinstance_of(f, names.cross_sectional)) {
            ctx.attr("update")(f, call_exec_cross_sectional(f, order_book_ids, ctx));
        } else if (isinstance_of(f, names.fixed)) {
            ctx.attr("update")(f, call_exec_fixed(f, order_book_ids, ctx));
        }
    }
}

}  // namespace

py::object exec_factor(py::handle factor, py::handle order_book_ids, py::handle ctx) {
    RecursionGuard guard;
    const Names names = Names::resolve();
    if (isinstance_of(factor, names.cross_sectional))
        return call_exec_cross_sectional(factor, order_book_ids, ctx);
    exec_dependencies(names, factor, order_book_ids, ctx);

    py::object np = globals["np"];
    py::object ndays = ctx.attr("ndays");
    const py::ssize_t ncols = py::len(order_book_ids);
    const auto nrows = py::int_(ndays).cast<py::ssize_t>();
    // The grid is this call's own fresh array: the frame wraps it (pandas 3 would
    // otherwise copy the whole panel).
    auto frame = [&](py::handle data) {
        return globals["pd"].attr("DataFrame")(py::arg("index") = ctx.attr("index"),
                                               py::arg("columns") = order_book_ids,
                                               py::arg("data") = data, py::arg("copy") = false);
    };

    // Trees of the package's own pieces run as one native program; for those
    // nodes reading expr and shift before the allocation changes nothing.
    py::object expr, shift;
    if (nrows >= 0 && native_candidate(names, factor, ctx)) {
        expr = factor.attr("expr");
        shift = factor.attr("shift");
        py::object filled =
            run_native(names, expr, shift, order_book_ids, ctx, static_cast<std::size_t>(nrows));
        if (!filled.is_none()) return frame(filled);
    }

    py::object result =
        np.attr("full")(py::make_tuple(ndays, ncols), np.attr("nan"), py::arg("order") = "F");
    ResultGrid grid(result, nrows, ncols);
    // With a replaced numpy, or a result array we cannot write natively, every
    // step goes through the module's numpy and the array's own indexing.
    const bool native = np.is(originals.numpy) && grid.native();

    if (!expr) {
        expr = factor.attr("expr");
        shift = factor.attr("shift");
    }
    py::ssize_t i = 0;
    for (py::handle order_book_id : order_book_ids) {
        py::object mask = call_method(ctx, hot_names.get_mask_for, order_book_id);
        ValidRows rows(mask, order_book_id, nrows);
        py::object valid_count =
            native ? py::object(py::int_(rows.count())) : py::object(mask.attr("sum")());
        if (compare(valid_count, shift, Py_LE)) {
            ++i;
            continue;  // too few valid rows to fill the windows: the column stays NaN
        }
        py::object s = call_exec_expr(names, expr, order_book_id, ctx);
        const bool is_number = names.is_real(s);
        if (native) {
            if (!grid.try_write(i, rows, s, is_number))
                grid.assign(i, rows.positions(), s, is_number);
        } else {
            py::object indexes =
                py::reinterpret_borrow<py::object>(originals.unpack_one)(np.attr("nonzero")(mask));
            grid.assign(i, indexes, s, is_number);
        }
        ++i;
    }
    return frame(grid.array());
}

py::object exec_expr(const Names& names, py::handle expr, py::handle order_book_id,
                     py::handle ctx) {
    if (names.is_real(expr)) return py::reinterpret_borrow<py::object>(expr);
    if (isinstance_of(expr, names.terminal))
        return call_method(ctx, hot_names.get_factor_value, expr, order_book_id);
    if (!PyTuple_Check(expr.ptr())) return py::reinterpret_borrow<py::object>(expr);

    py::object func, args;
    if (PyTuple_CheckExact(expr.ptr()) && PyTuple_GET_SIZE(expr.ptr()) == 2) {
        func = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(expr.ptr(), 0));
        args = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(expr.ptr(), 1));
    } else {
        // Other lengths raise the interpreter's own unpacking error.
        py::tuple pair = py::reinterpret_borrow<py::object>(originals.unpack_pair)(expr);
        func = pair[0];
        args = pair[1];
    }

    RecursionGuard guard;
    std::vector<py::object> values;
    for (py::handle arg : args) values.push_back(call_exec_expr(names, arg, order_book_id, ctx));
    return call_with(func, values);
}

py::object exec_cross_sectional(py::handle factor, py::handle order_book_ids, py::handle ctx) {
    py::list args;
    for (py::handle f : factor.attr("sub_factors"))
        args.append(call_exec_factor(f, order_book_ids, ctx));
    py::object universe_mask = ctx.attr("universe_mask");
    if (!universe_mask.is_none()) {
        // Values outside the universe must not take part in the cross-section.
        for (py::ssize_t k = 0; k < static_cast<py::ssize_t>(args.size()); ++k)
            args[k] = args[k].attr("where")(universe_mask);
    }
    return factor.attr("execute")(*args);
}

py::object exec_fixed(py::handle factor, py::handle order_book_ids, py::handle ctx) {
    py::object inner = factor.attr("factor");
    if (truthy(globals["is_cross_sectional"](inner))) {
        py::object frame = call_exec_cross_sectional(inner, order_book_ids, ctx);
        return frame[factor.attr("order_book_id")];
    }
    return call_exec_expr(Names::resolve(), inner.attr("expr"), factor.attr("order_book_id"), ctx);
}

}  // namespace alvora::eval_core
