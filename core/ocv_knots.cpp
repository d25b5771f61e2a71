#include "core/ocv_knots.hpp"

#include <algorithm>
#include <cmath>

#include "core/segmentation.hpp"

namespace cellcore {

double rested_voltage(Span<const double> v, long long a, long long b) {
    if (v.empty())
        return std::nan("");
    Range w{
        static_cast<std::size_t>(std::max(a, 0LL)),
        static_cast<std::size_t>(std::clamp(b, 0LL, static_cast<long long>(v.size())))};
    if (w.size() == 0)
        return v[0];
    double sum = 0.0; // summed from the window's start, as numpy does for short vectors
    for (std::size_t j = w.begin; j < w.end; ++j)
        sum += v[j];
    return sum / static_cast<double>(w.size());
}

OcvKnots ocv_time_knots(Span<const double> t, Span<const double> v,
                        Span<const long long> rest_ends,
                        Span<const long long> load_ends) {
    std::vector<long long> ends(rest_ends.begin(), rest_ends.end());
    ends.insert(ends.end(), load_ends.begin(), load_ends.end());
    std::sort(ends.begin(), ends.end());

    OcvKnots k;
    k.time_s.push_back(0.0);
    for (long long e : ends)
        k.time_s.push_back(t[static_cast<std::size_t>(e)]);
    for (long long r : rest_ends) {
        const double rested = rested_voltage(v, r - 3, r - 1);
        k.volts.insert(k.volts.end(), 2, rested);
    }
    k.time_s.push_back(t[t.size() - 1]);
    const Range last = slice_range(-2, -1, v.size());
    k.volts.push_back(last.size() ? v[last.begin] : std::nan(""));

    const std::size_t n = std::min(k.time_s.size(), k.volts.size());
    k.time_s.resize(n);
    k.volts.resize(n);
    return k;
}

} // namespace cellcore
