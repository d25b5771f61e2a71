#include "core/ocv_knots.hpp"

#include <algorithm>
#include <cmath>

#include "core/logging_interval.hpp"
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

double gap_threshold_s(Span<const double> t) {
    if (t.size() < 2)
        return INFINITY;
    return std::max(600.0, 100.0 * median_interval(t, 0, t.size() - 1));
}

long long sample_after_gap(Span<const double> t, long long k, double gap_s) {
    for (long long m = k; m >= std::max(k - 2, 1LL); --m)
        if (t[static_cast<std::size_t>(m)] - t[static_cast<std::size_t>(m - 1)] > gap_s)
            return m;
    return -1;
}

OcvKnots ocv_time_knots(Span<const double> t, Span<const double> v,
                        Span<const long long> rest_ends,
                        Span<const long long> pulse_load_ends, double gap_s) {
    const std::size_t pulses = rest_ends.size();
    std::vector<double> rested(pulses);
    for (std::size_t j = 0; j < pulses; ++j)
        rested[j] = rested_voltage(v, rest_ends[j] - 3, rest_ends[j] - 1);
    const Range last = slice_range(-2, -1, v.size());
    const double loaded_end = last.size() ? v[last.begin] : std::nan("");
    auto at = [](Span<const double> x, long long k) {
        return x[static_cast<std::size_t>(k)];
    };

    OcvKnots k;
    k.time_s.push_back(0.0);
    k.volts.push_back(pulses ? rested[0] : loaded_end);
    for (std::size_t j = 0; j < pulses; ++j) {
        const long long r = rest_ends[j];
        double at_rest_end = rested[j];
        const long long after = sample_after_gap(t, r, gap_s);
        if (after >= 0) {
            k.gap_rests.push_back(r);
            if (at(t, after - 1) > k.time_s.back()) { // flat up to the gap
                k.time_s.push_back(at(t, after - 1));
                k.volts.push_back(rested[j]);
            }
            at_rest_end =
                after < r - 1 ? rested_voltage(v, after, r - 1) : at(v, after);
        }
        k.time_s.push_back(at(t, r));
        k.volts.push_back(at_rest_end);
        if (pulse_load_ends[j] >= 0) {
            k.time_s.push_back(at(t, pulse_load_ends[j]));
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
