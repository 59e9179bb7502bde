// alvora._cross_section: statistics across instruments for alvora.cross_sectional,
// computed date by date in the numeric core over a dates x instruments array.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "alvora/stats/cross_section.hpp"

namespace py = pybind11;
namespace st = alvora::stats;

namespace {

// A float64 two-dimensional array, read in place whatever its layout; the result
// is column-major (dates contiguous), the layout the execution context stores.
py::array_t<double> apply(st::CrossSection op, const py::array& values) {
    if (!py::isinstance<py::array_t<double>>(values) || values.ndim() != 2)
        throw py::type_error("expected a two-dimensional float64 array");
    const auto rows = static_cast<std::size_t>(values.shape(0));
    const auto cols = static_cast<std::size_t>(values.shape(1));
    const auto rs = values.strides(0), cs = values.strides(1);
    if (rs < 0 || cs < 0 || rs % sizeof(double) != 0 || cs % sizeof(double) != 0) {
        return apply(op, py::array(py::module_::import("numpy").attr("ascontiguousarray")(values)));
    }
    py::array_t<double, py::array::f_style> out({values.shape(0), values.shape(1)});
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

}  // namespace

PYBIND11_MODULE(_cross_section, m) {
    m.doc() = "截面统计（按日期逐行计算）";
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
}
