// Winzorization (per-date clipping by an outside routine) and Normalization
// (per-date standardization, computed natively).
#include <pybind11/numpy.h>

#include <algorithm>
#include <optional>
#include <span>
#include <vector>

#include "alvora/ols/standardize.hpp"
#include "alvora/stats/strided_rows.hpp"
#include "alvora/stats/winsorize.hpp"
#include "common/pyclass.hpp"
#include "study_bench/preprocess_parts.hpp"
#include "study_bench/result_grids.hpp"

namespace alvora::study_bench::preprocess {

namespace {

const char* const kWinzorizationDoc = R"doc(去极值：逐个交易日对截面因子值做缩尾处理。

每个交易日的一行因子值（Series，index 为 order_book_id，name 为日期）交给
``WINSORIZE_METHODS[method]`` 对应的函数处理，结果组成新的因子表，行列与输入相同。
该函数在每次 ``process`` 时从模块属性 ``WINSORIZE_METHODS`` 中查找。

:param method: 去极值方法，"mad"、"std" 或 "percentile"（区分大小写），默认 "mad"
:raises ValueError: method 不在 ``VALID_WINSORIZE_METHODS`` 中

Example::

    bench = FactorStudyBench()
    bench.append(("winsorize", Winzorization(method="mad")))
    Winzorization("percentile").process(factor_data)
)doc";

const char* const kWinzorizationProcessDoc = R"doc(对每个交易日的截面做去极值。

:param factor_data: 因子表，index 为交易日，columns 为 order_book_id
:return: 新的因子表（float），index 与 columns 与输入相同
:raises KeyError: ``WINSORIZE_METHODS`` 中没有该方法

Example::

    clipped = Winzorization("std").process(factor_data)
)doc";

const char* const kNormalizationDoc = R"doc(标准化：逐个交易日把截面因子值变为 z-score。

每行减去该行均值、除以该行样本标准差（除数 n - 1），均跳过 NaN；结果中的正负无穷置为 0，
NaN 保持 NaN。只有一个有效值或全部相等的行结果为 NaN。

Example::

    bench = FactorStudyBench()
    bench.append(("normalize", Normalization()))
    Normalization().process(factor_data)
)doc";

const char* const kNormalizationProcessDoc = R"doc(对每个交易日的截面做标准化。

:param factor_data: 因子表，index 为交易日，columns 为 order_book_id
:return: 新的因子表（float），index 与 columns 与输入相同

Example::

    z = Normalization().process(factor_data)
)doc";

// The package's own clipping routines and the helpers they call, as imported; while
// the routine in use and its helpers are these, every date is clipped natively.
struct WinsorizeOriginals {
    py::handle routine[3];  // mad, std, percentile
    py::handle bounds[3];   // _mad_bounds, _std_bounds, _percentile_bounds
    py::handle clip;
    py::handle numpy;
    py::handle pandas;
    bool ready = false;
};
WinsorizeOriginals g_winsorize;

std::optional<double> number(const py::dict& names, const char* key) {
    if (!names.contains(key)) return std::nullopt;
    py::object value = names[key];
    if (!py::isinstance<py::float_>(value) && !py::isinstance<py::int_>(value)) return std::nullopt;
    return value.cast<double>();
}

