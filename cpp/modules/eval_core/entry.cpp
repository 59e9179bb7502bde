// execute_factor and ensure_end_date: look-back, end-date clamping, the
// execution context and the final masking and cut to the requested dates.
#include "eval_core/names.hpp"

namespace alvora::eval_core {

namespace {

// Warm-up rows added to the look-back of trees that need it.
constexpr long kDmaWarmUp = 126;

py::object steal_or_throw(PyObject* obj) {
    if (obj == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(obj);
}

// frame.loc[start:end], both ends included.
py::object label_slice(py::handle frame, py::handle start, py::handle end) {
    py::object rows = steal_or_throw(PySlice_New(start.ptr(), end.ptr(), nullptr));
    return frame.attr("loc")[rows];
}

void warn(py::handle message) { globals["warnings"].attr("warn")(message); }

// A factor the client stores whole: fetched by name, masked, returned as is.
py::object fetch_stored_factor(py::handle factor, py::handle order_book_ids,
                               py::handle start_date, py::handle end_date,
                               py::handle universe) {
    py::object name = factor.attr("name");
    py::object df = globals["tessal"].attr("get_factor")(order_book_ids, name, start_date,
                                                         end_date, py::arg("universe") = universe,
                                                         py::arg("expect_df") = true);
    df = df[name].attr("unstack")("order_book_id");
    py::object mask = globals["get_universe_mask"](order_book_ids, start_date, end_date, universe);
    if (mask.is_none()) return df;
    return df.attr("where")(mask);
}

bool is_stored_factor(py::handle factor) {
    if (!isinstance_of(factor, globals["_Factor"])) return false;
    return !globals["PRICING_FACTORS"].contains(factor);
}

}  // namespace

py::object execute_factor(py::object factor, py::object order_book_ids, py::object start_date,
                          py::object end_date, py::object universe,
                          py::object exec_context_class) {
    if (PyUnicode_Check(order_book_ids.ptr())) {
        // A bare id would otherwise fail deep inside with a concatenation error.
        throw py::type_error(py::str("order_book_ids must be a list of ids, got the string {!r}; "
                                     "pass [{!r}]")
                                 .format(order_book_ids, order_book_ids));
    }
    if (is_stored_factor(factor))
        return fetch_stored_factor(factor, order_book_ids, start_date, end_date, universe);

    py::object pd = globals["pd"];
    start_date = pd.attr("Timestamp")(start_date);
    end_date = pd.attr("Timestamp")(end_date);
    py::object leaves = globals["get_leaves"](factor);

    // Look-back: load enough trading dates before start_date to fill the windows.
    py::object leaf_start_date = start_date;
    py::object shift = factor.attr("shift");
    if (compare(shift, py::int_(0), Py_GT)) {
        py::object n = steal_or_throw(PyNumber_Negative(shift.ptr()));
        if (truthy(globals["use_dma"](factor)))
            n = steal_or_throw(PyNumber_Subtract(n.ptr(), py::int_(kDmaWarmUp).ptr()));
        leaf_start_date = globals["tessal"].attr("trading_date_offset")(start_date, n);
    }
    py::object requested_end = end_date;
    end_date = globals["ensure_end_date"](end_date);
    py::object clamped_end = globals["pd"].attr("Timestamp")(end_date);
    if (compare(start_date, clamped_end, Py_GT)) {
        // Otherwise the loaders report the look-back start against the clamped end.
        if (compare(start_date, requested_end, Py_LE))
            throw py::value_error(
                py::str("start_date {} is after the last trading date with "
                        "data ({}): nothing to evaluate")
                    .format(start_date.attr("date")(), clamped_end.attr("date")()));
        throw py::value_error(py::str("start_date {} is after end_date {}")
                                  .format(start_date.attr("date")(), requested_end.attr("date")()));
    }

    if (exec_context_class.is_none()) exec_context_class = globals["ThreadingExecContext"];
    py::object fixed_order_book_ids =
        globals["get_fixed_order_book_ids"](factor, order_book_ids);
    py::object context_ids =
        steal_or_throw(PyNumber_Add(order_book_ids.ptr(), fixed_order_book_ids.ptr()));
    py::object ctx = exec_context_class(leaves, context_ids, leaf_start_date, end_date,
                                        py::arg("universe") = universe);
    // Set before evaluation: cross-sectional nodes mask their inputs with it.
    py::object universe_mask =
        globals["get_universe_mask"](order_book_ids, leaf_start_date, end_date, universe);
    ctx.attr("universe_mask") = universe_mask;

    py::object df = call_exec_factor(factor, order_book_ids, ctx);
    if (universe_mask.is_none()) return label_slice(df, start_date, end_date);
    return label_slice(df.attr("where")(universe_mask), start_date, end_date);
}

py::object ensure_end_date(py::object end_date) {
    py::object tessal = globals["tessal"];
    py::object date = globals["pd"].attr("Timestamp")(tessal.attr("get_latest_trading_date")());
    if (!compare(end_date, date, Py_GE)) return end_date;

    py::object probe =
        tessal.attr("all_instruments")("CS", py::arg("date") = date)["order_book_id"][py::int_(0)];
    py::object volume = tessal.attr("get_price")(probe, date, date, py::arg("fields") = "volume");
    if (volume.is_none()) {
        py::object prev_date = globals["tessal"].attr("get_previous_trading_date")(date);
        warn(py::str("volumes at {} is not available currently! fallback to date: {}!")
                 .format(end_date, prev_date));
        return prev_date;
    }
    if (compare(end_date, date, Py_GT)) {
        warn(py::str("volumes after {} is not available currently! fallback to date: {}!")
                 .format(date, date));
    }
    return date;
}

}  // namespace alvora::eval_core
