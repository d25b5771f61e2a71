// The equivalent circuit's parameters as every part of the system names and bounds
// them: R0, then R and C of each RC pair (one pair: R2 and C2 stay NaN). The fits keep
// every parameter within the same bounds, and a fitted value that ends on one is no
// measurement: the fit ran into the bound, and the report, the warnings and the
// pulses table's flags say so alike.
#pragma once

#include <cmath>
#include <cstddef>

namespace cellcore {

/// Position of each circuit parameter in a parameter array and in the tables.
enum CircuitParameter : std::size_t { kR0, kR1, kC1, kR2, kC2, kCircuitParameters };

/// The parameters' names, in every table, file and column: "R0", "R1", "C1", "R2",
/// "C2".
inline constexpr const char* kCircuitNames[kCircuitParameters] = {"R0", "R1", "C1",
                                                                  "R2", "C2"};

/// Bounds of every resistance (ohm) and capacitance (farad) in the circuit fits.
inline constexpr double kFitLowerBound = 1e-4, kFitUpperBound = 5e4;

/// A value within this fraction of a bound sits on it.
inline constexpr double kOnBoundTolerance = 1e-6;

/// Whether a fitted value sits on a bound of the fit (NaN: no).
inline bool on_bound(double value) {
    return std::fabs(value - kFitLowerBound) <= kOnBoundTolerance * kFitLowerBound ||
           std::fabs(value - kFitUpperBound) <= kOnBoundTolerance * kFitUpperBound;
}

} // namespace cellcore
