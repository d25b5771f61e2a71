// The OCV where a record never rests. Its lowest rest usually sits at 10-25 % SOC, and
// below it the final discharge runs to the cut-off through the cell's low-SOC knee; a
// straight line continued from the rest points ends hundreds of millivolts above the
// cut-off there. That discharge passes through the OCV under load: its terminal voltage
// less the drop the fitted circuit gives for its current is the OCV at each of its
// samples. The same holds above the highest rest of a record that does not open at full
// charge.
#pragma once

#include <array>
#include <vector>

#include "core/engine/hold_grid.hpp"
#include "core/engine/ocv_curve.hpp"

namespace cellcore {

/// Where the loaded samples are and what drives the circuit: the pairs are at rest at
/// sample `history` (the end of the last long rest); the samples [from, to) give points
/// (a load step's); params R0, R1, C1[, R2, C2] (NaN R2: one pair) are the fit of the
/// pulse nearest in SOC.
struct LoadedStretch {
    std::size_t history = 0, from = 0, to = 0;
    std::array<double, 5> params{};
};

/// OCV points from the stretch, one per soc_step of SOC, and only those whose SOC is
/// more than half a step below the lowest rest point (or above the highest), joined
/// to the rest points monotonically: non-decreasing in SOC among themselves (a least-
/// squares fit where the correction wobbles) and never above the lowest rested voltage
/// (below the highest). time_s, voltage_v and soc are per sample, grid the record's.
std::vector<OcvPoint> loaded_ocv_points(const HoldGrid& grid, Span<const double> time_s,
                                        Span<const double> voltage_v,
                                        Span<const double> soc,
                                        const LoadedStretch& stretch,
                                        const std::vector<OcvPoint>& rest_points,
                                        double soc_step = 0.005);

} // namespace cellcore