// The native settings equivalent to `routine`, if it is one of the originals and
// everything it calls is unchanged; the constants are read from its module now.
std::optional<stats::ClipSettings> native_clip(const py::object& routine) {
    if (!g_winsorize.ready) return std::nullopt;
    int which = -1;
    for (int k = 0; k < 3; ++k)
        if (routine.is(g_winsorize.routine[k])) which = k;
    if (which < 0) return std::nullopt;
    py::dict names = routine.attr("__globals__");
    static const char* const kBounds[3] = {"_mad_bounds", "_std_bounds", "_percentile_bounds"};
    for (const char* key : {"_clip", kBounds[which], "np", "pd"})
        if (!names.contains(key)) return std::nullopt;
    auto same = [&](const char* key, py::handle original) {
        return py::object(names[key]).ptr() == original.ptr();
    };
    if (!same("_clip", g_winsorize.clip) || !same(kBounds[which], g_winsorize.bounds[which]) ||
        !same("np", g_winsorize.numpy) || !same("pd", g_winsorize.pandas))
        return std::nullopt;
    stats::ClipSettings settings;
    settings.rule = static_cast<stats::ClipRule>(which);
    if (which == 2) {
        if (!names.contains("PERCENTILE_LIMITS")) return std::nullopt;
        py::object limits = names["PERCENTILE_LIMITS"];
        if (!py::isinstance<py::tuple>(limits) || py::len(limits) != 2) return std::nullopt;
        for (auto item : limits)
            if (!py::isinstance<py::float_>(item) && !py::isinstance<py::int_>(item))
                return std::nullopt;
        settings.low_percent = limits[py::int_(0)].cast<double>();
        settings.high_percent = limits[py::int_(1)].cast<double>();
        // numpy refuses percentiles outside [0, 100]; let it say so.
        for (double p : {settings.low_percent, settings.high_percent})
            if (!(p >= 0.0 && p <= 100.0)) return std::nullopt;
        return settings;
    }
    const auto deviations = number(names, "N_DEVIATIONS");
    if (!deviations) return std::nullopt;
    settings.n_deviations = *deviations;
    if (which == 0) {
        const auto scale = number(names, "MAD_SCALE");
        if (!scale) return std::nullopt;
        settings.mad_scale = *scale;
    }
    return settings;
}

void remember_winsorize_originals(py::module_& m) {
    py::object methods = m.attr("WINSORIZE_METHODS");
    py::module_ source = py::module_::import("alvora.analysis.winsorize");
    const char* const keys[3] = {"mad", "std", "percentile"};
    const char* const bounds[3] = {"_mad_bounds", "_std_bounds", "_percentile_bounds"};
    // Owned references released on purpose: they must outlive every call.
    for (int k = 0; k < 3; ++k) {
        if (!methods.contains(keys[k]) || !py::hasattr(source, bounds[k])) return;
        g_winsorize.routine[k] = py::object(methods[keys[k]]).release();
        g_winsorize.bounds[k] = py::object(source.attr(bounds[k])).release();
    }
    if (!py::hasattr(source, "_clip")) return;
    g_winsorize.clip = py::object(source.attr("_clip")).release();
    g_winsorize.numpy = py::object(m.attr("np")).release();
    g_winsorize.pandas = py::object(m.attr("pd")).release();
    g_winsorize.ready = true;
}

void winzorization_init(py::object self, py::object method) {
    py::object valid = global("VALID_WINSORIZE_METHODS");
    if (!py::bool_(valid.attr("__contains__")(method))) {
        throw py::value_error(py::str("method: expect one of {}, got {}").format(valid, method));
    }
    self.attr("method") = method;
}

// One date's clipped values as float64, aligned to the frame's columns.
py::array_t<double> clipped_row(const py::object& result, const py::object& columns,
                                py::ssize_t width, const py::object& routine) {
    py::object pd = global("pd");
    py::object np = global("np");
    py::object row = result;
    if (py::isinstance(row, pd.attr("Series")) &&
        !py::bool_(row.attr("index").attr("equals")(columns))) {
        row = row.attr("reindex")(columns);
    }
    py::object arr = py::isinstance(row, pd.attr("Series"))
                         ? row.attr("to_numpy")(py::arg("dtype") = "float64",
                                                py::arg("na_value") = np.attr("nan"))
                         : np.attr("asarray")(row, py::arg("dtype") = "float64");
    auto values = arr.cast<py::array_t<double, py::array::c_style | py::array::forcecast>>();
    if (values.ndim() != 1 || values.shape(0) != width) {
        throw py::value_error(py::str("winsorize routine {} returned a result of shape {} for "
                                      "a cross-section of {} instruments")
                                  .format(routine, np.attr("shape")(arr), width));
    }
    return values;
}

// A frame's values as float64 cells read in place (usually a column-major view of
// its block), or from a copy when they are not such an array (other dtypes, mixed
// blocks). Keeps what it reads alive.
struct FrameCells {
    py::array values;
    stats::StridedRows view{};

