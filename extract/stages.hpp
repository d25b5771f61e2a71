// The stages of one cellfit run. Each reads its inputs from the workspace by name and
// leaves its outputs there; the driver calls them in order for every record.
#pragma once

#include <pybind11/pybind11.h>

#include "bridge/workspace.hpp"

namespace cellfit {
namespace py = pybind11;
using bridge::Workspace;

/// Configuration, working folder, the loop over records and the final model file call.
void run_pipeline(const Workspace& ws);

/// ./input_params.json opened for reading as UTF-8, with or without a byte-order mark.
py::object open_configuration(const char* path);

/// Refuses cut-offs and record settings ("columns", "discharge_current") that cannot
/// be used, ending the run before anything is written; logs the record settings given.
void check_record_settings(const Workspace& ws);

/// Reads the record, finds its temperature, truncates at the cut-off, finds the pulses.
void load_record(const Workspace& ws);

/// Rested voltages, the OCV-SOC curve, the OCV over time and the voltage residual.
void extract_ocv(const Workspace& ws);

/// The native lsim2, bound once at module set-up.
void register_lsim2(py::module_& m);

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
