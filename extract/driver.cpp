// The run driver: reads ./input_params.json (or takes the settings and working folder
// from its caller), enters the working folder, runs every record through the stages and
// hands the results folder to the model file builder.
#include <pybind11/pybind11.h>

#include "bridge/python_text.hpp"
#include "extract/stages.hpp"

namespace cellfit {
namespace {

constexpr const char* kConfigFile = "./input_params.json";

void info(const std::string& message) { bridge::log("cellfit", "info", message); }

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
        py::object values = ws.get("values");
        workdir = values["battery_database"] + values["battery_folder"];
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
    py::object to_float = py::module_::import("builtins").attr("float");
    ws.set("vhigh", to_float(values["high_cutoff"]));
    ws.set("vcut", to_float(values["low_cutoff"]));
    info("workdir = " + bridge::str(ws.get("workdir")));
    info("vhigh = " + bridge::str(ws.get("vhigh")) + " V");
    info("vcut = " + bridge::str(ws.get("vcut")) + " V");
}

// Only the two circuit models can be fitted; anything else is refused before any file
// is touched rather than after the first record's fits.
void check_model(const Workspace& ws) {
    py::object values = ws.get("values");
    // looked up once per comparison, as a dict subclass may answer differently
    if (py::object(values["model"]).equal(py::str("model1"))) {
        info("model1 selected");
    } else if (py::object(values["model"]).equal(py::str("model2"))) {
        info("model2 selected");
    } else {
        bridge::exit_with_message(
            "\nUnknown model " + bridge::str(py::repr(values["model"])) +
            " in './input_params.json': use \"model1\" (one RC pair) "
            "or \"model2\" (two RC pairs)\n");
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
            " in './input_params.json': use \"two_pass\" (the fast pair from the "
            "voltage fall, then the slow pair), \"joint\" (then all five "
            "parameters together) or \"pulse_test\" (every pulse by the pulse-test "
            "engine)\n");
    ws.set("fit_method", method);
    if (is("pulse_test"))
        info("pulse-test engine selected for every record");
    // with one RC pair there is nothing to fit jointly, and nothing changes
    if (is("joint") && py::object(ws.get("values")["model"]).equal(py::str("model2")))
        info("joint fit of both RC pairs selected");
}

void check_cycle_limit(const Workspace& ws) {
    py::object limit = ws.get("maybe_total_number_of_cycles");
    if (limit.is_none())
        return;
    const bool whole =
        py::isinstance<py::int_>(limit) && !py::isinstance<py::bool_>(limit);
    if (!whole)
        bridge::exit_with_message(
            "\nInvalid total_number_of_cycles " + bridge::str(py::repr(limit)) +
            " in './input_params.json': use a whole number or null\n");
    info("total number of cycles = " + bridge::str(limit));
}

void list_records(const Workspace& ws) {
    py::object workdir = ws.get("workdir");
    py::list infiles = ws.get("gl")(workdir + py::str("/raw_data/*.csv"));
    ws.set("infiles", infiles);
    if (infiles.empty())
        bridge::log("cellfit", "error", "No *.csv files found!");
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
    info("started processing file '" + bridge::str(ws.get("infile")) + "'");
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

} // namespace

std::string record_name(const Workspace& ws) { return bridge::str(ws.get("infile")); }

void run_pipeline(const Workspace& ws, const py::object& config,
                  const py::object& workdir) {
    configure_logging(ws);
    if (config.is_none())
        read_configuration(ws);
    else
        ws.set("values", config);
    enter_workdir(ws, workdir);
    read_limits(ws);
    check_model(ws);
    check_fit_method(ws);
    check_cycle_limit(ws);
    check_record_settings(ws);
    list_records(ws);
    for (py::handle infile : ws.get("infiles")) {
        ws.set("infile", infile);
        process_record(ws);
    }
    ws.get("write_battery_model_file")(ws.get("workdir"), ws.get("vcut"),
                                       ws.get("vhigh"));
}

} // namespace cellfit
