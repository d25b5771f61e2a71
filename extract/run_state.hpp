// What the stages of a run hand each other: the run (its settings, folder and the
// libraries it calls) and the record being processed (its columns, pulses, OCV curve
// and fits). The stages pass these structs and publish what they made into the
// workspace under the names users and the circuit functions read: at the end of the
// stage, or, where the circuit functions read a name during the stage (the fitting
// window, the first pass's R0, R1, C1), right before that.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "bridge/workspace.hpp"
#include "core/engine/hold_grid.hpp"
#include "core/engine/ocv_curve.hpp"
#include "core/engine/steps.hpp"
#include "core/pulse_table.hpp"

namespace cellfit {
namespace py = pybind11;
using bridge::Workspace;

/// The libraries the stages call, bound once per run.
struct Libraries {
    py::object np, pd, integrate, optimize, spline, tp, gl, json, os;
    static Libraries import();
};

/// The run: where its names are published, the settings and the working folder.
struct Run {
    Workspace ws;
    Libraries lib;
    py::object jfile;         ///< the settings file as it was read (closed), if read
    py::object values;        ///< the settings (a dict)
    py::object source;        ///< where they came from, for messages
    py::object settings_file; ///< the file they were read from, or None
    py::object workdir;       ///< absolute path (str)
    py::object vhigh, vcut;   ///< Python floats
    py::object cycle_limit;   ///< total_number_of_cycles or None
    std::string model;        ///< "model1" or "model2"
    std::string fit_method;   ///< "two_pass", "joint" or "pulse_test"
    py::list infiles;         ///< the records, in listing order
    py::dict manifest;        ///< results/manifest.json as it stands

    explicit Run(Workspace workspace) : ws(std::move(workspace)) {}
    bool two_rc() const { return model == "model2"; }
};

/// One record on its way through the stages.
struct Record {
    py::object infile;               ///< its path, as the listing gave it
    std::string name;                ///< the same, for messages
    py::object df;                   ///< the table as read
    py::object temperature;          ///< whole degrees C
    py::object temperature_txt;      ///< the file name's text for it, if read
    py::object vraw;                 ///< the whole voltage column
    long long idx_end = 0;           ///< samples kept (the first below the cut-off)
    py::object t, v, iload, cum_mAh; ///< float vectors of idx_end samples
    cellcore::StepClock clock;       ///< the cycler's step clock, if it logs one
    /// the step changes the cycler's clock or logging places in time
    std::vector<cellcore::StepChange> logged_steps;
    /// the record's steps of either sign (quirks mended), segmented once
    cellcore::Segmentation segmentation;

    // the per-cycle fit's pulses
    py::object iload_th; ///< the current-step threshold (A)
    std::vector<long long> rest_ends, load_ends_raw, load_ends;
    std::vector<long long> pulse_load_end; ///< each pulse's own load end, or -1
    std::vector<long long> fit_pulses;     ///< the pulses the fit can take

    // the OCV curve
    std::vector<double> soc, vsoc; ///< at each rest end
    py::object SOC, OCV_3rd;       ///< the curve on the SOC grid
    py::object ocv_diff;           ///< terminal voltage less the OCV over time
    py::object ind_slice;          ///< rest ends closed by idx_end

    // the fits
    py::object res_opt_init;                     ///< the start the search found
    py::list results;                            ///< one row per fitted cycle
    py::object opt_median;                       ///< the record's circuit parameters
    std::vector<std::vector<double>> std_errors; ///< the joint fit's, per cycle
    std::vector<cellcore::PulseRow> pulses;      ///< the pulses table's rows
    std::vector<cellcore::OcvPoint> ocv_points;  ///< the points the OCV goes through

    bool clocked() const { return !clock.empty(); }
};

using Names = std::initializer_list<std::pair<const char*, py::object>>;

/// Publishes a stage's results: each value under its name in the workspace, in order,
/// so a later entry of a name wins. A value the stage did not make this time (a null
/// object, not None) leaves its name as an earlier record left it.
inline void publish(const Workspace& ws, Names names) {
    for (const auto& entry : names)
        if (entry.second)
            ws.set(entry.first, entry.second);
}

} // namespace cellfit
