// alvora._operator_table: the rolling operators' table, as plain rows for the
// operator registry (alvora.operators.registry), so that the rolling module's
// bindings and the registry read one declaration.
#include <pybind11/pybind11.h>

#include "rolling/operator_table.hpp"

namespace py = pybind11;
namespace rm = alvora::rolling_module;

namespace {

py::object or_none(const char* text) {
    return text ? py::object(py::str(text)) : py::none();
}

// (name, ((parameter, "factor" | "window"), ...), meaning, example, alias_of),
// in the rolling module's order.
py::list rolling_operators() {
    py::list rows;
    for (const rm::RollingOperator& op : rm::kRollingOperators) {
        py::list params;
        for (const rm::Param& p : rm::params_of(op.shape))
            params.append(py::make_tuple(p.name, p.is_factor ? "factor" : "window"));
        rows.append(py::make_tuple(op.name, py::tuple(params), op.meaning, or_none(op.example),
                                   or_none(op.alias_of)));
    }
    return rows;
}

}  // namespace

PYBIND11_MODULE(_operator_table, m) {
    m.doc() = "The rolling operators' table (private: read by alvora.operators.registry).";
    m.def("rolling_operators", &rolling_operators,
          "The rolling operators in the rolling module's order: (name, parameters, meaning, "
          "example, alias_of).");
}
