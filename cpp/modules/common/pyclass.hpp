// Building ordinary Python classes (heap types) from C++.
//
// Classes that users subclass, or that must derive from a Python base class,
// are created with type(name, bases, namespace); their methods are
// py::cpp_function objects marked as methods, so they behave like functions
// defined in Python and pickle by reference.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <utility>

namespace alvora::pyclass {

namespace py = pybind11;

// Creates `name` in module `m` with the given bases and docstring and binds it
// as a module attribute.
inline py::object make_class(py::module_& m, const char* name, py::tuple bases,
                             const char* doc = nullptr, py::dict ns = py::dict()) {
    ns["__module__"] = m.attr("__name__");
    ns["__qualname__"] = py::str(name);
    if (doc != nullptr) ns["__doc__"] = py::str(doc);
    auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::object cls = type(py::str(name), bases, ns);
    m.attr(name) = cls;
    return cls;
}

// Attaches a method; `f` receives `self` as its first argument.
template <typename F, typename... Extra>
void add_method(py::object& cls, const char* name, F&& f, const Extra&... extra) {
    py::cpp_function fn(std::forward<F>(f), py::name(name), py::is_method(cls),
                        py::sibling(py::getattr(cls, name, py::none())), extra...);
    py::setattr(cls, name, fn);
}

// Attaches a read-only property computed by `getter(self)`.
template <typename F>
void add_property(py::object& cls, const char* name, F&& getter, const char* doc = nullptr) {
    py::cpp_function fget(std::forward<F>(getter), py::name(name), py::is_method(cls));
    auto property = py::module_::import("builtins").attr("property");
    py::object prop = doc ? property(fget, py::none(), py::none(), py::str(doc)) : property(fget);
    py::setattr(cls, name, prop);
}

// A module's outside names, looked up on the module at the moment of use so
// that a replaced attribute takes effect on the next call.
class ModuleGlobals {
public:
    void bind(py::module_& m) { module_ = m.ptr(); }
    py::object operator[](const char* name) const {
        return py::reinterpret_borrow<py::object>(module_).attr(name);
    }
    py::module_ module() const { return py::reinterpret_borrow<py::module_>(module_); }

private:
    py::handle module_;  // borrowed: the module lives in sys.modules for the process
};

}  // namespace alvora::pyclass
