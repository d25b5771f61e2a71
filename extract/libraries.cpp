// The libraries a run works with, bound into its workspace under the short names the
// stages look up: scipy's spline and solvers, numpy, pandas, the native lsim2 and the
// model file builder's public names. Every run binds them afresh, so a run in a new
// namespace sees the same names as the module's own run on import.
#include <pybind11/pybind11.h>

#include "extract/stages.hpp"

namespace cellfit {

// In this order; the wildcard import of cellgen comes last, so its names win on a
// clash (they are the same modules anyway).
void bind_libraries(const Workspace& ws) {
    auto import = [](const char* name) { return py::module_::import(name); };
    publish(ws,
            {{"UnivariateSpline", import("scipy.interpolate").attr("UnivariateSpline")},
             {"lsim2", native_lsim2_function()},
             {"optimize", import("scipy.optimize")},
             {"integrate", import("scipy.integrate")},
             {"np", import("numpy")},
             {"pd", import("pandas")},
             {"tp", import("time").attr("time")},
             {"gl", import("glob").attr("glob")},
             {"json", import("json")},
             {"os", import("os")},
             {"sys", import("sys")},
             {"lg", import("logging")}});

    py::module_ cellgen = import("cellgen");
    py::object names = py::hasattr(cellgen, "__all__")
                           ? cellgen.attr("__all__")
                           : import("builtins").attr("dir")(cellgen);
    for (py::handle name : names) {
        const std::string text = py::str(name);
        if (text.rfind('_', 0) != 0)
            ws.set(text.c_str(), cellgen.attr(text.c_str()));
    }
}

void run_in_workspace(const Workspace& ws, const py::object& config,
                      const py::object& workdir, const py::object& source,
                      const py::object& settings_file) {
    bind_libraries(ws);
    run_pipeline(ws, config, workdir, source, settings_file);
}

} // namespace cellfit
