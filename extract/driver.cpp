// The run driver: reads ./input_params.json (or takes the settings and working folder
// from its caller), enters the working folder, runs every record through the stages and
// hands this run's parameter files to the model file builder. From the first record on,
// results/manifest.json says what the run read and wrote and whether it finished.
#include <pybind11/pybind11.h>

#include "bridge/errors.hpp"
#include "bridge/python_text.hpp"
#include "extract/stages.hpp"

namespace cellfit {
namespace {

constexpr const char* kConfigFile = "./input_params.json";
constexpr const char* kConfigShown = "'./input_params.json'";

void log_info(const std::string& message) { bridge::log("cellfit", "info", message); }

void configure_logging(const Workspace& ws) {
    py::object lg = ws.get("lg");
    lg.attr("basicConfig")(py::arg("format") = "%(levelname)s:%(message)s",
                           py::arg("level") = lg.attr("INFO"));
}

// Any failure to open or parse the configuration ends the process with one message.
void read_configuration(const Workspace& ws) {
    try {
        py::object jfile = open_configuration(kConfigFile);
        ws.set("jfile", jfile);
        ws.set("settings_file",
               ws.get("os").attr("path").attr("abspath")(py::str(kConfigFile)));
        try {
            ws.set("values", ws.get("json").attr("load")(jfile));
        } catch (py::error_already_set&) {
            jfile.attr("close")();
            throw;
        }
        jfile.attr("close")();
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_KeyboardInterrupt))
            throw;
        bridge::exit_with_message(
            "\nInput parameter definition file not found in './input_params.json'\n");
    }
}

// A relative working folder is taken relative to where the run started, so that the
// record listing does not look for it a second time below itself.
void enter_workdir(const Workspace& ws, py::object workdir) {
    if (workdir.is_none()) {
        const py::object database = required_setting(ws, "battery_database");
        const py::object folder = required_setting(ws, "battery_folder");
        if (!py::isinstance<py::str>(database) || !py::isinstance<py::str>(folder))
            bridge::exit_with_message(
                "\nInvalid battery_database or battery_folder" + settings_where(ws) +
                ": both are text, the folder above the cell's and the cell's own\n");
        workdir = database + folder;
    }
    py::object path = ws.get("os").attr("path");
    if (!path.attr("isabs")(workdir).cast<bool>())
        workdir = path.attr("abspath")(workdir);
    ws.set("workdir", workdir);
    ws.get("os").attr("chdir")(workdir);
}

void read_limits(const Workspace& ws) {
    py::object values = ws.get("values");
    ws.set("maybe_total_number_of_cycles",
           values.attr("get")("total_number_of_cycles"));
    ws.set("vhigh", voltage_setting(ws, "high_cutoff"));
    ws.set("vcut", voltage_setting(ws, "low_cutoff"));
    log_info("workdir = " + bridge::str(ws.get("workdir")));
    log_info("vhigh = " + bridge::str(ws.get("vhigh")) + " V");
    log_info("vcut = " + bridge::str(ws.get("vcut")) + " V");
}

// Only the two circuit models can be fitted; anything else is refused before any file
// is touched rather than after the first record's fits.
void check_model(const Workspace& ws) {
    // looked up once per comparison, as a dict subclass may answer differently
    if (required_setting(ws, "model").equal(py::str("model1"))) {
        log_info("model1 selected");
    } else if (required_setting(ws, "model").equal(py::str("model2"))) {
        log_info("model2 selected");
    } else {
        bridge::exit_with_message(
            "\nUnknown model " + bridge::str(py::repr(required_setting(ws, "model"))) +
            settings_where(ws) +
            ": use \"model1\" (one RC pair) or \"model2\" (two RC pairs)\n");
    }
}

// How the pulses are fitted: per cycle in two passes ("two_pass", the default), with a
// joint refit of both RC pairs after them ("joint"), or by the pulse-test engine for
// every record ("pulse_test"). Refused before any file is touched, as an unknown model
// is. A null value counts as absent, as it does for the cycle count.
void check_fit_method(const Workspace& ws) {
    py::object method = ws.get("values").attr("get")("fit_method");
    if (method.is_none())
        method = py::str("two_pass");
    const auto is = [&](const char* name) {
        return py::isinstance<py::str>(method) && method.equal(py::str(name));
    };
    if (!is("two_pass") && !is("joint") && !is("pulse_test"))
        bridge::exit_with_message(
            "\nUnknown fit_method " + bridge::str(py::repr(method)) +
            settings_where(ws) +
            ": use \"two_pass\" (the fast pair from the "
            "voltage fall, then the slow pair), \"joint\" (then all five "
            "parameters together) or \"pulse_test\" (every pulse by the pulse-test "
            "engine)\n");
    ws.set("fit_method", method);
    if (is("pulse_test"))
        log_info("pulse-test engine selected for every record");
    // with one RC pair there is nothing to fit jointly, and nothing changes
    if (is("joint") && py::object(ws.get("values")["model"]).equal(py::str("model2")))
        log_info("joint fit of both RC pairs selected");
}

