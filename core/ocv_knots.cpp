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
                        Span<const long long> pulse_load_ends) {
    const std::size_t pulses = rest_ends.size();
    std::vector<double> rested(pulses);
    for (std::size_t j = 0; j < pulses; ++j)
        rested[j] = rested_voltage(v, rest_ends[j] - 3, rest_ends[j] - 1);
    const Range last = slice_range(-2, -1, v.size());
    const double loaded_end = last.size() ? v[last.begin] : std::nan("");

    OcvKnots k;
    k.time_s.push_back(0.0);
    k.volts.push_back(pulses ? rested[0] : loaded_end);
    for (std::size_t j = 0; j < pulses; ++j) {
        k.time_s.push_back(t[static_cast<std::size_t>(rest_ends[j])]);
        k.volts.push_back(rested[j]);
        if (pulse_load_ends[j] >= 0) {
            k.time_s.push_back(t[static_cast<std::size_t>(pulse_load_ends[j])]);
            k.volts.push_back(j + 1 < pulses ? rested[j + 1] : loaded_end);
        }
    }
    if (pulses == 0 || pulse_load_ends[pulses - 1] < 0) {
        k.time_s.push_back(t[t.size() - 1]);
        k.volts.push_back(loaded_end);
    }
    return k;
}

} // namespace cellcore
