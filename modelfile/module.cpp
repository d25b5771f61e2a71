// cellgen: the model file builder. Loading it binds its libraries and defines
// write_battery_model_file; nothing runs until that is called.
#include <pybind11/pybind11.h>

#include "bridge/errors.hpp"
#include "modelfile/stages.hpp"

namespace py = pybind11;

PYBIND11_MODULE(cellgen, m) {
    m.doc() = "Merges per-temperature parameter files into one battery model file.";
    m.attr("__version__") = CELL_VERSION;
    bridge::translate_core_errors();
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("glob") = py::module_::import("glob");
    m.attr("json") = py::module_::import("json");
    m.attr("JSONEncoder") = py::module_::import("json.encoder").attr("JSONEncoder");
    m.attr("os") = py::module_::import("os");
    m.attr("savemat") = py::module_::import("scipy.io").attr("savemat");
    m.attr("lg") = py::module_::import("logging");
    cellgen::register_writers(m);
    cellgen::register_model_builder(m);
    // what `from cellgen import *` hands to cellfit
    m.attr("__all__") =
        py::make_tuple("write_battery_model_file", "CustomEncoder", "np", "pd", "glob",
                       "json", "JSONEncoder", "os", "savemat", "lg");
}
