// Input checks of FactorStudyBench.analysis and the date-frequency helpers.
#include <pybind11/pybind11.h>

#include "study_bench/registry.hpp"
#include "study_bench/study_errors.hpp"
#include "study_bench/study_inputs.hpp"

namespace alvora::study_bench {

namespace {

const char* const kValidateDoc = R"doc(检查输入表是否为 index 为 DatetimeIndex 的 DataFrame。

:param df: 待检查的对象
:param name: 出错信息中使用的名称
:raises ValueError: 不是 DataFrame，或 index 不是 DatetimeIndex

Example::

    _validate_data_frame(df=factor_data, name="factor_data")
)doc";

const char* const kFreqDoc = R"doc(判断时间索引的频率。

:param index: pandas DatetimeIndex
:return: "tick"（存在非零秒）、"1m"（存在非零分钟）或 "1d"（全部为零点）
:raises ValueError: 整点但不全是零点的索引

Example::

    _get_datetime_freq(pd.DatetimeIndex(["2020-01-02", "2020-01-03"]))  # "1d"
)doc";

const char* const kIsDateDoc = R"doc(时间索引是否为日频。

:param index: pandas DatetimeIndex
:return: ``_get_datetime_freq(index) == "1d"``

Example::

    _is_date_frequency_index(factor_data.index)
)doc";

const char* const kReturnFieldsDoc = R"doc(挑出以 "P_" 开头的列名（远期收益列）。

:param columns: 列名的可迭代对象
:return: 以 "P_" 开头的列名列表，顺序不变

Example::

    _get_return_fields(["P_1", "P_5", "factor"])  # ["P_1", "P_5"]
)doc";

py::object global(const char* name) {
    return module_globals()[name];
}

void validate_data_frame(py::object df, py::object name) {
    py::object pd = global("pd");
    if (!py::isinstance(df, pd.attr("DataFrame"))) {
        raise_py(PyExc_ValueError,
                 py::str("{}: expect pd.DataFrame, got {}").format(name, py::type::of(df)));
    }
    py::object index = df.attr("index");
    if (!py::isinstance(index, pd.attr("DatetimeIndex"))) {
        raise_py(PyExc_ValueError, py::str("{}: expect index type=pd.DatetimeIndex, got {}")
                                       .format(name, py::type::of(index)));
    }
}

// True when every element of the boolean array-like is true (vacuously for an empty one).
bool all_true(const py::object& values) {
    return py::bool_(global("np").attr("all")(values));
}

py::str get_datetime_freq(py::object index) {
    if (!all_true(index.attr("second").attr("__eq__")(0))) return py::str("tick");
    if (!all_true(index.attr("minute").attr("__eq__")(0))) return py::str("1m");
    // Time of day 00:00 exactly: hour and microsecond both zero.
    py::object midnight = index.attr("hour").attr("__eq__")(0).attr("__and__")(
        index.attr("microsecond").attr("__eq__")(0));
    if (all_true(midnight)) return py::str("1d");
    raise_py(PyExc_ValueError, py::str("Unknown datetime index: {}").format(index));
}

bool is_date_frequency_index(py::object index) {
    py::object freq = global("_get_datetime_freq")(index);
    return freq.equal(py::str("1d"));
}

py::list get_return_fields(py::object columns) {
    py::list fields;
    for (py::handle column : columns) {
        if (py::isinstance<py::str>(column) &&
            py::reinterpret_borrow<py::str>(column).attr("startswith")("P_").cast<bool>())
            fields.append(column);
    }
    return fields;
}

// Dates must be naive and strictly ascending: every step pairs rows by
// position (forward returns, holding schedules, the fetch range of "daily"),
// so shuffled, repeated or zone-stamped dates would silently change results.
void check_date_order(const py::object& df, const char* name) {
    py::object index = df.attr("index");
    py::object tz = index.attr("tz");
    if (!tz.is_none()) {
        raise_py(PyExc_ValueError,
                 py::str("{}: the date index is timezone-aware ({}); pass naive local dates, "
                         "e.g. {}.index = {}.index.tz_localize(None)")
                     .format(name, tz, name, name));
    }
    if (py::bool_(index.attr("is_monotonic_increasing")) && py::bool_(index.attr("is_unique")))
        return;
    py::object np = global("np");
    py::object stamps = np.attr("asarray")(index.attr("asi8"));
    py::object not_after = np.attr("diff")(stamps).attr("__le__")(0);
    const auto k = py::int_(np.attr("argmax")(not_after)).cast<py::ssize_t>() + 1;
    raise_py(PyExc_ValueError,
             py::str("{}: dates must be ascending without repeats, but row {} ({}) does not come "
                     "after row {} ({}); sort the table first, e.g. {}.sort_index()")
                 .format(name, k, index[py::int_(k)], k - 1, index[py::int_(k - 1)], name));
}

bool assertions_enabled() {
    return py::module_::import("sys").attr("flags").attr("optimize").cast<int>() == 0;
}

}  // namespace

PreparedInputs prepare_inputs(py::object factor_data, py::object returns, py::object periods) {
    const bool periods_is_sequence =
        py::isinstance<py::tuple>(periods) || py::isinstance<py::list>(periods);
    if (assertions_enabled() && !periods_is_sequence && !py::isinstance<py::int_>(periods)) {
        raise_py(
            PyExc_AssertionError,
            py::str("periods must be tuple/list/int, but got {}").format(py::type::of(periods)));
    }
    global("_validate_data_frame")(py::arg("df") = factor_data, py::arg("name") = "factor_data");
    check_date_order(factor_data, "factor_data");

    if (py::isinstance<py::str>(returns)) {
        if (!returns.equal(py::str("daily"))) {
            raise_py(PyExc_ValueError,
                     py::str("returns: expect pd.DataFrame or \"daily\", got {}").format(returns));
        }
        py::object builtins = py::module_::import("builtins");
        py::object longest = periods_is_sequence ? builtins.attr("max")(periods) : periods;
        py::object tessal = global("tessal");
        py::object index = factor_data.attr("index");
        if (py::len(index) == 0) {
            raise_py(PyExc_ValueError,
                     py::str("factor_data: empty table, cannot fetch daily returns"));
        }
        py::object end_date = tessal.attr("get_next_trading_date")(index[py::int_(-1)], longest);
        returns = tessal.attr("get_price_change_rate")(
            py::arg("order_book_ids") = factor_data.attr("columns"),
            py::arg("start_date") = index[py::int_(0)], py::arg("end_date") = end_date,
            py::arg("expect_df") = true, py::arg("market") = "cn");
    } else {
        global("_validate_data_frame")(py::arg("df") = returns, py::arg("name") = "returns");
        check_date_order(returns, "returns");
    }

    if (!periods_is_sequence) {
        py::list wrapped;
        wrapped.append(periods);
        periods = wrapped;
    }

    for (py::object table : {factor_data, returns}) {
        table.attr("index").attr("name") = "datetime";
        table.attr("columns").attr("name") = "order_book_id";
    }
    return {factor_data, returns, periods};
}

void register_inputs(py::module_& m) {
    m.def("_validate_data_frame", &validate_data_frame, py::arg("df"), py::arg("name"),
          kValidateDoc);
    m.def("_get_datetime_freq", &get_datetime_freq, py::arg("index"), kFreqDoc);
    m.def("_is_date_frequency_index", &is_date_frequency_index, py::arg("index"), kIsDateDoc);
    m.def("_get_return_fields", &get_return_fields, py::arg("columns"), kReturnFieldsDoc);
    register_inputs_format(m);
}

}  // namespace alvora::study_bench
