// The pulse-test engine: a record of any pulse protocol in, the cell's parameters out.
// It segments the record into rests and steps of either sign, counts the charge from
// the record's start, takes the OCV-SOC curve through the rests long enough to be near
// equilibrium, and fits R0 and one or two RC pairs to every pulse over the pulse and
// the rest after it, with the open-circuit voltage following the curve through the
// counted charge. Typed data in and out; no Python anywhere below.
#pragma once

#include <array>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/circuit_parameters.hpp"
#include "core/engine/hold_grid.hpp"
#include "core/engine/ocv_curve.hpp"
#include "core/engine/steps.hpp"
#include "core/engine/test_parts.hpp"
#include "core/pulse_table.hpp"

namespace cellcore {

struct PulseTestOptions {
    SegmentationOptions segmentation;
    int rc_pairs = 2; ///< 1 or 2
    /// The record is cut at its first voltage below this (V); NaN keeps it whole. With
    /// a cut-off, a record holding more than one test (a capacity check first, a
    /// second series after a recharge) is cut to its first pulse test.
    double cutoff_v = std::numeric_limits<double>::quiet_NaN();
    /// A rest at least this long (s) ends near equilibrium: its last voltage is an OCV
    /// point when a discharge follows it, and the RC pairs count as relaxed there.
    double ocv_rest_min_s = 600.0;
    /// Bounds of every R (ohm). A pair's time constant lies between half the pulse's
    /// logging interval and three times the window's length; C follows from R and it.
    double lower = kFitLowerBound, upper = kFitUpperBound;
};

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// One fitted pulse: its row of the pulses table, and how the fit got there. The row's
/// start_s is the time of the pulse's first sample (or of the step change the
/// cycler's clock places), duration_s the time from there to the next step's start.
struct PulseFit {
    PulseRow row;
    std::size_t step = 0;      ///< index into the segmentation's steps
    double step_r0_ohm = kNaN; ///< the voltage step over the current step at its start
    int evaluations = 0;
    std::size_t history = 0, begin = 0,
                end = 0; ///< simulated from, fitted [begin, end)
    /// The decay (V) of an earlier pulse's polarisation over [begin, end), taken out of
    /// the measured voltage; empty when the pulse starts from a relaxed cell.
    std::vector<double> baseline_v;
};

struct PulseTestResult {
    /// The record as analysed: repeated rows (a time equal to the previous row's)
    /// dropped, cut before its first voltage below the cut-off.
    std::vector<double> time_s, voltage_v, current_a;
    StepClock clock; ///< the cycler's step clock of the rows, if any
    /// The part of the record analysed (with a cut-off), in the rows left after
    /// repeated ones were dropped: where it begins, and what lies before and after it.
    PulseTestPart part;
    std::size_t repeated_rows = 0; ///< rows dropped for a repeated time
    std::size_t samples = 0;       ///< kept before the cut-off
    bool reached_cutoff = false;   ///< the record was cut at the cut-off
    Segmentation segmentation;
    HoldGrid grid;
    std::vector<double> soc; ///< per kept sample
    std::vector<OcvPoint> ocv_points;
    OcvCurve ocv;
    /// Net charge (Ah) drawn from the start to the deepest discharge: the cut-off, or,
    /// in a record that stops before it, its most discharged sample.
    double capacity_ah = 0.0;
    /// Samples after a gap in the record: the charge passed in a gap is unknown, so the
    /// OCV under each pulse is then held at the rested voltage before it.
    std::vector<std::size_t> gaps;
    std::vector<PulseFit> pulses;
    std::size_t count(PulseKind kind) const;
};

/// Analyses a record (everything finite; a row whose time repeats the previous one's
/// is dropped); clock is the cycler's step clock of the same rows, or empty. Throws
/// std::invalid_argument saying what is wrong or missing: time going backwards, no
/// net discharge, fewer than two OCV points, no pulse of either sign.
PulseTestResult analyse_pulse_test(Span<const double> time_s,
                                   Span<const double> voltage_v,
                                   Span<const double> current_a,
                                   const PulseTestOptions& options = {},
                                   const StepClock& clock = {});

/// The same for a record a caller has segmented already: segmentation is
/// segment_record's of these very rows (with options.segmentation and clock), so the
/// caller and the engine work from one set of steps. Rows the engine would drop (a
/// repeated time, the cut-off) or steps that do not cover the rows are refused.
PulseTestResult
analyse_pulse_test(Span<const double> time_s, Span<const double> voltage_v,
                   Span<const double> current_a, Segmentation segmentation,
                   const PulseTestOptions& options, const StepClock& clock = {});

/// Measured and modelled voltage (V) at the compared samples of a pulse's window.
struct PulseCurve {
    std::vector<double> time_s, measured_v, model_v;
};

/// The curve for the parameters given (R0, R1, C1[, R2, C2]; a NaN R2 means one
/// pair), with the OCV and history treatment of the fit: to show a fit, or to
/// re-evaluate other parameter sets on the same window.
PulseCurve pulse_curve(const PulseTestResult& result, const PulseFit& fit,
                       const std::array<double, 5>& params);

} // namespace cellcore
