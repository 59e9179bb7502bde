// Memos kept across the factors of one study are tied to the study's client: a
// weak reference to it, and the memo is forgotten as soon as the client goes.
#pragma once

#include <pybind11/pybind11.h>

namespace alvora::study_bench {

namespace py = pybind11;

// Whether `watch` (a weak reference, or empty) refers to `client`.
inline bool watches(const py::object& watch, const py::object& client) {
    return watch && py::object(watch()).is(client);
}

// Points `watch` at `client`, calling `forget()` when the client goes. False for
// a client that cannot be watched: its study gets no reuse.
template <class Forget>
bool watch_client(py::object& watch, const py::object& client, Forget forget) {
    try {
        py::cpp_function on_gone([forget](py::handle) { forget(); });
        watch = py::weakref(client, on_gone);
        return true;
    } catch (py::error_already_set&) {
        return false;
    }
}

}  // namespace alvora::study_bench
