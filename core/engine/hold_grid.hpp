// The current of a record as a function of time. Between two rows of one step the
// current is taken as linear, as everywhere else in the system; at a step change it
// jumps where the change was placed, so the circuit sees the load switch on and off
// when the cell did, not smeared over a whole logging interval (which can be a minute
// in a rest). The grid carries one or two extra points per step change for that, and
// the charge passed is counted over the same grid.
#pragma once

#include <vector>

#include "core/engine/steps.hpp"

namespace cellcore {

/// A step change placed in time: the current switches at at_s, in [t[q-1], t[q]].
struct StepChange {
    std::size_t q = 0;
    double at_s = 0.0;
};

struct HoldGrid {
    std::vector<double> time_s, current_a;
    std::vector<std::size_t> at_sample; ///< grid index of every record sample
    std::vector<double> charge_as; ///< signed charge (A s) from the start, per grid
                                   ///< point; discharge counts negative
    /// Signed charge (A s) passed from the record's start to sample k.
    double charge_at(std::size_t k) const { return charge_as[at_sample[k]]; }
};

/// The grid for the rows (time_s strictly increasing) and the changes (ascending q).
/// The old current holds up to a change, the new one from it: a change within a
/// microsecond of a row switches over that microsecond next to the row, one between
/// switches over a microsecond after it. A change between rows too close for a point
/// between them is left linear.
HoldGrid hold_grid(Span<const double> time_s, Span<const double> current_a,
                   Span<const StepChange> changes);

/// The grid for a segmented record, every step change where the segmentation placed it.
HoldGrid hold_grid(Span<const double> time_s, const Segmentation& seg);

} // namespace cellcore
