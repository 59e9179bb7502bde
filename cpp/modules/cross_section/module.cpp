// alvora._cross_section: statistics across instruments for alvora.cross_sectional,
// computed date by date in the numeric core over a dates x instruments array.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "alvora/stats/cross_section.hpp"
#include "alvora/stats/group.hpp"
#include "common/grid_file_functions.hpp"
#include "common/grid_pool.hpp"

namespace py = pybind11;
namespace st = alvora::stats;

namespace {

// A float64 two-dimensional array, read in place whatever its layout; the result
// is column-major (dates contiguous), the layout the execution context stores,
// in a grid freed lately where one fits (a library ranks many grids of one size).
py::array_t<double> apply(st::CrossSection op, const py::array& values) {
    if (!py::isinstance<py::array_t<double>>(values) || values.ndim() != 2)
        throw py::type_error("expected a two-dimensional float64 array");
    const auto rows = static_cast<std::size_t>(values.shape(0));
    const auto cols = static_cast<std::size_t>(values.shape(1));
    const auto rs = values.strides(0), cs = values.strides(1);
    if (rs < 0 || cs < 0 || rs % sizeof(double) != 0 || cs % sizeof(double) != 0) {
        return apply(op, py::array(py::module_::import("numpy").attr("ascontiguousarray")(values)));
    }
    py::array_t<double> out = alvora::grid_pool::fresh_grid(rows, cols);
    st::PanelView<const double> in{static_cast<const double*>(values.data()), rows, cols,
                                   static_cast<std::size_t>(rs) / sizeof(double),
                                   static_cast<std::size_t>(cs) / sizeof(double)};
    st::PanelView<double> target{out.mutable_data(), rows, cols, 1, rows};
    {
        py::gil_scoped_release nogil;
        st::cross_section(op, in, target);
    }
    return out;
}

// A two-dimensional array of `T` read in place, as a strided panel; arrays whose
// strides a panel cannot express (negative, not whole elements) are copied first.
template <class T>
st::PanelView<const T> panel_of(const py::array& values, py::object& keep, const char* what) {
    if (!py::isinstance<py::array_t<T>>(values) || values.ndim() != 2)
        throw py::type_error(std::string("expected ") + what);
    py::array a = values;
    const auto ok = [](py::ssize_t s) { return s >= 0 && s % py::ssize_t(sizeof(T)) == 0; };
    if (!ok(a.strides(0)) || !ok(a.strides(1))) {
        a = py::module_::import("numpy").attr("ascontiguousarray")(a);
    }
    keep = a;
    return {static_cast<const T*>(a.data()), static_cast<std::size_t>(a.shape(0)),
            static_cast<std::size_t>(a.shape(1)),
            static_cast<std::size_t>(a.strides(0)) / sizeof(T),
            static_cast<std::size_t>(a.strides(1)) / sizeof(T)};
}

// Refuses a companion panel whose shape differs from the values it goes with.
template <typename A, typename B>
void require_same_shape(const A& other, const char* other_name, const B& in, const char* in_name) {
    if (other.rows == in.rows && other.cols == in.cols) return;
    throw py::value_error(std::string(other_name) + " of shape (" + std::to_string(other.rows) +
                          ", " + std::to_string(other.cols) + ") do not match " + in_name +
                          " of shape (" + std::to_string(in.rows) + ", " + std::to_string(in.cols) +
                          ")");
}

template <class Code>
py::array_t<double> apply_grouped(st::GroupStatistic op, const py::array& values,
                                  const py::array& codes) {
    py::object keep_values, keep_codes;
    const auto in = panel_of<double>(values, keep_values, "a two-dimensional float64 array");
    const auto groups =
        panel_of<Code>(codes, keep_codes, "two-dimensional int16 or int64 group codes");
    require_same_shape(groups, "group codes", in, "values");
    py::array_t<double> out = alvora::grid_pool::fresh_grid(in.rows, in.cols);
    st::PanelView<double> target{out.mutable_data(), in.rows, in.cols, 1, in.rows};
    {
        py::gil_scoped_release nogil;
        st::group_cross_section(op, in, groups, target);
    }
    return out;
}

// Ranks over the cells kept once past a look-back, from ranks over more cells
// (see rank_kept): (ranks, number of rows ranked again).
py::tuple apply_rank_kept(const py::array& ranks, py::array valid, std::int64_t first_row,
                          std::int64_t consumed) {
    if (first_row < 0 || consumed < 0)
        throw py::value_error("first_row and consumed must not be negative");
    if (valid.dtype().kind() == 'b') valid = valid.attr("view")("uint8");
    py::object keep_ranks, keep_valid;
    const auto in = panel_of<double>(ranks, keep_ranks, "a two-dimensional float64 array");
    const auto flags =
        panel_of<std::uint8_t>(valid, keep_valid, "a two-dimensional boolean array of valid rows");
    require_same_shape(flags, "valid rows", in, "ranks");
    if (static_cast<std::uint64_t>(first_row) > in.rows) {
        throw py::value_error("first_row " + std::to_string(first_row) + " is past the " +
                              std::to_string(in.rows) + " rows");
    }
    py::array_t<double> out = alvora::grid_pool::fresh_grid(in.rows, in.cols);
    st::PanelView<double> target{out.mutable_data(), in.rows, in.cols, 1, in.rows};
    std::size_t reranked = 0;
    {
        py::gil_scoped_release nogil;
        reranked = st::rank_kept(in, flags, static_cast<std::size_t>(first_row),
                                 static_cast<std::size_t>(consumed), target);
    }
    return py::make_tuple(out, reranked);
}

// Group codes as they come: int16 (industry grids) or int64.
py::array_t<double> apply_grouped(st::GroupStatistic op, const py::array& values,
                                  const py::array& codes) {
    if (py::isinstance<py::array_t<std::int16_t>>(codes))
        return apply_grouped<std::int16_t>(op, values, codes);
    return apply_grouped<std::int64_t>(op, values, codes);
}

}  // namespace

