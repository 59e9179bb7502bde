// The module's outside names and its own evaluation functions, looked up on
// the module at the moment of use so that a replaced attribute (a test fake, a
// user's patch) takes effect on the next call.
#pragma once

#include <pybind11/pybind11.h>

#include "common/pyclass.hpp"

namespace alvora::eval_core {

namespace py = pybind11;

// Attribute lookups on the eval_core module.
extern alvora::pyclass::ModuleGlobals globals;

// The objects bound at import, kept to recognise whether a module attribute
// still holds them (then native shortcuts are exact) or has been replaced.
struct Originals {
    py::handle numpy;
    py::handle numbers_real;
    py::handle exec_factor;
    py::handle exec_expr;
    py::handle exec_cross_sectional;
    py::handle exec_fixed;
    py::handle unpack_pair;  // def f(e): a, b = e; return a, b  (the interpreter's own errors)
    py::handle unpack_one;   // def f(e): (a,) = e; return a
};
extern Originals originals;

// Names the evaluation of one node consults over and over, resolved once per call.
struct Names {
    py::object real;             // numbers.Real
    bool real_is_original;       // exact float/int need no isinstance call
    py::object terminal;         // (LeafFactor, CrossSectionalFactor, FixedFactor)
    py::object cross_sectional;  // CrossSectionalFactor
    py::object fixed;            // FixedFactor

    static Names resolve();
    bool is_real(py::handle x) const;
};

// isinstance(obj, cls), bool(obj) and a <op> b with the interpreter's semantics;
// errors propagate as Python exceptions.
bool isinstance_of(py::handle obj, py::handle cls);
bool truthy(py::handle obj);
bool compare(py::handle a, py::handle b, int op);

// Calls to the module's own functions: native when the attribute is still the
// original function, through the attribute otherwise.
py::object call_exec_factor(py::handle factor, py::handle order_book_ids, py::handle ctx);
py::object call_exec_expr(const Names& names, py::handle expr, py::handle order_book_id,
                          py::handle ctx);
py::object call_exec_cross_sectional(py::handle factor, py::handle order_book_ids,
                                     py::handle ctx);
py::object call_exec_fixed(py::handle factor, py::handle order_book_ids, py::handle ctx);

// Native bodies of the four evaluation functions.
py::object exec_factor(py::handle factor, py::handle order_book_ids, py::handle ctx);
py::object exec_expr(const Names& names, py::handle expr, py::handle order_book_id,
                     py::handle ctx);
py::object exec_cross_sectional(py::handle factor, py::handle order_book_ids, py::handle ctx);
py::object exec_fixed(py::handle factor, py::handle order_book_ids, py::handle ctx);

// The public entry points.
py::object execute_factor(py::object factor, py::object order_book_ids, py::object start_date,
                          py::object end_date, py::object universe,
                          py::object exec_context_class);
py::object ensure_end_date(py::object end_date);

}  // namespace alvora::eval_core
