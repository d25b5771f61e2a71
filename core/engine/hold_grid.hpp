// The current of a record as a function of time. Between samples of one step the
// current is taken as linear, as everywhere else in the system; at a step change it
// jumps where the segmentation placed the change, so the circuit sees the load switch
// on and off when the cell did, not smeared over a whole logging interval (which can be
// a minute in a rest). The grid carries one extra point per step change for that, and
// the charge passed is counted over the same grid.
#pragma once

#include <vector>

#include "core/engine/steps.hpp"

namespace cellcore {

struct HoldGrid {
    std::vector<double> time_s, current_a;
    std::vector<std::size_t> at_sample; ///< grid index of every record sample
    std::vector<double> charge_as; ///< signed charge (A s) from the start, per grid
                                   ///< point; discharge counts negative
    /// Signed charge (A s) passed from the record's start to sample k.
    double charge_at(std::size_t k) const { return charge_as[at_sample[k]]; }
};

/// The grid for a segmented record; time_s as given to segment_record.
HoldGrid hold_grid(Span<const double> time_s, const Segmentation& seg);

} // namespace cellcore
