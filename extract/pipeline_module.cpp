// _cellpipeline: the cellfit run as a function, so that one process can run it for cell
// after cell. Importing numpy, scipy and pandas costs more than a small cell's whole
// fit; a batch worker pays it once and calls run() with a fresh namespace per cell,
// where `import cellfit` runs exactly once in the module's own namespace.
#include <pybind11/pybind11.h>

#include "bridge/errors.hpp"
#include "bridge/python_text.hpp"
#include "extract/stages.hpp"

namespace py = pybind11;

namespace {

void run(const py::dict& namespace_, const py::object& config,
         const py::object& workdir) {
    if (!config.is_none() && !py::isinstance<py::dict>(config))
        throw py::type_error("config must be a dict or None, not " +
                             bridge::str(py::type::of(config).attr("__name__")));
    py::object folder = workdir;
    if (!folder.is_none()) // a str, as the working folder is joined to text below
        folder = py::module_::import("os").attr("fspath")(workdir);
    cellfit::run_in_workspace(bridge::Workspace(namespace_), config, folder);
}

} // namespace

PYBIND11_MODULE(_cellpipeline, m) {
    m.attr("__version__") = CELL_VERSION;
    bridge::translate_core_errors(); // a file that cannot be written: OSError

    cellfit::register_lsim2(m);
    m.def("run", &run, py::arg("namespace"), py::arg("config") = py::none(),
          py::arg("workdir") = py::none(),
          "Runs the cellfit pipeline with `namespace` (a dict) as its workspace, as "
          "`import cellfit` does in its own. With config (the settings dict) and "
          "workdir given, ./input_params.json is not read and the run works in "
          "workdir; the current directory is left where the run ends.");
}
