#pragma once

// The private functions through which a worker computes result grids into
// files and names them (see grid_files.hpp), for each module whose grids can
// be a factor's result: each module keeps its own folder setting and registry.

#include <pybind11/pybind11.h>

#include "common/grid_files.hpp"

namespace alvora::grid_files {

inline void add_grid_file_functions(pybind11::module_& m) {
    namespace py = pybind11;
    m.def("_grid_folder", &set_folder,
          "_grid_folder(folder, min_bytes, recycle=None)\n--\n\n"
          "Result grids of at least min_bytes made on this thread go to unnamed files in "
          "folder (None: to memory), or to free files taken from the folder recycle.",
          py::arg("folder"), py::arg("min_bytes"), py::arg("recycle") = py::none());
    m.def("_link_grid_file", &link,
          "_link_grid_file(values, path)\n--\n\n"
          "Names at path the file of the result grid holding values; the byte offset of "
          "values in it, or None.",
          py::arg("values"), py::arg("path"));
}

}  // namespace alvora::grid_files
