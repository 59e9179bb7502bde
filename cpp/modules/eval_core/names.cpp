#include "eval_core/names.hpp"

#include "eval_core/fast_calls.hpp"

namespace alvora::eval_core {

alvora::pyclass::ModuleGlobals globals;
Originals originals;

bool isinstance_of(py::handle obj, py::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool compare(py::handle a, py::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

Names Names::resolve() {
    Names n;
    n.real = globals["numbers"].attr("Real");
    n.real_is_original = n.real.is(originals.numbers_real);
    n.cross_sectional = globals["CrossSectionalFactor"];
    n.fixed = globals["FixedFactor"];
    n.terminal = py::make_tuple(globals["LeafFactor"], n.cross_sectional, n.fixed);
    return n;
}

bool Names::is_real(py::handle x) const {
    // Python ints (bools included) and floats (numpy float64 included) are
    // registered Reals; everything else asks the abstract base class.
    if (real_is_original && (PyFloat_Check(x.ptr()) || PyLong_Check(x.ptr()))) return true;
    return isinstance_of(x, real);
}

py::object call_exec_factor(py::handle factor, py::handle order_book_ids, py::handle ctx) {
    py::object fn = globals["_exec_factor"];
    if (fn.is(originals.exec_factor)) return exec_factor(factor, order_book_ids, ctx);
    return fn(factor, order_book_ids, ctx);
}

py::object call_exec_expr(const Names& names, py::handle expr, py::handle order_book_id,
                          py::handle ctx) {
    PyObject* found = PyObject_GetAttr(globals.module().ptr(), hot_names.exec_expr);
    if (found == nullptr) throw py::error_already_set();
    auto fn = py::reinterpret_steal<py::object>(found);
    if (fn.is(originals.exec_expr)) return exec_expr(names, expr, order_book_id, ctx);
    return call3(fn, expr, order_book_id, ctx);
}

py::object call_exec_cross_sectional(py::handle factor, py::handle order_book_ids,
                                     py::handle ctx) {
    py::object fn = globals["_exec_cross_sectional"];
    if (fn.is(originals.exec_cross_sectional))
        return exec_cross_sectional(factor, order_book_ids, ctx);
    return fn(factor, order_book_ids, ctx);
}

py::object call_exec_fixed(py::handle factor, py::handle order_book_ids, py::handle ctx) {
    py::object fn = globals["_exec_fixed"];
    if (fn.is(originals.exec_fixed)) return exec_fixed(factor, order_book_ids, ctx);
    return fn(factor, order_book_ids, ctx);
}

}  // namespace alvora::eval_core
