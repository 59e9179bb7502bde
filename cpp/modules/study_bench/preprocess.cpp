// Registration of the preprocessing steps; each derives from FactorPreprocessor.
#include "study_bench/preprocess_parts.hpp"

namespace alvora::study_bench {

namespace preprocess {

void require_frame(const py::object& df) {
    if (!py::isinstance(df, global("pd").attr("DataFrame"))) {
        throw py::value_error(
            py::str("factor_data: expect pd.DataFrame, got {}").format(py::type::of(df)));
    }
}

py::array_t<double> frame_values(const py::object& df) {
    py::object np = global("np");
    py::object raw = df.attr("to_numpy")(py::arg("dtype") = "float64",
                                         py::arg("na_value") = np.attr("nan"));
    // Always a fresh buffer: to_numpy may hand out a view of the frame's own
    // block, and the steps write into what this returns.
    return np.attr("array")(raw, py::arg("dtype") = "float64", py::arg("order") = "C",
                            py::arg("copy") = true)
        .cast<py::array_t<double>>();
}

py::array_t<double> frame_values_to_read(const py::object& df) {
    py::object np = global("np");
    py::object raw =
        df.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = np.attr("nan"));
    return np.attr("ascontiguousarray")(raw, py::arg("dtype") = "float64")
        .cast<py::array_t<double>>();
}

py::object make_frame(py::array_t<double> values, const py::object& index,
                      const py::object& columns) {
    return global("pd").attr("DataFrame")(values, py::arg("index") = index,
                                          py::arg("columns") = columns, py::arg("copy") = false);
}

}  // namespace preprocess

void register_preprocess(py::module_& m) {
    py::object base = m.attr("FactorPreprocessor");
    preprocess::register_scaling(m, base);
    preprocess::register_neutralization(m, base);
}

}  // namespace alvora::study_bench
