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
};

/// Knots at time 0, at every rest end and load end (in time order) and at the last
/// sample. Rest end r_j carries the mean of v over [r_j - 3, r_j - 1) on its own knot
/// and on the next one; the last knot the loaded voltage v[n-2]. The longer vector is
/// cut to the length of the shorter, which absorbs a load end missing or one too many.
OcvKnots ocv_time_knots(Span<const double> t, Span<const double> v,
                        Span<const long long> rest_ends,
                        Span<const long long> load_ends);

} // namespace cellcore