PYBIND11_MODULE(_cross_section, m) {
    m.doc() = "截面统计（按日期逐行计算）";
    // a library of factors frees its cross-sectional grids a batch at a time
    alvora::grid_pool::keep_up_to(std::size_t{2} << 30, 32);
    // a factor ending in a cross-section has its result grid made here
    alvora::grid_files::add_grid_file_functions(m);
    m.def(
        "rank", [](const py::array& a) { return apply(st::CrossSection::Rank, a); },
        "按行的平均排名除以非 NaN 个数", py::arg("values"));
    m.def(
        "zscore", [](const py::array& a) { return apply(st::CrossSection::ZScore, a); },
        "按行 (x - 均值) / 样本标准差，非有限值视为缺失", py::arg("values"));
    m.def(
        "demean", [](const py::array& a) { return apply(st::CrossSection::Demean, a); },
        "按行减去均值，非有限值视为缺失", py::arg("values"));
    m.def(
        "scale", [](const py::array& a) { return apply(st::CrossSection::Scale, a); },
        "按行除以绝对值之和，非有限值视为缺失", py::arg("values"));
    m.def(
        "group_demean",
        [](const py::array& a, const py::array& codes) {
            return apply_grouped(st::GroupStatistic::Demean, a, codes);
        },
        "按行减去所在组（代码 >= 0）的均值；非有限值或无组为 NaN", py::arg("values"),
        py::arg("codes"));
    m.def(
        "group_rank",
        [](const py::array& a, const py::array& codes) {
            return apply_grouped(st::GroupStatistic::Rank, a, codes);
        },
        "按行在所在组内的平均排名除以组内个数；非有限值或无组为 NaN", py::arg("values"),
        py::arg("codes"));
    m.def("rank_kept", &apply_rank_kept,
          "由较多标的上的排名得出保留标的上的排名：first_row 之前为 NaN，之后某列的有效行数"
          "超过 consumed 才保留；丢掉取值的行重新排名。返回 (排名, 重排行数)",
          py::arg("ranks"), py::arg("valid"), py::arg("first_row"), py::arg("consumed"));
}
