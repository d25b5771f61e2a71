#include "core/engine/test_parts.hpp"

#include <cmath>
#include <stdexcept>

#include "core/cutoff.hpp"
#include "core/errors.hpp"
#include "core/number_text.hpp"

namespace cellcore {
namespace {

// Rows where a stretch may start: the record's first, and the first after every
// recharge. A recharge is a stretch without discharge that charges for recharge_s or
// longer (a CC-CV charge may dip to rest between its phases); the stretch after it
// starts where it stopped charging.
std::vector<std::size_t> stretch_starts(Span<const double> t, Span<const double> i,
                                        double rest_a, double recharge_s) {
    std::vector<std::size_t> starts{0};
    const std::size_t n = t.size();
    for (std::size_t k = 0; k < n;) {
        if (i[k] < -rest_a) {
            ++k;
            continue;
        }
        double charging_s = 0.0;
        std::size_t last_charge = n;
        std::size_t j = k;
        for (; j < n && !(i[j] < -rest_a); ++j)
            if (i[j] > rest_a) {
                if (j > k && i[j - 1] > rest_a)
                    charging_s += t[j] - t[j - 1];
                last_charge = j;
            }
        if (charging_s >= recharge_s && last_charge + 1 < n)
            starts.push_back(last_charge + 1);
        k = j;
    }
    return starts;
}

// A capacity check runs at constant current: within 15 % of its level throughout.
bool constant_current(Span<const double> i, std::size_t begin, std::size_t end) {
    double lo = i[begin], hi = i[begin];
    for (std::size_t k = begin; k < end; ++k)
        lo = std::fmin(lo, i[k]), hi = std::fmax(hi, i[k]);
    return hi - lo <= 0.15 * 0.5 * (std::fabs(lo) + std::fabs(hi));
}

CapacityCheck capacity_check(Span<const double> t, Span<const double> i,
                             std::size_t begin, std::size_t end) {
    CapacityCheck c{begin, end, t[begin], t[end - 1], 0.0, 0.0};
    double sum_i = 0.0;
    for (std::size_t k = begin; k < end; ++k) {
        sum_i += i[k];
        if (k > begin)
            c.charge_ah -= 0.5 * (i[k] + i[k - 1]) * (t[k] - t[k - 1]) / 3600.0;
    }
    c.current_a = sum_i / static_cast<double>(end - begin);
    return c;
}

std::string no_pulse_test(const CapacityCheck& c, double cutoff_v) {
    return "the voltage reaches the cut-off " + float_repr(cutoff_v) +
           " V at t = " + float_repr(c.end_s) +
           " s in a continuous discharge from t = " + float_repr(c.begin_s) + " s (" +
           float_repr(std::round(c.charge_ah * 1000) / 1000) +
           " Ah, a capacity check) before any pulse, and no pulse test follows it; "
           "choose the part of the record to fit with the \"section\" setting";
}

} // namespace

PulseTestPart find_pulse_test(Span<const double> time_s, Span<const double> voltage_v,
                              Span<const double> current_a, double cutoff_v,
                              double rest_limit_a, const PartOptions& options) {
    const std::size_t n = time_s.size();
    const std::vector<std::size_t> starts =
        stretch_starts(time_s, current_a, rest_limit_a, options.recharge_min_s);
    PulseTestPart part;
    for (std::size_t s = 0; s < starts.size(); ++s) {
        const std::size_t begin = starts[s];
        const std::size_t end = s + 1 < starts.size() ? starts[s + 1] : n;
        const std::size_t below = first_below_cutoff(voltage_v, cutoff_v, begin, end);
        std::size_t d = begin; // the stretch's first discharge row
        while (d < below && !(current_a[d] < -rest_limit_a))
            ++d;
        if (d == below)
            continue; // rests and charges only
        std::size_t r = d;
        while (r < below && current_a[r] < -rest_limit_a)
            ++r;
        double lowest = voltage_v[d];
        for (std::size_t k = d; k < r; ++k)
            lowest = std::fmin(lowest, voltage_v[k]);
        const bool reached = below < end || lowest <= cutoff_v + options.cutoff_reach_v;
        bool more_discharge = false;
        for (std::size_t k = r; k < below && !more_discharge; ++k)
            more_discharge = current_a[k] < -rest_limit_a;
        if (reached && !more_discharge && (r == below || below == end) &&
            constant_current(current_a, d, r)) {
            // to the cut-off: the row below it ends the discharge
            const std::size_t last = r == below && below < end ? below + 1 : r;
            part.capacity_checks.push_back(capacity_check(time_s, current_a, d, last));
            continue;
        }
        part.begin = begin;
        part.crossed = below < end;
        part.end = part.crossed ? below + 1 : end;
        part.recharged_after = s + 1 < starts.size();
        return part;
    }
    if (!part.capacity_checks.empty())
        throw cellcore::InputError(
            no_pulse_test(part.capacity_checks.back(), cutoff_v));
    // nothing like a pulse test: the record as it is, for the stages to judge
    part.capacity_checks.clear();
    part.begin = 0;
    part.end = first_below_cutoff(voltage_v, cutoff_v, 0, n);
    part.crossed = part.end < n;
    part.end += part.crossed ? 1 : 0;
    part.recharged_after = false;
    return part;
}

RowRange rows_in_range(Span<const double> values, double from, double to) {
    RowRange range;
    const std::size_t n = values.size();
    while (range.begin < n &&
           !(values[range.begin] >= from && values[range.begin] <= to))
        ++range.begin;
    if (range.begin == n)
        throw cellcore::InputError("no row lies in the range " + float_repr(from) +
                                   " to " + float_repr(to));
    range.end = range.begin;
    while (range.end < n && values[range.end] >= from && values[range.end] <= to)
        ++range.end;
    return range;
}

} // namespace cellcore
