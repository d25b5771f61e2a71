// cellkit._pipeline: the cellfit run as a function, so that one process can run it for
// cell after cell. Importing numpy, scipy and pandas costs more than a small cell's
// whole fit; a batch worker pays it once and calls run() with a fresh namespace per
// cell, where `import cellfit` runs exactly once in the module's own namespace.
#include <pybind11/pybind11.h>

#include "bridge/errors.hpp"
#include "bridge/python_text.hpp"
#include "extract/stages.hpp"

namespace py = pybind11;

namespace {

// The name the driver looks its record listener up by (see driver.cpp).
constexpr const char* kRecordListener = "_record_listener";

void run(const py::dict& namespace_, const py::object& config,
         const py::object& workdir, const py::object& source,
         const py::object& settings_file, const py::object& on_record) {
    if (!config.is_none() && !py::isinstance<py::dict>(config))
        throw py::type_error("config must be a dict or None, not " +
                             bridge::str(py::type::of(config).attr("__name__")));
    py::object folder = workdir;
    if (!folder.is_none()) // a str, as the working folder is joined to text below
        folder = py::module_::import("os").attr("fspath")(workdir);
    if (!on_record.is_none())
        namespace_[kRecordListener] = on_record;
    // the listener is the caller's, not the run's: gone from the namespace at the end
    const auto forget = [&] { namespace_.attr("pop")(kRecordListener, py::none()); };
    try {
        cellfit::run_in_workspace(bridge::Workspace(namespace_), config, folder, source,
                                  settings_file);
    } catch (...) {
        forget();
        throw;
    }
    forget();
}

} // namespace

PYBIND11_MODULE(_pipeline, m) {
    m.attr("__version__") = CELL_VERSION;
    bridge::translate_core_errors(); // a file that cannot be written: OSError

    cellfit::register_lsim2(m);
    py::tuple keys(cellfit::settings_keys().size());
    for (std::size_t k = 0; k < cellfit::settings_keys().size(); ++k)
        keys[k] = py::str(cellfit::settings_keys()[k]);
    m.attr("SETTINGS_KEYS") = keys;
    m.def("run", &run, py::arg("namespace"), py::arg("config") = py::none(),
          py::arg("workdir") = py::none(), py::arg("source") = py::none(),
          py::arg("settings_file") = py::none(), py::arg("on_record") = py::none(),
          "Runs the cellfit pipeline with `namespace` (a dict) as its workspace, as "
          "`import cellfit` does in its own. With config (the settings dict) and "
          "workdir given, ./input_params.json is not read and the run works in "
          "workdir; source names where config came from in messages, settings_file "
          "(a path) goes into the run's manifest. on_record(dict) is called as each "
          "record starts ({'path'}) and ends ({'path', 'temp_c', 'pulses', "
          "'capacity_ah', 'r0_ohm', 'median_rms_mv'}). The current directory is "
          "left where the run ends.");
}
