// A whole cycler export often holds more than the pulse test: a capacity check that
// discharges the cell to its cut-off, charges, and after the test a recharge and a
// second series. The pulse test is the first stretch that starts the record, or the
// rest after a recharge, and has a pulse (a discharge that a rest or a charge ends)
// before its voltage falls below the cut-off. A stretch whose first discharge runs at
// constant current straight to the cut-off is a capacity check; what follows the
// cut-off is left out.
#pragma once

#include <limits>
#include <string>
#include <vector>

#include "core/engine/steps.hpp"
#include "core/span.hpp"

namespace cellcore {

/// A continuous discharge from rows [begin, end) to the cut-off.
struct CapacityCheck {
    std::size_t begin = 0, end = 0;
    double begin_s = 0.0, end_s = 0.0;
    double charge_ah = 0.0; ///< drawn (positive), trapezoid over its rows
    double current_a = 0.0; ///< mean, negative
};

struct PulseTestPart {
    std::size_t begin = 0; ///< the test's first row
    /// One past its last row: one past the first row below the cut-off, or the
    /// record's end when the voltage never falls below it.
    std::size_t end = 0;
    bool crossed = false;                       ///< row end - 1 is below the cut-off
    std::vector<CapacityCheck> capacity_checks; ///< before the test
    /// After the cut-off the record goes on with a recharge (and whatever it holds).
    bool recharged_after = false;
};

struct PartOptions {
    /// A charge at least this long (s) fills the cell again: a new stretch starts at
    /// the rest after it. Charge pulses (seconds, a few minutes in a GITT) are shorter.
    double recharge_min_s = 1800.0;
    /// A discharge that gets this close (V) to the cut-off without crossing it
    /// reached it as far as the cycler's own limit goes.
    double cutoff_reach_v = 0.01;
};

/// The pulse test among the rows (time strictly increasing). rest_limit_a: the largest
/// current magnitude (A) that counts as rest. Throws std::invalid_argument when the
/// record has a capacity check and no pulse test after it.
PulseTestPart find_pulse_test(Span<const double> time_s, Span<const double> voltage_v,
                              Span<const double> current_a, double cutoff_v,
                              double rest_limit_a, const PartOptions& options = {});

/// Rows [begin, end) whose time lies in [from_s, to_s], or whose step index lies in
/// [from, to] (a stretch of consecutive rows: the first row in range to the last).
/// Throws std::invalid_argument when no row is in range.
RowRange rows_in_range(Span<const double> values, double from, double to);

} // namespace cellcore
