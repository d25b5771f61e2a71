#include "core/engine/step_changes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/logging_interval.hpp"

namespace cellcore {
namespace {

constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
// An interval counts as longer than the logging interval when it exceeds it by a tenth
// and by a millisecond, above the jitter of a cycler's clock and the rounding of its
// time stamps.
constexpr double kLonger = 1.1, kSlack_s = 1e-3;
// The logging interval of a step is the median of up to this many of its intervals
// nearest the change: a row logged twice at a step's end, or a single late row, does
// not set it.
constexpr std::size_t kIntervals = 5;

// The logging interval at the end of the rows [begin, end).
double interval_before(Span<const double> t, std::size_t begin, std::size_t end) {
    const std::size_t n = end - begin;
    return n < 2 ? kNone
                 : median_interval(t, end - 1 - std::min(n - 1, kIntervals), end - 1);
}

bool longer(double across, double interval) {
    return std::isfinite(interval) && across > kLonger * interval + kSlack_s;
}

// The step clock's answer: the start of the step row q opens, when it opens one.
double clock_change_s(Span<const double> t, std::size_t q, const StepClock& clock) {
    const std::size_t p = q - 1;
    const double began_p = t[p] - clock.step_time_s[p];
    const double began_q = t[q] - clock.step_time_s[q];
    if (!std::isfinite(began_p) || !std::isfinite(began_q))
        return kNone;
    const bool new_index =
        !clock.step_index.empty() && clock.step_index[q] != clock.step_index[p];
    const double tolerance = kSlack_s + 1e-12 * std::fabs(t[q]);
    if (!new_index && !(began_q > began_p + tolerance))
        return kNone; // the current changed inside one step of the cycler's
    return std::clamp(began_q, t[p], t[q]);
}

} // namespace

double switch_span_s(double a, double b) { return std::fmin(1e-6, 0.25 * (b - a)); }

double time_strictly_between(double a, double b, double t) {
    const double lo = std::nextafter(a, b), hi = std::nextafter(b, a);
    if (!(lo > a && hi < b && lo <= hi))
        return kNone;
    return std::fmin(hi, std::fmax(lo, t));
}

double step_instant(double a, double b, bool after) {
    const double d = switch_span_s(a, b);
    return time_strictly_between(a, b, after ? a + d : b - d);
}

StepClock StepClock::rows(const std::vector<std::size_t>& kept) const {
    StepClock out;
    for (std::size_t k : kept) {
        if (!step_time_s.empty())
            out.step_time_s.push_back(step_time_s[k]);
        if (!step_index.empty())
            out.step_index.push_back(step_index[k]);
    }
    return out;
}

void StepClock::truncate(std::size_t n) {
    step_time_s.resize(std::min(n, step_time_s.size()));
    step_index.resize(std::min(n, step_index.size()));
}

double logged_change_s(Span<const double> time_s, std::size_t old_begin, std::size_t q,
                       const StepClock& clock) {
    if (q == 0 || q >= time_s.size())
        return kNone;
    if (!clock.empty())
        return clock_change_s(time_s, q, clock);
    const std::size_t p = q - 1;
    if (longer(time_s[q] - time_s[p], interval_before(time_s, old_begin, q)))
        return time_s[p]; // the old step's last row was logged as it ended
    return kNone;
}

} // namespace cellcore
