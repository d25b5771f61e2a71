// cellfit: loading the module runs the whole extraction once, from the configuration in
// the current directory to the battery model file.
#include <pybind11/pybind11.h>

#include "extract/stages.hpp"

namespace py = pybind11;

namespace {

// The library bindings the stages use, under their short names and in this order; the
// wildcard import of cellgen comes last, so its names win on a clash (they are the same
// modules anyway).
void bind_libraries(py::module_& m) {
    m.attr("UnivariateSpline") = py::module_::import("scipy.interpolate").attr("UnivariateSpline");
    cellfit::register_lsim2(m);
    m.attr("optimize") = py::module_::import("scipy.optimize");
    m.attr("integrate") = py::module_::import("scipy.integrate");
    m.attr("np") = py::module_::import("numpy");
    m.attr("pd") = py::module_::import("pandas");
    m.attr("tp") = py::module_::import("time").attr("time");
    m.attr("gl") = py::module_::import("glob").attr("glob");
    m.attr("json") = py::module_::import("json");
    m.attr("os") = py::module_::import("os");
    m.attr("sys") = py::module_::import("sys");
    m.attr("lg") = py::module_::import("logging");

    py::module_ cellgen = py::module_::import("cellgen");
    py::object names = py::hasattr(cellgen, "__all__") ? cellgen.attr("__all__")
                                                         : py::module_::import("builtins").attr("dir")(cellgen);
    for (py::handle name : names) {
        const std::string text = py::str(name);
        if (text.rfind('_', 0) != 0)
            m.attr(text.c_str()) = cellgen.attr(text.c_str());
    }
}

} // namespace

PYBIND11_MODULE(cellfit, m) {
    m.doc() = "Pulse-discharge records to an equivalent-circuit battery model. Loading "
              "this module runs the extraction on ./input_params.json.";
    m.attr("__version__") = CELL_VERSION;
    bind_libraries(m);
    cellfit::run_pipeline(bridge::Workspace(m.attr("__dict__")));
}
