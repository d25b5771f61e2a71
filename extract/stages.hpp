// The stages of one cellfit run. They hand each other the run and the record being
// processed (run_state.hpp) and publish what users and the circuit functions read into
// the workspace; the driver calls them in order for every record.
#pragma once

#include <pybind11/pybind11.h>

#include "core/errors.hpp"
#include "extract/run_state.hpp"

namespace cellfit {

/// Binds f(context, args, kwargs) into the workspace as the Python function name, so
/// that the stages can hand it to scipy (a residual, a Jacobian, a model).
template <typename C, typename F>
void bind_function(const Workspace& ws, const char* name, C context, F f,
                   const char* doc) {
    ws.set(name, py::cpp_function(
                     [context, f](const py::args& args, const py::kwargs& kwargs) {
                         return f(context, args, kwargs);
                     },
                     py::name(name), py::doc(doc)));
}

/// Configuration, working folder, the loop over records and the final model file call.
/// With config (a dict) given, ./input_params.json is not read; with workdir (a str)
/// given, it is the working folder instead of battery_database + battery_folder.
/// source names where config came from in error messages ("'/cell/input_params.json'");
/// settings_file, the file it was read from, goes into the run's manifest.
void run_pipeline(const Workspace& ws, const py::object& config = py::none(),
                  const py::object& workdir = py::none(),
                  const py::object& source = py::none(),
                  const py::object& settings_file = py::none());

/// The libraries the stages use, bound into the workspace under their short names.
/// register_lsim2 must have run first in this module.
void bind_libraries(const Workspace& ws);

/// A whole run in the workspace: the libraries bound, then the pipeline.
void run_in_workspace(const Workspace& ws, const py::object& config = py::none(),
                      const py::object& workdir = py::none(),
                      const py::object& source = py::none(),
                      const py::object& settings_file = py::none());

/// ./input_params.json opened for reading as UTF-8, with or without a byte-order mark.
py::object open_configuration(const char* path);

/// Every key a configuration may hold.
const std::vector<std::string>& settings_keys();

/// " in <where the settings came from>", for messages about a setting.
std::string settings_where(const Run& run);

/// Ends the run unless the settings are a JSON object; warns about every key it does
/// not know, with the nearest known key.
void check_settings_keys(const Run& run);

/// The setting's value; ends the run, naming the key, when the settings lack it.
py::object required_setting(const Run& run, const char* key);

/// The setting as a finite Python float; ends the run naming the key, its value and
/// the settings' source when it is missing or not such a number.
py::object voltage_setting(const Run& run, const char* key);

/// Refuses cut-offs and record settings ("columns", "discharge_current") that cannot
/// be used, ending the run before anything is written; logs the record settings given.
void check_record_settings(const Run& run);

/// Writes results/manifest.json with status "running": the tool's version, the
/// settings, each input file's size and SHA-256 and the start time.
void start_manifest(Run& run);

/// Rewrites results/manifest.json with the run's end: status ("complete", "failed",
/// "interrupted"), the end time, every output written (size and SHA-256) and error,
/// a one-line message when the run did not complete.
void end_manifest(const Run& run, const std::string& status, const std::string& error);

/// end_manifest for a run that is ending in an error: never throws, so the error the
/// caller holds is the one that goes on up.
void end_manifest_after_error(const Run& run, const std::string& status,
                              const std::string& error) noexcept;

/// Notes an output file (a path) of the run for its manifest.
void note_output(const Run& run, const std::string& path);

/// Notes a file (a path) of results/ the run left out of the model.
void note_left_out(const Run& run, const std::string& path);

/// The outputs noted so far, as paths relative to the working folder.
py::list run_outputs(const Run& run);

/// Notes the model builder's files (names in results/) for the manifest.
void note_model_files(const Run& run, const py::handle& names);

/// The names of this run's parameter files in results/. Any other *_params.json
/// there comes from a record no longer in raw_data/: it is named, with the files
/// beside it, in a warning and left out of the model (and kept on disk).
py::list current_parameter_files(const Run& run);

/// Reads the record, finds its temperature, truncates at the cut-off, segments it
/// into steps once and counts the charge. Publishes df, temperature, the vectors.
void load_record(const Run& run, Record& rec);

/// Signed charge (A s) from the record's start to every sample of t, counted across
/// the step changes the cycler placed in time.
std::vector<double> charge_at_rows(const Record& rec);

/// The pulse current level, the rest ends and load ends, each pulse paired with its own
/// load end (fit_pulses: the pulses the per-cycle fit can take).
void find_record_pulses(const Run& run, Record& rec);

/// A warning for every pulse (but the last) the per-cycle fit skips.
void warn_unfitted_pulses(const Record& rec);

/// Why the per-cycle fit cannot serve a record, or "" when it can: charge steps, or
/// short pulses among long SOC-step discharges (an HPPC test), or the cycler's step
/// clock (a whole cycler export, for the engine).
std::string pulse_engine_reason(const Record& rec);

/// Fits every pulse with the pulse-test engine and leaves what the outputs need:
/// SOC, OCV_3rd, opt_median (over the discharge pulses), the pulses and OCV points.
/// `why` opens the log line that says so.
void fit_pulse_test(const Run& run, Record& rec, const std::string& why);

/// The pulses table's rows and the OCV points from the per-cycle fit's cycles.
void tabulate_fitted_cycles(Record& rec);

/// Writes the record's pulses to target (results/<record>_pulses.csv).
void write_pulse_table(const Record& rec, const std::string& target);

/// Writes the points the OCV curve goes through to target
/// (results/<record>_ocv_points.csv).
void write_ocv_points(const Record& rec, const std::string& target);

/// A warning for every entry of opt_median on a bound of the fit.
void warn_about_bound_medians(const Record& rec);

/// Rested voltages, the OCV-SOC curve, the OCV over time and the voltage residual.
void extract_ocv(const Run& run, Record& rec);

/// Creates the native lsim2 once, as a function of module m (not set as its attribute);
/// every workspace then binds that one object.
void register_lsim2(const py::module_& m);

/// The native lsim2 made by register_lsim2.
py::object native_lsim2_function();

/// Binds model1, model2_r2c2, fit_ls1 and fit_ls2 afresh into the workspace.
void bind_circuit_models(const Run& run, const Record& rec);

/// Binds model2_joint, fit_ls_joint and jac_ls_joint: the two-RC circuit with all five
/// parameters free, for the joint fit.
void bind_joint_model(const Run& run);

/// Cycle count, empty results list and the search for one-RC starting values.
void search_start_values(const Run& run, Record& rec);

/// The two-pass fit of every cycle (with "joint", a joint fit after it), one results
/// row each.
void fit_cycles(const Run& run, Record& rec);

/// Runtime line, the results table and its mean and median rows.
void build_results_table(const Run& run, Record& rec);

/// The record's parameter file, OCV table, pulses table and OCV points.
void write_record_outputs(const Run& run, const Record& rec);

} // namespace cellfit
