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

// `files`, keyword only: the parameter files to merge (names in results/), for a
// caller that knows which of them are current; by default all of them. Taken out of
// a copy of kwargs, which then holds the parameters of the signature only.
py::object take_files(py::kwargs& kwargs) {
    if (!kwargs.contains("files"))
        return py::none();
    kwargs = py::reinterpret_borrow<py::kwargs>(kwargs.attr("copy")());
    return kwargs.attr("pop")("files");
}

// Returns None, as it always has; a caller that names the files to merge also learns
// the files written, for its record of the run.
py::object write_battery_model_file(const py::args& args, const py::kwargs& given) {
    py::kwargs kwargs = given;
    const py::object files = take_files(kwargs);
    const std::vector<py::object> a = bridge::bind_arguments(kSignature, args, kwargs);
    configure_logging();
    enter_results_folder(a[0]);
    const GatheredResults gathered = gather_results(a[1], a[2], files);
    const TemperatureModel model = fit_temperature_dependence(gathered);
    const py::object velmarrun = a[3] ? a[3] : py::bool_(false);
    py::list written;
    for (const std::string& name : write_model_files(gathered, model, velmarrun))
        written.append(py::str(name));
    for (const std::string& name : write_table_files(gathered, a[1], a[2], velmarrun))
        written.append(py::str(name));
    return files.is_none() ? py::object(py::none()) : py::object(written);
}

} // namespace

void register_model_builder(py::module_& m) {
    m.def(
        "write_battery_model_file", &write_battery_model_file,
        "write_battery_model_file(wdir, vbatlow, vbathigh, velmarrun=False, *, "
        "files=None): merge the *_params.json files of <wdir>/results (those named in "
        "files, when given) into battery_model.json there, and battery_model.mat when "
        "velmarrun is true; then battery_tables.json (.mat) from the parameter and "
        "pulse files. Returns None; with files given, the names of the files written.");
}

} // namespace cellgen
