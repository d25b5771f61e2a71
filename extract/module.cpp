// cellfit: loading the module runs the whole extraction once, from the configuration in
// the current directory to the battery model file.
#include <pybind11/pybind11.h>

#include "bridge/errors.hpp"
#include "extract/stages.hpp"

namespace py = pybind11;

namespace {

// The library bindings the stages use, under their short names and in this order; the
// wildcard import of cellgen comes last, so its names win on a clash (they are the same
// modules anyway).
void bind_libraries(py::module_& m) {
    m.attr("UnivariateSpline") =
        py::module_::import("scipy.interpolate").attr("UnivariateSpline");
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
    py::object names = py::hasattr(cellgen, "__all__")
                           ? cellgen.attr("__all__")
                           : py::module_::import("builtins").attr("dir")(cellgen);
    for (py::handle name : names) {
        const std::string text = py::str(name);
        if (text.rfind('_', 0) != 0)
            m.attr(text.c_str()) = cellgen.attr(text.c_str());
    }
}

} // namespace

// The init function is written out rather than taken from PYBIND11_MODULE: that macro
// turns every error of the module body into "ImportError: initialization failed", while
// the run's own errors (a bad record, the exit for a missing configuration) must reach
// the user as they are.
static PyModuleDef cellfit_module_def;

extern "C" PYBIND11_EXPORT PyObject* PyInit_cellfit() {
    PYBIND11_CHECK_PYTHON_VERSION
    PYBIND11_ENSURE_INTERNALS_READY
    try {
        auto m = py::module_::create_extension_module(
            "cellfit",
            "Pulse-discharge records to an equivalent-circuit battery model. Loading "
            "this "
            "module runs the extraction on ./input_params.json.",
            &cellfit_module_def);
        m.attr("__version__") = CELL_VERSION;
        bridge::translate_core_errors(); // for the functions bound into the module
        bind_libraries(m);
        cellfit::run_pipeline(bridge::Workspace(m.attr("__dict__")));
        return m.release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (const cellcore::FileError& e) {
        bridge::set_os_error(e); // as the other modules' translators do
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}