void check_cycle_limit(const Workspace& ws) {
    py::object limit = ws.get("maybe_total_number_of_cycles");
    if (limit.is_none())
        return;
    const bool whole =
        py::isinstance<py::int_>(limit) && !py::isinstance<py::bool_>(limit);
    if (!whole)
        bridge::exit_with_message("\nInvalid total_number_of_cycles " +
                                  bridge::str(py::repr(limit)) + settings_where(ws) +
                                  ": use a whole number or null\n");
    log_info("total number of cycles = " + bridge::str(limit));
}

// Without a record there is nothing to run: the run ends before results/ is touched,
// so an earlier run's results and manifest stay as they were.
void list_records(const Workspace& ws) {
    py::object workdir = ws.get("workdir");
    py::list infiles = ws.get("gl")(workdir + py::str("/raw_data/*.csv"));
    ws.set("infiles", infiles);
    if (infiles.empty()) {
        bridge::log("cellfit", "error", "No *.csv files found!");
        bridge::exit_with_message("\nNo records (*.csv) in " + bridge::str(workdir) +
                                  "/raw_data\n");
    }
    py::object results = workdir + py::str("/results");
    py::object os = ws.get("os");
    if (!os.attr("path").attr("exists")(results).cast<bool>())
        os.attr("makedirs")(results);
}

// The per-cycle fit, for records of discharge pulses between rests.
void fit_per_cycle(const Workspace& ws) {
    warn_unfitted_pulses(ws);
    extract_ocv(ws);
    bind_circuit_models(ws);
    bind_joint_model(ws);
    search_start_values(ws);
    fit_cycles(ws);
    build_results_table(ws);
    tabulate_fitted_cycles(ws);
}

void process_record(const Workspace& ws) {
    log_info("started processing file '" + bridge::str(ws.get("infile")) + "'");
    load_record(ws);
    const std::string engine_reason = ws.get("fit_method").equal(py::str("pulse_test"))
                                          ? "pulse test"
                                          : pulse_engine_reason(ws);
    if (!engine_reason.empty()) {
        fit_pulse_test(ws, engine_reason);
    } else {
        find_record_pulses(ws);
        if (py::len(ws.get("fit_pulses")) == 0)
            fit_pulse_test(ws, "no pulse is loaded for the 101 samples the per-cycle "
                               "fit needs; pulse test");
        else
            fit_per_cycle(ws);
    }
    write_record_outputs(ws);
}

void run_records(const Workspace& ws) {
    for (py::handle infile : ws.get("infiles")) {
        ws.set("infile", infile);
        process_record(ws);
    }
    const py::object files = current_parameter_files(ws);
    const py::object written = ws.get("write_battery_model_file")(
        ws.get("workdir"), ws.get("vcut"), ws.get("vhigh"), py::arg("files") = files);
    note_model_files(ws, written);
}

// The error on one line, for the manifest: "ValueError: x.csv: no column ...".
std::string error_line(const py::error_already_set& e) {
    const py::str message = py::str(e.value());
    const std::string words =
        bridge::str(py::str(" ").attr("join")(message.attr("split")()));
    const std::string type = bridge::str(e.type().attr("__name__"));
    return words.empty() ? type : type + ": " + words;
}

// The records' loop and the model file, with the manifest saying how the run ended:
// an error or an interrupt leaves "failed" or "interrupted" there, then goes on up.
void run_with_manifest(const Workspace& ws) {
    start_manifest(ws);
    try {
        run_records(ws);
    } catch (py::error_already_set& e) {
        const bool stopped = e.matches(PyExc_KeyboardInterrupt);
        end_manifest_after_error(ws, stopped ? "interrupted" : "failed", error_line(e));
        throw;
    } catch (const std::exception&) {
        end_manifest_after_error(
            ws, "failed", error_line(bridge::python_error(std::current_exception())));
        throw;
    }
    end_manifest(ws, "complete", "");
}

} // namespace

std::string record_name(const Workspace& ws) { return bridge::str(ws.get("infile")); }

void run_pipeline(const Workspace& ws, const py::object& config,
                  const py::object& workdir, const py::object& source,
                  const py::object& settings_file) {
    configure_logging(ws);
    ws.set("settings_file", settings_file);
    if (config.is_none()) {
        ws.set("settings_source", py::str(kConfigShown));
        read_configuration(ws);
    } else {
        ws.set("settings_source",
               source.is_none() ? py::str("the settings given") : py::str(source));
        ws.set("values", config);
    }
    check_settings_keys(ws);
    enter_workdir(ws, workdir);
    read_limits(ws);
    check_model(ws);
    check_fit_method(ws);
    check_cycle_limit(ws);
    check_record_settings(ws);
    list_records(ws);
    run_with_manifest(ws);
}

} // namespace cellfit
