#include "core/pulse_resistance.hpp"

#include <algorithm>
#include <cmath>

namespace cellcore {
namespace {

constexpr double kNaN = PulseResistance::kNaN;

// Time stamps are logged to the millisecond or so, and a pulse's start and end come
// from sums of them: a sample within this of a pulse's start or end is taken as at it,
// and a pulse "lasts 10 s" when its duration falls short of that by no more.
constexpr double kTimeTolerance_s = 1e-6;

// The pulse's samples [first, stop): at or after start_s and before end_s. A sample at
// end_s is the next step's first one, even where rounding puts end_s just past it.
struct PulseRows {
    std::size_t first = 0, stop = 0;
    bool empty() const { return stop <= first; }
};

PulseRows pulse_rows(Span<const double> time_s, const PulseSpan& pulse) {
    PulseRows rows;
    const auto at_or_after = [&](double t) {
        return static_cast<std::size_t>(
            std::lower_bound(time_s.begin(), time_s.end(), t - kTimeTolerance_s) -
            time_s.begin());
    };
    rows.first = at_or_after(pulse.start_s);
    rows.stop = at_or_after(pulse.end_s);
    return rows;
}

// The voltage at time t inside the pulse's rows, linear between them; the last row's
// voltage after it. NaN before the first row.
double voltage_at(Span<const double> time_s, Span<const double> voltage_v,
                  const PulseRows& rows, double t) {
    if (t < time_s[rows.first])
        return kNaN;
    const std::size_t last = rows.stop - 1;
    if (t >= time_s[last])
        return voltage_v[last];
    const std::size_t k = static_cast<std::size_t>(
        std::upper_bound(time_s.begin() + rows.first, time_s.begin() + rows.stop, t) -
        time_s.begin());
    const double w = (t - time_s[k - 1]) / (time_s[k] - time_s[k - 1]);
    return voltage_v[k - 1] + w * (voltage_v[k] - voltage_v[k - 1]);
}

// dV/dI from the sample before the pulse to the voltage v_load under it.
double step_resistance(Span<const double> voltage_v, Span<const double> current_a,
                       const PulseRows& rows, const PulseSpan& pulse, double v_load) {
    const std::size_t rest = rows.first - 1;
    const double di = pulse.current_a - current_a[rest];
    if (!(std::fabs(di) > 0.0))
        return kNaN;
    return (v_load - voltage_v[rest]) / di;
}

// A pulse with samples, and a sample before it to take the rested voltage from.
bool usable(const PulseRows& rows) { return rows.first > 0 && !rows.empty(); }

} // namespace

double pulse_resistance_at(Span<const double> time_s, Span<const double> voltage_v,
                           Span<const double> current_a, const PulseSpan& pulse,
                           double after_s) {
    const PulseRows rows = pulse_rows(time_s, pulse);
    if (!usable(rows) || pulse.end_s - pulse.start_s < after_s - kTimeTolerance_s)
        return kNaN;
    const double v = voltage_at(time_s, voltage_v, rows, pulse.start_s + after_s);
    return std::isnan(v) ? kNaN : step_resistance(voltage_v, current_a, rows, pulse, v);
}

PulseResistance pulse_resistance(Span<const double> time_s,
                                 Span<const double> voltage_v,
                                 Span<const double> current_a, const PulseSpan& pulse) {
    PulseResistance r;
    r.r_1s_ohm = pulse_resistance_at(time_s, voltage_v, current_a, pulse, 1.0);
    r.r_10s_ohm = pulse_resistance_at(time_s, voltage_v, current_a, pulse, 10.0);
    const PulseRows rows = pulse_rows(time_s, pulse);
    if (usable(rows))
        r.r_end_ohm = step_resistance(voltage_v, current_a, rows, pulse,
                                      voltage_v[rows.stop - 1]);
    return r;
}

} // namespace cellcore
