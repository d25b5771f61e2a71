// <record>_pulses.csv: one row per fitted pulse, for people, spreadsheets and the tools
// that tabulate the parameters over state of charge (the SOC tables read the rows back
// as they were written). Numbers are written as Python
// writes them (shortest round-trip digits), a missing value as an empty cell.
#pragma once

#include <array>
#include <limits>
#include <string>
#include <vector>

#include "core/circuit_parameters.hpp"
#include "core/pulse_resistance.hpp"

namespace cellcore {

inline constexpr double kNoValue = std::numeric_limits<double>::quiet_NaN();

/// The direction of a pulse: charge drawn from the cell or put into it.
enum class PulseKind { discharge, charge };

/// "discharge" or "charge", as the table writes it.
const char* pulse_kind_name(PulseKind kind);

/// Flags of a pulse fit, or-ed together.
enum PulseFlag : unsigned {
    r0_at_bound = 1u << 0,
    r1_at_bound = 1u << 1,
    c1_at_bound = 1u << 2,
    r2_at_bound = 1u << 3,
    c2_at_bound = 1u << 4,
    not_converged = 1u << 5,
    /// R0 held at the step resistance the pulse's first loaded row shows, the most
    /// any circuit of positive elements allows
    r0_at_step = 1u << 6,
    /// a pair's time constant held at a limit of what the window resolves: three
    /// window lengths (slower, the pair shows only as a straight line, which fixes C
    /// but not R), or half the pulse's logging interval (faster, the pair is part of
    /// the step, with R0)
    tau1_at_limit = 1u << 7,
    tau2_at_limit = 1u << 8,
};

/// The flags that say a fit is not a measurement: a parameter on a bound of the fit,
/// or no convergence. (A parameter held at a physical limit is a finding instead.) Such
/// a fit says more about the fit than the cell, so the tables over SOC leave it out.
inline constexpr unsigned kFlagsToCheck =
    r0_at_bound | r1_at_bound | c1_at_bound | r2_at_bound | c2_at_bound | not_converged;

/// Tags of the flags, ";"-separated: "R0_at_bound;not_converged".
std::string pulse_flag_text(unsigned flags);

/// The flags a table's tags name; a tag this version does not know adds none.
unsigned pulse_flags_of(const std::string& text);

/// One fitted pulse, as <record>_pulses.csv shows it.
struct PulseRow {
    long long pulse = 0; ///< the pulse's number in its record, from 1
    PulseKind kind = PulseKind::discharge;
    double start_s = 0.0; ///< when the current stepped on
    double duration_s = 0.0;
    double current_a = 0.0; ///< mean over the pulse, discharge negative
    double soc = 0.0;       ///< at the pulse's start
    /// R0, R1, C1, R2, C2 (ohm, farad; NaN: none), pairs ordered by time constant
    std::array<double, kCircuitParameters> params{kNoValue, kNoValue, kNoValue,
                                                  kNoValue, kNoValue};
    double rms_mv = kNoValue;
    std::array<double, kCircuitParameters> std_error{kNoValue, kNoValue, kNoValue,
                                                     kNoValue, kNoValue}; ///< NaN: none
    unsigned flags = 0;       ///< PulseFlag bits
    PulseResistance measured; ///< dV/dI of the measured voltage, after the flags
};

/// The header line of a pulses table, without its line break.
extern const char* const kPulseTableHeader;

/// The whole table: the header and one line per row, each ending in "\n".
std::string pulse_table_csv(const std::vector<PulseRow>& rows);

/// <record>_ocv_points.csv: the points the record's OCV curve goes through,
/// "time_s,soc,ocv_V,source" and one line per point, source "rest" (a rested voltage)
/// or "corrected load" (a loaded voltage less the fitted circuit's drop, where the
/// record never rests). All four have one length.
std::string ocv_points_csv(const std::vector<double>& time_s,
                           const std::vector<double>& soc,
                           const std::vector<double>& ocv_v,
                           const std::vector<bool>& loaded);

/// The *_at_bound flags of the parameters on a bound of the fit (on_bound); the
/// parameters are R0, R1, C1, R2, C2 with NaN for those not fitted.
unsigned bound_flags(const std::array<double, kCircuitParameters>& params);

/// Whether a row's fit is one to check (kFlagsToCheck).
inline bool fit_to_check(const PulseRow& row) { return row.flags & kFlagsToCheck; }

} // namespace cellcore
