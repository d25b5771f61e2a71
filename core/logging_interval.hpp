// How often a record was logged: the median interval between its rows, which a single
// late row or a row logged twice does not move.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <vector>

#include "core/span.hpp"

namespace cellcore {

/// The median of the intervals t[k + 1] - t[k] for k in [first, last) (of an even
/// count, the upper middle one); NaN when the range holds no interval.
inline double median_interval(Span<const double> t, std::size_t first,
                              std::size_t last) {
    std::vector<double> d;
    for (std::size_t k = first; k < last; ++k)
        d.push_back(t[k + 1] - t[k]);
    if (d.empty())
        return std::numeric_limits<double>::quiet_NaN();
    const auto middle = d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2);
    std::nth_element(d.begin(), middle, d.end());
    return *middle;
}

} // namespace cellcore
