// write_battery_model_file, the model builder's one operation: it enters <wdir>/results
// and runs the stages there, gathering the per-temperature parameter files, fitting
// their temperature dependence, writing the model files and then the tables over SOC
// and temperature. The current folder stays at the results folder afterwards; the
// caller's later file names are relative to it.
#include "modelfile/stages.hpp"

#include "bridge/signature.hpp"

namespace cellgen {
namespace {

const bridge::Signature kSignature{
    "write_battery_model_file", {"wdir", "vbatlow", "vbathigh", "velmarrun"}, 3};

// Only takes effect when the root logger has no handler yet, as when called on its own;
// under cellfit the extraction's set-up stands.
void configure_logging() {
    const py::module_ lg = py::module_::import("logging");
    lg.attr("basicConfig")(py::arg("format") = "%(levelname)s:%(message)s",
                           py::arg("level") = lg.attr("INFO"));
}

void enter_results_folder(py::handle wdir) {
    // plain concatenation, as the callers pass wdir: without a trailing separator
    const py::object folder =
        py::reinterpret_borrow<py::object>(wdir) + py::str("/results");
    py::module_::import("os").attr("chdir")(folder);
}

void write_battery_model_file(const py::args& args, const py::kwargs& kwargs) {
    const std::vector<py::object> a = bridge::bind_arguments(kSignature, args, kwargs);
    configure_logging();
    enter_results_folder(a[0]);
    const GatheredResults gathered = gather_results(a[1], a[2]);
    const TemperatureModel model = fit_temperature_dependence(gathered);
    const py::object velmarrun = a[3] ? a[3] : py::bool_(false);
    write_model_files(gathered, model, velmarrun);
    write_table_files(gathered, a[1], a[2], velmarrun);
}

} // namespace

void register_model_builder(py::module_& m) {
    m.def(
        "write_battery_model_file", &write_battery_model_file,
        "write_battery_model_file(wdir, vbatlow, vbathigh, velmarrun=False): merge the "
        "*_params.json files of <wdir>/results into battery_model.json there, and "
        "battery_model.mat when velmarrun is true; then battery_tables.json (.mat) "
        "from the parameter and pulse files.");
}

} // namespace cellgen
