#include "eval_core/fast_calls.hpp"

namespace alvora::eval_core {

HotNames hot_names;

namespace {

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    if (s == nullptr) throw py::error_already_set();
    return s;  // kept for the life of the process
}

py::object steal_result(PyObject* result) {
    if (result == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace

void intern_hot_names() {
    hot_names.exec_expr = intern("_exec_expr");
    hot_names.get_factor_value = intern("get_factor_value");
    hot_names.get_mask_for = intern("get_mask_for");
}

py::object call_method(py::handle self, PyObject* name, py::handle a) {
    PyObject* args[] = {self.ptr(), a.ptr()};
    return steal_result(PyObject_VectorcallMethod(
        name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

py::object call_method(py::handle self, PyObject* name, py::handle a, py::handle b) {
    PyObject* args[] = {self.ptr(), a.ptr(), b.ptr()};
    return steal_result(PyObject_VectorcallMethod(
        name, args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

py::object call_with(py::handle func, const std::vector<py::object>& args) {
    // One spare slot in front lets bound methods prepend self without copying.
    std::vector<PyObject*> slots(args.size() + 1);
    for (std::size_t k = 0; k < args.size(); ++k) slots[k + 1] = args[k].ptr();
    return steal_result(PyObject_Vectorcall(func.ptr(), slots.data() + 1,
                                            args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            nullptr));
}

py::object call3(py::handle func, py::handle a, py::handle b, py::handle c) {
    PyObject* slots[] = {nullptr, a.ptr(), b.ptr(), c.ptr()};
    return steal_result(
        PyObject_Vectorcall(func.ptr(), slots + 1, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace alvora::eval_core
