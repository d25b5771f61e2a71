// The stages of one cellfit run. Each reads its inputs from the workspace by name and
// leaves its outputs there; the driver calls them in order for every record.
#pragma once

#include <pybind11/pybind11.h>

#include "bridge/workspace.hpp"
#include "core/engine/hold_grid.hpp"
#include "core/engine/ocv_curve.hpp"
#include "core/errors.hpp"
#include "core/pulse_table.hpp"

namespace cellfit {
namespace py = pybind11;
using bridge::Workspace;

/// Binds f(ws, args, kwargs) into the workspace as the Python function name, so that
/// the stages can hand it to scipy (a residual, a Jacobian, a model).
template <typename F>
void bind_function(const Workspace& ws, const char* name, F f, const char* doc) {
    ws.set(name, py::cpp_function(
                     [ws, f](const py::args& args, const py::kwargs& kwargs) {
                         return f(ws, args, kwargs);
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
std::string settings_where(const Workspace& ws);

/// Ends the run unless the settings are a JSON object; warns about every key it does
/// not know, with the nearest known key.
void check_settings_keys(const Workspace& ws);

/// The setting's value; ends the run, naming the key, when the settings lack it.
py::object required_setting(const Workspace& ws, const char* key);

/// The setting as a finite Python float; ends the run naming the key, its value and
/// the settings' source when it is missing or not such a number.
py::object voltage_setting(const Workspace& ws, const char* key);

/// Refuses cut-offs and record settings ("columns", "discharge_current") that cannot
/// be used, ending the run before anything is written; logs the record settings given.
void check_record_settings(const Workspace& ws);

/// Writes results/manifest.json with status "running": the tool's version, the
/// settings, each input file's size and SHA-256 and the start time.
void start_manifest(const Workspace& ws);

/// Rewrites results/manifest.json with the run's end: status ("complete", "failed",
/// "interrupted"), the end time, every output written (size and SHA-256) and error,
/// a one-line message when the run did not complete.
void end_manifest(const Workspace& ws, const std::string& status,
                  const std::string& error);

/// end_manifest for a run that is ending in an error: never throws, so the error the
/// caller holds is the one that goes on up.
void end_manifest_after_error(const Workspace& ws, const std::string& status,
                              const std::string& error) noexcept;

/// Notes an output file (a path) of the run for its manifest.
void note_output(const Workspace& ws, const std::string& path);

/// Notes a file (a path) of results/ the run left out of the model.
void note_left_out(const Workspace& ws, const std::string& path);

/// The outputs noted so far, as paths relative to the working folder.
py::list run_outputs(const Workspace& ws);

/// Notes the model builder's files (names in results/) for the manifest.
void note_model_files(const Workspace& ws, const py::handle& names);

/// The names of this run's parameter files in results/. Any other *_params.json
/// there comes from a record no longer in raw_data/: it is named, with the files
/// beside it, in a warning and left out of the model (and kept on disk).
py::list current_parameter_files(const Workspace& ws);

/// Reads the record, finds its temperature, truncates at the cut-off and counts the
/// charge.
void load_record(const Workspace& ws);

/// The step changes the cycler's clock or logging placed in time (the workspace's
/// logged_steps), ascending; empty on evenly logged records.
std::vector<cellcore::StepChange> logged_step_changes(const Workspace& ws);

/// The cycler's step clock of the record's kept samples (empty without one).
cellcore::StepClock record_step_clock(const Workspace& ws);

/// Signed charge (A s) from the record's start to every sample of t, counted across
/// the changes given.
std::vector<double> charge_at_rows(const Workspace& ws,
                                   const std::vector<cellcore::StepChange>& changes);

/// The pulse current level, the rest ends and load ends, each pulse paired with its own
/// load end (fit_pulses: the pulses the per-cycle fit can take).
void find_record_pulses(const Workspace& ws);

/// A warning for every pulse (but the last) the per-cycle fit skips.
void warn_unfitted_pulses(const Workspace& ws);

/// Why the per-cycle fit cannot serve a record, or "" when it can: charge steps, or
/// short pulses among long SOC-step discharges (an HPPC test), or the cycler's step
/// clock (a whole cycler export, for the engine).
std::string pulse_engine_reason(const Workspace& ws);

/// Fits every pulse with the pulse-test engine and leaves what the outputs need:
/// SOC, OCV_3rd, opt_median (over the discharge pulses) and df_pulses. `why` opens
/// the log line that says so.
void fit_pulse_test(const Workspace& ws, const std::string& why);

/// df_pulses from the fitted cycles of the per-cycle fit.
void tabulate_fitted_cycles(const Workspace& ws);

/// A pulses table as a DataFrame, its columns those of <record>_pulses.csv.
py::object pulse_frame(const Workspace& ws,
                       const std::vector<cellcore::PulseRow>& rows);

/// Writes df_pulses to target (results/<record>_pulses.csv).
void write_pulse_table(const Workspace& ws, const std::string& target);

/// The points an OCV curve goes through as a table (time_s, soc, ocv_V, source).
py::dict ocv_points_table(const std::vector<cellcore::OcvPoint>& points);

/// Writes ocv_points (the points the OCV curve goes through) to target
/// (results/<record>_ocv_points.csv).
void write_ocv_points(const Workspace& ws, const std::string& target);

/// A warning for every entry of opt_median on a bound of the fit.
void warn_about_bound_medians(const Workspace& ws);

/// Rested voltages, the OCV-SOC curve, the OCV over time and the voltage residual.
void extract_ocv(const Workspace& ws);

/// Creates the native lsim2 once, as a function of module m (not set as its attribute);
/// every workspace then binds that one object.
void register_lsim2(const py::module_& m);

/// The native lsim2 made by register_lsim2.
py::object native_lsim2_function();

/// Binds model1, model2_r2c2, fit_ls1 and fit_ls2 afresh into the workspace.
void bind_circuit_models(const Workspace& ws);

/// Binds model2_joint, fit_ls_joint and jac_ls_joint: the two-RC circuit with all five
/// parameters free, for the joint fit.
void bind_joint_model(const Workspace& ws);

/// Cycle count, empty results list and the search for one-RC starting values.
void search_start_values(const Workspace& ws);

/// The two-pass fit of every cycle (with "joint", a joint fit after it), one results
/// row each.
void fit_cycles(const Workspace& ws);

/// Runtime line, the results table and its mean and median rows.
void build_results_table(const Workspace& ws);

/// The record's parameter file and OCV table.
void write_record_outputs(const Workspace& ws);

/// Path of the record being processed, for error messages.
std::string record_name(const Workspace& ws);

} // namespace cellfit
