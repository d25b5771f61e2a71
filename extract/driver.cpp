// The run driver: reads ./input_params.json (or takes the settings and working folder
// from its caller), enters the working folder, runs every record through the stages and
// hands this run's parameter files to the model file builder. From the first record on,
// results/manifest.json says what the run read and wrote and whether it finished.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "bridge/errors.hpp"
#include "bridge/python_text.hpp"
#include "extract/stages.hpp"

namespace cellfit {
namespace {

constexpr const char* kConfigFile = "./input_params.json";
constexpr const char* kConfigShown = "'./input_params.json'";

void log_info(const std::string& message) { bridge::log("cellfit", "info", message); }

void configure_logging() {
    py::object lg = py::module_::import("logging");
    lg.attr("basicConfig")(py::arg("format") = "%(levelname)s:%(message)s",
                           py::arg("level") = lg.attr("INFO"));
}

// Any failure to open or parse the configuration ends the process with one message.
void read_configuration(Run& run) {
    try {
        py::object jfile = open_configuration(kConfigFile);
        run.jfile = jfile;
        run.settings_file =
            run.lib.os.attr("path").attr("abspath")(py::str(kConfigFile));
        try {
            run.values = run.lib.json.attr("load")(jfile);
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
void enter_workdir(Run& run, py::object workdir) {
    if (workdir.is_none()) {
        const py::object database = required_setting(run, "battery_database");
        const py::object folder = required_setting(run, "battery_folder");
        if (!py::isinstance<py::str>(database) || !py::isinstance<py::str>(folder))
            bridge::exit_with_message(
                "\nInvalid battery_database or battery_folder" + settings_where(run) +
                ": both are text, the folder above the cell's and the cell's own\n");
        workdir = database + folder;
    }
    py::object path = run.lib.os.attr("path");
    if (!path.attr("isabs")(workdir).cast<bool>())
        workdir = path.attr("abspath")(workdir);
    run.workdir = workdir;
    run.lib.os.attr("chdir")(workdir);
}

void read_limits(Run& run) {
    run.cycle_limit = run.values.attr("get")("total_number_of_cycles");
    run.vhigh = voltage_setting(run, "high_cutoff");
    run.vcut = voltage_setting(run, "low_cutoff");
    log_info("workdir = " + bridge::str(run.workdir));
    log_info("vhigh = " + bridge::str(run.vhigh) + " V");
    log_info("vcut = " + bridge::str(run.vcut) + " V");
}

// Only the two circuit models can be fitted; anything else is refused before any file
// is touched rather than after the first record's fits.
void check_model(Run& run) {
    // looked up once per comparison, as a dict subclass may answer differently
    if (required_setting(run, "model").equal(py::str("model1"))) {
        log_info("model1 selected");
    } else if (required_setting(run, "model").equal(py::str("model2"))) {
        log_info("model2 selected");
    } else {
        bridge::exit_with_message(
            "\nUnknown model " + bridge::str(py::repr(required_setting(run, "model"))) +
            settings_where(run) +
            ": use \"model1\" (one RC pair) or \"model2\" (two RC pairs)\n");
    }
    run.model = bridge::str(run.values["model"]);
}

// How the pulses are fitted: per cycle in two passes ("two_pass", the default), with a
// joint refit of both RC pairs after them ("joint"), or by the pulse-test engine for
// every record ("pulse_test"). Refused before any file is touched, as an unknown model
// is. A null value counts as absent, as it does for the cycle count.
void check_fit_method(Run& run) {
    py::object method = run.values.attr("get")("fit_method");
    if (method.is_none())
        method = py::str("two_pass");
    const auto is = [&](const char* name) {
        return py::isinstance<py::str>(method) && method.equal(py::str(name));
    };
    if (!is("two_pass") && !is("joint") && !is("pulse_test"))
        bridge::exit_with_message(
            "\nUnknown fit_method " + bridge::str(py::repr(method)) +
            settings_where(run) +
            ": use \"two_pass\" (the fast pair from the "
            "voltage fall, then the slow pair), \"joint\" (then all five "
            "parameters together) or \"pulse_test\" (every pulse by the pulse-test "
            "engine)\n");
    run.fit_method = bridge::str(method);
    if (is("pulse_test"))
        log_info("pulse-test engine selected for every record");
    // with one RC pair there is nothing to fit jointly, and nothing changes
    if (is("joint") && run.two_rc())
        log_info("joint fit of both RC pairs selected");
}

void check_cycle_limit(const Run& run) {
    const py::object& limit = run.cycle_limit;
    if (limit.is_none())
        return;
    const bool whole =
        py::isinstance<py::int_>(limit) && !py::isinstance<py::bool_>(limit);
    if (!whole)
        bridge::exit_with_message("\nInvalid total_number_of_cycles " +
                                  bridge::str(py::repr(limit)) + settings_where(run) +
                                  ": use a whole number or null\n");
    log_info("total number of cycles = " + bridge::str(limit));
}

// Without a record there is nothing to run: the run ends before results/ is touched,
// so an earlier run's results and manifest stay as they were.
void list_records(Run& run) {
    run.infiles = run.lib.gl(run.workdir + py::str("/raw_data/*.csv"));
    if (run.infiles.empty()) {
        bridge::log("cellfit", "error", "No *.csv files found!");
        bridge::exit_with_message("\nNo records (*.csv) in " +
                                  bridge::str(run.workdir) + "/raw_data\n");
    }
    py::object results = run.workdir + py::str("/results");
    if (!run.lib.os.attr("path").attr("exists")(results).cast<bool>())
        run.lib.os.attr("makedirs")(results);
}

// The per-cycle fit, for records of discharge pulses between rests.
void fit_per_cycle(const Run& run, Record& rec) {
    warn_unfitted_pulses(rec);
    extract_ocv(run, rec);
    bind_circuit_models(run, rec);
    bind_joint_model(run);
    search_start_values(run, rec);
    fit_cycles(run, rec);
    build_results_table(run, rec);
    tabulate_fitted_cycles(rec);
}

// A caller of the pipeline module may follow the run record by record: the module
// puts its callback in the workspace under this name for the run's duration, and it
// gets each record's path as the record starts, then its results as it ends.
constexpr const char* kRecordListener = "_record_listener";

void tell_listener(const Run& run, const py::dict& event) {
    if (run.ws.has(kRecordListener))
        run.ws.get(kRecordListener)(event);
}

// Median of the finite values; NaN without one (a record whose every fit failed).
double finite_median(std::vector<double> values) {
    std::vector<double> finite;
    for (double value : values)
        if (std::isfinite(value))
            finite.push_back(value);
    if (finite.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const std::size_t half = finite.size() / 2;
    std::nth_element(finite.begin(), finite.begin() + half, finite.end());
    const double upper = finite[half];
    if (finite.size() % 2)
        return upper;
    return 0.5 * (*std::max_element(finite.begin(), finite.begin() + half) + upper);
}

// The figures a user checks first, from what the record's files were written from.
py::dict record_results(const Run& run, const Record& rec) {
    const py::dict params = run.ws.get("bat_params");
    std::vector<double> rms_mv;
    for (const cellcore::PulseRow& row : rec.pulses)
        rms_mv.push_back(row.rms_mv);
    py::dict out;
    out["path"] = rec.infile;
    out["temp_c"] = params["TempC"];
    out["capacity_ah"] = params["Tparam_1"];
    out["r0_ohm"] = py::list(params["Tparam_2"])[0];
    out["pulses"] = py::int_(rec.pulses.size());
    out["median_rms_mv"] = finite_median(std::move(rms_mv));
    return out;
}

void process_record(const Run& run, Record& rec) {
    log_info("started processing file '" + rec.name + "'");
    py::dict started;
    started["path"] = rec.infile;
    tell_listener(run, started);
    load_record(run, rec);
    const std::string engine_reason =
        run.fit_method == "pulse_test" ? "pulse test" : pulse_engine_reason(rec);
    if (!engine_reason.empty()) {
        fit_pulse_test(run, rec, engine_reason);
    } else {
        find_record_pulses(run, rec);
        if (rec.fit_pulses.empty())
            fit_pulse_test(run, rec,
                           "no pulse is loaded for the 101 samples the per-cycle "
                           "fit needs; pulse test");
        else
            fit_per_cycle(run, rec);
    }
    write_record_outputs(run, rec);
    tell_listener(run, record_results(run, rec));
}

void run_records(Run& run) {
    for (py::handle infile : run.infiles) {
        Record rec;
        rec.infile = py::reinterpret_borrow<py::object>(infile);
        rec.name = bridge::str(infile);
        publish(run.ws, {{"infile", rec.infile}});
        process_record(run, rec);
    }
    const py::object files = current_parameter_files(run);
    const py::object written =
        py::module_::import("cellgen").attr("write_battery_model_file")(
            run.workdir, run.vcut, run.vhigh, py::arg("files") = files);
    note_model_files(run, written);
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
void run_with_manifest(Run& run) {
    start_manifest(run);
    try {
        run_records(run);
    } catch (py::error_already_set& e) {
        const bool stopped = e.matches(PyExc_KeyboardInterrupt);
        end_manifest_after_error(run, stopped ? "interrupted" : "failed",
                                 error_line(e));
        throw;
    } catch (const std::exception&) {
        end_manifest_after_error(
            run, "failed", error_line(bridge::python_error(std::current_exception())));
        throw;
    }
    end_manifest(run, "complete", "");
}

} // namespace

Libraries Libraries::import() {
    auto import = [](const char* name) { return py::module_::import(name); };
    return {import("numpy"),
            import("pandas"),
            import("scipy.integrate"),
            import("scipy.optimize"),
            import("scipy.interpolate").attr("UnivariateSpline"),
            import("time").attr("time"),
            import("glob").attr("glob"),
            import("json"),
            import("os")};
}

void run_pipeline(const Workspace& ws, const py::object& config,
                  const py::object& workdir, const py::object& source,
                  const py::object& settings_file) {
    Run run(ws);
    run.lib = Libraries::import();
    configure_logging();
    run.settings_file = settings_file;
    if (config.is_none()) {
        run.source = py::str(kConfigShown);
        read_configuration(run);
    } else {
        run.source = source.is_none() ? py::str("the settings given") : py::str(source);
        run.values = config;
    }
    check_settings_keys(run);
    enter_workdir(run, workdir);
    read_limits(run);
    check_model(run);
    check_fit_method(run);
    check_cycle_limit(run);
    check_record_settings(run);
    list_records(run);
    publish(ws, {{"jfile", run.jfile},
                 {"values", run.values},
                 {"workdir", run.workdir},
                 {"maybe_total_number_of_cycles", run.cycle_limit},
                 {"vhigh", run.vhigh},
                 {"vcut", run.vcut},
                 {"infiles", run.infiles}});
    run_with_manifest(run);
}

} // namespace cellfit