    explicit FrameCells(const py::object& df) {
        py::object np = global("np");
        values = py::array::ensure(df.attr("to_numpy")(py::arg("dtype") = "float64",
                                                       py::arg("na_value") = np.attr("nan")));
        const auto item = static_cast<py::ssize_t>(sizeof(double));
        if (!values || values.ndim() != 2 || !values.dtype().is(py::dtype::of<double>()) ||
            values.strides(0) % item != 0 || values.strides(1) % item != 0)
            values = frame_values(df);
        view = {static_cast<const double*>(values.data()),
                static_cast<std::size_t>(values.shape(0)),
                static_cast<std::size_t>(values.shape(1)), values.strides(0) / item,
                values.strides(1) / item};
    }
};

py::object winzorization_process(py::object self, py::object factor_data) {
    require_frame(factor_data);
    py::object routine = global("WINSORIZE_METHODS")[self.attr("method")];
    py::object index = factor_data.attr("index");
    py::object columns = factor_data.attr("columns");
    if (const auto settings = native_clip(routine)) {
        // Clipped into a row-major table: the layout the next steps copy their input into.
        const FrameCells cells(factor_data);
        py::array_t<double> out = fresh_rows(cells.view.rows, cells.view.cols);
        const stats::StridedRows& in = cells.view;
        {
            py::gil_scoped_release release;
            std::vector<double> scratch;
            stats::winsorize_rows(
                in, *settings, {out.mutable_data(), static_cast<std::size_t>(out.size())}, scratch);
        }
        return make_frame(out, index, columns);
    }
    py::array_t<double> values = frame_values(factor_data);
    const py::ssize_t rows = values.shape(0), width = values.shape(1);
    py::array_t<double> out({rows, width});
    if (width > 0) {
        py::object series = global("pd").attr("Series");
        py::list labels(index);
        for (py::ssize_t d = 0; d < rows; ++d) {
            py::array_t<double> row({width}, {sizeof(double)}, values.data(d, 0));
            py::object result =
                routine(series(row, py::arg("index") = columns, py::arg("name") = labels[d]));
            auto clipped = clipped_row(result, columns, width, routine);
            std::copy(clipped.data(), clipped.data() + width, out.mutable_data(d, 0));
        }
    }
    return make_frame(out, index, columns);
}

py::object normalization_process(py::object self, py::object factor_data) {
    require_frame(factor_data);
    const FrameCells cells(factor_data);
    const stats::StridedRows& in = cells.view;
    py::array_t<double> out = fresh_rows(in.rows, in.cols);
    {
        py::gil_scoped_release release;
        // Standardized a tile of rows at a time, while the copied rows are in cache.
        double* y = out.mutable_data();
        for (std::size_t r0 = 0; r0 < in.rows; r0 += stats::kRowTile) {
            const std::size_t r1 = std::min(in.rows, r0 + stats::kRowTile);
            stats::copy_rows(in, r0, r1, y);
            std::span<double> tile(y + r0 * in.cols, (r1 - r0) * in.cols);
            ols::standardize_rows(tile, r1 - r0, in.cols, tile);
        }
    }
    return make_frame(out, factor_data.attr("index"), factor_data.attr("columns"));
}

}  // namespace

void register_scaling(py::module_& m, py::object base) {
    using pyclass::add_method;
    remember_winsorize_originals(m);
    py::object winz =
        pyclass::make_class(m, "Winzorization", py::make_tuple(base), kWinzorizationDoc);
    // Not named __init__: pybind11 would treat it as a constructor of a pybind11 type.
    py::setattr(winz, "__init__",
                py::cpp_function(&winzorization_init, py::name("_init_winzorization"),
                                 py::is_method(winz), py::arg("method") = "mad"));
    add_method(winz, "process", &winzorization_process, py::arg("factor_data"),
               py::doc(kWinzorizationProcessDoc));

    py::object norm =
        pyclass::make_class(m, "Normalization", py::make_tuple(base), kNormalizationDoc);
    add_method(norm, "process", &normalization_process, py::arg("factor_data"),
               py::doc(kNormalizationProcessDoc));
}

}  // namespace alvora::study_bench::preprocess
