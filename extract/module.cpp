// cellfit: loading the module runs the whole extraction once, from the configuration in
// the current directory to the battery model file.
#include <pybind11/pybind11.h>

#include "bridge/errors.hpp"
#include "extract/stages.hpp"

namespace py = pybind11;

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
        cellfit::register_lsim2(m);
        cellfit::run_in_workspace(bridge::Workspace(m.attr("__dict__")));
        return m.release().ptr();
    } catch (...) {
        bridge::set_python_error(std::current_exception()); // as the translators do
    }
    return nullptr;
}
