// Where a record reaches its low cut-off voltage: the first sample strictly below it.
// The per-cycle fit, the pulse-test engine and the search for the pulse test in a
// whole cycler export all end a discharge there, so all three ask this one function.
#pragma once

#include <cmath>
#include <cstddef>

#include "core/span.hpp"

namespace cellcore {

/// The first sample in [from, to) whose voltage is below cutoff_v (V), or `to` when
/// none is; a cut-off that is NaN (none given) is never crossed. to is clipped to the
/// record's length.
inline std::size_t first_below_cutoff(Span<const double> voltage_v, double cutoff_v,
                                      std::size_t from = 0,
                                      std::size_t to = static_cast<std::size_t>(-1)) {
    if (to > voltage_v.size())
        to = voltage_v.size();
    while (from < to && !(voltage_v[from] < cutoff_v))
        ++from;
    return from;
}

} // namespace cellcore
