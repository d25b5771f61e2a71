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

struct PulseRow {
    long long pulse = 0;  ///< the pulse's number in its record, from 1
    std::string kind;     ///< "discharge" or "charge"
    double start_s = 0.0; ///< when the current stepped on
    double duration_s = 0.0;
    double current_a = 0.0; ///< mean over the pulse, discharge negative
    double soc = 0.0;       ///< at the pulse's start
    /// R0, R1, C1, R2, C2 (NaN: none)
    std::array<double, kCircuitParameters> params{kNoValue, kNoValue, kNoValue,
                                                  kNoValue, kNoValue};
    double rms_mv = 0.0;
    std::array<double, kCircuitParameters> std_error{kNoValue, kNoValue, kNoValue,
                                                     kNoValue, kNoValue}; ///< NaN: none
    std::string flags;        ///< ";"-separated tags, empty when none
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

/// "R0_at_bound;C2_at_bound" for the parameters on a bound of the fit (on_bound); the
/// parameters are R0, R1, C1, R2, C2 with NaN for those not fitted.
std::string bound_flags(const std::array<double, kCircuitParameters>& params);

/// Whether a row's flags say its fit is one to check: a parameter on a bound
/// ("*_at_bound") or a fit that did not converge ("not_converged"). Such a fit says
/// more about the fit than the cell, so the tables over SOC leave it out.
bool fit_to_check(const PulseRow& row);

} // namespace cellcore
