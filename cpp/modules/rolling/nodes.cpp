// RollingWindowFactor and CombinedRollingWindowFactor: ordinary Python classes
// deriving from AbstractFactor, with methods implemented here.
#include "rolling/rolling_module.hpp"

namespace alvora::rolling_module {

namespace {

using pyclass::add_method;
using pyclass::add_property;

// pybind11 takes any function *named* __init__ for a constructor of its own
// types, so initialisers are built under another name and stored as __init__.
template <typename F, typename... Extra>
void set_init(py::object& cls, const char* name, F&& f, const Extra&... extra) {
    py::setattr(cls, "__init__",
                py::cpp_function(std::forward<F>(f), py::name(name), py::is_method(cls), extra...));
}

constexpr const char* kRollingDoc = R"(滑动窗口因子类

Parameters
----------
func : function
    函数
window : int
    窗口大小
factor : alvora.interface.AbstractFactor
)";

constexpr const char* kCombinedDoc = R"(组合滑动因子类

Parameters
----------
func : function
    函数
window : int
    窗口大小
args : alvora.interface.AbstractFactor

Note
----
args中所有参数都必须为AbstractFactor的子类对象
)";

// Bare assertions, made only while the interpreter runs with assertions on.
bool assertions_enabled() {
    static py::object* sys = new py::object(py::module_::import("sys"));  // never released
    return sys->attr("flags").attr("optimize").cast<int>() == 0;
}

void assert_factor(const py::handle& obj) {
    if (!py::isinstance(obj, G["AbstractFactor"])) {
        PyErr_SetNone(PyExc_AssertionError);
        throw py::error_already_set();
    }
}

py::object kernel_name(const py::object& func) { return func.attr("__name__"); }

void define_rolling(py::module_& m) {
    py::object cls = pyclass::make_class(m, "RollingWindowFactor",
                                         py::make_tuple(G["AbstractFactor"]), kRollingDoc);
    set_init(
        cls, "_init_rolling",
        [](py::object self, py::object func, py::object window, py::object factor) {
            if (assertions_enabled()) assert_factor(factor);
            py::setattr(self, "_func", func);
            py::setattr(self, "_factor", factor);
            py::setattr(self, "_window", window);
        },
        py::arg("func"), py::arg("window"), py::arg("factor"));
    add_property(cls, "expr", [](py::object self) {
        py::object factor = self.attr("_factor");
        return py::make_tuple(self.attr("_func"),
                              py::make_tuple(factor.attr("expr"), self.attr("_window")));
    });
    add_property(cls, "shift", [](py::object self) {
        // window - 1 + the argument's look-back, with Python arithmetic
        py::object window = self.attr("_window");
        return (window - py::int_(1)) + self.attr("_factor").attr("shift");
    });
    add_property(cls, "dependencies",
                 [](py::object self) { return self.attr("_factor").attr("dependencies"); });
    add_method(cls, "__repr__", [](py::object self) {
        return py::str("{}({!r}, {})")
            .format(kernel_name(self.attr("_func")), self.attr("_factor"), self.attr("_window"));
    });
}

void define_combined(py::module_& m) {
    py::object cls = pyclass::make_class(m, "CombinedRollingWindowFactor",
                                         py::make_tuple(G["AbstractFactor"]), kCombinedDoc);
    set_init(
        cls, "_init_combined",
        [](py::object self, py::object func, py::object window, py::args args) {
            if (assertions_enabled())
                for (auto a : args) assert_factor(a);
            py::list shifts;
            for (auto a : args) shifts.append(a.attr("shift"));
            // builtin max: no argument factors raises its ValueError
            py::object max_shift = py::module_::import("builtins").attr("max")(shifts);
            py::list factors;
            for (auto a : args) {
                py::object f = py::reinterpret_borrow<py::object>(a);
                py::object shift = f.attr("shift");
                if (shift < max_shift)
                    factors.append(G["ShiftedFactor"](f, max_shift - shift));
                else
                    factors.append(f);
            }
            py::setattr(self, "_func", func);
            py::setattr(self, "_window", window);
            py::setattr(self, "_factors", factors);
            py::setattr(self, "_shift", (max_shift + window) - py::int_(1));
        },
        py::arg("func"), py::arg("window"));
    add_property(cls, "expr", [](py::object self) {
        py::list items;
        items.append(self.attr("_window"));
        for (auto f : self.attr("_factors")) items.append(f.attr("expr"));
        return py::make_tuple(self.attr("_func"), py::tuple(items));
    });
    add_property(cls, "shift", [](py::object self) { return self.attr("_shift"); });
    add_property(cls, "dependencies", [](py::object self) {
        py::list deps;
        for (auto f : self.attr("_factors")) deps.append(f.attr("dependencies"));
        return py::list(G["chain"](*deps));
    });
    add_method(cls, "__repr__", [](py::object self) {
        py::list parts;
        for (auto f : self.attr("_factors")) parts.append(py::repr(f));
        return py::str("{}({})").format(kernel_name(self.attr("_func")),
                                        py::str(", ").attr("join")(parts));
    });
}

}  // namespace

void register_nodes(py::module_& m) {
    define_rolling(m);
    define_combined(m);
}

}  // namespace alvora::rolling_module
