// The open-circuit voltage along the record's time axis: knots at the end of every rest
// (the rested voltage) and at the end of every pulse (the voltage the cell rests to
// next), between which the OCV is taken as linear.
#pragma once

#include <vector>

#include "core/span.hpp"

namespace cellcore {

/// Mean of v over [a, b). A window reaching before the record's start is clipped to it,
/// and falls back to sample 0 alone when nothing is left; never wraps to the end.
double rested_voltage(Span<const double> v, long long a, long long b);

struct OcvKnots {
    std::vector<double> time_s, volts;
    std::vector<long long>
        gap_rests; // rest ends whose rest follows a gap in the record
};

/// A step between samples longer than this is a gap in the record: samples are missing,
/// and so is whatever the cell went through meanwhile (a discharge the log does not
/// hold, for instance). Ten minutes, and at least a hundred median sampling intervals.
double gap_threshold_s(Span<const double> t);

/// The first sample after a gap (a step longer than gap_s) that reaches into the
/// rested-voltage window of the rest ending at k, that is a gap just before sample k-2,
/// k-1 or k; -1 when there is none.
long long sample_after_gap(Span<const double> t, long long k, double gap_s);

/// Knots built pulse by pulse: time 0 and each rest end r_j carry the rested voltage
/// o_j (mean of v over [r_j - 3, r_j - 1)); a pulse's load end (pulse_load_ends[j], -1
/// for none) carries the voltage the cell rests to next, o_(j+1), so the OCV ramps
/// across the pulse. The last pulse ends at the loaded voltage v[n-2]: on its load end
/// if it has one, else on a knot at the last sample. A pulse without a load end
/// contributes only its rest-end knot, and the OCV ramps across it to the next rested
/// value. Where a gap reaches into a rest's window, o_j stands before the gap (on an
/// extra knot at its last sample) and the rest end carries the voltage after it: the
/// mean over [first sample after the gap, r_j - 1), or that first sample alone.
OcvKnots ocv_time_knots(Span<const double> t, Span<const double> v,
                        Span<const long long> rest_ends,
                        Span<const long long> pulse_load_ends, double gap_s);

} // namespace cellcore
